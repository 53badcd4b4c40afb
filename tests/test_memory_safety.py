"""Call sequences that once crashed the interpreter: each runs in a fresh
interpreter and must end with the host's own behaviour (its exceptions,
its output) and exit code 0."""
import pytest

CASES = {
    # The coroutine that drives an async task, reached from inside the task.
    "async task re-enters its own coroutine": ("""
        import asyncio, threading, Korvanth
        done = threading.Event()
        async def task():
            c = asyncio.current_task().get_coro()
            for name, f in [("send", lambda: c.send(None)), ("throw", lambda: c.throw(KeyError)),
                            ("close", c.close), ("next", lambda: c.__next__())]:
                try:
                    f()
                except ValueError as e:
                    print(name, e)
            done.set()
        Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_AsyncThread, task,
                                 Pmb_EnableWatchDog=False).CUF_Start()
        assert done.wait(10)
    """, "send coroutine already executing\nthrow coroutine already executing\n"
         "close coroutine already executing\nnext coroutine already executing\n"),
    # The task function itself (before it returns its awaitable) steps the
    # coroutine that called it; what it returns is still freed afterwards.
    "task function steps the driving coroutine": ("""
        import asyncio, gc, threading, weakref, Korvanth
        refs, done = [], threading.Event()
        async def inner():
            done.set()
        def task():
            try:
                asyncio.current_task().get_coro().send(None)
            except ValueError as e:
                print(e)
            c = inner()
            refs.append(weakref.ref(c))
            return c
        Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_AsyncThread, task,
                                 Pmb_EnableWatchDog=False).CUF_Start()
        assert done.wait(10)
        for _ in range(100):
            gc.collect()
            if refs[0]() is None:
                break
            threading.Event().wait(0.05)
        print(refs[0]() is None)
    """, "coroutine already executing\nTrue\n"),
    # Internal helper types cannot be made from Python.
    "helper types are not instantiable": ("""
        import asyncio, threading, Korvanth
        made = {"function wrapper": type(Korvanth.CLASS_MultiTask.__dict__["__init__"])}
        class FakeThreading:
            class Thread:
                def __init__(self, target, daemon):
                    made["thread target"] = type(target)
                def start(self):
                    pass
        real, Korvanth.threading = Korvanth.threading, FakeThreading
        Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_TThread, print,
                                 Pmb_EnableWatchDog=False).CUF_Start()
        Korvanth.threading = real
        done = threading.Event()
        async def task():
            made["coroutine"] = type(asyncio.current_task().get_coro())
            done.set()
        Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_AsyncThread, task,
                                 Pmb_EnableWatchDog=False).CUF_Start()
        assert done.wait(10)
        for name, t in made.items():
            try:
                t()
            except TypeError:
                print(name, "refused")
    """, "function wrapper refused\nthread target refused\ncoroutine refused\n"),
    # A key whose comparison replaces the wrapper's attribute dictionary
    # while that dictionary is searched.
    "attribute lookup survives its dictionary being replaced": ("""
        import Korvanth
        init = Korvanth.CLASS_MultiTask.__dict__["__init__"]
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                init.__dict__ = {}
                junk = [bytes(64) for _ in range(10000)]
                return False
        init.__dict__ = dict({Key("zz"): 1}, **{"k%d" % i: i for i in range(100)})
        try:
            init.zz
        except AttributeError:
            print("AttributeError")
    """, "AttributeError\n"),
    # The names a call's messages quote stay strings.
    "function names stay strings": ("""
        import Korvanth
        f = Korvanth.CLASS_WatchDog.CUF_Beat
        for name, value in [("__name__", 1), ("__qualname__", None), ("__annotations__", 3)]:
            try:
                setattr(f, name, value)
            except TypeError as e:
                print(e)
        try:
            f()
        except TypeError as e:
            print(e)
    """, "__name__ must be set to a str object\n__qualname__ must be set to a str object\n"
         "__annotations__ must be set to a dict object\n"
         "CLASS_WatchDog.CUF_Beat() missing 1 required positional argument: 'self'\n"),
    # The child entry's clean-up raises an exception that is already in
    # the context chain of the task's error: chained as the host does,
    # without a cycle.
    "clean-up error chains without a context cycle": ("""
        import Korvanth
        e = ValueError("e")
        def task():
            try:
                raise e
            except ValueError:
                raise KeyboardInterrupt
        class Gate:
            def CUF_Release(self):
                raise e
        try:
            Korvanth._Process_Entry(task, Gate(), None)
        except BaseException as err:
            chain, x = [], err
            while x is not None and len(chain) < 5:
                chain.append(type(x).__name__)
                x = x.__context__
            print(chain)
    """, "['ValueError', 'KeyboardInterrupt']\n"),
    # Executing a module again leaves no reference behind on the names it
    # binds (immortal strings on newer hosts show nothing to count).
    "module re-execution keeps no extra references": ("""
        import sys, Korvanth, Pravenor
        names = [sys.intern(n) for n in ("cE_TaskM_TThread", "CUF_Start")]
        def counts():
            return [sys.getrefcount(n) for n in names]
        for m in ("Korvanth", "Pravenor"):
            del sys.modules[m]; __import__(m)
        before = counts()
        for _ in range(5):
            for m in ("Korvanth", "Pravenor"):
                del sys.modules[m]; __import__(m)
        import gc; gc.collect()
        print(counts() == before or min(before) > 1 << 30)
    """, "True\n"),
    # The lock of the process gate is entered as Python's `with` enters it;
    # looking up its __exit__ moves the manager to another class and frees
    # the old one, which the lookup must not read afterwards.
    "with helper survives the manager changing class": ("""
        import gc, Korvanth
        class Plain:
            pass
        def manager():
            class Manager:
                def __enter__(self): print("enter")
                class Swap:
                    def __get__(self, obj, cls):
                        obj.__class__ = Plain
                        gc.collect()
                        return lambda *a: print("exit")
                __exit__ = Swap()
            return Manager()
        class Counter:
            value = 0
            def get_lock(self): return manager()
        class Semaphore:
            def release(self): print("release")
        gate = Korvanth.CLASS_ProcessGate.__new__(Korvanth.CLASS_ProcessGate)
        gate.CVI_RunningProc, gate.CV_Semaphore = Counter(), Semaphore()
        Korvanth.CLASS_ProcessGate.CUF_Release(gate)
        print(gate.CVI_RunningProc.value)
    """, "enter\nexit\nrelease\n-1\n"),
    # Code run by exec with builtins of its own (a caller's `max`, none, a
    # mapping that is no dict): the modules keep using their own.
    "builtins come from the module, not the caller": ("""
        import builtins, types, Korvanth
        M = Korvanth.ENUM_TASK_MODE
        def job(probe_only=False):
            return {"task_type": "io_bound"} if probe_only else None
        r = Korvanth.CLASS_MultiTask(M.cE_TaskM_TThread, job, Pmb_EnableWatchDog=False)
        r.CUF_EvaluateTask()
        callers = {"max": lambda *a, **k: print("caller's max"), "print": lambda *a: None}
        for b in [callers, {}, types.MappingProxyType(vars(builtins))]:
            ns = {"__builtins__": b, "r": r, "K": Korvanth}
            exec("best = r.CUF_GetBestMode(); r._CUF_OnDead(); K.CLASS_MultiTask.CUF_Init_For_PyInstaller()", ns)
            print(ns["best"].name)
    """, "[WatchDog] 任務死當，已通知主程式\ncE_TaskM_TThread\n" * 3),
    # Every kind of sub-interpreter refuses the modules with ImportError
    # (their caches are process-wide).
    "sub-interpreters refuse the modules": ("""
        import os, tempfile
        out = tempfile.mktemp()
        code = "\\n".join([
            "for m in ('Korvanth', 'Sarnovet', 'Delmique', 'Pravenor'):",
            "    try:",
            "        __import__(m); r = 'imported'",
            "    except ImportError:",
            "        r = 'ImportError'",
            f"    open({out!r}, 'a').write(m + ' ' + r + ';')"])
        try:
            import _interpreters as I
            configs = [I.new_config("legacy"), I.new_config("isolated")]
        except ImportError:
            import _xxsubinterpreters as I
            configs = [None]
        for config in configs:
            i = I.create(config) if config is not None else I.create()
            I.run_string(i, code)
            I.destroy(i)
        print(sorted(set(open(out).read().split(";")) - {""}))
        os.unlink(out)
    """, "['Delmique ImportError', 'Korvanth ImportError', 'Pravenor ImportError', 'Sarnovet ImportError']\n"),
}


@pytest.mark.parametrize("name", CASES)
def test_call_sequence_gets_host_behaviour(py, name):
    code, expected = CASES[name]
    out = py(code, timeout=60, check=False)
    assert (out.returncode, out.stdout) == (0, expected), out.stderr


@pytest.mark.parametrize("module", ["Korvanth", "Sarnovet", "Delmique", "Pravenor"])
def test_no_guarded_static_initialisation(module):
    # A C++ function-local static made on first use holds a process-wide
    # lock while it runs; made from host calls (names, tuples), a thread
    # switch inside would leave a second thread waiting on that lock with
    # the interpreter lock held. No module may use one at all.
    import importlib.util
    with open(importlib.util.find_spec(module).origin, "rb") as f:
        assert b"__cxa_guard_acquire" not in f.read()
