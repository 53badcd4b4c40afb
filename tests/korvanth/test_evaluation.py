"""Task evaluation: probe, scores, evaluation record and the best mode."""
import random

import pytest

from Korvanth import CLASS_MultiTask, ENUM_TASK_MODE as M

T, A, P = M.cE_TaskM_TThread, M.cE_TaskM_AsyncThread, M.cE_TaskM_TProcess

NO_PROBE = object()  # the task function does not accept probe_only


def make_task(is_async, probe):
    if probe is NO_PROBE:
        def task():
            return None
    elif is_async:
        async def task(probe_only=False):
            return probe
    else:
        def task(probe_only=False):
            return probe
    return task


def runner_for(func, mode=M.cE_TaskM_AutoTune):
    return CLASS_MultiTask(mode, func, Pmb_EnableWatchDog=False)


def scores(record):
    return tuple(record[m]["score"] for m in (T, A, P))


class Dict(dict):
    pass


CPU = {"task_type": "cpu_bound"}
SCORE_TABLE = [
    # is_async, probe record, (TThread, AsyncThread, TProcess), best mode
    pytest.param(False, NO_PROBE, (1.818, 0.1, 0.2), T, id="plain-no-probe_only"),
    pytest.param(True, None, (2.308, 2.6, 0.1), A, id="coroutine-probe-None"),
    pytest.param(True, {}, (2.308, 2.6, 0.1), A, id="coroutine-defaults"),
    pytest.param(True, {"estimated_cpu_cost": 9, "await_ratio": 0.0}, (2.308, 2.6, 0.1), A,
                 id="coroutine-defaults-replace-numbers"),
    pytest.param(False, dict(CPU, estimated_cpu_cost=1.0, estimated_task_time=10.0), (0.029, 0.1, 4.0), P,
                 id="cpu-heavy"),
    pytest.param(False, dict(CPU, estimated_cpu_cost=1.0, estimated_task_time=10.0, ipc_mb=7.5),
                 (0.029, 0.1, 1.0), P, id="cpu-heavy-ipc"),
    pytest.param(False, CPU, (0.545, 0.1, 0.02), T, id="plain-cpu-only"),
    pytest.param(True, CPU, (0.545, 0.2, 0.02), T, id="coroutine-cpu"),
    pytest.param(True, dict(CPU, estimated_cpu_cost=1.0, estimated_task_time=1.0, await_ratio=0.5),
                 (0.2, 0.4, 0.4), A, id="tie-first-wins"),
    pytest.param(False, {"task_type": "io_bound", "estimated_cpu_cost": 11.5, "estimated_task_time": 1.0},
                 (0.1, 0.1, 0.1), T, id="near-0.1-three-way-tie"),
    pytest.param(False, {"estimated_cpu_cost": -1.0, "estimated_task_time": 1.0}, (100.0, 0.1, 0.2), T,
                 id="floor-0.01"),
    pytest.param(True, {"task_type": "mixed"}, (1.818, 1.0, 0.2), T, id="coroutine-unknown-type"),
    pytest.param(False, {"task_type": "io_bound"}, (2.182, 0.1, 0.1), T, id="plain-io"),
    pytest.param(False, dict(CPU, estimated_cpu_cost=2, estimated_task_time=3), (0.046, 0.1, 2.4), P,
                 id="int-values"),
    pytest.param(False, ["task_type", "cpu_bound"], (1.818, 0.1, 0.2), T, id="non-dict-is-empty"),
    pytest.param(False, Dict(CPU), (0.545, 0.1, 0.02), T, id="dict-subclass"),
]


@pytest.mark.parametrize("is_async, probe, expected, best", SCORE_TABLE)
def test_score_table(is_async, probe, expected, best):
    runner = runner_for(make_task(is_async, probe))
    record = runner.CUF_EvaluateTask()
    assert record is runner.CVD_EvalResult
    assert list(record) == [T, A, P]
    assert [list(e) for e in record.values()] == [["mode", "score"]] * 3
    assert [e["mode"] for e in record.values()] == ["TThread", "AsyncThread", "TProcess"]
    assert scores(record) == expected
    assert all(type(s) is float for s in scores(record))
    assert runner.CUF_GetBestMode() is best


def reference_scores(is_async, info):
    """The scoring rule written out in the host language."""
    task_type = info.get("task_type")
    cpu, t = info.get("estimated_cpu_cost", 0.5), info.get("estimated_task_time", 0.1)
    ipc, ratio = info.get("ipc_mb", 0.0), info.get("await_ratio", 0.0)
    if is_async and task_type is None:
        task_type, ratio, cpu, t = "io_bound", 0.8, 0.1, 0.2
    th = 1.0 * (0.3 if task_type == "cpu_bound" else 1.2 if task_type == "io_bound" else 1.0)
    th = th / max(cpu * t + 0.5, 0.01)
    asy = 1.0 + ratio * 2.0 if is_async else 0.1
    if task_type == "cpu_bound" and is_async:
        asy *= 0.2
    pr = 0.2
    if task_type == "cpu_bound":
        pr = (cpu * t) / ((1.5 + ipc) + 1.0)
    elif task_type == "io_bound":
        pr *= 0.5
    return tuple(round(s, 3) for s in (th, asy, pr))


