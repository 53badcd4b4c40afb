"""Stand-ins that the fuzz and reference-leak harnesses put into the modules'
namespaces, so that any call returns soon and leaves nothing behind: sleeps
capped at a few milliseconds, child processes run in place, a scripted
database driver (tests/sarnovet/fake_driver.py) instead of the real one."""
import multiprocessing
import os
import queue
import sys
import threading
import time
import types

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "sarnovet"))

from fake_driver import FakeConn, World  # noqa: E402,F401


class Budget(Exception):
    """Ends a loop that would otherwise run on (sleeps, waits, driver calls)."""


def on_sleep():
    """Called before every sleep; a harness may replace it to bound loops."""


def bounded_time():
    real_sleep = time.sleep

    def sleep(seconds):
        on_sleep()
        try:
            v = float(seconds)
        except Exception:
            return real_sleep(seconds)
        return real_sleep(0.002 if v == v and v > 0.002 else seconds)

    mod = types.ModuleType("time")
    mod.__dict__.update(vars(time), sleep=sleep)
    return mod


class Semaphore:
    """multiprocessing.Semaphore for one process; a blocking wait ends after 1 s."""

    def __init__(self, value=1):
        self.s = threading.Semaphore(value)

    def acquire(self, block=True, timeout=None):
        if not block:
            return self.s.acquire(False)
        if not self.s.acquire(timeout=1.0):
            raise Budget("semaphore wait")
        return True

    def release(self):
        self.s.release()


class InlineProcess:
    """A child process that runs its target in place when started."""
    pid = exitcode = None

    def __init__(self, group=None, target=None, name=None, args=(), kwargs=None, daemon=None):
        self.target, self.args = target, args

    def start(self):
        self.pid = os.getpid()
        try:
            if self.target is not None:
                self.target(*self.args)
        finally:
            self.exitcode = 0

    def join(self, timeout=None):
        pass


def install(world):
    """Puts the stand-ins into the four modules; `world()` gives the fake
    driver's current World. Returns the modules (Korvanth, Sarnovet,
    Delmique, Pravenor)."""
    import pymysql

    import Delmique
    import Korvanth
    import Pravenor
    import Sarnovet
    clock = bounded_time()
    for m in (Korvanth, Sarnovet, Delmique, Pravenor):
        m.time = clock
    Korvanth.multiprocessing = types.SimpleNamespace(Semaphore=Semaphore, Value=multiprocessing.Value,
                                                     Queue=queue.Queue, Process=InlineProcess,
                                                     freeze_support=lambda: None)
    Sarnovet.multiprocessing = types.SimpleNamespace(Process=InlineProcess)
    Sarnovet.pymysql = types.SimpleNamespace(connect=lambda **kw: FakeConn(world()), MySQLError=pymysql.MySQLError,
                                             err=pymysql.err)
    return Korvanth, Sarnovet, Delmique, Pravenor
