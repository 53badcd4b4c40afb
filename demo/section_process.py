"""Korvanth process mode: a CPU-bound task in a child process, then a burst that fills the gate."""
import threading
import time

import Korvanth

TITLE = "Korvanth: process mode and the process gate"

_finished = threading.Semaphore(0)
_print_lock = threading.Lock()


def say(line):
    # events come from waiter threads: one whole line at a time
    with _print_lock:
        print(line, flush=True)


def count_primes(limit=200_000):
    sieve = bytearray([1]) * limit
    sieve[0:2] = b"\0\0"
    for i in range(2, int(limit ** 0.5) + 1):
        if sieve[i]:
            sieve[i * i::i] = bytearray(len(sieve[i * i::i]))
    return sum(sieve)


def short_job():
    time.sleep(0.4)


def failing_job():
    raise ValueError("this task fails on purpose")


def on_started(pid, task):
    say(f"  started   pid={pid}")


def on_finished(pid, status, error, task):
    last = error.strip().splitlines()[-1] if error else None
    say(f"  finished  pid={pid} status={status} error={last!r}")
    _finished.release()


def on_over_limit(cpu_max, running, task):
    say(f"  over-limit event: cpu_max={cpu_max} running={running}")


def wait_finished(n):
    for _ in range(n):
        if not _finished.acquire(timeout=30):
            print("  (a finished event did not come in time)")
            return


def run():
    mode = Korvanth.ENUM_TASK_MODE.cE_TaskM_TProcess
    info = Korvanth.CLASS_ProcessGate.CUF_GetCPUInfo()
    print(f"  cores: {info}")

    events = dict(Pmb_EnableWatchDog=False, PmF_Event_OnProcessStarted=on_started,
                  PmF_Event_OnProcessFinished=on_finished)
    # The first process-mode runner creates the gate; its over-limit event
    # serves every runner of this program.
    primes = Korvanth.CLASS_MultiTask(mode, count_primes, PmF_Event_OnProcessOverLimit=on_over_limit, **events)
    print("  CPU-bound task (prime sieve) in a child process:")
    primes.CUF_Start()
    wait_finished(1)

    print("  a task that raises reports its traceback's last line:")
    Korvanth.CLASS_MultiTask(mode, failing_job, **events).CUF_Start()
    wait_finished(1)

    gate = Korvanth.CLASS_ProcessGate.CUF_Instance()
    burst = gate.CVI_CPU_Physical + 2
    print(f"  burst of {burst} short tasks through a gate of {gate.CVI_CPU_Physical} slots:")
    runner = Korvanth.CLASS_MultiTask(mode, short_job, **events)
    for _ in range(burst):
        runner.CUF_Start()  # blocks while every slot is taken
    wait_finished(burst)
    print(f"  slots in use afterwards: {gate.CVI_RunningProc.value}")