def test_scores_match_host_arithmetic_bit_for_bit():
    rng = random.Random(4)
    for _ in range(300):
        num = (lambda: rng.choice([rng.randint(-3, 40), rng.uniform(-2, 30), rng.choice([0.1, 0.2, 0.7, 11.5])]))
        info = {"task_type": rng.choice(["cpu_bound", "io_bound", None, "x"]), "estimated_cpu_cost": num(),
                "estimated_task_time": num(), "ipc_mb": rng.uniform(0, 10), "await_ratio": rng.uniform(0, 1)}
        for is_async in (False, True):
            got = scores(runner_for(make_task(is_async, info)).CUF_EvaluateTask())
            assert got == reference_scores(is_async, info), info


@pytest.mark.parametrize("probe, error", [
    ({"estimated_cpu_cost": "much"}, TypeError),
    ({"task_type": "cpu_bound", "ipc_mb": -2.5}, ZeroDivisionError),
    ({"await_ratio": None}, None),  # only read for coroutine functions
])
def test_bad_values_propagate_and_keep_previous_record(probe, error):
    info = {}
    runner = runner_for(make_task(False, info))
    previous = runner.CUF_EvaluateTask()
    snapshot = dict(previous)
    info.update(probe)
    if error is None:
        assert runner.CUF_EvaluateTask() is not previous
    else:
        with pytest.raises(error):
            runner.CUF_EvaluateTask()
        assert runner.CVD_EvalResult is previous
    assert previous == snapshot  # an earlier record is never changed


def test_probe_sees_probe_only_and_dict_subclass_get():
    calls = []

    class Info(dict):
        def get(self, key, default=None):
            calls.append(key)
            return {"task_type": "cpu_bound"}.get(key, default)

    def task(**kw):
        calls.append(kw)
        return Info()

    record = runner_for(task).CUF_EvaluateTask()
    assert calls == [{"probe_only": True}, "task_type", "estimated_cpu_cost", "estimated_task_time", "ipc_mb",
                     "await_ratio"]
    assert scores(record) == (0.545, 0.1, 0.02)


def test_best_mode_without_evaluation_raises_hosts_error():
    with pytest.raises(ValueError) as err:
        runner_for(make_task(False, {})).CUF_GetBestMode()
    with pytest.raises(ValueError) as host:
        max({}, key=len)
    assert str(err.value) == str(host.value)


class Recording(CLASS_MultiTask):
    def __init__(self, func):
        super().__init__(M.cE_TaskM_AutoTune, func, Pmb_EnableWatchDog=False)
        self.started = []

    def _CUF_Run_Thread(self):
        self.started.append(T)

    def _CUF_Run_Async(self):
        self.started.append(A)

    def _CUF_Run_Process(self):
        self.started.append(P)


def test_auto_tune_start_follows_each_evaluation():
    info = {}
    runner = Recording(make_task(False, info))
    with pytest.raises(ValueError):
        runner.CUF_Start()
    assert runner.started == []
    runner.CUF_EvaluateTask()
    runner.CUF_Start()
    info.update(task_type="cpu_bound", estimated_cpu_cost=1.0, estimated_task_time=10.0)
    runner.CUF_Start()  # no re-evaluation yet: same mode
    runner.CUF_EvaluateTask()
    runner.CUF_Start()
    assert runner.started == [T, T, P]


def test_probe_exception_line(py):
    out = py("""
        import asyncio
        from Korvanth import CLASS_MultiTask, ENUM_TASK_MODE as M

        def ev(f):
            r = CLASS_MultiTask(M.cE_TaskM_AutoTune, f, Pmb_EnableWatchDog=False)
            return [e["score"] for e in r.CUF_EvaluateTask().values()]

        def plain():
            pass
        def boom(probe_only=False):
            raise KeyError("no probe")
        async def coro(probe_only=False):
            return {"task_type": "cpu_bound"}
        async def inside_loop():
            return ev(coro)
        def stop(probe_only=False):
            raise KeyboardInterrupt

        print(ev(plain))
        print(ev(boom))
        print(asyncio.run(inside_loop()))
        try:
            ev(stop)
        except KeyboardInterrupt:
            print("KeyboardInterrupt propagates")
    """).stdout.splitlines()
    assert out == [
        "[AutoTune] Probe exception: plain() got an unexpected keyword argument 'probe_only'",
        "[1.818, 0.1, 0.2]",
        "[AutoTune] Probe exception: 'no probe'",
        "[1.818, 0.1, 0.2]",
        "[AutoTune] Probe exception: asyncio.run() cannot be called from a running event loop",
        "[2.308, 2.6, 0.1]",
        "KeyboardInterrupt propagates",
    ]
