"""Runner core: start dispatch, the thread and async paths, frozen-program set-up."""
import asyncio
import threading
import types

import pytest

import Korvanth as K

M = K.ENUM_TASK_MODE
WAIT = 5


def make(mode, func, **kw):
    kw.setdefault("Pmb_EnableWatchDog", False)
    return K.CLASS_MultiTask(mode, func, **kw)


@pytest.fixture
def thread_errors(monkeypatch):
    """Collects exceptions that end worker threads."""
    class Errors(list):
        seen = threading.Event()

    errors = Errors()

    def hook(args):
        errors.append(args.exc_value)
        errors.seen.set()

    monkeypatch.setattr(threading, "excepthook", hook)
    return errors


def test_thread_mode_runs_in_daemon_threads_concurrently():
    barrier = threading.Barrier(3, timeout=WAIT)
    seen = []

    def task():
        seen.append((threading.current_thread().daemon, threading.current_thread() is threading.main_thread()))
        barrier.wait()   # both starts must be running at the same time

    r = make(M.cE_TaskM_TThread, task)
    assert r.CUF_Start() is None
    assert r.CUF_Start() is None
    barrier.wait()
    assert seen == [(True, False), (True, False)]


def test_async_mode_runs_each_start_on_its_own_loop():
    loops, done = [], threading.Barrier(3, timeout=WAIT)

    async def task():
        await asyncio.sleep(0.01)
        loops.append((id(asyncio.get_running_loop()), threading.current_thread().daemon))
        await asyncio.get_running_loop().run_in_executor(None, done.wait)
        return "discarded"

    r = make(M.cE_TaskM_AsyncThread, task)
    r.CUF_Start()
    r.CUF_Start()
    done.wait()
    assert len({lid for lid, _ in loops}) == 2 and all(daemon for _, daemon in loops)


class Awaitable:
    """A hand-written awaitable (not a coroutine) that suspends twice."""

    def __init__(self, log):
        self.log = log

    def __await__(self):
        yield from asyncio.sleep(0).__await__()
        self.log.append("resumed")
        yield from asyncio.sleep(0).__await__()
        return "value"


@pytest.mark.parametrize("kind", ["coroutine", "awaitable", "future", "generator-coroutine"])
def test_async_mode_awaits_what_the_task_returns(kind):
    log = []

    async def coro():
        log.append("ran")

    @types.coroutine
    def gen():
        yield
        log.append("ran")

    def task():
        if kind == "coroutine":
            c = coro()
        elif kind == "awaitable":
            log.append("ran")
            c = Awaitable(log)
        elif kind == "generator-coroutine":
            c = gen()
        else:
            fut = asyncio.get_running_loop().create_future()
            asyncio.get_running_loop().call_later(0.01, fut.set_result, 1)
            log.append("ran")
            c = fut
        asyncio.get_running_loop().call_soon(lambda: None)
        return c

    r = make(M.cE_TaskM_AsyncThread, task)
    # the start's thread ends when the loop has run the awaitable to its end
    before = set(threading.enumerate())
    r.CUF_Start()
    new = [t for t in threading.enumerate() if t not in before]
    for t in new:
        t._started.wait(WAIT)  # a thread may be listed before it has started
        t.join(WAIT)
    assert "ran" in log
    if kind == "awaitable":
        assert log == ["ran", "resumed"]


@pytest.mark.filterwarnings("ignore:the \\(type, exc, tb\\) signature:DeprecationWarning")
@pytest.mark.parametrize("args", [(ValueError, None, 5), (ValueError("x"), 1), (1,), ()])
def test_async_coroutine_checks_throw_arguments_as_the_host_does(monkeypatch, args):
    # The coroutine of an async start, taken before asyncio.run drives it.
    caught = []
    monkeypatch.setattr(K, "threading", types.SimpleNamespace(
        Thread=lambda target, daemon: types.SimpleNamespace(start=lambda: caught.append(target))))
    monkeypatch.setattr(K, "asyncio", types.SimpleNamespace(run=lambda coro: coro))
    make(M.cE_TaskM_AsyncThread, print).CUF_Start()
    ours = caught[0]()

    async def host():
        pass
    theirs = host()
    outcomes = []
    for coro in (ours, theirs):
        with pytest.raises(TypeError) as e:
            coro.throw(*args)
        outcomes.append(str(e.value))
        coro.close()
    assert outcomes[0] == outcomes[1]


