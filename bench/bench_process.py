"""Process mode against raw multiprocessing, side by side in one run.

1. Latency from CUF_Start to the finished event for a trivial task, against
   a raw multiprocessing.Process + Queue round trip doing the same (start,
   one record back, join), under fork and under spawn; as a reference, the
   raw round trip with its wait moved into a daemon thread, as process
   mode does it. Each start method
   runs in its own interpreter; the two sides are interleaved and medians
   reported.
2. 200 small tasks through a full gate against a ProcessPoolExecutor with
   one worker per physical core (fork).
"""
import concurrent.futures
import multiprocessing
import os
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import interleaved, report  # noqa: E402

import psutil  # noqa: E402

import Korvanth  # noqa: E402

LATENCY_ROUNDS = {"fork": 120, "spawn": 20}
BURST_TASKS = 200
BURST_ROUNDS = 3
TARGETS = {"fork": 1.10, "spawn": 1.25}


def trivial():
    pass


def small_work(_=None):
    return sum(i * i for i in range(20000))


def raw_entry(q):
    q.put({"pid": os.getpid(), "status": "OK", "error": None})


finished = threading.Event()
remaining = [0]
remaining_lock = threading.Lock()


def on_finished(pid, status, error, task):
    with remaining_lock:
        remaining[0] -= 1
        if remaining[0] <= 0:
            finished.set()


def expect(n):
    finished.clear()
    remaining[0] = n


def raw_round_trip():
    t0 = time.perf_counter()
    q = multiprocessing.Queue()
    p = multiprocessing.Process(target=raw_entry, args=(q,), daemon=False)
    p.start()
    q.get()
    p.join()
    return time.perf_counter() - t0


def raw_round_trip_with_waiter():
    """The raw round trip shaped like process mode: a daemon thread takes
    the record, joins the child and signals the launching thread."""
    t0 = time.perf_counter()
    q = multiprocessing.Queue()
    p = multiprocessing.Process(target=raw_entry, args=(q,), daemon=False)
    p.start()
    done = threading.Event()

    def wait():
        q.get()
        p.join()
        done.set()

    threading.Thread(target=wait, daemon=True).start()
    done.wait()
    return time.perf_counter() - t0


def korvanth_round_trip(runner):
    expect(1)
    t0 = time.perf_counter()
    runner.CUF_Start()
    if not finished.wait(60):
        raise RuntimeError("no finished event")
    return time.perf_counter() - t0


def latency(method):
    multiprocessing.set_start_method(method)
    # A default runner (watchdog on, long time-out): under spawn it travels
    # with the gate into every child.
    runner = Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_TProcess, trivial, Pmi_Timeout=3600,
                                      PmF_Event_OnProcessFinished=on_finished)
    korvanth_round_trip(runner)  # creates the gate; warms both paths
    raw_round_trip()
    medians = interleaved({"raw": raw_round_trip, "korvanth": lambda: korvanth_round_trip(runner),
                           "raw+waiter": raw_round_trip_with_waiter},
                          rounds=LATENCY_ROUNDS[method], number=1)
    report(f"{method} launch to finished event", medians["korvanth"], medians["raw"], "CUF_Start->finished",
           "raw Process+Queue", TARGETS[method])
    # where the gap goes: the same raw round trip with a waiter thread
    report(f"{method}   (reference) raw with a waiter thread", medians["raw+waiter"], medians["raw"],
           "raw+waiter", "raw")


def burst():
    cores = psutil.cpu_count(logical=False)
    runner = Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_TProcess, small_work, Pmb_EnableWatchDog=False,
                                      PmF_Event_OnProcessFinished=on_finished)
    pool_times, gate_times = [], []
    for _ in range(BURST_ROUNDS):
        t0 = time.perf_counter()
        with concurrent.futures.ProcessPoolExecutor(max_workers=cores) as pool:
            list(pool.map(small_work, range(BURST_TASKS)))
        pool_times.append(time.perf_counter() - t0)

        expect(BURST_TASKS)
        t0 = time.perf_counter()
        for _ in range(BURST_TASKS):
            runner.CUF_Start()
        if not finished.wait(300):
            raise RuntimeError("burst did not finish")
        gate_times.append(time.perf_counter() - t0)
    p, g = statistics.median(pool_times), statistics.median(gate_times)
    print(f"burst of {BURST_TASKS} tasks, {cores} cores: ProcessPoolExecutor {p:6.3f} s  "
          f"process mode {g:6.3f} s  ratio {g / p:.2f}")
    print(f"  per task: pool {p / BURST_TASKS * 1000:.2f} ms, process mode {g / BURST_TASKS * 1000:.2f} ms; "
          "process mode starts, joins and reaps one child per task (fork, queue, waiter thread), the pool reuses "
          f"{cores} workers")


def main():
    if len(sys.argv) > 1:
        what = sys.argv[1]
        burst() if what == "burst" else latency(what)
        return
    for what in ("fork", "spawn", "burst"):
        subprocess.run([sys.executable, os.path.abspath(__file__), what], check=True)


if __name__ == "__main__":
    main()
