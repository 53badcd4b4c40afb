"""Sarnovet without a server: module surface, pickling, the exact statements
and transaction ends of each operation (on a scripted driver), the mended
faults: table-name check, clean-up on errors, claim retry, the child's
retried final write, the dispatcher riding out an outage (on a fake
clock), and host code that would crash the interpreter."""
import inspect
import pickle

import pymysql
import pytest

import Sarnovet
from fake_driver import FakeTime, World, deadlock, fake_runner, gone, lock_wait

C = Sarnovet.CLASS_MultiTaskAdv
T = "_syscpu_gate_worker"


def test_module_imports_in_order_and_defines_only_the_class(py):
    out = py("""
        import builtins, sys
        seen, depth = [], [0]
        real = builtins.__import__
        def spy(name, *a, **k):
            if depth[0] <= 1:
                seen.append(name)
            depth[0] += 1
            try:
                return real(name, *a, **k)
            finally:
                depth[0] -= 1
        builtins.__import__ = spy
        import Sarnovet
        builtins.__import__ = real
        print(seen)
        print(sorted(k for k in vars(Sarnovet) if not k.startswith('__')))
        print(Sarnovet.__doc__, Sarnovet.CLASS_MultiTaskAdv.__bases__, Sarnovet.CLASS_MultiTaskAdv.__doc__)
    """).stdout.splitlines()
    assert out[0] == str(["Sarnovet", "pymysql", "multiprocessing", "socket", "time", "os", "uuid"])
    assert out[1] == str(["CLASS_MultiTaskAdv", "multiprocessing", "os", "pymysql", "socket", "time", "uuid"])
    assert out[2] == "None (<class 'object'>,) None"


def test_missing_driver_fails_the_import(py):
    out = py("""
        import sys
        sys.modules['pymysql'] = None
        try:
            import Sarnovet
        except ImportError as e:
            print('ImportError', 'Sarnovet' in sys.modules)
    """).stdout
    assert out.strip() == "ImportError False"


def test_signatures_annotations_and_names():
    assert str(inspect.signature(C)) == (
        "(Pmf_TargetFunc, Pmi_MaxCPU, Pmd_DBConfig, Pms_TableName: str = '_syscpu_gate_worker', "
        "PmF_Event_OnTaskRegister=None, PmF_Event_OnProcessStart=None, PmF_Event_OnProcessExit=None, "
        "PmF_Event_OnProcessDead=None, PmF_Event_OnIdle=None)")
    assert C.__init__.__annotations__ == {"Pms_TableName": str}
    methods = ["CVF_GetDBConn", "CVF_EnsureTable", "CUF_HasPendingOrRunning", "CUF_RegisterTask", "CUF_GetTaskCount",
               "CUF_TryFetchTask", "_ProcessWrapper", "CUF_Run"]
    assert [k for k in vars(C) if not k.startswith("__")] == methods + ["CVI_HeartbeatSeconds", "CVI_LeaseSeconds"]
    assert (C.CVI_HeartbeatSeconds, C.CVI_LeaseSeconds) == (5, 90)
    for name in methods + ["__init__"]:
        assert getattr(C, name).__qualname__ == "CLASS_MultiTaskAdv." + name
        assert getattr(C, name).__doc__ is None
    assert str(inspect.signature(C.CUF_Run)).endswith("Pmi_SleepIdle=1)")
    assert list(inspect.signature(C._ProcessWrapper).parameters) == ["self", "Pmi_WorkerID", "Pms_TaskName"]
    assert C.CUF_Run.__defaults__ == (1,) and C.__init__.__defaults__[0] == "_syscpu_gate_worker"


