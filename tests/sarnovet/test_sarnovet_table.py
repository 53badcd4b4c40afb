"""The worker table on a real server: layout, counts, claims, the child's
wrapper run in this process, lock-wait retry, dispatcher-loop endings."""
import os
import socket
import threading

import pymysql
import pytest

import Sarnovet
from sarnovet_helpers import Recorder, Target, read_records

T = "_syscpu_gate_worker"


@pytest.fixture
def make(db_config, events):
    def make(max_cpu=2, table=T, config=None, **evts):
        r = Sarnovet.CLASS_MultiTaskAdv(Target(events), max_cpu, config or db_config, table)
        for kind in ("OnTaskRegister", "OnProcStart", "OnProcExit", "OnProcDead"):
            setattr(r, "Evt_" + kind, evts.get(kind, Recorder(events, kind)))
        return r
    return make


def rows(sql, table=T):
    return sql(f"SELECT worker_id, task_name, status, host_name, pid, start_time IS NOT NULL, "
               f"end_time IS NOT NULL FROM {table} ORDER BY worker_id")


def test_layout(make, sql, db_config):
    make()
    make()  # IF NOT EXISTS: a second runner leaves the table as it is
    cols = sql("SELECT COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, COLUMN_DEFAULT, COLUMN_KEY FROM "
               "information_schema.COLUMNS WHERE TABLE_SCHEMA=%s AND TABLE_NAME=%s ORDER BY ORDINAL_POSITION",
               (db_config["database"], T))
    assert [c[:3] for c in cols] == [
        ("worker_id", "char(36)", "NO"), ("task_name", "varchar(128)", "NO"), ("host_name", "varchar(128)", "YES"),
        ("pid", "int(11)", "YES"), ("status", "enum('PENDING','RUNNING','DEAD')", "NO"),
        ("create_time", "datetime", "YES"), ("start_time", "datetime", "YES"), ("end_time", "datetime", "YES")]
    assert cols[0][4] == "PRI" and cols[5][3].lower() in ("current_timestamp()", "current_timestamp")
    idx = sql("SELECT INDEX_NAME, COLUMN_NAME FROM information_schema.STATISTICS "
              "WHERE TABLE_SCHEMA=%s AND TABLE_NAME=%s ORDER BY INDEX_NAME", (db_config["database"], T))
    assert sorted(idx) == [("PRIMARY", "worker_id"), ("idx_host", "host_name"), ("idx_status", "status")]
    assert sql("SELECT ENGINE FROM information_schema.TABLES WHERE TABLE_SCHEMA=%s AND TABLE_NAME=%s",
               (db_config["database"], T)) == (("InnoDB",),)


def test_register_count_and_claim_in_worker_id_order(make, sql, events):
    r = make(max_cpu=10)
    assert (r.CUF_GetTaskCount(), r.CUF_HasPendingOrRunning(), r.CUF_TryFetchTask()) == (0, False, None)
    for i in range(5):
        assert r.CUF_RegisterTask(f"job{i % 3}") is None
    registered = read_records(events, "OnTaskRegister")
    assert [e[3] for e in registered] == ["job0", "job1", "job2", "job0", "job1"]
    assert len({e[2] for e in registered}) == 5
    assert sorted(w for w, *_ in rows(sql)) == sorted(e[2] for e in registered)
    assert all(status == "PENDING" and host is None for _, _, status, host, *_ in rows(sql))
    claimed = [r.CUF_TryFetchTask() for _ in range(3)]
    assert [w for w, _ in claimed] == sorted(e[2] for e in registered)[:3]
    names = {e[2]: e[3] for e in registered}
    assert all(names[w] == n for w, n in claimed)
    running = [row for row in rows(sql) if row[2] == "RUNNING"]
    assert [row[3:] for row in running] == [(socket.gethostname(), os.getpid(), 1, 0)] * 3
    sql(f"UPDATE {T} SET status='DEAD' WHERE worker_id=%s", (claimed[0][0],))
    assert (r.CUF_GetTaskCount(), r.CUF_HasPendingOrRunning()) == (5, True)
    sql(f"UPDATE {T} SET status='DEAD'")
    assert (r.CUF_GetTaskCount(), r.CUF_HasPendingOrRunning(), r.CUF_TryFetchTask()) == (5, False, None)