def test_exceptions_in_worker_threads_go_to_the_thread_hook(thread_errors):
    def boom():
        raise KeyError("from task")

    r = make(M.cE_TaskM_TThread, boom)
    assert r.CUF_Start() is None
    assert thread_errors.seen.wait(WAIT)
    assert isinstance(thread_errors[0], KeyError)

    thread_errors.clear()
    thread_errors.seen.clear()
    make(M.cE_TaskM_AsyncThread, lambda: None).CUF_Start()   # plain function: nothing to await
    assert thread_errors.seen.wait(WAIT)
    assert isinstance(thread_errors[0], TypeError)
    assert "can't be used in 'await' expression" in str(thread_errors[0])


def test_async_task_exception_propagates_out_of_the_loop(thread_errors):
    async def fail():
        await asyncio.sleep(0)
        raise ValueError("async failure")

    make(M.cE_TaskM_AsyncThread, fail).CUF_Start()
    assert thread_errors.seen.wait(WAIT)
    assert isinstance(thread_errors[0], ValueError)


@pytest.mark.parametrize("mode", [1, 2, 3, None, "cE_TaskM_TThread", object()])
def test_a_mode_that_is_no_member_starts_nothing(mode):
    called = []
    r = make(mode, lambda: called.append(1))
    before = threading.active_count()
    assert r.CUF_Start() is None
    assert threading.active_count() == before and called == []


def test_task_function_is_read_in_the_worker_thread():
    gate, done = threading.Event(), threading.Event()
    ran = []

    r = make(M.cE_TaskM_TThread, lambda: ran.append("old"))

    # hold the worker before it reads the attribute: the target is built around the
    # runner, not around the function object
    real_thread = threading.Thread

    class HeldThread(real_thread):
        def run(self):
            gate.wait(WAIT)
            super().run()
            done.set()

    K.threading = types.SimpleNamespace(Thread=HeldThread)
    try:
        r.CUF_Start()
    finally:
        K.threading = threading
    r.CVF_TaskFunc = lambda: ran.append("new")
    gate.set()
    assert done.wait(WAIT)
    assert ran == ["new"]


@pytest.mark.parametrize("flag", [False, 0, None, "", []])
def test_false_watchdog_flags_leave_no_watchdog(flag):
    r = K.CLASS_MultiTask(M.cE_TaskM_TThread, print, 0, flag)
    assert r.CV_WatchDog is None


def test_auto_mode_follows_the_best_mode_at_every_start():
    class R(K.CLASS_MultiTask):
        best = M.cE_TaskM_TThread

        def CUF_GetBestMode(self):
            return self.best

        def _CUF_Run_Thread(self):
            started.append("thread")

        def _CUF_Run_Async(self):
            started.append("async")

    started = []
    r = R(M.cE_TaskM_AutoTune, print, Pmb_EnableWatchDog=False)
    r.CUF_Start()
    r.best = M.cE_TaskM_AsyncThread
    r.CUF_Start()
    r.best = M.cE_TaskM_AutoTune      # not runnable: nothing
    r.CUF_Start()
    assert started == ["thread", "async"]


@pytest.mark.parametrize("args,kwargs,message", [
    ((M.cE_TaskM_TThread,), {}, "missing 1 required positional argument: 'PmF_TaskMainFunc'"),
    ((), {}, "missing 2 required positional arguments: 'PmE_TaskMode' and 'PmF_TaskMainFunc'"),
    ((1, 2, 3, 4, 5, 6, 7, 8), {}, "takes from 3 to 8 positional arguments but 9 were given"),
    ((1, print), {"Pmi_Timeout": 1, "Pmi_TimeOut": 2}, "got an unexpected keyword argument 'Pmi_TimeOut'"),
    ((1, print), {"PmF_TaskMainFunc": print}, "got multiple values for argument 'PmF_TaskMainFunc'"),
])
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        K.CLASS_MultiTask(*args, **kwargs)


def test_init_for_frozen_programs_calls_freeze_support_once(py):
    py("""
        import multiprocessing, Korvanth
        calls = []
        def failing():
            calls.append("fail")
            raise OSError("no")
        multiprocessing.freeze_support = failing
        try:
            Korvanth.CLASS_MultiTask.CUF_Init_For_PyInstaller()
        except OSError:
            pass
        assert Korvanth.CLASS_MultiTask._PyInstaller_Inited is False
        multiprocessing.freeze_support = lambda *a: calls.append(a)

        class Sub(Korvanth.CLASS_MultiTask):
            pass
        assert Sub.CUF_Init_For_PyInstaller() is None
        Korvanth.CLASS_MultiTask.CUF_Init_For_PyInstaller()
        assert calls == ["fail", ()], calls
        assert Korvanth.CLASS_MultiTask._PyInstaller_Inited is True
        assert "_PyInstaller_Inited" not in vars(Sub)
    """)
