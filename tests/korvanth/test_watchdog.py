"""Watchdog: silence measured on the wall clock, half-second polling, one call at most."""
import threading
import time

import pytest

import Korvanth as K


class Recorder:
    def __init__(self):
        self.calls = []
        self.fired = threading.Event()

    def __call__(self):
        self.calls.append(time.time())
        self.fired.set()


@pytest.mark.parametrize("timeout,feed_every,expect_fire,low,high", [
    (0.6, None, True, 0.6, 1.1 + 0.6),      # unfed: fires between timeout and timeout + 0.5 (+ slack)
    (0, None, True, 0.0, 1.0),               # zero: first or second check
    (-3, None, True, 0.0, 0.5),              # negative: the very first check
    (0.8, 0.2, False, None, None),           # fed faster than the time-out: never
], ids=["unfed", "zero", "negative", "fed"])
def test_firing_window(timeout, feed_every, expect_fire, low, high):
    rec = Recorder()
    t0 = time.time()
    dog = K.CLASS_WatchDog(timeout, rec)
    if feed_every:
        end = time.time() + 2.0
        while time.time() < end:
            dog.CUF_Beat()
            time.sleep(feed_every)
        assert not rec.fired.is_set()
        dog.CUF_Stop()
        return
    assert rec.fired.wait(5)
    assert low <= rec.calls[0] - t0 <= high
    time.sleep(0.7)
    dog.CUF_Beat()          # a beat after firing does not re-arm it
    time.sleep(0.7)
    assert len(rec.calls) == 1


def test_stop_ends_the_thread_without_a_call():
    rec = Recorder()
    before = set(threading.enumerate())
    dog = K.CLASS_WatchDog(0.3, rec)
    dog.CUF_Stop()
    assert dog._stop is True
    for t in set(threading.enumerate()) - before:
        t.join(3)
        assert not t.is_alive()
    time.sleep(0.4)
    assert rec.calls == []


def test_attributes_are_read_at_every_iteration():
    rec = Recorder()
    t0 = time.time()
    dog = K.CLASS_WatchDog(0.3, lambda: None)
    dog.CVI_Timeout = 1.5          # postpones the call
    dog.CVF_OnDead = rec           # and replaces the callback
    assert rec.fired.wait(5)
    assert rec.calls[0] - t0 >= 1.5


def test_uncomparable_timeout_ends_the_thread_with_type_error(monkeypatch):
    errors, seen = [], threading.Event()
    monkeypatch.setattr(threading, "excepthook", lambda a: (errors.append(a.exc_value), seen.set()))
    rec = Recorder()
    K.CLASS_WatchDog(None, rec)
    assert seen.wait(5)
    assert isinstance(errors[0], TypeError) and rec.calls == []


def test_monitoring_thread_is_a_daemon_and_not_stored():
    before = set(threading.enumerate())
    dog = K.CLASS_WatchDog(10, print)
    new = [t for t in threading.enumerate() if t not in before]
    dog.CUF_Stop()
    assert len(new) == 1 and new[0].daemon
    assert set(vars(dog)) == {"CVI_Timeout", "CVF_OnDead", "CVT_LastBeat", "_stop"}


def test_runner_prints_the_watchdog_line_once(py):
    out = py("""
        import time, Korvanth
        r = Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_TThread, print, 0.4)
        quiet = Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_TThread, print, 0.4)
        quiet.CV_WatchDog.CUF_Stop()
        time.sleep(2.0)
    """)
    assert out.stdout == "[WatchDog] 任務死當，已通知主程式\n"


def test_runner_and_watchdog_cycle_is_collected():
    import gc
    import weakref
    r = K.CLASS_MultiTask(K.ENUM_TASK_MODE.cE_TaskM_TThread, print, 30)
    r.CV_WatchDog.CUF_Stop()
    ref = weakref.ref(r)
    del r
    deadline = time.time() + 3
    while ref() is not None and time.time() < deadline:   # the thread lets go within half a second
        gc.collect()
        time.sleep(0.1)
    assert ref() is None