def test_constructor_sets_attributes_in_order_and_ensures_table():
    world = World()
    ev = [lambda *a: None for _ in range(5)]
    r = fake_runner(world, len, 3, {"a": 1}, "db1.tab", *ev)
    assert list(vars(r)) == ["CVF_TargetFunc", "CVF_MaxCPU", "CVF_TableName", "CVF_DBConfig", "CVF_HostName",
                             "Evt_OnTaskRegister", "Evt_OnProcStart", "Evt_OnProcExit", "Evt_OnProcDead", "Evt_OnIdle"]
    assert [r.CVF_TargetFunc, r.CVF_MaxCPU, r.CVF_TableName, r.CVF_DBConfig] == [len, 3, "db1.tab", {"a": 1}]
    assert [getattr(r, k) for k in list(vars(r))[5:]] == ev
    import socket
    assert r.CVF_HostName == socket.gethostname()
    create = world.log[1][1]
    assert world.log[0] == ("connect",) and world.log[2:5] == [("commit",), ("close",), ("connect",)]
    # the companion tables (reasons, heartbeats) in a transaction of their own
    assert [e[1].split()[5] for e in world.log[5:7]] == ["db1.tab_reason", "db1.tab_lease"]
    assert world.log[7:] == [("commit",), ("close",)]
    assert world.sessions == ["SET SESSION innodb_lock_wait_timeout=LEAST(@@innodb_lock_wait_timeout, 10), "
                              "SESSION wait_timeout=LEAST(@@wait_timeout, 30)"] * 2
    assert create.startswith("CREATE TABLE IF NOT EXISTS db1.tab (") and create.endswith(") ENGINE=InnoDB;")
    assert "worker_id CHAR(36) PRIMARY KEY, -- UUID\n" in create


@pytest.mark.parametrize("proto", range(pickle.HIGHEST_PROTOCOL + 1))
def test_instances_pickle_as_class_and_dict(proto):
    r = C.__new__(C)  # rebuilt without the constructor, as in a spawned child
    r.__dict__.update(CVF_TargetFunc=len, CVF_HostName="h", CVF_DBConfig={"unix_socket": "/x"}, extra=[1, 2])
    back = pickle.loads(pickle.dumps(r, proto))
    assert type(back) is C and vars(back) == vars(r)
    bound = pickle.loads(pickle.dumps(r._ProcessWrapper, proto))
    assert bound.__self__.CVF_DBConfig == {"unix_socket": "/x"} and bound.__name__ == "_ProcessWrapper"


# ----------------------------------------------------------- connections

@pytest.mark.parametrize("config", [
    {"autocommit": True},
    [("host", "x")],
    {1: 2},
    {"host": "x", "autocommit": False},
])
def test_connection_keywords_fail_like_the_host(config):
    with pytest.raises(TypeError) as host_err:
        pymysql.connect(**config, autocommit=False)
    r = C.__new__(C)
    r.CVF_DBConfig = config
    with pytest.raises(TypeError) as ours:
        r.CVF_GetDBConn()
    assert str(ours.value) == str(host_err.value)
    if isinstance(config, dict) and "autocommit" in config:
        with pytest.raises(TypeError, match="multiple values for keyword argument 'autocommit'"):
            C(len, 1, config)


def test_connection_gets_config_plus_autocommit_off(monkeypatch):
    seen = []
    monkeypatch.setattr(Sarnovet, "pymysql", type("D", (), {"connect": staticmethod(lambda **k: seen.append(k))}))
    r = C.__new__(C)
    r.CVF_DBConfig = {"unix_socket": "/s", "user": "u"}
    r.CVF_GetDBConn()
    assert seen == [{"unix_socket": "/s", "user": "u", "autocommit": False}]


# --------------------------------------------------- statements, protocol

def run_op(world, op, *args, max_cpu=2, table=T):
    r = fake_runner(world, None, max_cpu, {}, table)
    r.CVF_HostName = "hostA"
    del world.log[:]
    return r, getattr(r, op)(*args)


def flat(text):
    return " ".join(text.split())


