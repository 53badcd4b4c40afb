// Module initialisation of Sarnovet: the host modules it works with, then
// the coordinated runner class.
#include "sarnovet.hpp"

namespace sarnovet {
namespace {

using namespace host;

// Method docstrings carry only the text signature (__doc__ is None).
PyMethodDef runner_methods[] = {
    HOST_INIT(runner_init,
              "__init__(self, Pmf_TargetFunc, Pmi_MaxCPU, Pmd_DBConfig, Pms_TableName='_syscpu_gate_worker', "
                "PmF_Event_OnTaskRegister=None, PmF_Event_OnProcessStart=None, PmF_Event_OnProcessExit=None, "
                "PmF_Event_OnProcessDead=None, PmF_Event_OnIdle=None)\n--\n\n"),
    HOST_METHOD("CVF_GetDBConn", runner_get_conn, "CVF_GetDBConn($self)\n--\n\n"),
    HOST_METHOD("CVF_EnsureTable", runner_ensure_table, "CVF_EnsureTable($self)\n--\n\n"),
    HOST_METHOD("CUF_HasPendingOrRunning", runner_has_pending_or_running, "CUF_HasPendingOrRunning($self)\n--\n\n"),
    HOST_METHOD("CUF_RegisterTask", runner_register_task, "CUF_RegisterTask($self, Pms_TaskName)\n--\n\n"),
    HOST_METHOD("CUF_GetTaskCount", runner_get_task_count, "CUF_GetTaskCount($self)\n--\n\n"),
    HOST_METHOD("CUF_TryFetchTask", runner_try_fetch_task, "CUF_TryFetchTask($self)\n--\n\n"),
    HOST_METHOD("_ProcessWrapper", runner_process_wrapper, "_ProcessWrapper($self, Pmi_WorkerID, Pms_TaskName)\n--\n\n"),
    HOST_METHOD("CUF_Run", runner_run, "CUF_Run($self, Pmi_SleepIdle=1)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- exec

Ref exec_body(PyObject* module) {
    for (const char* name : {"pymysql", "multiprocessing", "socket", "time", "os", "uuid"}) {
        Ref m = check(PyImport_ImportModule(name));
        check_int(PyModule_AddObjectRef(module, name, m.get()));
    }
    Ref cls = make_class(module, {"Sarnovet.CLASS_MultiTaskAdv", nullptr, runner_methods, nullptr});
    // The constructor's annotations are part of the interface.
    Ref init = getattr(cls.get(), HOST_ID("__init__"));
    Ref annotations = check(PyDict_New());
    check_int(PyDict_SetItemString(annotations.get(), "Pms_TableName", (PyObject*)&PyUnicode_Type));
    setattr(init.get(), HOST_ID("__annotations__"), annotations);
    return none();
}

}  // namespace
}  // namespace sarnovet

HOST_MODULE(Sarnovet, sarnovet::exec_body)
