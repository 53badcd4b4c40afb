"""Adversarial calls into the four modules: no call, however odd, may crash,
abort or hang the interpreter, or leave a thread running.

Hypothesis draws cases: a receiver (a module, a class, an instance made
properly, through a subclass or by `cls.__new__(cls)` alone, or one of the
internal helper objects, real or made by `type(x)()`), one to three steps on
it (method calls with wrong, huge, NaN, NUL-laden or hostile arguments,
attribute reads with hostile names, attribute stores, re-initialisation),
optionally a replaced module global, and the script of a fake database
driver. Each case runs in a worker interpreter (this file run as a script)
with faulthandler on; a worker that dies is restarted and the case is
reported with the worker's last words. Any SystemError, any exception
whose __context__ chain loops, any thread still running after the case and
any case that does not finish in time is a finding too.

The worker replaces what would make a case slow or leave something behind:
sleeps are capped, `multiprocessing` runs children in-process, Sarnovet's
driver is the scripted fake of tests/sarnovet, timers and watchdogs are
stopped after each case. Module globals and class attributes are restored
after every case.

Run one case by hand:  python tests/test_fuzz.py "<case>"
Longer runs:           make fuzz  (FUZZ_EXAMPLES, FUZZ_SECONDS; FUZZ_ONLY=text keeps the
                       receivers whose key contains it, e.g. "inst:Pravenor")
"""
import ast
import gc
import os
import select
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MODULES = ("Korvanth", "Sarnovet", "Delmique", "Pravenor")
EXCEPTIONS = ("ValueError", "KeyboardInterrupt", "SystemExit", "GeneratorExit", "StopIteration", "RecursionError",
              "MemoryError", "BaseException")
DUNDERS = ("__eq__", "__ne__", "__lt__", "__gt__", "__bool__", "__str__", "__repr__", "__format__", "__index__",
           "__int__", "__float__", "__hash__", "__len__", "__iter__", "__getitem__", "__getattr__", "__call__",
           "__await__", "__del__", "keys")
CASE_TIMEOUT = 10.0  # seconds for one case, its clean-up included
SETTLE_TIMEOUT = 3.0  # for the threads a case started to end once stopped


# ================================================================== worker

class State:
    """The running case. An instance: while a class attribute is being
    replaced, 3.10 still finds the old value through the type's attribute
    cache, so a finaliser run by that replacement would see a dying object."""
    receiver = world = None
    depth = 0


Ctx = State()
Ctx.shared, Ctx.sleeps = {}, {}


def worker_setup():
    global K, P, S, D, MODS, HELPERS, REALS, SUBS, SNAPSHOT, World, Budget
    import asyncio
    import inspect
    import threading
    import types
    sys.path.insert(0, HERE)
    import standins
    from standins import Budget, World

    def on_sleep():
        me = threading.get_ident()
        Ctx.sleeps[me] = Ctx.sleeps.get(me, 0) + 1
        if Ctx.sleeps[me] > 200:
            raise Budget("sleep budget")

    standins.on_sleep = on_sleep
    K, S, D, P = standins.install(lambda: Ctx.world)
    MODS = {m.__name__: m for m in (K, S, D, P)}
    globals().update(asyncio=asyncio, inspect=inspect, threading=threading, types=types)

    # The internal helper objects, caught on their way to the host.
    caught = []
    real_threading, real_asyncio = K.threading, K.asyncio
    K.threading = types.SimpleNamespace(Thread=lambda target, daemon: types.SimpleNamespace(
        start=lambda: caught.append(target)))
    runner = K.CLASS_MultiTask(K.ENUM_TASK_MODE.cE_TaskM_TThread, noop, 5, False)
    runner._CUF_Run_Thread()
    runner._CUF_Run_Async()
    K.threading = real_threading
    closure, async_target = caught

    def coroutine():
        K.asyncio = types.SimpleNamespace(run=lambda coro: coro)
        try:
            return async_target()
        finally:
            K.asyncio = real_asyncio

    REALS = [K.CLASS_MultiTask.__dict__["__init__"], P.CLASS_ThreadTimer.__dict__["run"],
             S.CLASS_MultiTaskAdv.__dict__["__init__"]]
    HELPERS = {"function": (type(REALS[0]), lambda i: REALS[i % len(REALS)]),
               "closure": (type(closure), lambda i: closure),
               "coroutine": (type(coroutine()), lambda i: coroutine())}
    SUBS = {(m, c): type(c + "Sub", (getattr(MODS[m], c),), {}) for m, c in classes()}
    SNAPSHOT = ([(vars(m), dict(vars(m))) for m in MODS.values()],
                [(C, dict(vars(C))) for C in [getattr(MODS[m], c) for m, c in classes()]
                 + [t for t, _ in HELPERS.values()]],
                [(f, dict(f.__dict__)) for f in REALS])
    restore()


