"""Host-visible steps in the order the same methods written in Python take
them. Every case logs what hosts can hook (attribute reads through logging
objects and subclasses, replaced module globals, values whose dunders log)
and prints the log; the expected sequence is the Python code's, written out
as data (the Python statement is quoted above each case). Each case runs in
a fresh interpreter."""
import textwrap

import pytest

PRELUDE = """
import sys, Korvanth, Delmique, Pravenor
log = []

class Raw:
    def __init__(self, v): self.v = v

class Spy:
    # An object whose every attribute read logs; values from `attrs`,
    # callables logging their call as "name()" (unless given as Raw(v)).
    def __init__(self, name, **attrs):
        object.__setattr__(self, "_n", name)
        object.__setattr__(self, "_a", attrs)
    def __getattr__(self, key):
        log.append(f"{self._n}.{key}")
        v = self._a[key]
        if isinstance(v, Raw):
            return v.v
        if callable(v) and not isinstance(v, type):
            def call(*a, **k):
                log.append(f"{key}()")
                return v(*a, **k)
            return call
        return v
    def __setattr__(self, key, value):
        log.append(f"{self._n}.{key}=")
        self._a[key] = value

class Num:
    # A number whose arithmetic and comparisons log.
    def __init__(self, v): self.v = v
    def _op(sym, f):
        def op(self, other):
            log.append(sym)
            o = other.v if isinstance(other, Num) else other
            return Num(f(self.v, o)) if sym[-1] not in "<>" else f(self.v, o)
        return op
    __mul__ = _op("*", lambda a, b: a * b)
    __add__ = _op("+", lambda a, b: a + b)
    __radd__ = _op("r+", lambda a, b: b + a)
    __sub__ = _op("-", lambda a, b: a - b)
    __truediv__ = _op("/", lambda a, b: a / b)
    __rtruediv__ = _op("r/", lambda a, b: b / a)
    __iadd__ = _op("+=", lambda a, b: a + b)
    __isub__ = _op("-=", lambda a, b: a - b)
    __lt__ = _op("<", lambda a, b: a < b)
    __gt__ = _op(">", lambda a, b: a > b)
    def __format__(self, spec):
        log.append(f"format {self.v}")
        return str(self.v)

def show(result=None):
    print(log)

def same_as_python(native, python):
    # The native call and the same code in Python log the same steps.
    log.clear(); a = native(); steps = list(log)
    log.clear(); b = python()
    print(a == b, steps == log)
"""

# A Sarnovet child whose target raised, up to the dead event's test.
CHILD_FAILS = ("'r.CVF_TableName', 'r.Evt_OnProcStart', 'r.CVF_TargetFunc', 'CVF_TargetFunc()', 'str', "
               "'r.CVF_HostName', 'r.CVF_GetDBConn', 'CVF_GetDBConn()', 'r.Evt_OnProcDead'")

