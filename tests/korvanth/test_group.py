"""Task groups: construction from (mode, func) pairs, evaluation and start walks."""
import threading

import pytest

import Korvanth
from Korvanth import CLASS_MultiTask, CLASS_MultiTaskGroup, ENUM_TASK_MODE as M

T, A, P, AUTO = M.cE_TaskM_TThread, M.cE_TaskM_AsyncThread, M.cE_TaskM_TProcess, M.cE_TaskM_AutoTune


@pytest.fixture
def made(monkeypatch):
    """Every runner a group builds; their watchdogs are stopped afterwards."""
    runners = []

    class Tracked(CLASS_MultiTask):
        def __init__(self, *args):
            super().__init__(*args)
            runners.append(self)

    monkeypatch.setattr(Korvanth, "CLASS_MultiTask", Tracked)
    yield runners
    for r in runners:
        r.CV_WatchDog.CUF_Stop()


def probe_task(info):
    def task(probe_only=False):
        return info
    return task


def cpu(cost):
    return probe_task({"task_type": "cpu_bound", "estimated_cpu_cost": cost, "estimated_task_time": 10.0})


def test_runners_built_in_order_with_defaults(made):
    f, g, h = cpu(1.0), cpu(2.0), cpu(3.0)

    class Pair:  # iterable only, no len()
        def __iter__(self):
            return iter((AUTO, h))

    group = CLASS_MultiTaskGroup(iter([(T, f), [A, g], Pair()]))
    assert type(group.tasks) is list and group.tasks == made
    assert [(r.CVE_TaskMode, r.CVF_TaskFunc) for r in group.tasks] == [(T, f), (A, g), (AUTO, h)]
    for r in group.tasks:
        assert r.CVI_Timeout == 5 and isinstance(r.CV_WatchDog, Korvanth.CLASS_WatchDog)
        assert r.CV_WatchDog.CVI_Timeout == 5 and r.CV_WatchDog._stop is False
        assert (r.CVE_OnProcessStarted, r.CVE_OnProcessFinished, r.CVE_OnProcessOverLimit) == (None, None, None)


def test_empty_group():
    group = CLASS_MultiTaskGroup([])
    assert group.tasks == [] and group.CUF_EvaluateAll() == [] and group.CUF_StartAll() is None


def host_unpack_error(item):
    try:
        a, b = item
    except Exception as e:
        return type(e), str(e)
    raise AssertionError("unpacks")


@pytest.mark.parametrize("make_item", [
    lambda: (T, print, 3), lambda: (T,), lambda: [], lambda: iter([T, print, 3]), lambda: "abc",
    lambda: {1: 2, 3: 4, 5: 6}, lambda: 7, lambda: None,
], ids=["3-tuple", "1-tuple", "empty-list", "iterator-of-3", "str", "dict-of-3", "int", "None"])
def test_bad_item_raises_hosts_unpacking_error_and_drops_earlier_runners(made, make_item):
    expected = host_unpack_error(make_item())
    with pytest.raises(expected[0]) as err:
        CLASS_MultiTaskGroup([(T, cpu(1.0)), make_item()])
    assert str(err.value) == expected[1]
    assert len(made) == 1 and made[0].CV_WatchDog._stop is True


def test_evaluate_all_order_and_identity(made):
    group = CLASS_MultiTaskGroup([(AUTO, cpu(1.0)), (AUTO, probe_task({"task_type": "io_bound"}))])
    records = group.CUF_EvaluateAll()
    assert [r[P]["score"] for r in records] == [4.0, 0.1]
    assert all(rec is runner.CVD_EvalResult for rec, runner in zip(records, group.tasks))
    again = group.CUF_EvaluateAll()
    assert again[0] is not records[0] and again[0] == records[0]


def test_evaluate_all_stops_at_first_failing_runner(made):
    group = CLASS_MultiTaskGroup([(T, cpu(1.0)), (T, cpu("x")), (T, cpu(2.0))])
    with pytest.raises(TypeError):
        group.CUF_EvaluateAll()
    assert [bool(r.CVD_EvalResult) for r in group.tasks] == [True, False, False]


def record_starts(group):
    started = []
    for i, r in enumerate(group.tasks):
        for name, mode in (("_CUF_Run_Thread", T), ("_CUF_Run_Async", A), ("_CUF_Run_Process", P)):
            setattr(r, name, lambda i=i, mode=mode: started.append((i, mode)))
    return started


def test_start_all_uses_each_runners_best_mode(made):
    async def coro(probe_only=False):
        return None

    group = CLASS_MultiTaskGroup([(AUTO, cpu(1.0)), (AUTO, coro), (T, cpu(1.0)), (AUTO, probe_task({}))])
    started = record_starts(group)
    group.CUF_EvaluateAll()
    assert group.CUF_StartAll() is None
    group.CUF_StartAll()
    assert started == [(0, P), (1, A), (2, T), (3, T)] * 2


def test_start_all_stops_at_unevaluated_auto_tune_runner(made):
    group = CLASS_MultiTaskGroup([(T, cpu(1.0)), (AUTO, cpu(1.0)), (T, cpu(1.0))])
    started = record_starts(group)
    with pytest.raises(ValueError):
        group.CUF_StartAll()
    assert started == [(0, T)]


def test_start_all_really_starts_threads(made):
    ran = threading.Event()
    group = CLASS_MultiTaskGroup([(T, ran.set)])
    group.CUF_StartAll()
    assert ran.wait(10)