def noop(*args, **kwargs):
    return None


def classes():
    return [(m, c) for m in MODULES for c, v in vars(MODS[m]).items()
            if isinstance(v, type) and v.__module__ == m and c.startswith("CLASS_")]


def plain_instance(m, c):
    C = getattr(MODS[m], c)
    mode = K.ENUM_TASK_MODE.cE_TaskM_TThread
    args = {"CLASS_MultiTask": (mode, noop, 5, False), "CLASS_WatchDog": (30, noop),
            "CLASS_MultiTaskGroup": ([],), "CLASS_MultiTaskAdv": (noop, 2, {}),
            "CLASS_ThreadTimer": (30, noop)}.get(c, ())
    return C(*args)


def restore():
    modules, types_, reals = SNAPSHOT
    for d, snap in modules:
        for k in [k for k in d if k not in snap]:
            del d[k]
        d.update((k, v) for k, v in snap.items() if d.get(k, snap) is not v)
    for C, snap in types_:
        for k in [k for k in vars(C) if k not in snap]:
            delattr(C, k)
        for k, v in snap.items():
            if vars(C).get(k, snap) is not v:
                setattr(C, k, v)
    for f, snap in reals:
        # Values copied, so that a dict freed by a case frees them too.
        f.__dict__ = {k: (v + "\0")[:-1] if isinstance(v, str) else dict(v) for k, v in snap.items()}


def describe():
    """What the parent draws from: receivers with their members and attributes."""
    def params(f):
        try:
            ps = [p for p in inspect.signature(f).parameters.values() if p.kind in (p.POSITIONAL_ONLY,
                                                                                    p.POSITIONAL_OR_KEYWORD)]
        except (TypeError, ValueError):
            return (1, [])
        return (len(ps), [p.name for p in ps if p.kind != p.POSITIONAL_ONLY])

    def own(C):
        return [n for n in vars(C) if (not n.startswith("__") or n == "__init__") and callable(getattr(C, n))]

    table = {}
    Ctx.world = World(rows={"COUNT": (0,)})
    for m in MODULES:
        mod = MODS[m]
        table["mod:" + m] = ([(n, *params(v)) for n, v in vars(mod).items()
                              if callable(v) and getattr(v, "__module__", None) == m],
                             [n for n in vars(mod) if not n.startswith("__")])
    for m, c in classes():
        C = getattr(MODS[m], c)
        table[f"class:{m}.{c}"] = ([(n, *params(getattr(C, n))) for n in own(C)], list(vars(C)))
        obj = plain_instance(m, c)
        attrs = list(vars(obj)) + ["__class__", "__dict__"]
        table[f"inst:{m}.{c}"] = ([(n, *params(getattr(obj, n))) for n in own(C)], attrs)
    for name, (t, _) in HELPERS.items():
        members = [(n, *params(getattr(t, n))) for n in dir(t) if n not in dir(object) or n == "__call__"]
        table["helper:" + name] = ([m for m in members if callable(getattr(t, m[0], None))],
                                   ["__name__", "__qualname__", "__doc__", "__dict__", "__annotations__",
                                    "__text_signature__", "__module__", "__self__", "__wrapped__"])
    settle(time.monotonic() + SETTLE_TIMEOUT)
    return table


# ------------------------------------------------------------ values

def exception(spec):
    import builtins
    name, how = spec
    cls = getattr(builtins, name)
    if how == "shared":
        return Ctx.shared.setdefault(name, cls("shared " + name))
    e = cls("fuzz " + name)
    if how == "chained":
        e.__context__ = exception(("ValueError", "shared"))
    return e


BENIGN = {"__bool__": True, "__str__": "x", "__repr__": "x", "__format__": "x", "__index__": 0, "__int__": 0,
          "__float__": 0.0, "__hash__": 0, "__len__": 0, "__iter__": iter(()), "__await__": iter(()), "keys": ()}


