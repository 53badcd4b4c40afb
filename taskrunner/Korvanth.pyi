import asyncio as asyncio
import inspect as inspect
import multiprocessing as multiprocessing
import os as os
import threading as threading
import time as time
import traceback as traceback
from enum import Enum as Enum
from typing import Any, Callable, ClassVar, Iterable, Optional

import psutil as psutil

class ENUM_TASK_MODE(Enum):
    cE_TaskM_TThread = 1
    cE_TaskM_AsyncThread = 2
    cE_TaskM_TProcess = 3
    cE_TaskM_AutoTune = 99

def _Process_Entry(task_func: Callable[[], Any], gate: Optional[CLASS_ProcessGate], result_queue: Any) -> None: ...

class CLASS_ProcessGate:
    _instance: ClassVar[Optional[CLASS_ProcessGate]]
    CVI_CPU_Physical: int
    CVI_CPU_Logical: int
    CV_Semaphore: Any
    CVF_OnOverLimit: Optional[Callable[[int, int], Any]]
    CVI_RunningProc: Any
    def __init__(self, Pmf_OnOverLimit: Optional[Callable[[int, int], Any]] = None) -> None: ...
    @classmethod
    def CUF_Instance(cls, Pmf_OnOverLimit: Optional[Callable[[int, int], Any]] = None) -> CLASS_ProcessGate: ...
    @staticmethod
    def CUF_GetCPUInfo() -> dict[str, int]: ...
    def CUF_Acquire(self) -> None: ...
    def CUF_Release(self) -> None: ...

class CLASS_WatchDog:
    CVI_Timeout: float
    CVF_OnDead: Callable[[], Any]
    CVT_LastBeat: float
    _stop: bool
    def __init__(self, Pmi_Timeout: float, Pmf_OnDead: Callable[[], Any]) -> None: ...
    def CUF_Beat(self) -> None: ...
    def CUF_Stop(self) -> None: ...
    def _run(self) -> None: ...

class CLASS_MultiTask:
    _PyInstaller_Inited: ClassVar[bool]
    CVE_TaskMode: ENUM_TASK_MODE
    CVF_TaskFunc: Callable[..., Any]
    CVI_Timeout: float
    CVD_EvalResult: dict[ENUM_TASK_MODE, dict[str, Any]]
    CVE_OnProcessStarted: Optional[Callable[..., Any]]
    CVE_OnProcessFinished: Optional[Callable[..., Any]]
    CVE_OnProcessOverLimit: Optional[Callable[..., Any]]
    CV_WatchDog: Optional[CLASS_WatchDog]
    @staticmethod
    def CUF_Init_For_PyInstaller() -> None: ...
    def __init__(
        self,
        PmE_TaskMode: ENUM_TASK_MODE,
        PmF_TaskMainFunc: Callable[..., Any],
        Pmi_Timeout: float = 5,
        Pmb_EnableWatchDog: bool = True,
        PmF_Event_OnProcessStarted: Optional[Callable[..., Any]] = None,
        PmF_Event_OnProcessFinished: Optional[Callable[..., Any]] = None,
        PmF_Event_OnProcessOverLimit: Optional[Callable[..., Any]] = None,
    ) -> None: ...
    def _CVE_OnProcessOverLimit(self, cpu_max: int, running: int) -> None: ...
    def _CUF_WaitProcessExit(self, proc: Any, queue: Any) -> None: ...
    def CUF_EvaluateTask(self) -> dict[ENUM_TASK_MODE, dict[str, Any]]: ...
    def CUF_GetBestMode(self) -> ENUM_TASK_MODE: ...
    def CUF_Start(self) -> None: ...
    def _CUF_Run_Thread(self) -> None: ...
    def _CUF_Run_Async(self) -> None: ...
    def _CUF_Run_Process(self) -> None: ...
    def _CUF_OnDead(self) -> None: ...

class CLASS_MultiTaskGroup:
    tasks: list[CLASS_MultiTask]
    def __init__(self, task_list: Iterable[tuple[ENUM_TASK_MODE, Callable[..., Any]]]) -> None: ...
    def CUF_EvaluateAll(self) -> list[dict[ENUM_TASK_MODE, dict[str, Any]]]: ...
    def CUF_StartAll(self) -> None: ...