@pytest.mark.parametrize("op, args, rows, statements, end, result", [
    ("CUF_HasPendingOrRunning", (), {"COUNT": (3,)},
     [(f"SELECT COUNT(*) FROM {T} WHERE status IN ('PENDING','RUNNING')",)], ["close"], True),
    ("CUF_HasPendingOrRunning", (), {"COUNT": (0,)}, None, ["close"], False),
    ("CUF_GetTaskCount", (), {"COUNT": (7,)}, [(f"SELECT COUNT(*) FROM {T}",)], ["close"], 7),
    ("CUF_TryFetchTask", (), {"COUNT": (2,)},
     [(f"SELECT COUNT(*) FROM {T} WHERE status='RUNNING' AND host_name=%s", ("hostA",))],
     ["rollback", "close"], None),
    ("CUF_TryFetchTask", (), {"COUNT": (1,)},
     [None, (f"SELECT worker_id, task_name FROM {T} WHERE status='PENDING' ORDER BY worker_id LIMIT 1 FOR UPDATE",)],
     ["rollback", "close"], None),
    ("CUF_TryFetchTask", (), {"COUNT": (1,), "worker_id, task_name": ("w1", "t1")},
     [None, None, (f"UPDATE {T} SET status='RUNNING', host_name=%s, pid=%s, start_time=NOW() WHERE worker_id=%s",
                   ("hostA", "PID", "w1"))],
     ["commit", "close"], ("w1", "t1")),
])
def test_statements_and_transaction_ends(op, args, rows, statements, end, result):
    import os
    world = World(rows)
    _, got = run_op(world, op, *args)
    assert got == result
    executed = [(flat(e[1]),) + e[2:] for e in world.calls("execute")]
    for want, have in zip(statements or [], executed):
        if want is not None:
            want = want[:1] + (tuple(os.getpid() if v == "PID" else v for v in want[1]),) if len(want) > 1 else want
            assert have == want
    assert [e[0] for e in world.log if e[0] != "execute"] == ["connect"] + end


def test_register_inserts_a_uuid4_then_fires_the_event():
    import uuid
    world = World()
    r, got = run_op(world, "CUF_RegisterTask", "job-1")
    assert got is None
    (_, text, (wid, name)), = world.calls("execute")
    assert flat(text) == f"INSERT INTO {T} (worker_id, task_name, status) VALUES (%s, %s, 'PENDING')"
    assert name == "job-1" and str(uuid.UUID(wid)) == wid and uuid.UUID(wid).version == 4
    assert [e[0] for e in world.log] == ["connect", "execute", "commit", "close"]
    seen = []
    r.Evt_OnTaskRegister = lambda *a: seen.append((a, list(world.log[-2:])))
    r.CUF_RegisterTask("job-2")
    assert seen[0][0][1] == "job-2" and seen[0][1] == [("commit",), ("close",)]
    r.Evt_OnTaskRegister = 5  # true but not callable: error after the commit
    with pytest.raises(TypeError):
        r.CUF_RegisterTask("job-3")
    assert world.log[-2:] == [("commit",), ("close",)]


@pytest.mark.parametrize("max_cpu", [None, "2"])
def test_uncomparable_limit_fails_after_the_count(max_cpu):
    world = World({"COUNT": (0,)})
    with pytest.raises(TypeError):
        run_op(world, "CUF_TryFetchTask", max_cpu=max_cpu)
    assert len(world.calls("execute")) == 1
    assert world.log[-2:] == [("rollback",), ("close",)]


@pytest.mark.parametrize("row, message", [
    (("w1",), "not enough values to unpack"),
    (("w1", "t", "x"), "too many values to unpack"),
])
def test_pick_row_must_have_two_items(row, message):
    world = World({"COUNT": (0,), "worker_id, task_name": row})
    with pytest.raises(ValueError, match=message):
        run_op(world, "CUF_TryFetchTask")


# ------------------------------------------------------- table-name check

BAD_NAMES = ["w; DROP TABLE x", "", "a.b.c", ".a", "a.", "x" * 65, "db." + "y" * 65, "tab le", "t`x", "a-b",
             "名字", "t\n", None, 5, b"tab"]


@pytest.mark.parametrize("op, args", [
    ("CVF_EnsureTable", ()), ("CUF_HasPendingOrRunning", ()), ("CUF_RegisterTask", ("n",)),
    ("CUF_GetTaskCount", ()), ("CUF_TryFetchTask", ()),
])
def test_bad_table_names_are_refused_before_connecting(op, args):
    world = World()
    r = fake_runner(world, None, 2, {})
    for bad in BAD_NAMES:
        r.CVF_TableName = bad
        del world.log[:]
        with pytest.raises(ValueError) as err:
            getattr(r, op)(*args)
        assert repr(bad) in str(err.value)
        assert world.log == []


def test_bad_table_name_fails_construction():
    world = World()
    with pytest.raises(ValueError, match="DROP"):
        fake_runner(world, None, 2, {}, "w; DROP TABLE x")
    assert world.log == []


