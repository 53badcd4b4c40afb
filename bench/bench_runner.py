"""Cost of CUF_Start in thread mode against a plain daemon thread start, and
the memory of constructed runners."""
import gc
import os
import sys
import threading
import time
import tracemalloc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import interleaved, report  # noqa: E402

import Korvanth  # noqa: E402

M = Korvanth.ENUM_TASK_MODE


def f():
    pass


def settle():
    deadline = time.time() + 5
    while threading.active_count() > 1 and time.time() < deadline:
        time.sleep(0.001)


def main():
    runner = Korvanth.CLASS_MultiTask(M.cE_TaskM_TThread, f, Pmb_EnableWatchDog=False)
    res = interleaved({
        "CUF_Start": runner.CUF_Start,
        "Thread.start": lambda: threading.Thread(target=f, daemon=True).start(),
    }, rounds=21, number=200, settle=settle)
    report("thread-mode start", res["CUF_Start"], res["Thread.start"], "CUF_Start", "threading.Thread(...).start()",
           target=1.10)

    class PlainRunner:
        def __init__(self, mode, func):
            self.CVE_TaskMode, self.CVF_TaskFunc, self.CVI_Timeout = mode, func, 5
            self.CVD_EvalResult = {}
            self.CVE_OnProcessStarted = self.CVE_OnProcessFinished = self.CVE_OnProcessOverLimit = None
            self.CV_WatchDog = None

    for name, make in [("CLASS_MultiTask", lambda: Korvanth.CLASS_MultiTask(M.cE_TaskM_TThread, f, 5, False)),
                       ("equivalent Python object", lambda: PlainRunner(M.cE_TaskM_TThread, f))]:
        gc.collect()
        tracemalloc.start()
        base = tracemalloc.get_traced_memory()[0]
        keep = [make() for _ in range(1000)]
        used = tracemalloc.get_traced_memory()[0] - base
        tracemalloc.stop()
        print(f"memory of 1,000 {name} (watchdog disabled): {used / 1000:.0f} bytes each", flush=True)
        del keep


if __name__ == "__main__":
    main()
