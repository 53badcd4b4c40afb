"""Reference leaks per call, on a debug interpreter (make refcheck).

Every constructor and method of the four modules, and their main error
paths, is called through Python a few times to warm up, then N times per
round for three rounds; a path whose total reference count
(sys.gettotalrefcount) grows in every round leaks. Module re-execution
(`del sys.modules[m]; import m`) is one of the paths. The table runs in a
child interpreter (this file as a script) that prints one result per path;
a child that dies is restarted after the path that killed it, which is then
reported as a crash. The modules get the stand-ins of tests/standins.py
(capped sleeps, in-place children, the scripted driver).
"""
import ast
import gc
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
N, ROUNDS, WARMUP = 20, 3, 5
NOISE = 2  # references a round may gain without a leak (caches, free lists)


def noop(*args, **kwargs):
    return None


def boom(*args, **kwargs):
    raise ValueError("boom")


def probe(probe_only=False):
    return {"task_type": "cpu_bound", "estimated_cpu_cost": 1.0, "estimated_task_time": 2.0}


async def aprobe(probe_only=False):
    return None


async def reenters(probe_only=False):
    try:
        asyncio.current_task().get_coro().send(None)
    except ValueError:
        pass


class Done(Exception):
    pass


def settle():
    """Stops watchdogs and timers the last call started; waits for every thread."""
    for t in threading.enumerate():
        if t is threading.main_thread():
            continue
        dog = getattr(getattr(t, "_target", None), "__self__", None)
        if isinstance(dog, K.CLASS_WatchDog):
            dog.CUF_Stop()
        if isinstance(t, threading.Timer):
            t.cancel()
        t.join(10)


def runner(mode="cE_TaskM_TThread", func=noop, **kw):
    return K.CLASS_MultiTask(getattr(K.ENUM_TASK_MODE, mode), func, 5, False, **kw)


def adv(*args, **kw):
    return S.CLASS_MultiTaskAdv(*(list(args) + [noop, 2, {}][len(args):]), **kw)


def script(errors=(), count=0, row=("w-1", "t-1")):
    """A fresh driver script for the next call."""
    global world
    world = World(rows={"COUNT": (count,), "worker_id, task_name": row},
                  errors=[deadlock() if e == "deadlock" else e and e() for e in errors])


def with_script(call, *errors, count=0, row=("w-1", "t-1")):
    """call() on a fresh script; errors are exception classes (a new instance
    per call: one raised again would grow its traceback), "deadlock" or None."""
    def run():
        script(errors, count, row)
        return call()
    return run


def deadlock():
    return pymysql.err.OperationalError(1213, "Deadlock found")


def reimport(name):
    del sys.modules[name]
    importlib.import_module(name)


class Box:
    """Receivers made once, outside the measured calls."""

    def __init__(self):
        pass


