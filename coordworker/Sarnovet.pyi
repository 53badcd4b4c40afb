# Type stub of the Sarnovet extension module (installed as Sarnovet-stubs).
# Events are called with positional arguments.
import multiprocessing as multiprocessing
import os as os
import socket as socket
import time as time
import uuid as uuid
from collections.abc import Callable, Mapping
from types import ModuleType
from typing import Any, NoReturn

# The database driver the module imports (PyMySQL); typed loosely so that
# checking a program needs no stubs of it.
pymysql: ModuleType

class CLASS_MultiTaskAdv:
    # Class attributes, read from the instance when used: how often a
    # dispatcher refreshes its host's heartbeat (default 5), and how old a
    # host's heartbeat may grow before its RUNNING rows are settled as lost
    # (default 90).
    CVI_HeartbeatSeconds: float
    CVI_LeaseSeconds: float
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
