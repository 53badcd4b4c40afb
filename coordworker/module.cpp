// Module initialisation of Sarnovet: the host modules it works with, then
// the coordinated runner class.
#include "sarnovet.hpp"

namespace sarnovet {
namespace {

using namespace host;

constexpr Def runner_members[] = {
    method<runner_init>("__init__", {"self",
                                     "Pmf_TargetFunc",
                                     "Pmi_MaxCPU",
                                     "Pmd_DBConfig",
                                     Param{"Pms_TableName", "_syscpu_gate_worker"}.annotated(&PyUnicode_Type),
                                     {"PmF_Event_OnTaskRegister", None},
                                     {"PmF_Event_OnProcessStart", None},
                                     {"PmF_Event_OnProcessExit", None},
                                     {"PmF_Event_OnProcessDead", None},
                                     {"PmF_Event_OnIdle", None}}),
    method<runner_get_conn>("CVF_GetDBConn", {"self"}),
    method<runner_ensure_table>("CVF_EnsureTable", {"self"}),
    method<runner_has_pending_or_running>("CUF_HasPendingOrRunning", {"self"}),
    method<runner_register_task>("CUF_RegisterTask", {"self", "Pms_TaskName"}),
    method<runner_get_task_count>("CUF_GetTaskCount", {"self"}),
    method<runner_try_fetch_task>("CUF_TryFetchTask", {"self"}),
    method<runner_process_wrapper>("_ProcessWrapper", {"self", "Pmi_WorkerID", "Pms_TaskName"}),
    method<runner_run>("CUF_Run", {"self", {"Pmi_SleepIdle", 1}}),
};

Ref exec_body(Handle module) {
    for (const char* name : {"pymysql", "multiprocessing", "socket", "time", "os", "uuid"}) import_into(module, name);
    Ref cls = make_class(module, "CLASS_MultiTaskAdv", nullptr, runner_members);
    // How often a dispatcher refreshes its host's heartbeat, and how old a
    // heartbeat (on the server's clock) may grow before any dispatcher
    // settles that host's RUNNING rows as lost. Read from the instance when
    // used, so a host may set them on a subclass, the class or an instance.
    cls.set_attr(ID("CVI_HeartbeatSeconds"), integer(kHeartbeatSeconds));
    cls.set_attr(ID("CVI_LeaseSeconds"), integer(kLeaseSeconds));
    return none();
}

}  // namespace
}  // namespace sarnovet

HOST_MODULE(Sarnovet, sarnovet::exec_body)