@pytest.mark.parametrize("max_cpu, own_running, other_running, claims", [
    (2, 2, 0, False),      # at the limit
    (2, 1, 5, True),       # other hosts' rows do not count
    (0, 0, 0, False),
    (-1, 0, 0, False),
    (3, 2, 0, True),
])
def test_per_host_limit(make, sql, max_cpu, own_running, other_running, claims):
    r = make(max_cpu=max_cpu)
    r.CVF_HostName = "alpha"
    for i in range(own_running + other_running + 2):
        r.CUF_RegisterTask(f"t{i}")
    ids = [w for w, *_ in rows(sql)]
    for i, w in enumerate(ids[:own_running + other_running]):
        sql(f"UPDATE {T} SET status='RUNNING', host_name=%s WHERE worker_id=%s",
            ("alpha" if i < own_running else "beta", w))
    got = r.CUF_TryFetchTask()
    assert (got is not None) == claims
    if claims:
        assert got[0] == ids[own_running + other_running]
    assert sum(row[3] == "alpha" for row in rows(sql)) == own_running + claims


def test_qualified_table_name(make, sql, db_config):
    table = db_config["database"] + ".qualified_tab"
    r = make(table=table, config={k: v for k, v in db_config.items() if k != "database"})
    r.CUF_RegisterTask("q")
    assert r.CUF_GetTaskCount() == 1 and r.CUF_HasPendingOrRunning()
    w, n = r.CUF_TryFetchTask()
    r._ProcessWrapper(w, n)
    assert sql(f"SELECT COUNT(*) FROM {table}") == ((0,),)
    with pytest.raises(pymysql.err.ProgrammingError):
        sql(f"SELECT COUNT(*) FROM {T}")  # the default table was never made


def wrapper_case(make, sql, events, name, **evts):
    r = make(**evts)
    r.CUF_RegisterTask(name)
    w, n = r.CUF_TryFetchTask()
    result = r._ProcessWrapper(w, n)
    kinds = [(e[0], e[-1]) for e in read_records(events) if e[0] != "OnTaskRegister"]
    return w, result, kinds, rows(sql)


def test_wrapper_success_deletes_the_row(make, sql, events):
    w, result, kinds, table = wrapper_case(make, sql, events, "ok-1")
    assert result is None and table == ()
    assert kinds == [("OnProcStart", "ok-1"), ("run", "ok-1"), ("OnProcExit", "ok-1")]
    assert read_records(events, "OnProcExit")[0][2] == w


def test_wrapper_failure_marks_the_row_dead(make, sql, events):
    w, result, kinds, table = wrapper_case(make, sql, events, "fail-1")
    assert result is None
    assert [k for k, _ in kinds] == ["OnProcStart", "run", "OnProcDead"]
    dead = read_records(events, "OnProcDead")[0]
    assert dead[2:] == [w, "task fail-1 failed"]
    assert table[0][2] == "DEAD" and table[0][6] == 1
    assert sql(f"SELECT reason FROM {T}_reason WHERE worker_id=%s", (w,)) == (("ValueError: task fail-1 failed",),)
    r = make()
    assert r.CUF_TryFetchTask() is None and r.CUF_GetTaskCount() == 1


def test_wrapper_exit_event_error_removes_row_and_fires_dead(make, sql, events):
    def bad_exit(*a):
        raise KeyError("exit event broke")
    w, result, kinds, table = wrapper_case(make, sql, events, "ok-2", OnProcExit=bad_exit)
    assert table == () and [k for k, _ in kinds] == ["OnProcStart", "run", "OnProcDead"]
    assert read_records(events, "OnProcDead")[0][3] == "'exit event broke'"


def test_wrapper_uncallable_start_event_skips_target(make, sql, events):
    w, result, kinds, table = wrapper_case(make, sql, events, "ok-3", OnProcStart="yes")
    assert [k for k, _ in kinds] == ["OnProcDead"] and table[0][2] == "DEAD"
    assert "not callable" in read_records(events, "OnProcDead")[0][3]


@pytest.mark.parametrize("name, error, text, reason", [("exit-1", SystemExit, "3", "SystemExit: 3"),
                                                       ("intr-1", KeyboardInterrupt, "", "KeyboardInterrupt")])
