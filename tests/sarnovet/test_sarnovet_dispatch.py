"""Dispatcher processes: children under fork and spawn, the idle pass,
exclusivity of claims under load, killed children, a vanishing server."""
import collections
import os
import signal
import threading
import time

import pymysql
import pytest

import Sarnovet
import mariadb_private
from conftest import wait_until
from sarnovet_helpers import read_records

T = "_syscpu_gate_worker"


def register(db_config, names, table=T):
    r = Sarnovet.CLASS_MultiTaskAdv(None, 0, db_config, table)
    for n in names:
        r.CUF_RegisterTask(n)
    return r


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_children_run_tasks_and_fire_events(dispatchers, db_config, events, sql, method):
    names = ["ok-a", "ok-b", "fail-c", "ok-a"]
    register(db_config, names)
    proc = dispatchers.start(config=db_config, events=events, max_cpu=2, start_method=method)
    code, out, err = dispatchers.wait(proc, timeout=90)
    assert code == 0, err
    dispatcher_pid = int(out.split()[2])
    runs = read_records(events, "run")
    assert sorted(r[2] for r in runs) == sorted(names)
    child_pids = {r[1] for r in runs}
    assert len(child_pids) == 4 and dispatcher_pid not in child_pids
    starts, exits, deads = (read_records(events, k) for k in ("start", "exit", "dead"))
    assert sorted(e[3] for e in starts) == sorted(names) and {e[1] for e in starts} == child_pids
    assert sorted(e[3] for e in exits) == ["ok-a", "ok-a", "ok-b"]
    assert len(deads) == 1 and deads[0][3] == "task fail-c failed"
    table = sql(f"SELECT worker_id, status, host_name, pid, end_time IS NOT NULL FROM {T}")
    assert table == ((deads[0][2], "DEAD", os.uname().nodename, dispatcher_pid, 1),)


@pytest.mark.parametrize("max_cpu, preset_running", [(0, 0), (1, 1)])
def test_dispatcher_at_its_limit_only_idles(dispatchers, db_config, events, sql, max_cpu, preset_running):
    r = register(db_config, ["p1", "p2"])
    if preset_running:
        w = sql(f"SELECT worker_id FROM {T} ORDER BY worker_id LIMIT 1")[0][0]
        sql(f"UPDATE {T} SET status='RUNNING', host_name=%s WHERE worker_id=%s", (r.CVF_HostName, w))
    proc = dispatchers.start(config=db_config, events=events, max_cpu=max_cpu, record_idle=True,
                             stop_when_empty=False, max_idle=5, sleep_idle=0.01)
    code, out, err = dispatchers.wait(proc, timeout=60)
    assert code == 0, err
    assert len(read_records(events, "idle")) == 5 and read_records(events, "run") == []
    assert sql(f"SELECT COUNT(*) FROM {T} WHERE status='PENDING'") == ((2 - preset_running,),)


def test_claims_are_exclusive_under_load(dispatchers, db_config, events, sql):
    """Three dispatchers on one table: two share host 'alpha' (limit 3 each),
    one is host 'beta' (limit 2). Every task runs exactly once, nothing is
    left, and the RUNNING count per host stays within bounds: a lone
    dispatcher never passes its limit; dispatchers sharing a host name read
    the count without a lock, so together they may pass it by at most one
    row per extra dispatcher."""
    names = [f"t{i:03d}" for i in range(240)]
    register(db_config, names)
    common = dict(config=db_config, events=events, seconds=0.02, sleep_idle=0.01)
    procs = [dispatchers.start(host="alpha", max_cpu=3, **common),
             dispatchers.start(host="alpha", max_cpu=3, **common),
             dispatchers.start(host="beta", max_cpu=2, **common)]
    peak = collections.Counter()
    conn = pymysql.connect(**db_config, autocommit=True)
    try:
        cur = conn.cursor()
        deadline = time.monotonic() + 50
        while time.monotonic() < deadline:
            cur.execute(f"SELECT host_name, COUNT(*) FROM {T} WHERE status='RUNNING' GROUP BY host_name")
            for host, n in cur.fetchall():
                peak[host] = max(peak[host], n)
            cur.execute(f"SELECT COUNT(*) FROM {T}")
            if cur.fetchone()[0] == 0:
                break
            time.sleep(0.005)
    finally:
        conn.close()
    results = [dispatchers.wait(p, timeout=30) for p in procs]
    assert all(code == 0 for code, _, _ in results), results
    runs = collections.Counter(r[2] for r in read_records(events, "run"))
    assert runs == collections.Counter(names)
    assert len(read_records(events, "exit")) == len(names) and read_records(events, "dead") == []
    assert sql(f"SELECT COUNT(*) FROM {T}") == ((0,),)
    assert 0 < peak["beta"] <= 2
    assert 0 < peak["alpha"] <= 3 + 1


def test_killed_child_leaves_its_row_running(dispatchers, db_config, events, sql):
    r = register(db_config, ["hang-1"])
    proc = dispatchers.start(config=db_config, events=events, stop_when_empty=False, sleep_idle=0.05)
    wait_until(lambda: read_records(events, "run"), timeout=30)
    child = read_records(events, "run")[0][1]
    os.kill(child, signal.SIGKILL)
    time.sleep(0.5)
    assert sql(f"SELECT status FROM {T}") == (("RUNNING",),)
    assert r.CUF_HasPendingOrRunning() and r.CUF_GetTaskCount() == 1
    assert read_records(events, "exit") == [] and read_records(events, "dead") == []
    assert proc.poll() is None  # the dispatcher keeps polling


def test_dispatcher_ends_with_driver_error_when_server_goes_away(dispatchers, events):
    if mariadb_private.existing_server_config():
        pytest.skip("needs a private server of its own")
    with mariadb_private.PrivateServer() as server:
        pymysql.connect(**server.config()).cursor().execute("CREATE DATABASE gone")
        cfg = server.config("gone")
        register(cfg, [])
        proc = dispatchers.start(config=cfg, events=events, stop_when_empty=False, record_idle=True, sleep_idle=0.05)
        wait_until(lambda: len(read_records(events, "idle")) >= 2, timeout=30)
    code, out, err = dispatchers.wait(proc, timeout=60)
    assert code == 1
    assert "pymysql.err.OperationalError" in err.strip().splitlines()[-1]
