"""Delmique and Pravenor: date/time strings, a range check and a repeating timer."""
import os
import signal
import subprocess
import sys
import threading
import time

import Delmique
import Pravenor

TITLE = "Delmique and Pravenor: clock utilities and a repeating timer"

LAUNCHER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools", "run_module.py")


def run():
    util = Delmique.CLASS_Delmique()
    print(f"  date and time: {util.CUF_GetDateTime('-', ':')}   compact: {util.CUF_GetDateTime('', '')}")
    for ranges in ("000000-235959", "080000-120000,130000-180000"):
        print(f"  is now inside {ranges!r}? {util.CUF_CurrentTimeInRange(ranges)}")

    ticks, done = [], threading.Event()

    def tick():
        ticks.append(time.monotonic())
        print(f"  [timer] tick {len(ticks)} at {util.CUF_GetTime(':')}, +{ticks[-1] - t0:.2f} s")
        if len(ticks) == 4:
            timer.CUF_Stop()
            done.set()

    timer = Pravenor.CLASS_ThreadTimer(0.25, tick)
    t0 = time.monotonic()
    timer.CUF_Start()
    done.wait(10)
    timer.join(10)
    print(f"  timer stopped after {len(ticks)} ticks; thread alive: {timer.is_alive()}")

    print(f"  Delmique run as the main program ({os.path.basename(LAUNCHER)} Delmique):")
    out = subprocess.run([sys.executable, LAUNCHER, "Delmique"], capture_output=True, text=True, timeout=60)
    for line in out.stdout.splitlines():
        print(f"    {line}")

    print("  Pravenor run as the main program for 1.2 s, then Ctrl-C:")
    proc = subprocess.Popen([sys.executable, "-u", LAUNCHER, "Pravenor"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    time.sleep(1.2)
    proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=10)
    for line in out.splitlines():
        print(f"    {line}")
    print(f"  it ended with the interrupt (exit status {proc.returncode})")