@pytest.mark.parametrize("name", ["w", "db.tab", "x" * 64, "d" * 64 + "." + "t" * 64, "$_9", "Mixed_Case$"])
def test_good_table_names_are_used_verbatim(name):
    world = World({"COUNT": (0,)})
    run_op(world, "CUF_GetTaskCount", table=name)
    assert world.calls("execute")[0][1] == "SELECT COUNT(*) FROM " + name


# -------------------------------------------------- clean-up after errors

@pytest.mark.parametrize("op, args, at", [
    ("CVF_EnsureTable", (), 0), ("CUF_HasPendingOrRunning", (), 0), ("CUF_RegisterTask", ("n",), 0),
    ("CUF_GetTaskCount", (), 0), ("CUF_TryFetchTask", (), 0), ("CUF_TryFetchTask", (), 1),
    ("CUF_TryFetchTask", (), 2), ("_ProcessWrapper", ("w", "n"), 0),
])
def test_errors_roll_back_and_close_and_reach_the_caller_unchanged(op, args, at):
    boom = pymysql.err.ProgrammingError(1146, "Table doesn't exist")
    world = World({"COUNT": (0,), "worker_id, task_name": ("w", "n")})
    r = fake_runner(world, lambda name: None, 2, {})
    r.Evt_OnProcDead = lambda *a: world.log.append(("dead-event",) + a)
    world.errors = [None] * at + [boom] + ([boom] if op == "_ProcessWrapper" else [])
    del world.log[:]
    with pytest.raises(pymysql.err.ProgrammingError) as err:
        getattr(r, op)(*args)
    assert err.value is boom
    ends = [e[0] for e in world.log if e[0] != "execute"]
    per_conn = ["connect", "rollback", "close"]
    assert ends == (per_conn * 2 if op == "_ProcessWrapper" else per_conn)


def test_failed_commit_still_closes():
    world = World()
    r = fake_runner(world, None, 2, {})

    class Err(Exception):
        pass

    def commit():
        world.log.append(("commit",))
        raise Err()

    from fake_driver import FakeConn
    orig = FakeConn.commit
    FakeConn.commit = lambda self: commit()
    try:
        del world.log[:]
        with pytest.raises(Err):
            r.CUF_RegisterTask("x")
    finally:
        FakeConn.commit = orig
    assert [e[0] for e in world.log] == ["connect", "execute", "commit", "rollback", "close"]


# ------------------------------------------------------------ claim retry

@pytest.mark.parametrize("errors, attempts, outcome", [
    ([deadlock()], 2, ("w1", "t1")),
    ([lock_wait(), None, deadlock()], 3, ("w1", "t1")),     # the pick's lock wait, then a deadlock at the count
    ([deadlock()] * 9, 10, ("w1", "t1")),
    ([deadlock()] * 10, 10, "raise"),                       # the last try's error goes on
    ([pymysql.err.OperationalError(2013, "Lost connection")], 1, "raise"),
    ([pymysql.err.InternalError(1213, "any driver error class")], 2, ("w1", "t1")),
    ([RuntimeError(1213)], 1, "raise"),                     # not a driver error
])
def test_claim_retries_deadlocks_and_lock_waits(errors, attempts, outcome):
    world = World({"COUNT": (0,), "worker_id, task_name": ("w1", "t1")})
    r = fake_runner(world, None, 2, {})
    del world.log[:]
    world.errors = list(errors)
    last = errors[-1]
    if outcome == "raise":
        with pytest.raises(type(last)) as err:
            r.CUF_TryFetchTask()
        assert err.value is last
    else:
        assert r.CUF_TryFetchTask() == outcome
    assert len(world.calls("connect")) == attempts
    assert len(world.calls("close")) == attempts
    assert len(world.calls("rollback")) == attempts - (outcome != "raise")


# ------------------------------------------------- child's final write

def grows(pauses):
    """Growing pauses, each cut by up to a half at random."""
    return pauses[:1] < [0.06] and all(b >= a * 0.5 for a, b in zip(pauses, pauses[1:]))


def only(verb, exc):
    return lambda text: exc if text.startswith(verb) else None


