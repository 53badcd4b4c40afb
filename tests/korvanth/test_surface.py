"""The module's host-visible surface: names, order, signatures, docstrings,
classes that behave as ordinary host classes, pickling, import behaviour."""
import enum
import inspect
import pickle

import pytest

import Korvanth as K

M = K.ENUM_TASK_MODE


def test_module_namespace_order_and_no_doc():
    names = [n for n in vars(K) if not n.startswith("__")]
    assert names == ["os", "traceback", "time", "threading", "multiprocessing", "asyncio", "inspect", "psutil",
                     "Enum", "ENUM_TASK_MODE", "_Process_Entry", "CLASS_ProcessGate", "CLASS_WatchDog",
                     "CLASS_MultiTask", "CLASS_MultiTaskGroup"]
    assert K.__doc__ is None
    assert not hasattr(K, "__all__")
    assert K.Enum is enum.Enum


def test_task_modes():
    assert issubclass(M, enum.Enum) and not issubclass(M, int)
    assert [(m.name, m.value) for m in M] == [("cE_TaskM_TThread", 1), ("cE_TaskM_AsyncThread", 2),
                                               ("cE_TaskM_TProcess", 3), ("cE_TaskM_AutoTune", 99)]
    assert M(99) is M.cE_TaskM_AutoTune
    assert M.cE_TaskM_TProcess != 3
    with pytest.raises(ValueError):
        M(4)
    assert M.__module__ == "Korvanth" and M.__qualname__ == "ENUM_TASK_MODE"
    assert pickle.loads(pickle.dumps(M.cE_TaskM_AsyncThread)) is M.cE_TaskM_AsyncThread


SIGNATURES = [
    (K._Process_Entry, "(task_func, gate, result_queue)"),
    (K.CLASS_ProcessGate, "(Pmf_OnOverLimit=None)"),
    (K.CLASS_ProcessGate.CUF_Instance, "(Pmf_OnOverLimit=None)"),
    (K.CLASS_ProcessGate.CUF_GetCPUInfo, "()"),
    (K.CLASS_WatchDog, "(Pmi_Timeout, Pmf_OnDead)"),
    (K.CLASS_MultiTask, "(PmE_TaskMode, PmF_TaskMainFunc, Pmi_Timeout=5, Pmb_EnableWatchDog=True, "
                        "PmF_Event_OnProcessStarted=None, PmF_Event_OnProcessFinished=None, "
                        "PmF_Event_OnProcessOverLimit=None)"),
    (K.CLASS_MultiTask.CUF_Init_For_PyInstaller, "()"),
    (K.CLASS_MultiTaskGroup, "(task_list)"),
]


@pytest.mark.parametrize("obj,text", SIGNATURES, ids=lambda x: getattr(x, "__qualname__", "sig"))
def test_signatures(obj, text):
    assert str(inspect.signature(obj)) == text


METHODS = [
    ("CLASS_ProcessGate", ["__init__", "CUF_Instance", "CUF_GetCPUInfo", "CUF_Acquire", "CUF_Release"]),
    ("CLASS_WatchDog", ["__init__", "CUF_Beat", "CUF_Stop", "_run"]),
    ("CLASS_MultiTask", ["CUF_Init_For_PyInstaller", "__init__", "_CVE_OnProcessOverLimit", "_CUF_WaitProcessExit",
                         "CUF_EvaluateTask", "CUF_GetBestMode", "CUF_Start", "_CUF_Run_Thread", "_CUF_Run_Async",
                         "_CUF_Run_Process", "_CUF_OnDead"]),
    ("CLASS_MultiTaskGroup", ["__init__", "CUF_EvaluateAll", "CUF_StartAll"]),
]


