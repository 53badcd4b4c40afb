# Type stub of the Korvanth extension module (installed as Korvanth-stubs).
# Names with a leading underscore that are marked type_check_only exist for
# type checkers only; import them under `if TYPE_CHECKING:`.
import asyncio as asyncio
import inspect as inspect
import multiprocessing as multiprocessing
import os as os
import threading as threading
import time as time
import traceback as traceback
from collections.abc import Callable, Iterable
from enum import Enum as Enum
from multiprocessing.process import BaseProcess
from multiprocessing.queues import Queue
from multiprocessing.sharedctypes import Synchronized
from multiprocessing.synchronize import Semaphore
from types import ModuleType
from typing import ClassVar, Literal, Protocol, TypeAlias, TypedDict, type_check_only

# The third-party package the module imports (psutil); typed loosely so that
# checking a program needs no stubs of it.
psutil: ModuleType

class ENUM_TASK_MODE(Enum):
    cE_TaskM_TThread = 1
    cE_TaskM_AsyncThread = 2
    cE_TaskM_TProcess = 3
    cE_TaskM_AutoTune = 99

@type_check_only
class _ModeScore(TypedDict):
    mode: str
    score: float

_EvalRecord: TypeAlias = dict[ENUM_TASK_MODE, _ModeScore]

@type_check_only
class _ResultRecord(TypedDict):
    pid: int
    status: Literal["OK", "EXCEPTION"]
    error: str | None

# Process-mode events: called with keyword arguments of exactly these names.
@type_check_only
class _OnProcessStarted(Protocol):
    def __call__(self, *, pid: int, task: CLASS_MultiTask) -> object: ...

@type_check_only
class _OnProcessFinished(Protocol):
    def __call__(
        self, *, pid: int, status: Literal["OK", "EXCEPTION"], error: str | None, task: CLASS_MultiTask
    ) -> object: ...

@type_check_only
class _OnProcessOverLimit(Protocol):
    def __call__(self, *, cpu_max: int, running: int, task: CLASS_MultiTask) -> object: ...

def _Process_Entry(
    task_func: Callable[[], object], gate: CLASS_ProcessGate | None, result_queue: Queue[_ResultRecord]
) -> None: ...

class CLASS_ProcessGate:
    _instance: ClassVar[CLASS_ProcessGate | None]
    CVI_CPU_Physical: int
    CVI_CPU_Logical: int | None
    CV_Semaphore: Semaphore
    # The gate's over-limit callback: called with two positional arguments,
    # the core limit and the running count.
    CVF_OnOverLimit: Callable[[int, int], object] | None
    CVI_RunningProc: Synchronized[int]
    def __init__(self, Pmf_OnOverLimit: Callable[[int, int], object] | None = None) -> None: ...
    @classmethod
    def CUF_Instance(cls, Pmf_OnOverLimit: Callable[[int, int], object] | None = None) -> CLASS_ProcessGate: ...
    @staticmethod
    def CUF_GetCPUInfo() -> dict[str, int | None]: ...
    def CUF_Acquire(self) -> None: ...
    def CUF_Release(self) -> None: ...

class CLASS_WatchDog:
    CVI_Timeout: float
    CVF_OnDead: Callable[[], object]
    CVT_LastBeat: float
    _stop: bool
    def __init__(self, Pmi_Timeout: float, Pmf_OnDead: Callable[[], object]) -> None: ...
    def CUF_Beat(self) -> None: ...
    def CUF_Stop(self) -> None: ...
    def _run(self) -> None: ...

class CLASS_MultiTask:
    _PyInstaller_Inited: ClassVar[bool]
    CVE_TaskMode: ENUM_TASK_MODE
    # The task function: called with no arguments (async mode awaits what it
    # returns); an evaluation calls it once with probe_only=True.
    CVF_TaskFunc: Callable[[], object]
    CVI_Timeout: float
    CVD_EvalResult: _EvalRecord
    CVE_OnProcessStarted: _OnProcessStarted | None
    CVE_OnProcessFinished: _OnProcessFinished | None
    CVE_OnProcessOverLimit: _OnProcessOverLimit | None
    # None when the runner was made with Pmb_EnableWatchDog false.
    CV_WatchDog: CLASS_WatchDog | None
    @staticmethod
    def CUF_Init_For_PyInstaller() -> None: ...
    def __init__(
        self,
        PmE_TaskMode: ENUM_TASK_MODE,
        PmF_TaskMainFunc: Callable[[], object],
        Pmi_Timeout: float = 5,
        Pmb_EnableWatchDog: object = True,
        PmF_Event_OnProcessStarted: _OnProcessStarted | None = None,
        PmF_Event_OnProcessFinished: _OnProcessFinished | None = None,
        PmF_Event_OnProcessOverLimit: _OnProcessOverLimit | None = None,
    ) -> None: ...
    def _CVE_OnProcessOverLimit(self, cpu_max: int, running: int) -> None: ...
    def _CUF_WaitProcessExit(self, proc: BaseProcess, queue: Queue[_ResultRecord]) -> None: ...
    def CUF_EvaluateTask(self) -> _EvalRecord: ...
    def CUF_GetBestMode(self) -> ENUM_TASK_MODE: ...
    def CUF_Start(self) -> None: ...
    def _CUF_Run_Thread(self) -> None: ...
    def _CUF_Run_Async(self) -> None: ...
    def _CUF_Run_Process(self) -> None: ...
    def _CUF_OnDead(self) -> None: ...

class CLASS_MultiTaskGroup:
    tasks: list[CLASS_MultiTask]
    def __init__(self, task_list: Iterable[tuple[ENUM_TASK_MODE, Callable[[], object]]]) -> None: ...
    def CUF_EvaluateAll(self) -> list[_EvalRecord]: ...
    def CUF_StartAll(self) -> None: ...
