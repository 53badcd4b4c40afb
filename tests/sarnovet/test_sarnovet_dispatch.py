"""Dispatcher processes: children under fork and spawn, the idle pass,
exclusivity of claims under load, reaping of ended children, recovery of
rows whose dispatcher is gone, a server restart."""
import collections
import io
import os
import signal
import subprocess
import sys
import textwrap
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


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])  # forkserver: the dispatcher is no parent
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


@pytest.mark.parametrize("name, kill, text", [
    ("hang-1", True, "Process {child} ended with exit code -9 without a result"),  # reported by the dispatcher
    ("exit-1", False, "3"),          # the child marked its row itself; exit code 3 adds no report
])
def test_ended_child_is_reaped(dispatchers, db_config, events, sql, name, kill, text):
    r = register(db_config, [name])
    proc = dispatchers.start(config=db_config, events=events, stop_when_empty=False, record_idle=True,
                             sleep_idle=0.02)
    wait_until(lambda: read_records(events, "run"), timeout=30)
    child = read_records(events, "run")[0][1]
    if kill:
        os.kill(child, signal.SIGKILL)
    wait_until(lambda: sql(f"SELECT status FROM {T}") == (("DEAD",),), timeout=30)
    seen = len(read_records(events, "idle"))
    wait_until(lambda: len(read_records(events, "idle")) >= seen + 10, timeout=30)  # passes after the end
    dispatcher = read_records(events, "idle")[0][1]
    (worker_id,), = sql(f"SELECT worker_id FROM {T}")
    assert [e[1:] for e in read_records(events, "dead")] == [
        [dispatcher if kill else child, worker_id, text.format(child=child)]]
    assert not r.CUF_HasPendingOrRunning() and read_records(events, "exit") == []
    assert proc.poll() is None  # the dispatcher keeps polling


def named_process(worker_id):
    """A process that carries the name a child running this task has."""
    name = "sv-" + worker_id.replace("-", "")[:12]
    proc = subprocess.Popen([sys.executable, "-c", "import ctypes, sys, time; "
                             f"ctypes.CDLL(None).prctl(15, b'{name}', 0, 0, 0); print(flush=True); time.sleep(60)"],
                            stdout=subprocess.PIPE)
    proc.stdout.readline()
    return proc


def test_stranded_rows_are_settled_with_their_reason(dispatchers, db_config, events, sql):
    """A dispatcher of host alpha settles, on its first pass, the RUNNING
    rows under alpha that no live process here can settle, and the rows of
    hosts whose heartbeat is older than the lease; everything else stays."""
    gone = subprocess.Popen(["true"])
    gone.wait(timeout=30)
    zombie = subprocess.Popen(["true"])  # ends, and is not waited for until the end

    def state(pid):
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    me = os.getpid()
    # host, pid, the claim's age in seconds, whether a child runs it here, outcome
    cases = [
        ("alpha", gone.pid, 0, False, ("DEAD", "dispatcher gone")),
        ("alpha", zombie.pid, 0, False, ("DEAD", "dispatcher gone")),
        ("alpha", me, 0, False, ("RUNNING", None)),
        ("alpha", None, 0, False, ("RUNNING", None)),
        ("beta", gone.pid, 0, False, ("RUNNING", None)),           # other host names are not judged here
        ("alpha", me, 10 ** 7, False, ("DEAD", "dispatcher gone")),  # claimed before this process began: pid reused
        ("alpha", gone.pid, 0, True, ("RUNNING", None)),            # its child still runs
        ("gamma", 1, 0, False, ("DEAD", "host lost")),              # heartbeat 200 s old
        ("delta", 1, 0, False, ("RUNNING", None)),                  # heartbeat fresh
        ("epsilon", 1, 0, False, ("RUNNING", None)),                # never kept one
    ]
    named = []
    try:
        wait_until(lambda: state(zombie.pid) == "Z", timeout=30)
        register(db_config, [f"r{i:02d}" for i in range(len(cases))])
        ids = [w for (w,) in sql(f"SELECT worker_id FROM {T} ORDER BY task_name")]
        for w, (host, pid, age, child, _) in zip(ids, cases):
            sql(f"UPDATE {T} SET status='RUNNING', host_name=%s, pid=%s, start_time=NOW() - INTERVAL %s SECOND "
                f"WHERE worker_id=%s", (host, pid, age, w))
            if child:
                named.append(named_process(w))
        sql(f"INSERT INTO {T}_lease VALUES ('gamma', UTC_TIMESTAMP() - INTERVAL 200 SECOND), ('delta', UTC_TIMESTAMP())")
        proc = dispatchers.start(config=db_config, events=events, host="alpha", max_cpu=0, stop_when_empty=False,
                                 max_idle=3)
        code, out, err = dispatchers.wait(proc, timeout=60)
    finally:
        zombie.wait(timeout=30)
        for p in named:
            p.kill()
            p.wait(timeout=30)
    assert code == 0, err
    got = [sql(f"SELECT w.status, r.reason FROM {T} w LEFT JOIN {T}_reason r USING (worker_id) WHERE worker_id=%s",
               (w,))[0] for w in ids]
    assert got == [c[4] for c in cases]
    assert "[Sarnovet] Marked 3 RUNNING row(s) of host alpha DEAD: their processes no longer exist" in out
    assert "[Sarnovet] Marked 1 RUNNING row(s) of host(s) gamma DEAD: host lost (no heartbeat for over 90.0 s)" in out
    assert sql(f"SELECT host_name FROM {T}_lease WHERE beat >= UTC_TIMESTAMP() - INTERVAL 30 SECOND ORDER BY 1") == \
        (("alpha",), ("delta",))