class Sink:
    """sys.stdout of the child: a file object would keep what it is given
    until it flushes, which looks like a leak."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


B = Box()
M = "cE_TaskM_"

# (name, one call, the exception it raises or None)
TABLE = [
    # Korvanth: runner
    ("MultiTask()", lambda: runner(), None),
    ("MultiTask() with watchdog", lambda: K.CLASS_MultiTask(K.ENUM_TASK_MODE.cE_TaskM_TThread, noop, 5), None),
    ("MultiTask() missing arguments", lambda: K.CLASS_MultiTask(1), TypeError),
    ("MultiTask() watchdog flag raising", lambda: K.CLASS_MultiTask(1, noop, 5, B.bad_bool), ValueError),
    ("CUF_Init_For_PyInstaller", lambda: K.CLASS_MultiTask.CUF_Init_For_PyInstaller(), None),
    ("CUF_Init_For_PyInstaller arguments", lambda: K.CLASS_MultiTask.CUF_Init_For_PyInstaller(1), TypeError),
    ("CUF_Start thread", lambda: B.thread.CUF_Start(), None),
    ("CUF_Start async", lambda: B.async_.CUF_Start(), None),
    ("CUF_Start async re-entering its coroutine", lambda: B.reentrant.CUF_Start(), None),
    ("CUF_Start process", lambda: B.process.CUF_Start(), None),
    ("CUF_Start process with events", lambda: B.process_events.CUF_Start(), None),
    ("CUF_Start process started event raising", lambda: B.process_raising.CUF_Start(), ValueError),
    ("CUF_Start process bound method", lambda: B.bound.CUF_Start(), RuntimeError),
    ("CUF_Start autotune", lambda: B.autotune.CUF_Start(), None),
    ("CUF_Start unknown mode", lambda: B.unknown.CUF_Start(), None),
    ("CUF_Start mode comparison raising", lambda: B.bad_mode.CUF_Start(), ValueError),
    ("CUF_Start arguments", lambda: B.thread.CUF_Start(1), TypeError),
    ("_CUF_Run_Thread", lambda: B.thread._CUF_Run_Thread(), None),
    ("_CUF_Run_Async", lambda: B.async_._CUF_Run_Async(), None),
    ("_CUF_Run_Process", lambda: B.process._CUF_Run_Process(), None),
    ("CUF_EvaluateTask", lambda: B.probed.CUF_EvaluateTask(), None),
    ("CUF_EvaluateTask coroutine function", lambda: B.aprobed.CUF_EvaluateTask(), None),
    ("CUF_EvaluateTask probe raising", lambda: B.probe_raising.CUF_EvaluateTask(), None),
    ("CUF_EvaluateTask probe value not a number", lambda: B.probe_text.CUF_EvaluateTask(), TypeError),
    ("CUF_GetBestMode", lambda: B.probed.CUF_GetBestMode(), None),
    ("CUF_GetBestMode no record", lambda: B.thread.CUF_GetBestMode(), ValueError),
    ("_CVE_OnProcessOverLimit", lambda: B.process_events._CVE_OnProcessOverLimit(2, 2), None),
    ("_CVE_OnProcessOverLimit event raising", lambda: B.process_raising._CVE_OnProcessOverLimit(2, 2), None),
    ("_CVE_OnProcessOverLimit arguments", lambda: B.thread._CVE_OnProcessOverLimit(2), TypeError),
    ("_CUF_WaitProcessExit with record", lambda: B.process_events._CUF_WaitProcessExit(*B.exited(True)), None),
    ("_CUF_WaitProcessExit without record", lambda: B.process_events._CUF_WaitProcessExit(*B.exited(False)), None),
    ("_CUF_OnDead", lambda: B.thread._CUF_OnDead(), None),
    ("attribute missing (__new__ only)", lambda: K.CLASS_MultiTask.__new__(K.CLASS_MultiTask).CUF_Start(),
     AttributeError),
    ("_Process_Entry", lambda: K._Process_Entry(noop, B.gate, B.queue()), None),
    ("_Process_Entry task raising", lambda: K._Process_Entry(boom, None, B.queue()), None),
    ("_Process_Entry queue missing", lambda: K._Process_Entry(noop, None, None), AttributeError),
    # Korvanth: watchdog, gate, group
    ("WatchDog()", lambda: K.CLASS_WatchDog(5, noop), None),
    ("WatchDog() arguments", lambda: K.CLASS_WatchDog(5), TypeError),
    ("CUF_Beat", lambda: B.dog.CUF_Beat(), None),
    ("CUF_Stop", lambda: B.dog.CUF_Stop(), None),
    ("_run stopped", lambda: B.dog._run(), None),
    ("_run timed out", lambda: B.dead_dog._run(), None),
    ("ProcessGate()", lambda: K.CLASS_ProcessGate(noop), None),
    ("CUF_Instance", lambda: K.CLASS_ProcessGate.CUF_Instance(), None),
    ("CUF_Instance first", lambda: (setattr(K.CLASS_ProcessGate, "_instance", None),
                                    K.CLASS_ProcessGate.CUF_Instance(noop)), None),
    ("CUF_GetCPUInfo", lambda: K.CLASS_ProcessGate.CUF_GetCPUInfo(), None),
    ("CUF_Acquire and CUF_Release", lambda: (B.gate.CUF_Acquire(), B.gate.CUF_Release()), None),
    ("CUF_Acquire over the limit", lambda: B.full_gate.CUF_Acquire(), None),
    ("MultiTaskGroup()", lambda: K.CLASS_MultiTaskGroup([(K.ENUM_TASK_MODE.cE_TaskM_TThread, noop)] * 2), None),
    ("MultiTaskGroup() item not a pair", lambda: K.CLASS_MultiTaskGroup([(K.ENUM_TASK_MODE.cE_TaskM_TThread, noop),
                                                                        1]), TypeError),
    ("CUF_EvaluateAll", lambda: B.group.CUF_EvaluateAll(), None),
    ("CUF_StartAll", lambda: B.group.CUF_StartAll(), None),
    # Sarnovet, on the scripted driver
    ("MultiTaskAdv()", with_script(lambda: adv()), None),
    ("MultiTaskAdv() bad table name", with_script(lambda: adv(noop, 2, {}, "a b")), ValueError),
    ("MultiTaskAdv() driver error", with_script(lambda: adv(), ValueError), ValueError),
    ("CVF_GetDBConn", with_script(lambda: B.adv.CVF_GetDBConn()), None),
    ("CVF_GetDBConn config not a mapping", lambda: B.adv_bad_config.CVF_GetDBConn(), TypeError),
    ("CVF_GetDBConn autocommit given", lambda: B.adv_autocommit.CVF_GetDBConn(), TypeError),
    ("CVF_EnsureTable", with_script(lambda: B.adv.CVF_EnsureTable()), None),
    ("CUF_HasPendingOrRunning", with_script(lambda: B.adv.CUF_HasPendingOrRunning()), None),
    ("CUF_RegisterTask", with_script(lambda: B.adv.CUF_RegisterTask("job")), None),
    ("CUF_RegisterTask driver error", with_script(lambda: B.adv.CUF_RegisterTask("job"), ValueError), ValueError),
    ("CUF_GetTaskCount", with_script(lambda: B.adv.CUF_GetTaskCount()), None),
    ("CUF_TryFetchTask claim", with_script(lambda: B.adv.CUF_TryFetchTask()), None),
    ("CUF_TryFetchTask host full", with_script(lambda: B.adv.CUF_TryFetchTask(), count=5), None),
    ("CUF_TryFetchTask nothing pending", with_script(lambda: B.adv.CUF_TryFetchTask(), row=None), None),
    ("CUF_TryFetchTask retried after deadlock", with_script(lambda: B.adv.CUF_TryFetchTask(), None, "deadlock"),
     None),
    ("CUF_TryFetchTask deadlock every time", with_script(lambda: B.adv.CUF_TryFetchTask(), *["deadlock"] * 10),
     Exception),
    ("CUF_TryFetchTask other error", with_script(lambda: B.adv.CUF_TryFetchTask(), KeyError), KeyError),
    ("_ProcessWrapper", with_script(lambda: B.adv_events._ProcessWrapper("w-1", "job")), None),
    ("_ProcessWrapper target raising", with_script(lambda: B.adv_failing._ProcessWrapper("w-1", "job")), None),
    ("CUF_Run until the idle event raises", with_script(lambda: B.adv_idle.CUF_Run(0), row=None), Done),
    ("CUF_Run starting a task", with_script(lambda: B.adv_idle.CUF_Run(0), *[None] * 5, Done), Done),
    # Delmique
    ("Delmique()", lambda: D.CLASS_Delmique(), None),
    ("Delmique() arguments", lambda: D.CLASS_Delmique(1), TypeError),
    ("CUF_DisableCtrlC", lambda: B.util.CUF_DisableCtrlC(), None),
    ("CUF_CurrentTimeInRange", lambda: B.util.CUF_CurrentTimeInRange("000000-235959"), None),
    ("CUF_CurrentTimeInRange no match", lambda: B.util.CUF_CurrentTimeInRange("000000-000000,000001-000001"), None),
    ("CUF_CurrentTimeInRange bad bound", lambda: B.util.CUF_CurrentTimeInRange("99-x"), ValueError),
    ("CUF_CurrentTimeInRange not a string", lambda: B.util.CUF_CurrentTimeInRange(5), AttributeError),
    ("CUF_Delay", lambda: B.util.CUF_Delay(0), None),
    ("CUF_Sleep not a number", lambda: B.util.CUF_Sleep("x"), TypeError),
    ("CUF_GetDateTime", lambda: B.util.CUF_GetDateTime("-", ":"), None),
    ("CUF_GetDate", lambda: B.util.CUF_GetDate(""), None),
    ("CUF_GetTime separator not a string", lambda: B.util.CUF_GetTime(1), TypeError),
    # Pravenor
    ("ThreadTimer()", lambda: P.CLASS_ThreadTimer(1, noop), None),
    ("CUF_Start and CUF_Stop", lambda: B.timer().CUF_Start(), None),
    ("CUF_Stop", lambda: B.timer().CUF_Stop(), None),
    ("run until cancelled", lambda: B.self_cancelling().run(), None),
    ("run args and kwargs copied", lambda: B.self_cancelling([1], {"a": 1}).run(), None),
    ("run args not iterable", lambda: B.self_cancelling(5).run(), TypeError),
    ("run function raising", lambda: P.CLASS_ThreadTimer(0, boom).run(), ValueError),
    ("run arguments", lambda: B.timer().run(1), TypeError),
    ("GE_EVENT_OnTimer", lambda: P.GE_EVENT_OnTimer(), None),
    # a function object of the layer, read through its attributes
    ("constructor attributes", lambda: (K.CLASS_MultiTask.__init__.__qualname__, S.CLASS_MultiTaskAdv.__init__
                                        .__annotations__, P.CLASS_ThreadTimer.run.__doc__, B.thread.__init__), None),
    # module re-execution
] + [(f"re-executing {m}", (lambda m=m: reimport(m)), None) for m in ("Korvanth", "Sarnovet", "Delmique", "Pravenor")]


def prepare():
    global K, S, D, P, World, pymysql, asyncio, threading, importlib
    import asyncio
    import importlib
    import queue
    import threading
    import types

    import pymysql
    sys.path.insert(0, HERE)
    import standins
    from standins import World
    K, S, D, P = standins.install(lambda: world)
    sys.stdout = Sink()
    script()

    class BadBool:
        def __bool__(self):
            raise ValueError("no truth")

    class BadMode:
        def __eq__(self, other):
            raise ValueError("no comparison")
        __hash__ = object.__hash__

    B.bad_bool = BadBool()
    B.thread = runner()
    B.async_ = runner(M + "AsyncThread", aprobe)
    B.reentrant = runner(M + "AsyncThread", reenters)
    B.process = runner(M + "TProcess")
    B.process_events = runner(M + "TProcess", noop, PmF_Event_OnProcessStarted=noop,
                              PmF_Event_OnProcessFinished=noop, PmF_Event_OnProcessOverLimit=noop)
    B.process_raising = runner(M + "TProcess", noop, PmF_Event_OnProcessStarted=boom,
                               PmF_Event_OnProcessOverLimit=boom)
    B.bound = runner(M + "TProcess", Box().__init__)
    B.autotune = runner(M + "AutoTune", probe)
    B.autotune.CUF_EvaluateTask()
    B.unknown = K.CLASS_MultiTask(42, noop, 5, False)
    B.bad_mode = K.CLASS_MultiTask(BadMode(), noop, 5, False)
    B.probed = runner(func=probe)
    B.probed.CUF_EvaluateTask()
    B.aprobed = runner(func=aprobe)
    B.probe_raising = runner(func=boom)
    B.probe_text = runner(func=lambda probe_only=False: {"estimated_cpu_cost": "x"})
    B.queue = queue.Queue

    def exited(with_record):
        q = queue.Queue()
        if with_record:
            q.put({"pid": 1, "status": "OK", "error": None})
        return types.SimpleNamespace(pid=1, exitcode=0, join=noop), q
    B.exited = exited
    B.dog = K.CLASS_WatchDog(5, noop)
    B.dog.CUF_Stop()
    B.dead_dog = K.CLASS_WatchDog(5, noop)
    B.dead_dog.CUF_Stop()
    B.dead_dog._stop, B.dead_dog.CVI_Timeout = False, -1
    B.gate = K.CLASS_ProcessGate()
    B.full_gate = K.CLASS_ProcessGate(lambda cpu, running: B.full_gate.CUF_Release())
    for _ in range(B.full_gate.CVI_CPU_Physical):
        B.full_gate.CUF_Acquire()
    B.group = K.CLASS_MultiTaskGroup([(K.ENUM_TASK_MODE.cE_TaskM_TThread, probe)] * 2)
    B.adv = adv()
    B.adv_bad_config, B.adv_autocommit = adv(), adv()
    B.adv_bad_config.CVF_DBConfig, B.adv_autocommit.CVF_DBConfig = [1], {"autocommit": True}
    B.adv_events = adv(noop, 2, {}, "t", noop, noop, noop, noop)
    B.adv_failing = adv(boom, 2, {}, "t", noop, noop, noop, noop)

    def idle():
        raise Done()
    B.adv_idle = adv(noop, 2, {}, "t", noop, noop, noop, noop, idle)
    B.util = D.CLASS_Delmique()
    B.timer = lambda: P.CLASS_ThreadTimer(0.001, noop)

    def self_cancelling(args=None, kwargs=None):
        t = P.CLASS_ThreadTimer(0, lambda *a, **k: t.cancel(), args, kwargs)
        return t
    B.self_cancelling = self_cancelling
    settle()


def measure(call, expected):
    """Reference growth per round of N calls, or the wrong outcome of the first call."""
    try:
        call()
        outcome = None
    except BaseException as e:
        outcome = e
    settle()
    if expected is None and outcome is not None or expected is not None and not isinstance(outcome, expected):
        return ("outcome", repr(outcome))
    for _ in range(WARMUP):
        once(call)
    deltas = []
    for _ in range(ROUNDS):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(N):
            once(call)
        gc.collect()
        deltas.append(sys.gettotalrefcount() - before)
    return ("deltas", deltas)


def once(call):
    try:
        call()
    except BaseException:
        pass
    settle()


def child_main(start):
    import faulthandler
    faulthandler.enable()
    proto = os.fdopen(os.dup(1), "w")
    prepare()
    for i in range(start, len(TABLE)):
        name, call, expected = TABLE[i]
        sys.stderr.write(f"[refcheck] {i}\n")
        sys.stderr.flush()
        proto.write(ascii((i, measure(call, expected))) + "\n")
        proto.flush()


if __name__ == "__main__":
    child_main(int(sys.argv[1]))
    sys.stdout.flush()
    os._exit(0)


# ================================================================== parent

debug_only = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter: make refcheck")


@pytest.fixture(scope="module")
def results():
    """{index: result} for the whole table, the child restarted after a crash."""
    out, start = {}, 0
    while start < len(TABLE):
        try:
            proc = subprocess.run([sys.executable, __file__, str(start)], capture_output=True, text=True,
                                  timeout=600)
            stdout, stderr, rc = proc.stdout, proc.stderr, proc.returncode
        except subprocess.TimeoutExpired as e:
            stdout, stderr, rc = e.stdout or "", e.stderr or "", "timeout"
            stdout, stderr = (x.decode() if isinstance(x, bytes) else x for x in (stdout, stderr))
        for line in stdout.splitlines():
            i, result = ast.literal_eval(line)
            out[i] = result
        if rc == 0 and len(out) == len(TABLE):
            break
        begun = [int(ln.split()[1]) for ln in stderr.splitlines() if ln.startswith("[refcheck] ")]
        tail = "\n".join(ln for ln in stderr.splitlines() if not ln.startswith("[refcheck] "))[-2500:]
        if not begun:  # the set-up failed: nothing to measure
            out.update((i, ("died", f"set-up failed, exit {rc}:\n{tail}")) for i in range(start, len(TABLE)))
            break
        out[begun[-1]] = ("died", f"exit {rc}:\n{tail}")
        start = begun[-1] + 1
    return out


@debug_only
@pytest.mark.parametrize("index", range(len(TABLE)), ids=[t[0] for t in TABLE])
def test_no_reference_leak_per_call(results, index):
    kind, detail = results[index]
    assert kind != "died", f"the interpreter died on this path ({detail})"
    assert kind != "outcome", f"first call ended with {detail}, expected {TABLE[index][2]}"
    assert min(detail) <= NOISE, f"leaks about {min(detail) / N:.1f} references per call (rounds of {N}: {detail})"

