# Type stub of the Sarnovet extension module (installed as Sarnovet-stubs).
# Events are called with positional arguments.
import multiprocessing as multiprocessing
import os as os
import socket as socket
import sys
import time as time
import uuid as uuid
from collections.abc import Callable, Mapping
from types import ModuleType
from typing import Any, NoReturn, TypeVar

_C = TypeVar("_C", bound=type)
# Classes made in native code keep their instance dict in a layout of their
# own; from CPython 3.12 on, where ordinary classes keep it outside, that
# makes each a disjoint base (no class can derive from two of them).
if sys.version_info >= (3, 12):
    from typing_extensions import disjoint_base as _native_layout
else:
    def _native_layout(cls: _C) -> _C: ...

# The database driver the module imports (PyMySQL); typed loosely so that
# checking a program needs no stubs of it.
pymysql: ModuleType

@_native_layout
class CLASS_MultiTaskAdv:
    CVF_TargetFunc: Callable[[str], object]
    CVF_MaxCPU: int
    CVF_TableName: str
    CVF_DBConfig: Mapping[str, Any]
    CVF_HostName: str
    Evt_OnTaskRegister: Callable[[str, str], object] | None  # (worker id, task name)
    Evt_OnProcStart: Callable[[str, str], object] | None  # (worker id, task name)
    Evt_OnProcExit: Callable[[str, str], object] | None  # (worker id, task name)
    Evt_OnProcDead: Callable[[str, str], object] | None  # (worker id, error text)
    Evt_OnIdle: Callable[[], object] | None
    def __init__(
        self,
        Pmf_TargetFunc: Callable[[str], object],
        Pmi_MaxCPU: int,
        Pmd_DBConfig: Mapping[str, Any],
        Pms_TableName: str = "_syscpu_gate_worker",
        PmF_Event_OnTaskRegister: Callable[[str, str], object] | None = None,
        PmF_Event_OnProcessStart: Callable[[str, str], object] | None = None,
        PmF_Event_OnProcessExit: Callable[[str, str], object] | None = None,
        PmF_Event_OnProcessDead: Callable[[str, str], object] | None = None,
        PmF_Event_OnIdle: Callable[[], object] | None = None,
    ) -> None: ...
    def CVF_GetDBConn(self) -> Any: ...
    def CVF_EnsureTable(self) -> None: ...
    def CUF_HasPendingOrRunning(self) -> bool: ...
    def CUF_RegisterTask(self, Pms_TaskName: str) -> None: ...
    def CUF_GetTaskCount(self) -> int: ...
    def CUF_TryFetchTask(self) -> tuple[str, str] | None: ...
    def _ProcessWrapper(self, Pmi_WorkerID: str, Pms_TaskName: str) -> None: ...
    def CUF_Run(self, Pmi_SleepIdle: float = 1) -> NoReturn: ...
