"""Sarnovet: claim throughput of one dispatcher against a plain PyMySQL loop
running the same statements (one connection per claim), and end-to-end
tasks per second for 500 trivial tasks with one and two dispatchers.

Runs on a private throwaway MariaDB (or the server named by SARNOVET_DB_*).
"""
import json
import os
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


def bench_end_to_end(server, dispatcher_count, tasks=500):
    with mariadb_private.scratch_database(server) as db, tempfile.TemporaryDirectory() as tmp:
        cfg = server.config(db)
        runner = Sarnovet.CLASS_MultiTaskAdv(None, 0, cfg)
        for i in range(tasks):
            runner.CUF_RegisterTask(f"t{i}")
        env = dict(os.environ, PYTHONPATH=HELPERS)
        t0 = time.perf_counter()
        procs = [subprocess.Popen([sys.executable, os.path.join(HELPERS, "sarnovet_helpers.py"), json.dumps(
            dict(config=cfg, events=os.path.join(tmp, "events"), host=f"host{k}", max_cpu=4, sleep_idle=0.01))],
            env=env, stdout=subprocess.DEVNULL) for k in range(dispatcher_count)]
        for p in procs:
            p.wait(timeout=300)
        elapsed = time.perf_counter() - t0
        left = runner.CUF_GetTaskCount()
    print(f"end to end, {tasks} trivial tasks, {dispatcher_count} dispatcher(s): {tasks / elapsed:.0f} tasks/s "
          f"({elapsed:.1f} s, {left} rows left)")


def main():
    with mariadb_private.database_server() as server:
        with mariadb_private.scratch_database(server) as db:
            bench_claims(server.config(db))
        bench_end_to_end(server, 1)
        bench_end_to_end(server, 2)


if __name__ == "__main__":
    main()
