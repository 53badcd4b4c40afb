"""Sarnovet: claim throughput of one dispatcher against a plain PyMySQL loop
running the same statements (one connection per claim), end-to-end tasks
per second for 500 trivial tasks with one and two dispatchers (median of
three runs), what the dispatcher's reaping of its children costs (the
exit-code check of every kept child on each pass, against the time per
task end to end), and what its heartbeat costs.

Runs on a private throwaway MariaDB (or the server named by SARNOVET_DB_*).
"""
import json
import multiprocessing
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
HELPERS = os.path.join(HERE, "..", "tests", "sarnovet")
sys.path.insert(0, HELPERS)
sys.path.insert(0, HERE)

import pymysql  # noqa: E402

import Sarnovet  # noqa: E402
import mariadb_private  # noqa: E402
from common import interleaved  # noqa: E402

T = "_syscpu_gate_worker"
CLAIMS = 200
ROUNDS = 9


COUNT = f"SELECT COUNT(*) FROM {T}\n    WHERE status='RUNNING' AND host_name=%s"
PICK = f"SELECT worker_id, task_name FROM {T}\n    WHERE status='PENDING'\n    ORDER BY worker_id\n    LIMIT 1\n    FOR UPDATE"
CLAIM = f"UPDATE {T}\n    SET status='RUNNING', host_name=%s, pid=%s, start_time=NOW()\n    WHERE worker_id=%s"


def plain_claim(cfg, host):
    conn = pymysql.connect(**cfg, autocommit=False)
    cur = conn.cursor()
    cur.execute(COUNT, (host,))
    if cur.fetchone()[0] >= 10 ** 9:
        conn.rollback()
        conn.close()
        return None
    cur.execute(PICK)
    row = cur.fetchone()
    if not row:
        conn.rollback()
        conn.close()
        return None
    worker_id, task_name = row
    cur.execute(CLAIM, (host, os.getpid(), worker_id))
    conn.commit()
    conn.close()
    return worker_id, task_name


def reset(cfg):
    conn = pymysql.connect(**cfg, autocommit=True)
    conn.cursor().execute(f"UPDATE {T} SET status='PENDING', host_name=NULL, pid=NULL, start_time=NULL")
    conn.close()


def bench_claims(cfg):
    runner = Sarnovet.CLASS_MultiTaskAdv(lambda name: None, 10 ** 9, cfg)
    for i in range(CLAIMS):
        runner.CUF_RegisterTask(f"task{i}")
    host = runner.CVF_HostName
    # Each round claims every row once per side; the rows are set back to
    # PENDING after each side.
    per_call = interleaved({"Sarnovet": runner.CUF_TryFetchTask, "plain": lambda: plain_claim(cfg, host)},
                           rounds=ROUNDS, number=CLAIMS, settle=lambda: reset(cfg))
    ours, plain = 1 / per_call["Sarnovet"], 1 / per_call["plain"]
    print(f"claims per second (median of {ROUNDS} x {CLAIMS}): Sarnovet {ours:.0f}, plain PyMySQL {plain:.0f}, "
          f"ratio {ours / plain:.2f} (target >= 0.9: {'met' if ours / plain >= 0.9 else 'NOT met'})", flush=True)


SLEEP_IDLE = 0.01
MAX_CPU = 4


def end_to_end_once(server, dispatcher_count, tasks):
    with mariadb_private.scratch_database(server) as db, tempfile.TemporaryDirectory() as tmp:
        cfg = server.config(db)
        runner = Sarnovet.CLASS_MultiTaskAdv(None, 0, cfg)
        for i in range(tasks):
            runner.CUF_RegisterTask(f"t{i}")
        env = dict(os.environ, PYTHONPATH=HELPERS)
        t0 = time.perf_counter()
        procs = [subprocess.Popen([sys.executable, os.path.join(HELPERS, "sarnovet_helpers.py"), json.dumps(
            dict(config=cfg, events=os.path.join(tmp, "events"), host=f"host{k}", max_cpu=MAX_CPU,
                 sleep_idle=SLEEP_IDLE))], env=env, stdout=subprocess.DEVNULL) for k in range(dispatcher_count)]
        for p in procs:
            p.wait(timeout=300)
        elapsed = time.perf_counter() - t0
        left = runner.CUF_GetTaskCount()
    return elapsed, left


