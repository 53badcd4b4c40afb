import inspect
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import Pravenor
from Pravenor import CLASS_ThreadTimer

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LAUNCHER = os.path.join(ROOT, "tools", "run_module.py")


@pytest.fixture
def thread_errors(monkeypatch):
    errors = []
    monkeypatch.setattr(threading, "excepthook", lambda a: errors.append(a.exc_type))
    return errors


def wait_for(pred, timeout=5.0):
    end = time.monotonic() + timeout
    while not pred() and time.monotonic() < end:
        time.sleep(0.01)
    return pred()


def test_class_shape():
    assert CLASS_ThreadTimer.__bases__ == (threading.Timer,) and type(CLASS_ThreadTimer) is type
    assert list(vars(CLASS_ThreadTimer)) == ["__module__", "run", "CUF_Start", "CUF_Stop", "__doc__"]
    assert CLASS_ThreadTimer.__doc__ is None and CLASS_ThreadTimer.__module__ == "Pravenor"
    timer = CLASS_ThreadTimer(1, print)
    for name in ("run", "CUF_Start", "CUF_Stop"):
        assert str(inspect.signature(getattr(CLASS_ThreadTimer, name))) == "(self)"
        assert str(inspect.signature(getattr(timer, name))) == "()"
        assert getattr(CLASS_ThreadTimer, name).__qualname__ == "CLASS_ThreadTimer." + name
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'self'"):
        CLASS_ThreadTimer.CUF_Stop()
    with pytest.raises(TypeError):
        timer.CUF_Stop(1)
    assert str(inspect.signature(Pravenor.GE_EVENT_OnTimer)) == "()"


def test_schedule_waits_after_each_call():
    starts, t0 = [], time.monotonic()

    def work():
        starts.append(time.monotonic() - t0)
        if len(starts) == 3:
            timer.CUF_Stop()
        time.sleep(0.1)

    timer = CLASS_ThreadTimer(0.2, work)
    t0 = time.monotonic()
    timer.CUF_Start()
    timer.join(10)
    assert not timer.is_alive() and len(starts) == 3
    for got, want in zip(starts, (0.2, 0.5, 0.8)):
        assert want - 0.02 <= got <= want + 0.3, starts
    assert starts[1] - starts[0] >= 0.28 and starts[2] - starts[1] >= 0.28


@pytest.mark.parametrize("interval, stop_after, calls", [
    (2.0, "before start", 0),
    (2.0, "first wait", 0),
    (None, "first wait", 0),        # every wait lasts until stopped
    (0.01, "first call", 1),        # stopped from inside the function
    (0, "fifty calls", 50),         # no pause at all
])
def test_stopping(interval, stop_after, calls):
    count = []

    def work():
        count.append(1)
        if (stop_after == "first call" and len(count) == 1) or (stop_after == "fifty calls" and len(count) == 50):
            timer.CUF_Stop()
            timer.CUF_Stop()        # a second stop is harmless

    timer = CLASS_ThreadTimer(interval, work)
    if stop_after == "before start":
        timer.CUF_Stop()
    t0 = time.monotonic()
    timer.CUF_Start()
    if stop_after == "first wait":
        time.sleep(0.15)
        timer.CUF_Stop()
    timer.join(10)
    assert not timer.is_alive() and len(count) == calls
    if stop_after in ("before start", "first wait"):
        assert time.monotonic() - t0 < 1.5       # the stop ends the wait at once


def test_second_start_raises():
    timer = CLASS_ThreadTimer(None, print)
    timer.CUF_Start()
    try:
        with pytest.raises(RuntimeError):
            timer.CUF_Start()
        assert timer.is_alive()
    finally:
        timer.CUF_Stop()
        timer.join(10)


def test_exception_ends_the_thread(thread_errors):
    count = []

    def work():
        count.append(1)
        if len(count) == 3:
            raise ZeroDivisionError

    timer = CLASS_ThreadTimer(0, work)
    timer.CUF_Start()
    timer.join(10)
    assert not timer.is_alive() and len(count) == 3
    assert thread_errors == [ZeroDivisionError] and not timer.finished.is_set()


class Unnamed:                                      # no __qualname__: named by str()
    def __call__(self, *a, **k):
        pass


@pytest.mark.parametrize("function", [None, print, Unnamed()])
@pytest.mark.parametrize("attr, value", [("args", 5), ("kwargs", 5), ("interval", "x")])
def test_bad_attributes_end_the_thread(monkeypatch, function, attr, value):
    called, errors = [], []
    monkeypatch.setattr(threading, "excepthook", lambda a: errors.append(a.exc_value))
    timer = CLASS_ThreadTimer(0, function or (lambda *a, **k: called.append(1)))
    setattr(timer, attr, value)
    timer.CUF_Start()
    timer.join(10)
    assert not timer.is_alive() and called == [] and [type(e) for e in errors] == [TypeError]
    if attr != "interval":                          # the message the host's own call gives
        with pytest.raises(TypeError) as host:
            timer.function(*timer.args, **timer.kwargs)
        assert str(errors[0]) == str(host.value)


def test_attributes_are_read_for_every_call():
    seen = []

    def first(*args, **kwargs):
        seen.append((args, dict(kwargs)))
        kwargs["x"] = 0                              # the function gets its own dict
        timer.function, timer.args, timer.kwargs = second, iter("ab"), {}
        timer.interval = 0.02

    def second(*args, **kwargs):
        seen.append((args, kwargs))
        timer.CUF_Stop()

    own = {"k": 3}
    timer = CLASS_ThreadTimer(0, first, args=[1, 2], kwargs=own)
    timer.CUF_Start()
    timer.join(10)
    assert seen == [((1, 2), {"k": 3}), (("a", "b"), {})]
    assert own == {"k": 3} and not timer.is_alive()


def test_host_subclass():
    log = []

    class Sub(CLASS_ThreadTimer):
        def start(self):
            log.append("start")
            super().start()

        def cancel(self):
            log.append("cancel")
            super().cancel()

        def run(self):
            log.append("run")
            super().run()

    timer = Sub(0.01, lambda: timer.CUF_Stop())
    timer.daemon = True
    timer.CUF_Start()
    timer.join(10)
    assert log == ["start", "run", "cancel"] and not timer.is_alive()


def test_on_timer_event(py):
    proc = py("""
        import Pravenor
        Pravenor.GE_EVENT_OnTimer()
        try:
            Pravenor.GE_EVENT_OnTimer(1)
        except TypeError:
            print("TypeError")
        print([n for n in vars(Pravenor) if not n.startswith("__")], Pravenor.__doc__)
    """)
    assert proc.stdout == ("----- Timer Event -----\nTypeError\n"
                           "['Timer', 'time', 'CLASS_ThreadTimer', 'GE_EVENT_OnTimer'] None\n")


def test_demonstration_block_until_interrupted():
    proc = subprocess.Popen([sys.executable, "-u", LAUNCHER, "Pravenor"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        lines = [proc.stdout.readline() for _ in range(5)]
        assert lines[0] == "Main Loop ...\n"
        assert wait_for(lambda: lines.append(proc.stdout.readline()) or "----- Timer Event -----\n" in lines, 10)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)     # the timer does not keep the process alive
    finally:
        proc.kill()
    assert "KeyboardInterrupt" in err
    assert set(lines + out.splitlines(True)) <= {"Main Loop ...\n", "----- Timer Event -----\n"}
