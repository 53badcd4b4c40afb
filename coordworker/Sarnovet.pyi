from typing import Any, Callable, Mapping, Optional, Tuple

class CLASS_MultiTaskAdv:
    CVF_TargetFunc: Callable[[str], Any]
    CVF_MaxCPU: int
    CVF_TableName: str
    CVF_DBConfig: Mapping[str, Any]
    CVF_HostName: str
    Evt_OnTaskRegister: Optional[Callable[[str, str], Any]]
    Evt_OnProcStart: Optional[Callable[[str, str], Any]]
    Evt_OnProcExit: Optional[Callable[[str, str], Any]]
    Evt_OnProcDead: Optional[Callable[[str, str], Any]]
    Evt_OnIdle: Optional[Callable[[], Any]]
    def __init__(
        self,
        Pmf_TargetFunc: Callable[[str], Any],
        Pmi_MaxCPU: int,
        Pmd_DBConfig: Mapping[str, Any],
        Pms_TableName: str = "_syscpu_gate_worker",
        PmF_Event_OnTaskRegister: Optional[Callable[[str, str], Any]] = None,
        PmF_Event_OnProcessStart: Optional[Callable[[str, str], Any]] = None,
        PmF_Event_OnProcessExit: Optional[Callable[[str, str], Any]] = None,
        PmF_Event_OnProcessDead: Optional[Callable[[str, str], Any]] = None,
        PmF_Event_OnIdle: Optional[Callable[[], Any]] = None,
    ) -> None: ...
    def CVF_GetDBConn(self) -> Any: ...
    def CVF_EnsureTable(self) -> None: ...
    def CUF_HasPendingOrRunning(self) -> bool: ...
    def CUF_RegisterTask(self, Pms_TaskName: str) -> None: ...
    def CUF_GetTaskCount(self) -> int: ...
    def CUF_TryFetchTask(self) -> Optional[Tuple[str, str]]: ...
    def _ProcessWrapper(self, Pmi_WorkerID: str, Pms_TaskName: str) -> None: ...
    def CUF_Run(self, Pmi_SleepIdle: float = 1) -> None: ...