def mutate():
    """Frees what the caller may hold borrowed: the receiver's attribute dict."""
    try:
        Ctx.receiver.__dict__ = {}
    except Exception:
        pass
    gc.collect()


def hostile(dunder, spec):
    def hook(self, *args, **kwargs):
        if spec == "mutate":
            mutate()
            return BENIGN.get(dunder, False if dunder in ("__eq__", "__ne__", "__lt__", "__gt__") else None)
        raise exception(spec)
    ns = {dunder: hook}
    if dunder in ("__eq__", "__ne__"):
        ns["__hash__"] = object.__hash__
    return type("Hostile" + dunder, (), ns)()


def hostile_str(text, spec):
    def eq(self, other):
        if spec == "mutate":
            mutate()
            return str.__eq__(self, other)
        raise exception(spec)
    return type("HostileStr", (str,), {"__eq__": eq, "__hash__": str.__hash__})(text)


class Rebinder:
    """A stand-in for a module global that rebinds that global whenever it is read."""

    def __init__(self, module, name, real):
        self.__dict__.update(module=module, name=name, real=real)

    def __getattr__(self, attr):
        setattr(self.module, self.name, Rebinder(self.module, self.name, self.real))
        gc.collect()
        return getattr(self.real, attr)


def make_callable(b):
    kind = b[0]
    if kind == "raise":
        def f(*args, **kwargs):
            raise exception(b[1])
    elif kind == "return":
        def f(*args, **kwargs):
            return build(b[1])
    elif kind == "reenter":
        def f(*args, **kwargs):
            if Ctx.depth >= 3:
                return None
            Ctx.depth += 1
            try:
                return getattr(Ctx.receiver, b[1])(*[build(a) for a in b[2]])
            finally:
                Ctx.depth -= 1
    elif kind == "coro":
        async def f(*args, **kwargs):
            if b[1] == "raise":
                raise ValueError("fuzz")
            if b[1] == "await":
                await asyncio.sleep(0)
            elif b[1] != "return":
                coro = asyncio.current_task().get_coro()
                {"send": lambda: coro.send(None), "throw": lambda: coro.throw(ValueError),
                 "close": coro.close, "next": lambda: next(coro)}[b[1]]()
            return 1
    elif kind == "sync-send":  # re-enters the driving coroutine before awaiting anything
        def f(*args, **kwargs):
            asyncio.current_task().get_coro().send(None)
            return asyncio.sleep(0)
    else:  # "gen"
        def f(*args, **kwargs):
            yield 1
    return f


def helper(name, how, index):
    t, real = HELPERS[name]
    return t() if how == "new" else t.__new__(t) if how == "tnew" else real(index)


def build(d):
    tag = d[0]
    if tag == "v":
        return d[1]
    if tag == "float":
        return float(d[1])
    if tag == "repeat":
        return d[1] * d[2]
    if tag == "mode":
        return getattr(K.ENUM_TASK_MODE, d[1])
    if tag in ("tuple", "list"):
        items = [build(x) for x in d[1]]
        return tuple(items) if tag == "tuple" else items
    if tag == "dict":
        out = {}
        for k, v in d[1]:
            try:
                out[build(k)] = build(v)
            except BaseException:  # a key whose hash raises stays out
                pass
        return out
    if tag == "hostile":
        return hostile(d[1], d[2])
    if tag == "hostile_str":
        return hostile_str(d[1], d[2])
    if tag == "callable":
        return make_callable(d[1])
    if tag == "self":
        return Ctx.receiver
    if tag == "cls":
        return type(Ctx.receiver)
    if tag == "class":
        return getattr(MODS[d[1]], d[2])
    if tag == "helper":
        return helper(*d[1:])
    raise ValueError(f"unknown value {d!r}")


class Errors(list):
    """The fake driver's script: the drawn errors, then some successes, then Budget."""
    calls = 0

    def __bool__(self):
        return True

    def pop(self, index=-1):
        if len(self):
            return super().pop(0)
        self.calls += 1
        return None if self.calls < 30 else Budget("driver budget")


def driver_error(e):
    import pymysql
    if e == "deadlock":
        return pymysql.err.OperationalError(1213, "Deadlock found")
    if e == "lockwait":
        return pymysql.err.OperationalError(1205, "Lock wait timeout exceeded")
    return None if e is None else exception(e)


