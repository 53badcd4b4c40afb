import multiprocessing
import threading
import time

import psutil
import pytest

import Korvanth
from Korvanth import CLASS_ProcessGate


class FakePsutil:
    def __init__(self, physical, logical):
        self.counts = {False: physical, True: logical}

    def cpu_count(self, logical=True):
        return self.counts[logical]


def release_in_child(gate):
    gate.CUF_Release()


# The releasing child is forked while the blocked acquire runs in a thread: harmless here.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("physical, logical", [(1, 2), (3, 6), (psutil.cpu_count(logical=False), psutil.cpu_count())])
def test_full_gate_reports_once_then_waits_for_a_release_from_another_process(monkeypatch, physical, logical):
    monkeypatch.setattr(Korvanth, "psutil", FakePsutil(physical, logical))
    calls = []
    gate = CLASS_ProcessGate(lambda *a: calls.append(a))
    assert list(vars(gate)) == ["CVI_CPU_Physical", "CVI_CPU_Logical", "CV_Semaphore", "CVF_OnOverLimit",
                                "CVI_RunningProc"]
    assert (gate.CVI_CPU_Physical, gate.CVI_CPU_Logical, gate.CVI_RunningProc.value) == (physical, logical, 0)
    for _ in range(physical):
        assert gate.CUF_Acquire() is None
    assert gate.CVI_RunningProc.value == physical and calls == []

    waiter = threading.Thread(target=gate.CUF_Acquire, daemon=True)
    waiter.start()
    time.sleep(0.3)
    assert waiter.is_alive() and calls == [(physical, physical)]

    child = multiprocessing.get_context("fork").Process(target=release_in_child, args=(gate,))
    child.start()
    child.join(10)
    waiter.join(10)
    assert not waiter.is_alive() and calls == [(physical, physical)]
    assert gate.CVI_RunningProc.value == physical
    gate.CUF_Release()
    assert gate.CVI_RunningProc.value == physical - 1 and gate.CV_Semaphore.get_value() == 1


def test_raising_over_limit_callback_leaves_no_slot_taken(monkeypatch):
    monkeypatch.setattr(Korvanth, "psutil", FakePsutil(1, 1))

    def refuse(cpu_max, running):
        raise OSError("no")

    gate = CLASS_ProcessGate(refuse)
    gate.CUF_Acquire()
    with pytest.raises(OSError, match="no"):
        gate.CUF_Acquire()
    assert gate.CVI_RunningProc.value == 1 and gate.CV_Semaphore.get_value() == 0
    gate.CUF_Release()
    assert gate.CVI_RunningProc.value == 0 and gate.CV_Semaphore.get_value() == 1


def test_cpu_info_asks_psutil_each_time(monkeypatch):
    assert CLASS_ProcessGate.CUF_GetCPUInfo() == {"cpu_physical": psutil.cpu_count(logical=False),
                                                  "cpu_logical": psutil.cpu_count(logical=True)}
    monkeypatch.setattr(Korvanth, "psutil", FakePsutil(4, 8))
    info = CLASS_ProcessGate.CUF_GetCPUInfo()
    assert list(info.items()) == [("cpu_physical", 4), ("cpu_logical", 8)]


def test_singleton_keeps_the_first_callback_and_retries_after_a_failed_creation(py):
    py("""
        import Korvanth
        from Korvanth import CLASS_ProcessGate as G
        class Fake:
            def cpu_count(self, logical=True):
                return None if not logical else 2
        real, Korvanth.psutil = Korvanth.psutil, Fake()
        try:
            G.CUF_Instance(print)
        except TypeError:
            pass
        else:
            raise AssertionError("a gate without a core count was built")
        assert G._instance is None
        Korvanth.psutil = real
        f, g = (lambda *a: None), (lambda *a: None)
        first = G.CUF_Instance(f)
        assert G.CUF_Instance(g) is first and G.CUF_Instance() is first and first.CVF_OnOverLimit is f
        class Sub(G):
            pass
        assert Sub.CUF_Instance() is first
        assert first.CVI_CPU_Physical == real.cpu_count(logical=False)
    """)
