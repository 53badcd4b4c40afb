"""Cost of evaluating a task and of building a task group.

1. One CUF_EvaluateTask with a trivial probe against calling the probe
   function alone: the ratio is the overhead of the scoring around the probe.
2. Building a CLASS_MultiTaskGroup of 100 runners against building the same
   100 runners one by one and against starting 100 bare daemon threads (each
   runner of a group starts its watchdog thread; there is no way to disable
   it through the group).
"""
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import interleaved, report  # noqa: E402

from Korvanth import CLASS_MultiTask, CLASS_MultiTaskGroup, ENUM_TASK_MODE as M  # noqa: E402


def probe(probe_only=False):
    return {"task_type": "io_bound", "estimated_cpu_cost": 0.2, "estimated_task_time": 0.05}


def bench_evaluation():
    runner = CLASS_MultiTask(M.cE_TaskM_AutoTune, probe, Pmb_EnableWatchDog=False)
    res = interleaved({
        "evaluate": runner.CUF_EvaluateTask,
        "probe": lambda: probe(probe_only=True),
        "best": runner.CUF_GetBestMode,
    }, rounds=15, number=5000)
    report("evaluation, trivial probe", res["evaluate"], res["probe"], "CUF_EvaluateTask", "probe call alone")
    print(f"CUF_GetBestMode on that record: {res['best'] * 1e6:.2f} us", flush=True)


PAIRS = [(M.cE_TaskM_TThread, probe)] * 100
BASELINE = threading.active_count()
_release = threading.Event()


def build_group():
    for r in CLASS_MultiTaskGroup(PAIRS).tasks:
        r.CV_WatchDog.CUF_Stop()


def build_runners():
    for r in [CLASS_MultiTask(mode, func) for mode, func in PAIRS]:
        r.CV_WatchDog.CUF_Stop()


def start_threads():
    for _ in range(100):
        threading.Thread(target=_release.wait, args=(0.5,), daemon=True).start()


def settle():
    _release.set()
    deadline = time.monotonic() + 10
    while threading.active_count() > BASELINE and time.monotonic() < deadline:
        time.sleep(0.02)
    _release.clear()


def bench_group():
    res = interleaved({"group": build_group, "runners": build_runners, "threads": start_threads},
                      rounds=7, number=1, settle=settle)
    print(f"group of 100 runners (watchdogs running): {res['group'] * 1e3:.2f} ms, "
          f"{res['group'] * 1e4:.1f} us per runner", flush=True)
    report("group of 100", res["group"], res["runners"], "CLASS_MultiTaskGroup", "100 x CLASS_MultiTask")
    report("group of 100", res["group"], res["threads"], "CLASS_MultiTaskGroup", "100 x Thread.start")


if __name__ == "__main__":
    bench_evaluation()
    bench_group()