def test_wrapper_exit_request_marks_the_row_then_passes_through(make, sql, events, name, error, text, reason):
    r = make()
    r.CUF_RegisterTask(name)
    w, n = r.CUF_TryFetchTask()
    with pytest.raises(error):
        r._ProcessWrapper(w, n)
    assert rows(sql)[0][2] == "DEAD" and rows(sql)[0][6] == 1
    assert [e[0] for e in read_records(events)] == ["OnTaskRegister", "OnProcStart", "run", "OnProcDead"]
    assert read_records(events, "OnProcDead")[0][2:] == [w, text]
    assert sql(f"SELECT reason FROM {T}_reason") == ((reason,),)


def test_wrapper_dead_event_error_chains_to_the_task_error(make, sql, events):
    def bad_dead(*a):
        raise RuntimeError("dead event broke")
    r = make(OnProcDead=bad_dead)
    r.CUF_RegisterTask("fail-2")
    w, n = r.CUF_TryFetchTask()
    with pytest.raises(RuntimeError) as err:
        r._ProcessWrapper(w, n)
    assert isinstance(err.value.__context__, ValueError)
    assert rows(sql)[0][2] == "DEAD"


class NoStart:
    """multiprocessing stand-in whose processes cannot start."""

    class Process:
        def __init__(self, target, args):
            pass

        def start(self):
            raise OSError("cannot start a process")


@pytest.mark.parametrize("setup, sleep, error, tasks, left", [
    (dict(max_cpu=None), 1, TypeError, 0, ()),          # limit not comparable: first pass fails
    (dict(Evt_OnIdle=42), 0, TypeError, 0, ()),         # true, not callable
    (dict(), -1, ValueError, 0, ()),                    # time.sleep(-1)
    (dict(multiprocessing=NoStart), 0, OSError, 1, (("DEAD",),)),  # the claimed row is marked first
])
def test_dispatcher_loop_ends_with_the_first_error(make, sql, monkeypatch, setup, sleep, error, tasks, left):
    r = make(max_cpu=setup.pop("max_cpu", 2))
    if "multiprocessing" in setup:
        monkeypatch.setattr(Sarnovet, "multiprocessing", setup.pop("multiprocessing"))
    for k, v in setup.items():
        setattr(r, k, v)
    for i in range(tasks):
        r.CUF_RegisterTask(f"t{i}")
    with pytest.raises(error):
        r.CUF_Run(sleep)
    assert sql(f"SELECT status FROM {T}") == left


@pytest.mark.parametrize("name, stored", [
    ("報告-ß-é-😀", True),        # beyond Latin-1, four-byte UTF-8 included
    ("x" * 128, True),
    ("x" * 129, False),           # too long: refused, not cut
])
def test_task_names_are_stored_as_given(make, sql, name, stored):
    r = make(max_cpu=5)
    if stored:
        r.CUF_RegisterTask(name)
        assert r.CUF_TryFetchTask()[1] == name
    else:
        with pytest.raises(pymysql.err.DataError):
            r.CUF_RegisterTask(name)
        assert r.CUF_GetTaskCount() == 0


def test_subclass_overrides_are_used_and_lock_waits_are_retried(make, db_config, sql):
    """A claim whose pick waits on a row locked by another transaction gets
    error 1205 and is run again, on a new connection, until it succeeds."""
    opened = []

    class Counting(Sarnovet.CLASS_MultiTaskAdv):
        def CVF_GetDBConn(self):
            opened.append(threading.current_thread().name)
            return super().CVF_GetDBConn()

    cfg = dict(db_config, init_command="SET innodb_lock_wait_timeout=1")
    r = Counting(None, 5, cfg)
    assert opened == ["MainThread"] * 2  # the constructor's table creations came through the override
    r.CUF_RegisterTask("locked")
    holder = pymysql.connect(**db_config, autocommit=False)
    hcur = holder.cursor()
    hcur.execute(f"SELECT worker_id, task_name FROM {T} WHERE status='PENDING' ORDER BY worker_id LIMIT 1 FOR UPDATE")
    release = threading.Timer(1.6, holder.rollback)
    release.start()
    try:
        del opened[:]
        got = r.CUF_TryFetchTask()
    finally:
        release.join(10)
        holder.close()
    assert got is not None and got[1] == "locked"
    assert len(opened) >= 2
    assert rows(sql)[0][2] == "RUNNING"
