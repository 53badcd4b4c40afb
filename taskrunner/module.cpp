// Module initialisation of Korvanth: imports, the task-mode enumeration,
// the child-process entry and the four classes, in the module body's order.
#include "korvanth.hpp"

namespace korvanth {
namespace {

using namespace host;

// ---------------------------------------------------------------- docs
// Each entry starts with the text signature that inspect.signature reads;
// what follows the blank line is the exact __doc__ (None when empty).

#define NL "\n"
#define I4 "    "
#define I8 "        "

PyMethodDef process_entry_def =
    HOST_FUNCTION("_Process_Entry", process_entry,
                  "_Process_Entry(task_func, gate, result_queue)\n--\n\n" NL I4 "multiprocessing Process 的乾淨入口" NL I4);

PyMethodDef gate_methods[] = {
    HOST_INIT(gate_init, "__init__(self, Pmf_OnOverLimit=None)\n--\n\n"),
    HOST_CLASSMETHOD("CUF_Instance", gate_instance, "CUF_Instance($cls, Pmf_OnOverLimit=None)\n--\n\n"),
    HOST_STATICMETHOD("CUF_GetCPUInfo", gate_cpu_info,
                      "CUF_GetCPUInfo()\n--\n\n" NL I8 "列出目前電腦 CPU 核心數" NL I8),
    HOST_METHOD("CUF_Acquire", gate_acquire,
                "CUF_Acquire($self)\n--\n\n" NL I8 "嘗試取得 Process 執行權" NL I8 "若超過核心數，觸發事件" NL I8),
    HOST_METHOD("CUF_Release", gate_release, "CUF_Release($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef watchdog_methods[] = {
    HOST_INIT(watchdog_init, "__init__(self, Pmi_Timeout, Pmf_OnDead)\n--\n\n"),
    HOST_METHOD("CUF_Beat", watchdog_beat, "CUF_Beat($self)\n--\n\n"),
    HOST_METHOD("CUF_Stop", watchdog_stop, "CUF_Stop($self)\n--\n\n"),
    HOST_METHOD("_run", watchdog_run, "_run($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef runner_methods[] = {
    HOST_STATICMETHOD("CUF_Init_For_PyInstaller", runner_init_for_pyinstaller,
                      "CUF_Init_For_PyInstaller()\n--\n\n" NL I8 "必須由 main 主程式呼叫" NL I8),
    HOST_INIT(runner_init,
              "__init__(self, PmE_TaskMode, PmF_TaskMainFunc, Pmi_Timeout=5, Pmb_EnableWatchDog=True, "
                "PmF_Event_OnProcessStarted=None, PmF_Event_OnProcessFinished=None, "
                "PmF_Event_OnProcessOverLimit=None)\n--\n\n"),
    HOST_METHOD("_CVE_OnProcessOverLimit", runner_on_over_limit, "_CVE_OnProcessOverLimit($self, cpu_max, running)\n--\n\n"),
    HOST_METHOD("_CUF_WaitProcessExit", runner_wait_process_exit, "_CUF_WaitProcessExit($self, proc, queue)\n--\n\n"),
    HOST_METHOD("CUF_EvaluateTask", runner_evaluate, "CUF_EvaluateTask($self)\n--\n\n"),
    HOST_METHOD("CUF_GetBestMode", runner_best_mode, "CUF_GetBestMode($self)\n--\n\n"),
    HOST_METHOD("CUF_Start", runner_start, "CUF_Start($self)\n--\n\n"),
    HOST_METHOD("_CUF_Run_Thread", runner_run_thread, "_CUF_Run_Thread($self)\n--\n\n"),
    HOST_METHOD("_CUF_Run_Async", runner_run_async, "_CUF_Run_Async($self)\n--\n\n"),
    HOST_METHOD("_CUF_Run_Process", runner_run_process,
                "_CUF_Run_Process($self)\n--\n\n" NL I8 "# [舊版本]" NL I8
                "p = multiprocessing.Process(target=self.CVF_TaskFunc, daemon=False)" NL I8 "p.start()" NL I8),
    HOST_METHOD("_CUF_OnDead", runner_on_dead, "_CUF_OnDead($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef group_methods[] = {
    HOST_INIT(group_init,
              "__init__(self, task_list)\n--\n\n" NL I8 "task_list = [(mode, func), ...]" NL I8
                "mode: ENUM_TASK_MODE 或 cE_TaskM_AutoTune" NL I8 "func: 任務函式" NL I8),
    HOST_METHOD("CUF_EvaluateAll", group_evaluate_all, "CUF_EvaluateAll($self)\n--\n\n"),
    HOST_METHOD("CUF_StartAll", group_start_all, "CUF_StartAll($self)\n--\n\n非阻塞啟動所有任務"),
    {nullptr, nullptr, 0, nullptr},
};

void import_into(PyObject* module, const char* name) {
    Ref m = check(PyImport_ImportModule(name));
    check_int(PyModule_AddObjectRef(module, name, m.get()));
}

Ref exec_body(PyObject* module) {
    // 1-2. host modules, in the module body's order
    for (const char* name : {"os", "traceback", "time", "threading", "multiprocessing", "asyncio", "inspect", "psutil"})
        import_into(module, name);
    // 3. from enum import Enum
    Ref enum_mod = check(PyImport_ImportModule("enum"));
    Ref Enum = getattr(enum_mod.get(), HOST_ID("Enum"));
    check_int(PyModule_AddObjectRef(module, "Enum", Enum.get()));
    // 4. the task-mode enumeration, through the enumeration's own metaclass
    new_class(module, "ENUM_TASK_MODE", tuple(Enum),
              {{"cE_TaskM_TThread", integer(1)},
               {"cE_TaskM_AsyncThread", integer(2)},
               {"cE_TaskM_TProcess", integer(3)},
               {"cE_TaskM_AutoTune", integer(99)}});
    // 5. child-process entry
    Ref entry = make_function(module, &process_entry_def);
    check_int(PyModule_AddObjectRef(module, "_Process_Entry", entry.get()));
    // 6. process gate
    Ref gate = make_class(module, {"Korvanth.CLASS_ProcessGate",
                                   NL I4 "全域 Process Gate（Semaphore）" NL I4 "控制同時執行的 multiprocessing.Process 數量" NL I4,
                                   gate_methods, nullptr});
    set_class_attr(gate.get(), "_instance", none());
    // 7. watchdog
    make_class(module, {"Korvanth.CLASS_WatchDog", nullptr, watchdog_methods, nullptr});
    // 8. task runner
    Ref runner = make_class(module, {"Korvanth.CLASS_MultiTask", nullptr, runner_methods, nullptr});
    set_class_attr(runner.get(), "_PyInstaller_Inited", boolean(false));
    // 9. task group
    make_class(module, {"Korvanth.CLASS_MultiTaskGroup", "可同時啟動多個任務", group_methods, nullptr});
    check_int(runner_types_init(module));
    return none();
}

}  // namespace
}  // namespace korvanth

HOST_MODULE(Korvanth, korvanth::exec_body)