@pytest.mark.parametrize("cls_name,methods", METHODS)
def test_classes_are_ordinary_host_classes(cls_name, methods):
    cls = getattr(K, cls_name)
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__module__ == "Korvanth" and cls.__qualname__ == cls_name
    assert [n for n in vars(cls) if callable(getattr(cls, n)) and not n.startswith("__") or n == "__init__"] == methods
    wrappers = {"CUF_Instance": classmethod, "CUF_GetCPUInfo": staticmethod, "CUF_Init_For_PyInstaller": staticmethod}
    for name in methods:
        member = getattr(cls, name)
        assert member.__qualname__ == f"{cls_name}.{name}"
        assert (member.__module__, member.__name__) == ("Korvanth", name)
        # stored as a class body stores it: class and static methods wrapped
        stored = vars(cls)[name]
        assert type(stored) is wrappers.get(name, type(member))
        sig = inspect.signature(member)
        # every parameter by position or keyword, self included
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
        if name not in wrappers:
            assert list(sig.parameters)[0] == "self"


DOCS = [
    (K.CLASS_ProcessGate, "\n    全域 Process Gate（Semaphore）\n    控制同時執行的 multiprocessing.Process 數量\n    "),
    (K.CLASS_ProcessGate.CUF_GetCPUInfo, "\n        列出目前電腦 CPU 核心數\n        "),
    (K.CLASS_ProcessGate.CUF_Acquire, "\n        嘗試取得 Process 執行權\n        若超過核心數，觸發事件\n        "),
    (K.CLASS_ProcessGate.CUF_Release, None),
    (K.CLASS_ProcessGate.CUF_Instance, None),
    (K.CLASS_MultiTask.CUF_Init_For_PyInstaller, "\n        必須由 main 主程式呼叫\n        "),
    (K.CLASS_MultiTask._CUF_Run_Process, "\n        # [舊版本]\n        p = multiprocessing.Process("
                                         "target=self.CVF_TaskFunc, daemon=False)\n        p.start()\n        "),
    (K.CLASS_MultiTaskGroup.__init__, "\n        task_list = [(mode, func), ...]\n        mode: ENUM_TASK_MODE 或 "
                                      "cE_TaskM_AutoTune\n        func: 任務函式\n        "),
    (K._Process_Entry, "\n    multiprocessing Process 的乾淨入口\n    "),
    (K.CLASS_MultiTaskGroup, "可同時啟動多個任務"),
    (K.CLASS_MultiTaskGroup.CUF_StartAll, "非阻塞啟動所有任務"),
    (K.CLASS_MultiTaskGroup.CUF_EvaluateAll, None),
    (K.CLASS_WatchDog, None),
    (K.CLASS_MultiTask, None),
    (K.CLASS_MultiTask.__init__, None),
    (K.CLASS_MultiTask.CUF_Start, None),
    (K.CLASS_WatchDog._run, None),
]


@pytest.mark.parametrize("obj,doc", DOCS, ids=lambda x: getattr(x, "__qualname__", "doc"))
def test_docstrings_exact(obj, doc):
    assert obj.__doc__ == doc


def test_methods_bind_as_host_functions():
    dog = K.CLASS_WatchDog(3600, print)
    K.CLASS_WatchDog.CUF_Stop(self=dog)
    assert dog._stop is True
    bound = dog.CUF_Beat
    assert inspect.ismethod(bound) and bound.__self__ is dog and bound.__func__ is vars(K.CLASS_WatchDog)["CUF_Beat"]
    assert str(inspect.signature(bound)) == "()"
    assert K.CLASS_MultiTask.__init__.__defaults__ == (5, True, None, None, None)
    assert K.CLASS_ProcessGate.CUF_Instance.__func__.__defaults__ == (None,)
    assert pickle.loads(pickle.dumps(K.CLASS_WatchDog.CUF_Beat)) is K.CLASS_WatchDog.CUF_Beat
    assert pickle.loads(pickle.dumps(K._Process_Entry)) is K._Process_Entry
    with pytest.raises(TypeError, match=r"^CLASS_WatchDog.CUF_Beat\(\) got multiple values for argument 'self'$"):
        K.CLASS_WatchDog.CUF_Beat(dog, self=dog)


