import contextlib
import os
import queue
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import Korvanth
from conftest import run_python

HERE = os.path.dirname(os.path.abspath(__file__))
METHODS = ["fork", "spawn", "forkserver"]

HEADER = """
import multiprocessing, os, signal, sys, time
multiprocessing.set_start_method({method!r})
import Korvanth
import process_tasks as T
from process_tasks import next_event
M = Korvanth.ENUM_TASK_MODE.cE_TaskM_TProcess
G = Korvanth.CLASS_ProcessGate

def runner(func, cls=Korvanth.CLASS_MultiTask, **kw):
    kw.setdefault("Pmb_EnableWatchDog", False)
    kw.setdefault("PmF_Event_OnProcessStarted", T.on_started)
    kw.setdefault("PmF_Event_OnProcessFinished", T.on_finished)
    return cls(M, func, **kw)

def gate_is_idle():
    g = G._instance
    return g.CVI_RunningProc.value == 0 and g.CV_Semaphore.get_value() == g.CVI_CPU_Physical
"""


def script(method, body, timeout=90, env=None):
    code = textwrap.dedent(HEADER.format(method=method)) + textwrap.dedent(body)
    full_env = {"PYTHONPATH": HERE + os.pathsep + os.environ.get("PYTHONPATH", "")}
    full_env.update(env or {})
    return run_python(code, timeout=timeout, env=full_env)


def test_refusals_leave_the_gate_alone(py):
    script("fork", """
        class Holder:
            def work(self):
                pass
        def outer():
            n = 1
            def inner():
                return n
            return inner
        bound = "[CLASS_MultiTask] TProcess mode does NOT allow class member functions (bound method).\\n" \
                "Please use a module-level function instead."
        cases = [
            (Holder().work, bound),
            # the toolkit's own methods bind as host methods do
            (runner(T.ok).CUF_GetBestMode, bound),
            (outer(), "[CLASS_MultiTask] TProcess mode does NOT allow lambda or closure functions.\\n"
                      "Please use a pure module-level function."),
        ]
        for func, message in cases:
            try:
                runner(func).CUF_Start()
            except RuntimeError as e:
                assert str(e) == message, str(e)
            else:
                raise AssertionError("launched")
            assert G._instance is None
    """)


@pytest.mark.parametrize("method", METHODS)
def test_records_and_events(method, tmp_path):
    mark = tmp_path / "coroutine-ran"
    out = script(method, """
        import math
        # The first runner creates the gate and travels with it (watchdog included).
        first = runner(T.ok, cls=T.ExitCodeRunner, Pmb_EnableWatchDog=True, Pmi_Timeout=600)
        cases = [
            (first, "OK", None, 0),
            (runner(T.boom, cls=T.ExitCodeRunner), "EXCEPTION", "ValueError: bad thing\\n", 0),
            (runner(T.huge, cls=T.ExitCodeRunner), "EXCEPTION", "ValueError: " + "x" * 2_000_000 + "\\n", 0),
            (runner(T.exit3, cls=T.ExitCodeRunner), "OK", None, 3),
            (runner(T.coro, cls=T.ExitCodeRunner), "OK", None, 0),
            # a built-in passes the checks; called without its argument it fails in the child
            (runner(math.factorial, cls=T.ExitCodeRunner), "EXCEPTION",
             "TypeError: math.factorial() takes exactly one argument (0 given)\\n", 0),
            (runner(T.ok, cls=T.ExitCodeRunner, PmF_Event_OnProcessStarted=None), "OK", None, 0),
        ]
        for r, status, tail, code in cases:
            r.CUF_Start()
            if r.CVE_OnProcessStarted is not None:
                _, pid, task = next_event("started")
                assert task is r
            _, fpid, fstatus, error, ftask = next_event("finished")
            _, epid, exitcode = next_event("exit")
            assert ftask is r and epid == fpid
            if r.CVE_OnProcessStarted is not None:
                assert fpid == pid
            assert (fstatus, exitcode) == (status, code), (r.CVF_TaskFunc, fstatus, exitcode, error)
            if tail is None:
                assert error is None
            else:
                assert error.startswith("Traceback (most recent call last):") and error.endswith(tail), error[-200:]
        assert gate_is_idle()
        print("done")
    """, env={"CORO_MARK": str(mark)})
    assert out.stdout.splitlines()[-1] == "done"
    assert not mark.exists()


