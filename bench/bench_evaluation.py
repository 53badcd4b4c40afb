"""Cost of evaluating a task and of building a task group.

1. One CUF_EvaluateTask with a trivial probe against calling the probe
   function alone: the ratio is the overhead of the scoring around the probe.
2. Building a CLASS_MultiTaskGroup of 100 runners against building the same
   100 runners one by one and against starting 100 bare daemon threads (each
   runner of a group starts its watchdog thread; there is no way to disable
   it through the group).

Both sides are interleaved and repeated; medians are reported.
"""
import statistics
import threading
import time

from Korvanth import CLASS_MultiTask, CLASS_MultiTaskGroup, ENUM_TASK_MODE as M

ROUNDS = 9


def probe(probe_only=False):
    return {"task_type": "io_bound", "estimated_cpu_cost": 0.2, "estimated_task_time": 0.05}


def per_call(fn, n):
    t0 = time.perf_counter()
    for _ in range(n):
        fn()
    return (time.perf_counter() - t0) / n


def bench_evaluation():
    runner = CLASS_MultiTask(M.cE_TaskM_AutoTune, probe, Pmb_EnableWatchDog=False)
    evaluate, best = runner.CUF_EvaluateTask, runner.CUF_GetBestMode
    alone = lambda: probe(probe_only=True)  # noqa: E731
    n = 20000
    ev, pr, bm = [], [], []
    for _ in range(ROUNDS):
        ev.append(per_call(evaluate, n))
        pr.append(per_call(alone, n))
        bm.append(per_call(best, n))
    e, p, b = statistics.median(ev), statistics.median(pr), statistics.median(bm)
    print(f"CUF_EvaluateTask, trivial probe : {e * 1e6:7.2f} us")
    print(f"probe call alone               : {p * 1e6:7.2f} us")
    print(f"  ratio evaluate / probe       : {e / p:7.1f}")
    print(f"CUF_GetBestMode                : {b * 1e6:7.2f} us")


def stop_all(runners):
    for r in runners:
        r.CV_WatchDog.CUF_Stop()


def wait_threads(baseline, timeout=10):
    deadline = time.monotonic() + timeout
    while threading.active_count() > baseline and time.monotonic() < deadline:
        time.sleep(0.05)


def bench_group():
    pairs = [(M.cE_TaskM_TThread, probe)] * 100
    baseline = threading.active_count()
    grp, single, bare = [], [], []
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        group = CLASS_MultiTaskGroup(pairs)
        grp.append(time.perf_counter() - t0)
        stop_all(group.tasks)

        t0 = time.perf_counter()
        runners = [CLASS_MultiTask(mode, func) for mode, func in pairs]
        single.append(time.perf_counter() - t0)
        stop_all(runners)

        stop = threading.Event()
        t0 = time.perf_counter()
        for _ in range(100):
            threading.Thread(target=stop.wait, daemon=True).start()
        bare.append(time.perf_counter() - t0)
        stop.set()
        wait_threads(baseline)
    g, s, b = statistics.median(grp), statistics.median(single), statistics.median(bare)
    print(f"group of 100 runners           : {g * 1e3:7.2f} ms ({g * 1e4:.1f} us per runner, watchdogs running)")
    print(f"100 runners built one by one   : {s * 1e3:7.2f} ms")
    print(f"100 bare daemon threads        : {b * 1e3:7.2f} ms")
    print(f"  ratio group / one by one     : {g / s:7.2f}")
    print(f"  ratio group / bare threads   : {g / b:7.2f}")


if __name__ == "__main__":
    bench_evaluation()
    bench_group()
