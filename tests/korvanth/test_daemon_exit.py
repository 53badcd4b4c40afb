"""Programs that end while daemon threads wait inside module code: the host
ends those threads at exit, which must neither crash nor abort."""
import subprocess
import sys
import textwrap

import pytest

EXITS = {
    # The watchdog's thread sleeps inside module code; it wakes up while the
    # interpreter finalises (slow teardown below) and is ended by the host.
    "watchdog asleep during a slow teardown": ("""
        import sys, time
        import Korvanth
        runner = Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_TThread, print, Pmi_Timeout=3600)
        class SlowTeardown:
            def __del__(self):
                print("teardown", flush=True)
                time.sleep(1.0)
        keep = SlowTeardown()
    """, "teardown\n"),
    # A timer thread inside the release of a result whose __del__ blocks;
    # the slow teardown sits in another module, which is cleared after
    # the host has begun to end daemon threads.
    "timer thread inside a blocking __del__": ("""
        import json, time, Pravenor
        class Slow:
            def __init__(self, sleep=time.sleep):
                self.sleep = sleep
            def __del__(self):
                self.sleep(0.5)
        timer = Pravenor.CLASS_ThreadTimer(0.01, Slow)
        timer.daemon = True
        timer.CUF_Start()
        time.sleep(0.3)
        json.keep = Slow()
    """, ""),
    # After a sub-interpreter has existed, the host cannot tell an exiting
    # daemon thread whether it holds the interpreter lock.
    "watchdogs and a timer after a sub-interpreter": ("""
        import json, time, _testcapi, Korvanth, Pravenor
        _testcapi.run_in_subinterp("pass")
        rs = [Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_TThread, print, Pmi_Timeout=3600)
              for _ in range(50)]
        timer = Pravenor.CLASS_ThreadTimer(0.001, int)
        timer.daemon = True
        timer.CUF_Start()
        class SlowTeardown:
            def __del__(self, sleep=time.sleep):
                sleep(1.0)
        json.keep = SlowTeardown()
    """, ""),
}


@pytest.mark.parametrize("name", EXITS)
def test_host_exit_while_daemon_threads_wait_in_module_code(py, name):
    code, expected = EXITS[name]
    out = py(code, check=False)
    assert (out.returncode, out.stdout, out.stderr) == (0, expected, "")


def test_many_fed_watchdogs_then_exit():
    # A thousand runners with their default watchdogs, fed for a while; the
    # program then ends with every watchdog thread still polling. Run a
    # dozen times, four at once.
    code = textwrap.dedent("""
        import time, Korvanth
        rs = [Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_TThread, print) for _ in range(1000)]
        end = time.time() + 1.0
        while time.time() < end:
            for r in rs:
                r.CV_WatchDog.CUF_Beat()
            time.sleep(0.05)
    """)
    codes = []
    for _ in range(3):
        procs = [subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                 for _ in range(4)]
        codes += [(p.wait(timeout=120), p.stderr.read()) for p in procs]
    assert codes == [(0, b"")] * 12