CASES = {
    # ms = self.CUF_GetDate(d); ms += " "; ms += self.CUF_GetTime(t)
    "Delmique CUF_GetDateTime: date first, text appended": ("""
        class Text(str):
            def __iadd__(self, other):
                log.append(f"+= {other!r}")
                return Text(str(self) + other)
        class D(Delmique.CLASS_Delmique):
            def CUF_GetDate(self, sep): log.append("GetDate"); return Text("D")
            def CUF_GetTime(self, sep): log.append("GetTime"); return "T"
        def python(self, d, t):
            ms = self.CUF_GetDate(d)
            ms += " "
            ms += self.CUF_GetTime(t)
            return ms
        same_as_python(lambda: D().CUF_GetDateTime("-", ":"), lambda: python(D(), "-", ":"))
        log.clear(); print(D().CUF_GetDateTime("-", ":")); show()
    """, "True True\nD T\n['GetDate', \"+= ' '\", 'GetTime', \"+= 'T'\"]\n"),
    # signal.signal(signal.SIGINT, signal.SIG_IGN); the same for SIGTSTP
    "Delmique CUF_DisableCtrlC: callee, then number, then handler": ("""
        signal = Delmique.signal = Spy("signal", signal=lambda n, h: None, SIGINT=2, SIGTSTP=20, SIG_IGN=1)
        def python():
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            signal.signal(signal.SIGTSTP, signal.SIG_IGN)
        same_as_python(Delmique.CLASS_Delmique().CUF_DisableCtrlC, python); show()
    """, "True True\n['signal.signal', 'signal.SIGINT', 'signal.SIG_IGN', 'signal()', "
         "'signal.signal', 'signal.SIGTSTP', 'signal.SIG_IGN', 'signal()']\n"),
    # t = time.time(); return time.strftime(fmt, time.localtime(t))
    "Delmique CUF_GetDate: strftime looked up before localtime": ("""
        time = Delmique.time = Spy("time", time=lambda: 0.0, localtime=lambda t: t, strftime=lambda f, t: f)
        def python(sep):
            ticks = time.time()
            fmt = "%Y" + sep + "%m" + sep + "%d"
            return time.strftime(fmt, time.localtime(ticks))
        same_as_python(lambda: Delmique.CLASS_Delmique().CUF_GetDate("-"), lambda: python("-"))
        print(Delmique.CLASS_Delmique().CUF_GetDate("-")); log.clear()
        python("-"); show()
    """, "True True\n%Y-%m-%d\n['time.time', 'time()', 'time.strftime', 'time.localtime', 'localtime()', 'strftime()']\n"),
    # now = time.strptime(time.strftime(F), F)
    # time.strptime(R[0], F) <= now <= time.strptime(R[1], F)
    "Delmique CUF_CurrentTimeInRange: strptime before its argument": ("""
        class R(list):
            def __getitem__(self, i): log.append(f"R[{i}]"); return list.__getitem__(self, i)
        class Range(str):
            def split(self, sep): return [Bounds(p) for p in str(self).split(sep)]
        class Bounds(str):
            def split(self, sep): return R(str(self).split(sep))
        Delmique.time = Spy("time", strftime=lambda f: "120000", strptime=lambda s, f: int(s))
        print(Delmique.CLASS_Delmique().CUF_CurrentTimeInRange(Range("100000-130000"))); show()
    """, "True\n['time.strptime', 'time.strftime', 'strftime()', 'strptime()', 'time.strptime', 'R[0]', "
         "'strptime()', 'time.strptime', 'R[1]', 'strptime()']\n"),
    # self.finished.wait(self.interval)
    "Pravenor run: wait looked up before interval": ("""
        class T:
            @property
            def finished(self):
                log.append("finished"); return Spy("ev", wait=lambda t: None, is_set=lambda: True)
            @property
            def interval(self): log.append("interval"); return 0
        Pravenor.CLASS_ThreadTimer.run(T()); show()
    """, "['finished', 'ev.wait', 'interval', 'wait()', 'finished', 'ev.is_set', 'is_set()']\n"),
    # if time.time() - self.CVT_LastBeat > self.CVI_Timeout: self.CVF_OnDead()
    "Korvanth watchdog: now, last beat, subtract, time-out, compare": ("""
        time = Korvanth.time = Spy("time", time=lambda: Num(10))
        dog = Spy("dog", _stop=False, CVT_LastBeat=0, CVI_Timeout=5, CVF_OnDead=lambda: None)
        def python(self):
            while not self._stop:
                if time.time() - self.CVT_LastBeat > self.CVI_Timeout:
                    self.CVF_OnDead()
                    break
                time.sleep(0.5)
        same_as_python(lambda: Korvanth.CLASS_WatchDog._run(dog), lambda: python(dog)); show()
    """, "True True\n['dog._stop', 'time.time', 'time()', 'dog.CVT_LastBeat', '-', 'dog.CVI_Timeout', '>', "
         "'dog.CVF_OnDead', 'CVF_OnDead()']\n"),
    # is_async = inspect.iscoroutinefunction(self.CVF_TaskFunc); ...; process score
    # (cpu_cost * task_time) / ((1.5 + ipc_mb) + 1.0); the record a display of
    # ENUM_TASK_MODE.<m>: {"mode": ..., "score": round(score, 3)}
    "Korvanth CUF_EvaluateTask: lookups, arithmetic and record in order": ("""
        M = Korvanth.ENUM_TASK_MODE
        def probe(probe_only=False):
            return {"task_type": "cpu_bound", "estimated_cpu_cost": Num(1.0),
                    "estimated_task_time": Num(2.0), "ipc_mb": Num(0.5)}
        Korvanth.inspect = Spy("inspect", iscoroutinefunction=lambda f: False)
        Korvanth.ENUM_TASK_MODE = Spy("modes", **{m.name: m for m in M})
        Korvanth.max = lambda *a: (log.append("max"), max(*a))[1]
        Korvanth.round = lambda x, n: (log.append("round"), 0.0)[1]
        class R(Korvanth.CLASS_MultiTask):
            @property
            def CVF_TaskFunc(self): log.append("CVF_TaskFunc"); return probe
            @CVF_TaskFunc.setter
            def CVF_TaskFunc(self, v): pass
        R(M.cE_TaskM_TThread, probe, Pmb_EnableWatchDog=False).CUF_EvaluateTask(); show()
    """, "['inspect.iscoroutinefunction', 'CVF_TaskFunc', 'iscoroutinefunction()', 'CVF_TaskFunc', "
         "'*', '+', 'max', '<', 'r/', '*', 'r+', '+', '/', 'modes.cE_TaskM_TThread', 'round', "
         "'modes.cE_TaskM_AsyncThread', 'round', 'modes.cE_TaskM_TProcess', 'round']\n"),
    # print(f"...(CPU={cpu_max}, Running={running})")
    # if callable(self.CVE_OnProcessOverLimit): self.CVE_OnProcessOverLimit(...)
    "Korvanth over-limit line and event": ("""
        r = Spy("r", CVE_OnProcessOverLimit=lambda **k: None)
        Korvanth.CLASS_MultiTask._CVE_OnProcessOverLimit(r, Num(4), Num(3)); show()
    """, "[ProcessGate] Over CPU core count limited!(CPU=4, Running=3)\n"
         "['format 4', 'format 3', 'r.CVE_OnProcessOverLimit', 'r.CVE_OnProcessOverLimit', "
         "'CVE_OnProcessOverLimit()']\n"),
    # self.CVI_CPU_Physical = psutil.cpu_count(logical=False); ...
    # self.CV_Semaphore = multiprocessing.Semaphore(self.CVI_CPU_Physical); ...
    "Korvanth gate constructor": ("""
        Korvanth.psutil = Spy("psutil", cpu_count=lambda logical: 4)
        Korvanth.multiprocessing = Spy("mp", Semaphore=lambda n: "sem", Value=lambda t, v: "val")
        Korvanth.CLASS_ProcessGate.__init__(Spy("gate")); show()
    """, "['psutil.cpu_count', 'cpu_count()', 'gate.CVI_CPU_Physical=', 'psutil.cpu_count', 'cpu_count()', "
         "'gate.CVI_CPU_Logical=', 'mp.Semaphore', 'gate.CVI_CPU_Physical', 'Semaphore()', "
         "'gate.CV_Semaphore=', 'gate.CVF_OnOverLimit=', 'mp.Value', 'Value()', 'gate.CVI_RunningProc=']\n"),
    # CUF_Acquire with a full gate, then CUF_Release:
    # with self.CVI_RunningProc.get_lock(): self.CVI_RunningProc.value += 1 (-= 1)
    "Korvanth gate acquire and release": ("""
        class Lock:
            def __enter__(self): log.append("enter")
            def __exit__(self, *a): log.append("exit")
        counter = Spy("counter", get_lock=lambda: Lock(), value=Num(0))
        sem = Spy("sem", acquire=lambda block=True: block, release=lambda: None)
        gate = Spy("gate", CV_Semaphore=sem, CVF_OnOverLimit=lambda c, r: None, CVI_CPU_Physical=1,
                   CVI_RunningProc=counter)
        def acquire(self):
            acquired = self.CV_Semaphore.acquire(block=False)
            if not acquired:
                if self.CVF_OnOverLimit:
                    self.CVF_OnOverLimit(self.CVI_CPU_Physical, self.CVI_RunningProc.value)
                self.CV_Semaphore.acquire()
            with self.CVI_RunningProc.get_lock():
                self.CVI_RunningProc.value += 1
        def release(self):
            with self.CVI_RunningProc.get_lock():
                self.CVI_RunningProc.value -= 1
            self.CV_Semaphore.release()
        def both(a, r):
            return lambda: (a(gate), log.append("|"), r(gate))
        C = Korvanth.CLASS_ProcessGate
        same_as_python(both(C.CUF_Acquire, C.CUF_Release), both(acquire, release)); show()
    """, "True True\n['gate.CV_Semaphore', 'sem.acquire', 'acquire()', 'gate.CVF_OnOverLimit', 'gate.CVF_OnOverLimit', "
         "'gate.CVI_CPU_Physical', 'gate.CVI_RunningProc', 'counter.value', 'CVF_OnOverLimit()', "
         "'gate.CV_Semaphore', 'sem.acquire', 'acquire()', 'gate.CVI_RunningProc', 'counter.get_lock', "
         "'get_lock()', 'enter', 'gate.CVI_RunningProc', 'counter.value', '+=', 'counter.value=', 'exit', '|', "
         "'gate.CVI_RunningProc', 'counter.get_lock', 'get_lock()', 'enter', 'gate.CVI_RunningProc', "
         "'counter.value', '-=', 'counter.value=', 'exit', 'gate.CV_Semaphore', 'sem.release', 'release()']\n"),
    # The launch of _CUF_Run_Process, step by step.
    "Korvanth process launch: callees before their arguments": ("""
        def task(): pass
        gate = Spy("gate", CUF_Acquire=lambda: None)
        proc = Spy("proc", start=lambda: None, pid=7)
        Korvanth.inspect = Spy("inspect", ismethod=lambda f: False, isfunction=lambda f: True)
        Korvanth.CLASS_ProcessGate = Spy("Gate", CUF_Instance=lambda h: gate)
        Korvanth.multiprocessing = Spy("mp", Queue=lambda: "q", Process=lambda **k: proc)
        Korvanth.threading = Spy("threading", Thread=lambda **k: Spy("t", start=lambda: None))
        r = Spy("r", CVF_TaskFunc=Raw(task), _CVE_OnProcessOverLimit=1, CVE_OnProcessStarted=lambda **k: None,
                _CUF_WaitProcessExit=2)
        Korvanth.CLASS_MultiTask._CUF_Run_Process(r); show()
    """, "['inspect.ismethod', 'r.CVF_TaskFunc', 'ismethod()', 'inspect.isfunction', 'r.CVF_TaskFunc', "
         "'isfunction()', 'r.CVF_TaskFunc', 'Gate.CUF_Instance', 'r._CVE_OnProcessOverLimit', 'CUF_Instance()', "
         "'gate.CUF_Acquire', 'CUF_Acquire()', 'mp.Queue', 'Queue()', 'mp.Process', 'r.CVF_TaskFunc', "
         "'Process()', 'proc.start', 'start()', 'r.CVE_OnProcessStarted', 'r.CVE_OnProcessStarted', 'proc.pid', "
         "'CVE_OnProcessStarted()', 'threading.Thread', 'r._CUF_WaitProcessExit', 'Thread()', 't.start', "
         "'start()']\n"),
    # if callable(self.CVE_OnProcessFinished):
    #     self.CVE_OnProcessFinished(pid=result["pid"], status=..., error=..., task=self)
    "Korvanth waiter: event tested first, record read to pass it": ("""
        class Record(dict):
            def __getitem__(self, k): log.append(f"[{k}]"); return dict.__getitem__(self, k)
        rec = Record(pid=1, status="OK", error=None)
        for event, record in [(lambda **k: None, rec), (None, Record())]:
            q = Spy("q", get=lambda timeout=None, block=True, r=record: r)
            Korvanth.CLASS_MultiTask._CUF_WaitProcessExit(Spy("r", CVE_OnProcessFinished=event),
                                                          Spy("p", join=lambda: None), q)
            log.append("|")
        show()
    """, "['q.get', 'get()', 'p.join', 'join()', 'r.CVE_OnProcessFinished', 'r.CVE_OnProcessFinished', "
         "'[pid]', '[status]', '[error]', 'CVE_OnProcessFinished()', '|', 'q.get', 'get()', 'p.join', "
         "'join()', 'r.CVE_OnProcessFinished', '|']\n"),
    # if mode == ENUM_TASK_MODE.cE_TaskM_AutoTune: ...; elif chain, the enum
    # read as a global at each comparison
    "Korvanth CUF_Start reads the modes at each comparison": ("""
        M = Korvanth.ENUM_TASK_MODE
        class Mode:
            def __eq__(self, other):
                log.append("==")
                Korvanth.ENUM_TASK_MODE = Spy("modes2", **{m.name: m for m in M})
                return other is M.cE_TaskM_TProcess
        Korvanth.ENUM_TASK_MODE = Spy("modes", **{m.name: m for m in M})
        r = Spy("r", CVE_TaskMode=Mode(), _CUF_Run_Process=lambda: None)
        Korvanth.CLASS_MultiTask.CUF_Start(r); show()
    """, "['r.CVE_TaskMode', 'modes.cE_TaskM_AutoTune', '==', 'modes2.cE_TaskM_TThread', '==', "
         "'modes2.cE_TaskM_AsyncThread', '==', 'modes2.cE_TaskM_TProcess', '==', 'r._CUF_Run_Process', "
         "'_CUF_Run_Process()']\n"),
    # except Exception as e:
    #     reason = f"{type(e).__name__}: {str(e)}"  (or "<unprintable>"), written with the dead marking
    #     callback = self.Evt_OnProcDead
    #     if callback: callback(worker_id, str(e))
    # Run in place; the driver's steps are left out of the log.
    "Sarnovet _ProcessWrapper: dead event read before the error's text": ("""
        import Sarnovet
        class Logged(Exception):
            def __str__(self): log.append("str"); return "boom"
        class Unprintable(Exception):
            def __str__(self): log.append("str"); raise RuntimeError("no text")
        cur = Spy("cur", execute=lambda *a: None, fetchone=lambda: (1,))
        conn = Spy("conn", cursor=lambda: cur, commit=lambda: None, close=lambda: None)
        def raising(error):
            def target(name): raise error
            return target
        for error, event in [(Logged(), None), (Unprintable(), None), (Logged(), lambda w, text: log.append(text))]:
            r = Spy("r", CVF_TableName="t", CVF_HostName="h", CVF_GetDBConn=lambda: conn, Evt_OnProcStart=None,
                    CVF_TargetFunc=raising(error), Evt_OnProcDead=event)
            Sarnovet.CLASS_MultiTaskAdv._ProcessWrapper(r, "w", "task")
            log.append("|")
        print([x for x in log if not x.startswith(("conn.", "cur.", "cursor(", "execute(", "fetchone(", "commit(",
                                                   "close("))])
    """, f"[{CHILD_FAILS}, '|', {CHILD_FAILS}, '|', {CHILD_FAILS}, 'str', 'Evt_OnProcDead()', 'boom', '|']\n"),
    # after the session's limits, on the same cursor:
    # cursor.execute(count_sql, (self.CVF_HostName,)); count = cursor.fetchone()[0]
    # if count >= self.CVF_MaxCPU: ...; cursor.execute(pick_sql); row = cursor.fetchone()
    # cursor.execute(claim_sql, (self.CVF_HostName, os.getpid(), worker_id)); conn.commit(); conn.close()
    "Sarnovet CUF_TryFetchTask: execute looked up before the host name": ("""
        import Sarnovet
        rows = iter([(0,), ("w", "task")])
        cur = Spy("cur", execute=lambda *a: None, fetchone=lambda: next(rows))
        conn = Spy("conn", cursor=lambda: cur, commit=lambda: None, close=lambda: None)
        r = Spy("r", CVF_TableName="t", CVF_HostName="h", CVF_MaxCPU=1, CVF_GetDBConn=lambda: conn)
        print(Sarnovet.CLASS_MultiTaskAdv.CUF_TryFetchTask(r)); show()
    """, "('w', 'task')\n['r.CVF_TableName', 'r.CVF_GetDBConn', 'CVF_GetDBConn()', 'conn.cursor', 'cursor()', "
         "'cur.execute', 'execute()', 'cur.execute', 'r.CVF_HostName', 'execute()', 'cur.fetchone', 'fetchone()', "
         "'r.CVF_MaxCPU', 'cur.execute', 'execute()', 'cur.fetchone', 'fetchone()', 'cur.execute', "
         "'r.CVF_HostName', 'execute()', 'conn.commit', 'commit()', 'conn.close', 'close()']\n"),
    # with <manager>: the manager's special methods, __enter__ first; the
    # same code in Python must give the same log and the same error.
    "with: special methods, __enter__ first, as Python's with": ("""
        class Meta(type):
            def __getattribute__(cls, name):
                log.append(f"class.{name}"); return type.__getattribute__(cls, name)
        class Static(metaclass=Meta):
            @staticmethod
            def __enter__(): log.append("enter")
            @staticmethod
            def __exit__(*a): log.append("exit")
        class Logged:
            def __get__(self, obj, cls): log.append(f"get {self.name}"); return lambda *a: log.append(self.name)
            def __init__(self, name): self.name = name
        class Described:
            __exit__, __enter__ = Logged("exit"), Logged("enter")
        results = []
        for manager in [Static(), Described(), object()]:
            for how in ["native", "python"]:
                log.clear()
                gate = Spy("gate", CVI_RunningProc=Spy("c", get_lock=lambda m=manager: m, value=0),
                           CV_Semaphore=Spy("s", release=lambda: None))
                try:
                    if how == "native":
                        Korvanth.CLASS_ProcessGate.CUF_Release(gate)
                    else:
                        with gate.CVI_RunningProc.get_lock():
                            gate.CVI_RunningProc.value -= 1
                        gate.CV_Semaphore.release()
                except Exception as e:
                    log.append(f"{type(e).__name__}: {e}")
                results.append([x for x in log if not x.startswith(("gate.", "c.", "s.", "get_lock", "release"))])
        print(results[0] == results[1], results[2] == results[3], results[4] == results[5])
        print(results[0], results[2])
    """, "True True True\n['enter', 'exit'] ['get enter', 'get exit', 'enter', 'exit']\n"),
}


@pytest.mark.parametrize("name", CASES)
def test_host_steps_in_python_order(py, name):
    code, expected = CASES[name]
    out = py(PRELUDE + textwrap.dedent(code), timeout=60, check=False)
    assert (out.returncode, out.stdout) == (0, expected), out.stderr