# ------------------------------------------------------------ cases

def make_receiver(d):
    kind = d[0]
    if kind == "mod":
        return MODS[d[1]]
    if kind == "class":
        return getattr(MODS[d[1]], d[2])
    if kind == "helper":
        return helper(*d[1:])
    m, c, how, args = d[1:]
    C = SUBS[(m, c)] if how == "sub" else getattr(MODS[m], c)
    if how == "new":
        return C.__new__(C)
    obj = C(*[build(a) for a in args])
    if isinstance(obj, P.CLASS_ThreadTimer):
        class BoundedEvent(threading.Event):
            waits = 0

            def wait(self, timeout=None):
                self.waits += 1
                if self.waits > 20:
                    self.set()
                t = float(timeout) if timeout is not None else 0.005
                return super().wait(min(t, 0.005) if t == t else t)
        obj.finished = BoundedEvent()
    return obj


def do_step(recv, step):
    op = step[0]
    if op == "call":
        name = step[1] if isinstance(step[1], str) else build(step[1])
        return getattr(recv, name)(*[build(a) for a in step[2]], **{k: build(v) for k, v in step[3]})
    if op == "get":
        return getattr(recv, step[1] if isinstance(step[1], str) else build(step[1]))
    if op == "set":
        return setattr(recv, step[1], build(step[2]))
    if op == "del":
        return delattr(recv, step[1])
    return repr(recv)


def check_raised(e, where, findings):
    if isinstance(e, SystemError):
        findings.append(("SystemError", where, f"{type(e).__name__}: {e}"))
    seen, chain, x = set(), [], e
    while x is not None and len(chain) < 50:
        if id(x) in seen:
            findings.append(("context cycle", where, " -> ".join(chain + [repr(x)])))
            break
        seen.add(id(x))
        chain.append(repr(x))
        x = x.__cause__ or x.__context__


def settle(deadline):
    """Stops what the case started and waits for its threads to end; returns
    the ids of threads still running. Threads are waited for by their thread
    states: a case may have emptied a Thread object's attributes."""
    restore()
    for t in threading.enumerate():
        dog = getattr(getattr(t, "_target", None), "__self__", None)
        try:
            if isinstance(dog, K.CLASS_WatchDog):
                dog.__dict__["_stop"] = True
            if isinstance(t, threading.Timer):
                threading.Event.set(t.finished)
        except BaseException:
            pass
    me = threading.get_ident()
    while set(sys._current_frames()) - {me} and time.monotonic() < deadline:
        time.sleep(0.002)
    gc.collect()
    return [ident for ident in sys._current_frames() if ident != me]


def summary(step):
    name = step[1] if len(step) > 1 else ""
    return f"{step[0]} {name if isinstance(name, str) else name[1] + ' (hostile name)'}"


def run_case(case):
    """Runs one case; returns (findings, restart)."""
    import faulthandler
    import traceback
    recv_d, steps, patches, script = case
    findings = []
    Ctx.depth, Ctx.shared, Ctx.sleeps = 0, {}, {}
    Ctx.receiver = None
    faulthandler.dump_traceback_later(CASE_TIMEOUT, exit=True)
    try:
        Ctx.world = World(rows={"COUNT": build(script[0]), "worker_id": build(script[1])},
                          errors=Errors(driver_error(e) for e in script[2]))
        for m, name, value in patches:
            mod = MODS[m]
            setattr(mod, name, Rebinder(mod, name, getattr(mod, name)) if value == ("rebind",) else build(value))
        log(f"receiver {recv_d[:3]}")
        try:
            Ctx.receiver = make_receiver(recv_d)
        except BaseException as e:
            check_raised(e, "receiver", findings)
            Ctx.receiver = None
        if Ctx.receiver is not None:
            for step in steps:
                log(f"step {summary(step)}")
                try:
                    do_step(Ctx.receiver, step)
                except BaseException as e:
                    check_raised(e, summary(step), findings)
    except BaseException as e:
        check_raised(e, "patch", findings)
    log("settle")
    Ctx.receiver = None
    left = settle(time.monotonic() + SETTLE_TIMEOUT)
    frames = sys._current_frames()
    for ident in left:
        stack = "".join(traceback.format_stack(frames[ident])) if ident in frames else ""
        findings.append(("thread left running", "settle", stack[-1500:]))
    faulthandler.cancel_dump_traceback_later()
    return findings, bool(left)