def first(n, exc):
    """The first n statements fail with exc."""
    count = [0]

    def errors(text):
        count[0] += 1
        return exc if count[0] <= n else None
    return errors


def raise_(exc):
    def target(name):
        raise exc
    return target


@pytest.mark.parametrize("target, errors, writes, events, raised", [
    (None, [deadlock(), gone(2013), gone(2006), lock_wait(), None], ["DELETE"] * 5, ["exit"], None),
    (None, [pymysql.err.InterfaceError(0, ""), None], ["DELETE"] * 2, ["exit"], None),   # dropped connection
    (None, [KeyboardInterrupt(), None], ["DELETE"] * 2, [], KeyboardInterrupt),  # success still recorded
    (None, first(90, gone(2003)), ["DELETE", "..."], ["exit"], None),  # retried past any window
    (None, [pymysql.err.ProgrammingError(1146, "no table"), None], ["DELETE", "UPDATE"], ["dead"], None),
    # a dead marking: its locking check, then the marking and the reason
    (raise_(KeyboardInterrupt()), [gone(), None], ["UPDATE"], ["dead"], KeyboardInterrupt),
    (raise_(SystemExit(4)), [], ["UPDATE"], ["dead"], SystemExit),
    (raise_(ValueError("bad")), [deadlock(), None], ["UPDATE"], ["dead"], None),
])
def test_child_final_write_is_retried(monkeypatch, target, errors, writes, events, raised):
    clock = FakeTime()
    monkeypatch.setattr(Sarnovet, "time", clock)
    world = World({"COUNT": (1,)})
    r = fake_runner(world, target or (lambda name: None), 2, {})
    r.Evt_OnProcExit = lambda *a: world.log.append(("exit",) + a)
    r.Evt_OnProcDead = lambda *a: world.log.append(("dead",) + a)
    del world.log[:]
    world.errors = errors
    if raised:
        with pytest.raises(raised):
            r._ProcessWrapper("w1", "n1")
    else:
        r._ProcessWrapper("w1", "n1")
    verbs = [e[1].split()[0] for e in world.calls("execute")]
    done = [v for v in verbs if v in ("DELETE", "UPDATE")]
    if "..." in writes:  # the removal until it gets through
        assert done == ["DELETE"] * 91 and clock.now - 1000 > 120 and max(clock.sleeps) <= 2.0
        assert grows(clock.sleeps)
    else:
        assert done == writes and grows(clock.sleeps)
    assert len(world.calls("connect")) == sum(v in ("DELETE", "SELECT") for v in verbs)  # one per try
    assert [e[0] for e in world.log if e[0] in ("exit", "dead")] == events
    if events == ["dead"]:
        assert world.log[-1][1] == "w1"


# -------------------------------------------------- dispatcher outages

class Stop(Exception):
    pass


def failing(n, exc):
    """The first n statements fail with exc."""
    count = [0]

    def errors(text):
        count[0] += 1
        return exc if count[0] <= n else None
    return errors


class StoppingTime(FakeTime):
    """Ends the loop after 200 s on the fake clock."""

    def sleep(self, seconds):
        super().sleep(seconds)
        if self.now > 1200:
            raise Stop()


@pytest.mark.parametrize("errors, lines", [
    (failing(10 ** 6, gone(2003)), ["unreachable, retrying until it answers: (2003"] +
     ["still unreachable after"] * 3),                  # never gives up; says so once a minute
    (failing(4, gone(2013)), ["unreachable, retrying", "reachable again"]),  # over: reported, the loop goes on
    (failing(1, pymysql.err.ProgrammingError(1146, "no table")), pymysql.err.ProgrammingError),
    (failing(10 ** 6, deadlock()), ["busy (rows stay locked), retrying until it answers: (1213"] +
     ["still busy"] * 3),                               # rows locked past the claim's retries: waited for too
])
def test_dispatcher_rides_out_an_outage(monkeypatch, capsys, errors, lines):
    clock = StoppingTime()
    monkeypatch.setattr(Sarnovet, "time", clock)
    world = World({"COUNT": (0,)})
    r = fake_runner(world, None, 2, {})

    def idle():
        raise Stop()
    r.Evt_OnIdle = idle
    world.errors = errors
    with pytest.raises(lines if isinstance(lines, type) else Stop):
        r.CUF_Run(0)
    out = capsys.readouterr().out.splitlines()
    if isinstance(lines, type):
        assert out == []
        return
    assert len(out) == len(lines), out
    for line, want in zip(out, lines):
        assert line.startswith("[Sarnovet] Database " + want), out
    if len(lines) == 2:
        assert out[1] == f"[Sarnovet] Database reachable again after {sum(clock.sleeps):.1f} s"
    else:
        assert 1.5 <= max(clock.sleeps) <= 3.0 and 0.1 <= clock.sleeps[0] <= 0.2