@pytest.mark.parametrize("method", METHODS)
def test_child_ending_without_a_record_gives_its_slot_back(method):
    script(method, """
        cap = G.CUF_Instance().CVI_CPU_Physical
        for i in range(cap + 1):
            r = runner(T.die)
            r.CUF_Start()
            _, pid, _ = next_event("started")
            _, fpid, status, error, task = next_event("finished")
            assert (fpid, status, error, task) == (pid, "EXCEPTION", f"Process {pid} ended with exit code 7 without a result", r)
        for i in range(cap + 1):
            os.environ["TASK_SLEEP"] = "60"
            runner(T.sleeper).CUF_Start()
            _, pid, _ = next_event("started")
            os.kill(pid, signal.SIGKILL)
            _, fpid, status, error, _ = next_event("finished")
            assert (fpid, status, error) == (pid, "EXCEPTION", f"Process {pid} ended with exit code -9 without a result")
        # after more kills than slots a launch still goes through at once
        assert gate_is_idle()
        runner(T.ok).CUF_Start()
        assert next_event("finished")[2] == "OK"
        assert gate_is_idle()
    """)


@pytest.mark.parametrize("method, breakage", [
    ("spawn", "unpicklable"),  # a lambda of the main script cannot be found by name in the child
    ("forkserver", "unpicklable"),
    ("fork", "start"),
    ("fork", "queue"),
])
def test_failed_launch_gives_the_slot_back(method, breakage):
    script(method, f"""
        breakage = {breakage!r}
        G.CUF_Instance()
        task = T.ok
        if breakage == "unpicklable":
            task = lambda: None
        real_process, real_queue = multiprocessing.Process, multiprocessing.Queue
        if breakage == "start":
            class Broken(multiprocessing.Process):
                def start(self):
                    raise OSError("cannot start")
            multiprocessing.Process = Broken
        elif breakage == "queue":
            def broken_queue():
                raise OSError("no queue")
            multiprocessing.Queue = broken_queue
        for _ in range(G._instance.CVI_CPU_Physical + 1):
            try:
                runner(task).CUF_Start()
            except Exception as e:
                assert breakage != "unpicklable" or "lambda" in str(e), repr(e)
            else:
                raise AssertionError("launched")
            assert gate_is_idle()
        multiprocessing.Process, multiprocessing.Queue = real_process, real_queue
        runner(T.ok).CUF_Start()
        assert next_event("finished")[2] == "OK"
    """)


@pytest.mark.parametrize("method", METHODS)
def test_raising_started_callback_still_collects_the_child(method):
    script(method, """
        for i in range(G.CUF_Instance().CVI_CPU_Physical + 1):
            r = runner(T.boom, PmF_Event_OnProcessStarted=T.on_started_raising)
            try:
                r.CUF_Start()
            except LookupError as e:
                assert str(e) == "started callback failed"
            else:
                raise AssertionError("the started callback's error was lost")
            _, pid, _ = next_event("started")
            _, fpid, status, error, task = next_event("finished")
            assert (fpid, status, task) == (pid, "EXCEPTION", r) and error.endswith("ValueError: bad thing\\n")
        time.sleep(0.2)
        assert gate_is_idle()
    """)


@pytest.mark.parametrize("interrupt", [False, True], ids=["ends", "interrupted"])
@pytest.mark.parametrize("method", METHODS)
def test_program_ending_after_its_launch(method, interrupt, tmp_path):
    # The program ends right after CUF_Start. Its child still runs the task
    # (the host's exit must not unlink the semaphores before a spawned child
    # opened them); a task that never ends leaves the program waiting for it
    # at exit, and one interrupt to the program ends that wait.
    mark = tmp_path / "ran"
    code = textwrap.dedent(HEADER.format(method=method)) + textwrap.dedent(f"""
        import atexit
        os.environ["TASK_SLEEP"] = "{600 if interrupt else 0.3}"
        runner(T.sleep_then_mark).CUF_Start()
        print(next_event("started")[1])
        atexit.register(print, "exiting")  # runs just before the host's exit handler
    """)
    env = dict(os.environ, PYTHONUNBUFFERED="1", TASK_MARK=str(mark),
               PYTHONPATH=HERE + os.pathsep + os.environ.get("PYTHONPATH", ""))
    # (SIGINT may be ignored where the suite runs; the program gets the
    # default.) Its stderr goes to a file: the child keeps inherited pipes.
    with open(tmp_path / "stderr", "w") as err_file:
        proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=err_file, text=True,
                                env=env, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    child = None
    try:
        if interrupt:
            child = int(proc.stdout.readline())
            assert proc.stdout.readline() == "exiting\n"
            time.sleep(0.5)
            proc.send_signal(signal.SIGINT)
        proc.wait(timeout=60)
    finally:
        proc.kill()
        if child is not None:
            alive = os.path.exists(f"/proc/{child}")
            with contextlib.suppress(ProcessLookupError):
                os.kill(child, signal.SIGKILL)
        proc.stdout.close()
    err = (tmp_path / "stderr").read_text()
    assert proc.returncode == 0, err
    if interrupt:
        assert alive and "KeyboardInterrupt" in err and not mark.exists(), err
    else:
        # (under load the resource tracker may still warn about a semaphore
        # at exit: noise from the host's clean-up, not a lost task)
        assert mark.read_text() == "ran" and "Traceback" not in err, err