def test_class_attributes():
    assert K.CLASS_ProcessGate._instance is None
    assert K.CLASS_MultiTask._PyInstaller_Inited is False
    assert "_instance" in vars(K.CLASS_ProcessGate)


def test_runner_defaults_and_instance_dict():
    def f():
        pass

    r = K.CLASS_MultiTask(M.cE_TaskM_TThread, f)
    try:
        assert list(vars(r)) == ["CVE_TaskMode", "CVF_TaskFunc", "CVI_Timeout", "CVD_EvalResult",
                                 "CVE_OnProcessStarted", "CVE_OnProcessFinished", "CVE_OnProcessOverLimit",
                                 "CV_WatchDog"]
        assert (r.CVI_Timeout, r.CVD_EvalResult, r.CVE_OnProcessStarted) == (5, {}, None)
        assert type(r.CV_WatchDog) is K.CLASS_WatchDog
        assert list(vars(r.CV_WatchDog)) == ["CVI_Timeout", "CVF_OnDead", "CVT_LastBeat", "_stop"]
        assert r.CV_WatchDog.CVF_OnDead == r._CUF_OnDead
        # the host may replace the whole dictionary
        r.__dict__ = {"CVI_Timeout": 7}
        assert r.CVI_Timeout == 7
    finally:
        r.CV_WatchDog.CUF_Stop() if isinstance(r.__dict__.get("CV_WatchDog"), K.CLASS_WatchDog) else None


def task_at_module_level():
    pass


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_rebuilds_from_dict_without_constructor(protocol, monkeypatch):
    r = K.CLASS_MultiTask(M.cE_TaskM_TProcess, task_at_module_level, 3)
    dog = r.CV_WatchDog
    dog.CUF_Stop()
    # a constructor run by unpickling would start a thread: make that fail loudly
    monkeypatch.setattr(K.CLASS_WatchDog, "_run", lambda self: pytest.fail("constructor ran"), raising=True)
    copy = pickle.loads(pickle.dumps(r, protocol))
    assert type(copy) is K.CLASS_MultiTask and copy is not r
    assert vars(copy).keys() == vars(r).keys()
    assert copy.CVF_TaskFunc is task_at_module_level and copy.CVE_TaskMode is M.cE_TaskM_TProcess
    assert type(copy.CV_WatchDog) is K.CLASS_WatchDog
    # the watchdog's callback is the copy's bound method: the cycle survives
    assert copy.CV_WatchDog.CVF_OnDead.__self__ is copy
    assert copy.CV_WatchDog._stop is True


def test_subclass_overrides_are_used_by_base_methods():
    calls = []

    class Runner(K.CLASS_MultiTask):
        def _CUF_Run_Thread(self):
            calls.append(("thread", self))

        def CUF_GetBestMode(self):
            return M.cE_TaskM_TThread

    r = Runner(M.cE_TaskM_AutoTune, task_at_module_level, Pmb_EnableWatchDog=False)
    r.CUF_Start()
    assert calls == [("thread", r)]

    class Dog(K.CLASS_WatchDog):
        def _run(self):
            calls.append("own loop")

    Dog(1, None)
    assert calls[-1] == "own loop"


def test_import_has_no_side_effects(py):
    out = py("""
        import threading, sys, multiprocessing
        before = threading.active_count()
        import Korvanth
        import importlib
        again = importlib.import_module("Korvanth")
        assert again is Korvanth
        assert threading.active_count() == before, threading.enumerate()
        assert multiprocessing.active_children() == []
        assert Korvanth.CLASS_ProcessGate._instance is None
    """)
    assert out.stdout == "" and out.stderr == ""


def test_missing_psutil_fails_the_import_cleanly(py):
    py("""
        import sys
        sys.modules["psutil"] = None      # makes `import psutil` fail
        try:
            import Korvanth
        except ImportError as e:
            assert "psutil" in str(e)
        else:
            raise SystemExit("import succeeded")
        assert "Korvanth" not in sys.modules
        del sys.modules["psutil"]
        import Korvanth                   # a later import works
        assert Korvanth.CLASS_MultiTask
    """)