@pytest.mark.parametrize("outage, settled", [(0, True), (3, False)])
def test_lost_hosts_are_settled_but_not_right_after_an_outage(monkeypatch, capsys, outage, settled):
    """A host whose heartbeat is older than the lease is lost, unless this
    dispatcher was cut off itself: then it waits one lease first."""
    monkeypatch.setattr(Sarnovet, "time", StoppingTime())
    world = World({"COUNT": (0,), "h.beat": ("w9", "lost-host")})
    r = fake_runner(world, None, 2, {})

    def idle():
        raise Stop()
    r.Evt_OnIdle = idle
    world.errors = failing(outage, gone(2003))
    with pytest.raises(Stop):
        r.CUF_Run(0)
    marks = [e for e in world.calls("execute") if e[1].startswith("UPDATE") and e[2] == ("w9",)]
    assert bool(marks) == settled
    assert ("host(s) lost-host DEAD: host lost (no heartbeat for over 90.0 s)" in capsys.readouterr().out) == settled


# ------------------------------------------ host code that used to crash

HOSTILE = {
    # The driver error check reads the module's pymysql: a driver whose
    # attribute lookup rebinds that name must stay alive to the end of it.
    "rebinding driver": """
        import pymysql, Sarnovet
        order = []

        class Driver:
            @staticmethod
            def connect(**kw):
                raise pymysql.err.ProgrammingError(1146, "no table")

            def __getattr__(self, name):
                order.append(name)
                Sarnovet.pymysql = pymysql      # the last reference to this driver goes
                return getattr(pymysql, name)

            def __del__(self):
                order.append("freed")

        r = Sarnovet.CLASS_MultiTaskAdv.__new__(Sarnovet.CLASS_MultiTaskAdv)
        r.__dict__.update(CVF_DBConfig={}, CVF_TableName="t", CVF_HostName="h", CVF_MaxCPU=1)
        Sarnovet.pymysql = Driver()
        try:
            r.CUF_TryFetchTask()
        except pymysql.err.ProgrammingError:
            pass
        print(order)
    """,
    # A daemon thread whose connection clean-up blocks while the interpreter
    # shuts down is ended by forced unwinding, which must get through.
    "clean-up at exit": """
        import sys, threading, time, types, Sarnovet
        entered = threading.Event()

        class Conn:
            def cursor(self):
                raise ValueError("no cursor")
            def rollback(self):
                entered.set()
                time.sleep(0.5)
            def close(self):
                pass

        class Runner(Sarnovet.CLASS_MultiTaskAdv):
            def CVF_GetDBConn(self):
                return Conn()

        class SlowTeardown:
            def __del__(self, sleep=time.sleep):
                sleep(1.5)   # lets the daemon thread wake while the host finalises

        r = Runner.__new__(Runner)
        r.CVF_TableName = "t"
        threading.Thread(target=r.CUF_GetTaskCount, daemon=True).start()
        entered.wait(10)
        # Freed when the host clears its modules (this module's namespace
        # stays alive through the thread's frames, so it is not cleared).
        sys.modules["slow_teardown"] = types.ModuleType("slow_teardown")
        sys.modules["slow_teardown"].keep = SlowTeardown()
        print("exiting")
    """,
}


@pytest.mark.parametrize("case, output", [
    ("rebinding driver", "['MySQLError', 'InterfaceError', 'freed']"),
    ("clean-up at exit", "exiting"),
])
def test_hostile_host_code_does_not_crash(py, case, output):
    done = py(HOSTILE[case], timeout=60, check=False)
    assert (done.returncode, done.stdout.strip()) == (0, output), done.stderr