@pytest.mark.parametrize("raising", [False, True])
def test_full_gate_prints_through_the_first_runner_and_waits(raising):
    out = script("fork", f"""
        os.environ["TASK_SLEEP"] = "1.5"
        first = runner(T.sleeper, PmF_Event_OnProcessOverLimit=T.on_over_raising if {raising} else T.on_over)
        first.CUF_Start()
        cap = G._instance.CVI_CPU_Physical
        for _ in range(cap - 1):
            runner(T.sleeper).CUF_Start()
        print("gate full", flush=True)
        t0 = time.monotonic()
        runner(T.ok, PmF_Event_OnProcessOverLimit=T.on_over_other).CUF_Start()
        waited = time.monotonic() - t0
        assert waited > 0.5, waited
        assert next_event("over") == ("over", cap, cap, first)
        for _ in range(cap + 1):
            assert next_event("finished")[2] == "OK"
        rest = [T.events.get_nowait()[0] for _ in range(T.events.qsize())]
        assert "over" not in rest and "over-other" not in rest, rest
        print("cap", cap)
    """)
    lines = out.stdout.splitlines()
    cap = lines[-1].split()[1]
    expected = ["gate full", f"[ProcessGate] Over CPU core count limited!(CPU={cap}, Running={cap})"]
    if raising:
        expected.append("[ProcessGate] External event error: over failed")
    assert lines[:-1] == expected


def test_over_limit_handler_guards_only_exceptions(py):
    out = py("""
        import Korvanth
        M = Korvanth.ENUM_TASK_MODE.cE_TaskM_TProcess
        seen = []
        class Stop(BaseException):
            pass
        def ok(**kw):
            seen.append(kw)
        def bad(**kw):
            raise KeyError("k")
        def fatal(**kw):
            raise Stop()
        r = Korvanth.CLASS_MultiTask(M, print, Pmb_EnableWatchDog=False, PmF_Event_OnProcessOverLimit=ok)
        r._CVE_OnProcessOverLimit(4, 4)
        assert seen == [dict(cpu_max=4, running=4, task=r)]
        r.CVE_OnProcessOverLimit = bad
        r._CVE_OnProcessOverLimit(2.5, "x")
        r.CVE_OnProcessOverLimit = 7
        r._CVE_OnProcessOverLimit(1, 0)
        r.CVE_OnProcessOverLimit = fatal
        try:
            r._CVE_OnProcessOverLimit(1, 1)
        except Stop:
            print("propagated")
    """)
    assert out.stdout.splitlines() == [
        "[ProcessGate] Over CPU core count limited!(CPU=4, Running=4)",
        "[ProcessGate] Over CPU core count limited!(CPU=2.5, Running=x)",
        "[ProcessGate] External event error: 'k'",
        "[ProcessGate] Over CPU core count limited!(CPU=1, Running=0)",
        "[ProcessGate] Over CPU core count limited!(CPU=1, Running=1)",
        "propagated",
    ]


class OrderedGate:
    def __init__(self, log):
        self.log = log

    def CUF_Release(self):
        self.log.append("release")


class LoggingQueue(queue.Queue):
    def __init__(self, log):
        super().__init__()
        self.log = log

    def put(self, item):
        self.log.append("put")
        super().put(item)


def fails():
    raise ValueError("direct")


def interrupted():
    raise KeyboardInterrupt


@pytest.mark.parametrize("task, status, propagates", [
    (lambda: 5, "OK", None),
    (fails, "EXCEPTION", None),
    (interrupted, "OK", KeyboardInterrupt),
    (lambda: (_ for _ in ()).throw(SystemExit(3)), "OK", SystemExit),
])
@pytest.mark.parametrize("with_gate", [True, False])
def test_entry_releases_before_it_puts_the_record(task, status, propagates, with_gate):
    log = []
    q = LoggingQueue(log)
    gate = OrderedGate(log) if with_gate else None
    if propagates:
        with pytest.raises(propagates):
            Korvanth._Process_Entry(task, gate, q)
    else:
        assert Korvanth._Process_Entry(task, gate, q) is None
    assert log == (["release", "put"] if with_gate else ["put"])
    record = q.get_nowait()
    assert list(record) == ["pid", "status", "error"]
    assert (record["pid"], record["status"]) == (os.getpid(), status)
    if status == "OK":
        assert record["error"] is None
    else:
        assert record["error"].startswith("Traceback (most recent call last):\n")
        assert 'raise ValueError("direct")' in record["error"]
        assert record["error"].endswith("ValueError: direct\n")