def bench_end_to_end(server, dispatcher_count, tasks=500, runs=3):
    results = [end_to_end_once(server, dispatcher_count, tasks) for _ in range(runs)]
    elapsed = statistics.median(e for e, _ in results)
    print(f"end to end, {tasks} trivial tasks, {dispatcher_count} dispatcher(s): {tasks / elapsed:.0f} tasks/s "
          f"(median of {runs}: {elapsed:.2f} s; rows left {[left for _, left in results]})", flush=True)
    return elapsed / tasks


def bench_reaping(seconds_per_task, tasks=500):
    """A pass checks every child the dispatcher still keeps; a lone
    dispatcher keeps about MAX_CPU of them. Passes per task: one claim each,
    plus at most one idle pass per SLEEP_IDLE of the run."""
    ctx = multiprocessing.get_context("fork")
    children = [ctx.Process(target=time.sleep, args=(60,), daemon=True) for _ in range(MAX_CPU)]
    for child in children:
        child.start()
    try:
        n = 5000
        t0 = time.perf_counter()
        for _ in range(n):
            for child in children:
                child.exitcode
        per_pass = (time.perf_counter() - t0) / n
    finally:
        for child in children:
            child.terminate()
            child.join(10)
    passes = 1 + (seconds_per_task * tasks / SLEEP_IDLE) / tasks
    share = per_pass * passes / seconds_per_task
    print(f"reaping: {per_pass * 1e6:.1f} us per pass with {MAX_CPU} children; at up to {passes:.1f} passes per "
          f"task that is {share * 100:.2f}% of the {seconds_per_task * 1e3:.2f} ms per task end to end "
          f"(target <= 5%: {'met' if share <= 0.05 else 'NOT met'})")


class _Stop(Exception):
    pass


def idle_pass_seconds(cfg, heartbeat_seconds, passes=300):
    """Seconds per idle dispatcher pass (limit 0: the claim is the running
    count alone, no sleep) with the heartbeat due every `heartbeat_seconds`."""
    runner = Sarnovet.CLASS_MultiTaskAdv(None, 0, cfg)
    runner.CVI_HeartbeatSeconds = heartbeat_seconds
    count = [0]

    def idle():
        count[0] += 1
        if count[0] == 20:           # the first passes (tables, recovery) are not timed
            count.append(time.perf_counter())
        if count[0] == 20 + passes:
            raise _Stop()
    runner.Evt_OnIdle = idle
    try:
        runner.CUF_Run(0)
    except _Stop:
        pass
    return (time.perf_counter() - count[1]) / passes


def bench_heartbeat(cfg, rounds=5):
    """The heartbeat (refresh this host's lease, look for lost hosts' rows
    and this dispatcher's settled ones) costs one connection and three
    statements every CVI_HeartbeatSeconds; measured as the difference of
    idle passes with it on every pass and with it never due."""
    every, never = [], []
    for _ in range(rounds):
        every.append(idle_pass_seconds(cfg, 0))
        never.append(idle_pass_seconds(cfg, 10 ** 9))
    cost = statistics.median(every) - statistics.median(never)
    default = Sarnovet.CLASS_MultiTaskAdv.CVI_HeartbeatSeconds
    print(f"heartbeat: {cost * 1e3:.2f} ms each (idle pass {statistics.median(never) * 1e3:.2f} ms without it); "
          f"every {default} s that is {cost / default * 100:.3f}% of one core, and at the default idle sleep of 1 s "
          f"{cost / default * 1e3:.3f} ms per pass", flush=True)


def main():
    with mariadb_private.database_server() as server:
        with mariadb_private.scratch_database(server) as db:
            bench_claims(server.config(db))
        with mariadb_private.scratch_database(server) as db:
            bench_heartbeat(server.config(db))
        per_task = bench_end_to_end(server, 1)
        bench_end_to_end(server, 2)
    bench_reaping(per_task)


if __name__ == "__main__":
    main()