def log(text):
    sys.stderr.write(f"[fuzz] {text}\n")
    sys.stderr.flush()


def worker_main(argv):
    import faulthandler
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        faulthandler.enable()  # under ASan its own report, with the native stack, is better
    if argv:  # one case by hand
        worker_setup()
        print(run_case(ast.literal_eval(argv[0])))
        return
    # The protocol goes over a copy of stdout; what the cases print goes nowhere.
    proto = os.fdopen(os.dup(1), "w")
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    sys.stdout = open(os.devnull, "w")
    worker_setup()
    proto.write(ascii(describe()) + "\n")
    proto.flush()
    for line in sys.stdin:
        proto.write(ascii(run_case(ast.literal_eval(line))) + "\n")
        proto.flush()


if __name__ == "__main__":
    worker_main(sys.argv[1:])
    sys.stdout.flush()
    os._exit(0)  # daemon threads of a case are no concern of the next run


# ================================================================== parent

import pytest  # noqa: E402
from hypothesis import HealthCheck, Phase, given, settings, strategies as st  # noqa: E402

EXAMPLES = int(os.environ.get("FUZZ_EXAMPLES", "3000"))
SECONDS = float(os.environ.get("FUZZ_SECONDS", "15"))


class Worker:
    """The worker interpreter, restarted when a case kills it."""

    def __init__(self):
        self.proc = None
        self.table = None
        self.restarts = 0

    def start(self):
        self.err = tempfile.TemporaryFile()
        env = dict(os.environ, PYTHONUNBUFFERED="1", PYTHONFAULTHANDLER="1")
        self.proc = subprocess.Popen([sys.executable, __file__], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.err, env=env, start_new_session=True, text=True)
        line = self.read(60)
        if not line:
            raise RuntimeError("fuzz worker did not start:\n" + self.stderr_since(0))
        self.table = ast.literal_eval(line)

    def read(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        return self.proc.stdout.readline() if ready else None

    def stderr_since(self, offset):
        self.err.seek(offset)
        text = self.err.read().decode(errors="replace")
        self.err.seek(0, 2)
        return text

    def run(self, case):
        if self.proc is None or self.proc.poll() is not None:
            self.start()
        offset = self.err.seek(0, 2)
        try:
            self.proc.stdin.write(ascii(case) + "\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass
        line = self.read(CASE_TIMEOUT + SETTLE_TIMEOUT + 10)
        if line:
            findings, restart = ast.literal_eval(line)
            if restart:
                self.stop()
            return findings
        hung = line is None or "Timeout (" in self.stderr_since(offset)
        self.stop()
        words = self.stderr_since(offset)
        last = [ln for ln in words.splitlines() if ln.startswith("[fuzz] ")]
        where = last[-1][7:] if last else "start"
        kind = "hang" if hung else f"crash (exit {self.proc.returncode})"
        report = "\n".join(ln for ln in words.splitlines() if not ln.startswith("[fuzz] "))
        return [(kind, where, report[-3000:])]

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, 9)
            except ProcessLookupError:
                pass
        self.proc.wait(timeout=30)
        self.restarts += 1


# ------------------------------------------------------------ strategies

MODES = st.sampled_from(["cE_TaskM_TThread", "cE_TaskM_AsyncThread", "cE_TaskM_TProcess",
                         "cE_TaskM_AutoTune"]).map(lambda n: ("mode", n))


def exc_spec():
    return st.tuples(st.sampled_from(EXCEPTIONS), st.sampled_from(["new", "shared", "chained"]))


def plain_values():
    v = lambda s: s.map(lambda x: ("v", x))  # noqa: E731
    return st.one_of(
        v(st.sampled_from([None, True, False, 0, 1, -1, 2 ** 31, 2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 100,
                           -10 ** 100, 0.5, 1e-9])),
        v(st.integers()), v(st.floats(allow_nan=False, allow_infinity=False)),
        st.sampled_from(["nan", "inf", "-inf", "-0.0", "1e308"]).map(lambda s: ("float", s)),
        v(st.text(max_size=12)), v(st.binary(max_size=8)),
        st.just(("repeat", "x\u20ac", 100000)),
        v(st.sampled_from(["", "\x00", "a\x00b", "\ud800", "083000-120000", "235959-000000,x-",
                           "%H%M%S", "_syscpu_gate_worker", "db.t", "a.b.c", "t`; DROP"])),
        MODES)


def hostile_values(members):
    mutate_or_exc = st.one_of(st.just("mutate"), exc_spec())
    helpers = st.tuples(st.just("helper"), st.sampled_from(["function", "closure", "coroutine"]),
                        st.sampled_from(["real", "new", "tnew"]), st.integers(0, 2))
    return st.one_of(
        st.tuples(st.just("hostile"), st.sampled_from(DUNDERS), mutate_or_exc),
        st.tuples(st.just("hostile_str"), st.sampled_from(["__qualname__", "__name__", "CVF_TaskFunc", "x"]),
                  mutate_or_exc),
        st.tuples(st.just("callable"), st.one_of(
            st.tuples(st.just("raise"), exc_spec()),
            st.tuples(st.just("coro"), st.sampled_from(["return", "raise", "await", "send", "throw", "close",
                                                        "next"])),
            st.sampled_from([("sync-send",), ("gen",)]),
            st.tuples(st.just("reenter"), st.sampled_from([m[0] for m in members] or ["x"]),
                      st.lists(plain_values(), max_size=2)))),
        st.sampled_from([("self",), ("cls",)]), helpers,
        st.sampled_from([("class", m, c) for m, c in [("Korvanth", "CLASS_MultiTask"), ("Delmique", "CLASS_Delmique"),
                                                       ("Pravenor", "CLASS_ThreadTimer")]]))


def values(members):
    leaves = st.one_of(plain_values(), hostile_values(members))
    return st.recursive(leaves, lambda inner: st.one_of(
        st.tuples(st.sampled_from(["tuple", "list"]), st.lists(inner, max_size=3)),
        st.tuples(st.just("dict"), st.lists(st.tuples(inner, inner), max_size=2)),
        st.tuples(st.just("callable"), st.tuples(st.just("return"), inner))), max_leaves=4)


def callables(members):
    return st.one_of(st.just(("callable", ("return", ("v", None)))), values(members))


# Constructor arguments of instances made "properly": plausible types, hostile values.
def ctor_args(key, members):
    val, fn = values(members), callables(members)
    modes = st.one_of(MODES, val)
    small = st.one_of(st.sampled_from([("v", 0.05), ("v", 5)]), val)
    return {
        "inst:Korvanth.CLASS_MultiTask": st.tuples(modes, fn, small, st.just(("v", False))),
        "inst:Korvanth.CLASS_WatchDog": st.tuples(small, fn),
        "inst:Korvanth.CLASS_ProcessGate": st.tuples(fn),
        "inst:Korvanth.CLASS_MultiTaskGroup": st.tuples(st.tuples(st.just("list"), st.lists(
            st.tuples(st.just("tuple"), st.tuples(modes, fn).map(list)), max_size=2))),
        "inst:Sarnovet.CLASS_MultiTaskAdv": st.tuples(fn, small, st.just(("dict", [])), st.one_of(
            st.just(("v", "_syscpu_gate_worker")), val), fn, fn, fn, fn, fn),
        "inst:Pravenor.CLASS_ThreadTimer": st.tuples(small, fn, st.one_of(st.just(("v", None)), val),
                                                      st.one_of(st.just(("v", None)), val)),
    }.get(key, st.just(())).map(list)


def steps(key, table):
    members, attrs = table[key]
    val = values(members)
    name = lambda names: st.one_of(st.sampled_from(names), st.tuples(  # noqa: E731
        st.just("hostile_str"), st.sampled_from(names), st.one_of(st.just("mutate"), exc_spec())))
    call = st.sampled_from(members).flatmap(lambda m: st.tuples(
        st.just("call"), name([m[0]]), st.lists(val, min_size=max(0, m[1] - 1), max_size=m[1] + 1),
        st.lists(st.tuples(st.sampled_from(m[2] or ["x"]), val), max_size=1))) if members else st.nothing()
    options = [call, call, call, st.tuples(st.just("get"), name(attrs + [m[0] for m in members])), st.just(("repr",))]
    if not key.startswith("mod:"):
        options += [st.tuples(st.just("set"), st.sampled_from(attrs), val), st.tuples(st.just("del"),
                                                                                    st.sampled_from(attrs))]
    return st.lists(st.one_of(options), min_size=1, max_size=3)


def case_strategy(table):
    globals_ = [(k[4:], n) for k, (_, attrs) in table.items() if k.startswith("mod:") for n in attrs]
    cache = {}

    def for_key(key):
        if key not in cache:
            members = table[key][0]
            kind, _, rest = key.partition(":")
            if kind == "mod":
                recv = st.just(("mod", rest))
            elif kind == "class":
                recv = st.just(("class", *rest.split(".")))
            elif kind == "helper":
                recv = st.tuples(st.just("helper"), st.just(rest), st.sampled_from(["real", "new", "tnew"]),
                                 st.integers(0, 2))
            else:
                recv = st.tuples(st.just("inst"), *map(st.just, rest.split(".")),
                                 st.sampled_from(["ok", "ok", "sub", "new"]), ctor_args(key, members))
            patch = st.tuples(st.sampled_from(globals_), st.one_of(st.just(("rebind",)), values(members))).map(
                lambda p: (p[0][0], p[0][1], p[1]))
            row = st.one_of(st.sampled_from([("tuple", [("v", 0)]), ("tuple", [("v", "w-1"), ("v", "t-1")]),
                                             ("v", None)]), values(members))
            errors = st.lists(st.one_of(st.sampled_from([None, "deadlock", "lockwait"]), exc_spec()), max_size=3)
            cache[key] = st.tuples(recv, steps(key, table),
                                   st.one_of(st.just([]), st.just([]), st.just([]), st.lists(patch, max_size=1)),
                                   st.tuples(row, row, errors))
        return cache[key]

    keys = [k for k in sorted(table) if os.environ.get("FUZZ_ONLY", "") in k]
    return st.sampled_from(keys).flatmap(for_key)


# ------------------------------------------------------------ the test

class TimeUp(Exception):
    pass


def uses_made_helper(d):
    if isinstance(d, (tuple, list)):
        if len(d) == 4 and d[0] == "helper" and d[2] in ("new", "tnew"):
            return True
        return any(uses_made_helper(x) for x in d)
    return False


def signature(case, kind, where):
    """Findings alike in kind, receiver and step count once. A helper made
    by type() crashes on nearly every use: one entry for all of them."""
    recv = case[0]
    if recv[0] == "inst":
        recv = recv[:3] + (("made by __new__",) if recv[3] == "new" else ())
    elif recv[0] == "helper":
        recv = recv[:2] + (("real",) if recv[2] == "real" else ("made by type()",))
        if recv[2] != "real":
            where = "any use"
    return (kind.split(" (")[0], str(recv), where.split(" (")[0])


@pytest.fixture(scope="module")
def worker():
    w = Worker()
    yield w
    w.stop()


def test_adversarial_calls_never_crash_hang_or_leave_threads(worker):
    worker.start()
    strategy = case_strategy(worker.table)
    found, count = {}, [0]
    deadline = time.monotonic() + SECONDS

    @settings(max_examples=EXAMPLES, deadline=None, database=None, phases=[Phase.generate],
              suppress_health_check=list(HealthCheck))
    @given(st.data())
    def one(data):
        case = data.draw(strategy)
        if time.monotonic() > deadline:
            raise TimeUp()  # drawn first, so that the replay of this example draws the same
        count[0] += 1
        for kind, where, detail in worker.run(case):
            found.setdefault(signature(case, kind, where), [kind, where, detail, case, 0])[4] += 1

    try:
        one()
    except TimeUp:
        pass
    lines = []
    for (_, recv, at), (full_kind, where, detail, case, n) in sorted(found.items()):
        made = " - the case uses a helper made by type()" if uses_made_helper(case) else ""
        lines += [f"[{full_kind}] receiver {recv}, at {at} ({n} case{'s' * (n > 1)}; first: {where}){made}",
                  f"  reproduce: {sys.executable} tests/test_fuzz.py {ascii(ascii(case))}"]
        lines += ["  | " + ln for ln in detail.strip().splitlines()[-25:]]
    assert not found, (f"{len(found)} distinct findings in {count[0]} cases ({worker.restarts} worker restarts):\n"
                       + "\n".join(lines))