@pytest.mark.parametrize("operator", ["admin", "plain"])
def test_orphan_child_after_a_killed_dispatcher(dispatchers, db_config, events, sql, operator):
    """A dispatcher is killed while its child runs. With the operator
    command (reap, requeue --all, a new dispatcher) the task runs once: the
    row of a live child is left alone and the orphan removes it. When a
    program using only the plain statements settles and requeues the row
    anyway, a new claim runs it again, and the orphan's final write finds
    its claim taken over and leaves the newer claim's row alone."""
    from concurrency_toolkit import worker_table

    def admin(*argv):
        out = io.StringIO()
        return worker_table.main(list(argv), environ=mariadb_private.environment_for(db_config), out=out), \
            out.getvalue()

    register(db_config, ["slow"])
    spec = dict(config=db_config, events=events, max_cpu=1, seconds=3, record_done=True, stop_when_empty=False)
    first = dispatchers.start(**spec)
    wait_until(lambda: read_records(events, "run"), timeout=30)
    os.kill(first.pid, signal.SIGKILL)      # the dispatcher alone: its child goes on
    orphan = read_records(events, "run")[0][1]
    if operator == "admin":
        code, out = admin("reap")
        assert code == 0 and f"its child (pid {orphan}) still runs on this host" in out, out
        assert admin("requeue", "--all")[0] == 0
    else:
        sql(f"UPDATE {T} SET status='DEAD', end_time=NOW()")
        sql(f"UPDATE {T} SET status='PENDING', host_name=NULL, pid=NULL, start_time=NULL, end_time=NULL")
    second = dispatchers.start(**dict(spec, record_idle=True, seconds=6))
    if operator == "plain":
        wait_until(lambda: len(read_records(events, "run")) == 2, timeout=30)
    wait_until(lambda: any(r[1] == orphan for r in read_records(events, "done")), timeout=30)
    time.sleep(0.5)   # the orphan's final write
    left = sql(f"SELECT status, pid FROM {T}")
    if operator == "admin":
        assert left == ()
        wait_until(lambda: len(read_records(events, "idle")) >= 3, timeout=30)
        assert len(read_records(events, "run")) == 1
    else:
        assert left == (("RUNNING", second.pid),)             # the newer claim's row is untouched
        wait_until(lambda: sql(f"SELECT COUNT(*) FROM {T}") == ((0,),), timeout=30)  # and ends with its own child
    dispatchers.kill(second)
    _, out, _ = dispatchers.wait(first, timeout=30)         # the orphan wrote to its dispatcher's output
    assert ("its claim was taken over" in out) == (operator == "plain"), out
    assert read_records(events, "dead") == []


def test_children_of_settled_rows_still_take_slots(dispatchers, db_config, events, sql):
    """A dispatcher frozen past its lease finds its child's row settled when
    it resumes: until that child ends it still counts against the limit."""
    register(db_config, ["a-first"])
    proc = dispatchers.start(config=db_config, events=events, max_cpu=1, seconds=8, record_done=True,
                             stop_when_empty=False, sleep_idle=1)
    wait_until(lambda: read_records(events, "run"), timeout=30)
    time.sleep(0.3)                    # the dispatcher at its limit: in its idle sleep
    os.kill(proc.pid, signal.SIGSTOP)
    try:
        sql(f"UPDATE {T} SET status='DEAD', end_time=NOW()")   # as another host settles a lost host's rows
        register(db_config, ["b-second"])
        time.sleep(5.5)                                         # past the next heartbeat
    finally:
        os.kill(proc.pid, signal.SIGCONT)
    wait_until(lambda: read_records(events, "done"), timeout=30)
    runs = read_records(events, "run")
    assert [r[2] for r in runs] == ["a-first"], runs            # nothing started beside the running child
    wait_until(lambda: len(read_records(events, "done")) == 2, timeout=30)
    # the settled row was removed by its child, the other by its own
    wait_until(lambda: sql(f"SELECT COUNT(*) FROM {T}") == ((0,),), timeout=30)
