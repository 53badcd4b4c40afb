"""Sarnovet without a server: module surface, pickling, the exact statements
and transaction ends of each operation (on a scripted driver), and the
three mended faults: table-name check, clean-up on errors, claim retry."""
import inspect
import pickle

import pymysql
import pytest

import Sarnovet
from fake_driver import World, deadlock, fake_runner, lock_wait

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
        "(Pmf_TargetFunc, Pmi_MaxCPU, Pmd_DBConfig, Pms_TableName='_syscpu_gate_worker', "
        "PmF_Event_OnTaskRegister=None, PmF_Event_OnProcessStart=None, PmF_Event_OnProcessExit=None, "
        "PmF_Event_OnProcessDead=None, PmF_Event_OnIdle=None)")
    assert C.__init__.__annotations__ == {"Pms_TableName": str}
    methods = ["CVF_GetDBConn", "CVF_EnsureTable", "CUF_HasPendingOrRunning", "CUF_RegisterTask", "CUF_GetTaskCount",
               "CUF_TryFetchTask", "_ProcessWrapper", "CUF_Run"]
    assert [k for k in vars(C) if not k.startswith("__")] == methods
    for name in methods + ["__init__"]:
        assert getattr(C, name).__qualname__ == "CLASS_MultiTaskAdv." + name
        assert getattr(C, name).__doc__ is None
    assert str(inspect.signature(C.CUF_Run)).endswith("Pmi_SleepIdle=1)")
    assert list(inspect.signature(C._ProcessWrapper).parameters)[1:] == ["Pmi_WorkerID", "Pms_TaskName"]


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
    assert world.log[0] == ("connect",) and world.log[2:] == [("commit",), ("close",)]
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
    ([deadlock()] * 4, 5, ("w1", "t1")),
    ([deadlock()] * 5, 5, "raise"),                         # the last try's error goes on
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
