"""Korvanth: probing tasks, scoring the modes and starting a group in its best modes."""
import asyncio
import threading

from Korvanth import CLASS_MultiTask, CLASS_MultiTaskGroup, ENUM_TASK_MODE as M

TITLE = "Korvanth: task evaluation, best modes and task groups"

AUTO = M.cE_TaskM_AutoTune
finished = {name: threading.Event() for name in ("download", "poll_feed", "checksum")}


def download(probe_only=False):
    """Blocking I/O: waits on the network most of the time."""
    if probe_only:
        return {"task_type": "io_bound", "estimated_cpu_cost": 0.05, "estimated_task_time": 2.0}
    threading.Event().wait(0.2)
    print(f"  [download]  done in a daemon thread ({threading.current_thread().name})")
    finished["download"].set()


async def poll_feed(probe_only=False):
    """A coroutine function that does not describe itself: scored as I/O bound."""
    if probe_only:
        return None
    await asyncio.sleep(0.1)
    loop = asyncio.get_running_loop()
    print(f"  [poll_feed] done on its own event loop ({type(loop).__name__})")
    finished["poll_feed"].set()


def checksum(probe_only=False):
    """Light CPU work: too short to pay for a child process."""
    if probe_only:
        return {"task_type": "cpu_bound", "estimated_cpu_cost": 0.2, "estimated_task_time": 0.05}
    total = sum(i * i for i in range(200_000)) % 65521
    print(f"  [checksum]  done in a daemon thread: {total}")
    finished["checksum"].set()


def heavy_render(probe_only=False):
    return {"task_type": "cpu_bound", "estimated_cpu_cost": 1.0, "estimated_task_time": 10.0, "ipc_mb": 2.0}


def print_table(runners):
    print(f"  {'task':<12} {'TThread':>8} {'AsyncThread':>12} {'TProcess':>9}   best mode")
    for runner in runners:
        record = runner.CVD_EvalResult
        t, a, p = (record[m]["score"] for m in (M.cE_TaskM_TThread, M.cE_TaskM_AsyncThread, M.cE_TaskM_TProcess))
        print(f"  {runner.CVF_TaskFunc.__name__:<12} {t:>8} {a:>12} {p:>9}   {runner.CUF_GetBestMode().name}")


def run():
    group = CLASS_MultiTaskGroup([(AUTO, download), (AUTO, poll_feed), (AUTO, checksum)])
    print("  a group of three auto-tune runners, each probed with probe_only=True:")
    group.CUF_EvaluateAll()
    print_table(group.tasks)

    heavy = CLASS_MultiTask(AUTO, heavy_render, Pmb_EnableWatchDog=False)
    heavy.CUF_EvaluateTask()
    print("  for comparison, a heavy CPU task (evaluated only, not started):")
    print_table([heavy])

    print("  CUF_StartAll starts each runner in its best mode:")
    try:
        group.CUF_StartAll()
    except NotImplementedError as e:  # a build without process mode
        print(f"  (a runner could not start: {e})")
    for name, done in finished.items():
        if not done.wait(10):
            print(f"  [{name}] did not finish in time")
    for runner in group.tasks:  # the tasks are done: no watchdog report wanted
        runner.CV_WatchDog.CUF_Stop()
    print("  all three tasks finished; watchdogs stopped")
