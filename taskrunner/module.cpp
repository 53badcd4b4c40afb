// Module initialisation of Korvanth: imports, the task-mode enumeration,
// the child-process entry and the four classes, in the module body's order.
#include "korvanth.hpp"

namespace korvanth {
namespace {

using namespace host;

// Docstrings are the exact __doc__ texts.
#define NL "\n"
#define I4 "    "
#define I8 "        "

constexpr Def process_entry_def = function<process_entry>("_Process_Entry", {"task_func", "gate", "result_queue"},
                                                          NL I4 "multiprocessing Process 的乾淨入口" NL I4);

constexpr Def gate_members[] = {
    attribute("_instance", None),
    method<gate_init>("__init__", {"self", {"Pmf_OnOverLimit", None}}),
    classmethod<gate_instance>("CUF_Instance", {"cls", {"Pmf_OnOverLimit", None}}),
    staticmethod<gate_cpu_info>("CUF_GetCPUInfo", {}, NL I8 "列出目前電腦 CPU 核心數" NL I8),
    method<gate_acquire>("CUF_Acquire", {"self"}, NL I8 "嘗試取得 Process 執行權" NL I8 "若超過核心數，觸發事件" NL I8),
    method<gate_release>("CUF_Release", {"self"}),
};

constexpr Def watchdog_members[] = {
    method<watchdog_init>("__init__", {"self", "Pmi_Timeout", "Pmf_OnDead"}),
    method<watchdog_beat>("CUF_Beat", {"self"}),
    method<watchdog_stop>("CUF_Stop", {"self"}),
    method<watchdog_run>("_run", {"self"}),
};

constexpr Def runner_members[] = {
    attribute("_PyInstaller_Inited", false),
    staticmethod<runner_init_for_pyinstaller>("CUF_Init_For_PyInstaller", {}, NL I8 "必須由 main 主程式呼叫" NL I8),
    method<runner_init>("__init__", {"self",
                                     "PmE_TaskMode",
                                     "PmF_TaskMainFunc",
                                     {"Pmi_Timeout", 5},
                                     {"Pmb_EnableWatchDog", true},
                                     {"PmF_Event_OnProcessStarted", None},
                                     {"PmF_Event_OnProcessFinished", None},
                                     {"PmF_Event_OnProcessOverLimit", None}}),
    method<runner_on_over_limit>("_CVE_OnProcessOverLimit", {"self", "cpu_max", "running"}),
    method<runner_wait_process_exit>("_CUF_WaitProcessExit", {"self", "proc", "queue"}),
    method<runner_evaluate>("CUF_EvaluateTask", {"self"}),
    method<runner_best_mode>("CUF_GetBestMode", {"self"}),
    method<runner_start>("CUF_Start", {"self"}),
    method<runner_run_thread>("_CUF_Run_Thread", {"self"}),
    method<runner_run_async>("_CUF_Run_Async", {"self"}),
    method<runner_run_process>("_CUF_Run_Process", {"self"},
                               NL I8 "# [舊版本]" NL I8
                                     "p = multiprocessing.Process(target=self.CVF_TaskFunc, daemon=False)" NL I8
                                     "p.start()" NL I8),
    method<runner_on_dead>("_CUF_OnDead", {"self"}),
};

constexpr Def group_members[] = {
    method<group_init>("__init__", {"self", "task_list"},
                       NL I8 "task_list = [(mode, func), ...]" NL I8 "mode: ENUM_TASK_MODE 或 cE_TaskM_AutoTune" NL I8
                             "func: 任務函式" NL I8),
    method<group_evaluate_all>("CUF_EvaluateAll", {"self"}),
    method<group_start_all>("CUF_StartAll", {"self"}, "非阻塞啟動所有任務"),
};

Ref exec_body(Handle module) {
    // import os, traceback, time, threading, multiprocessing, asyncio, inspect, psutil
    for (const char* name : {"os", "traceback", "time", "threading", "multiprocessing", "asyncio", "inspect", "psutil"})
        import_into(module, name);
    // from enum import Enum
    add(module, "Enum", import(Globals(module.ptr()), "enum").attr(ID("Enum")));
    // the task-mode enumeration, through the enumeration's own metaclass
    new_class(module, "ENUM_TASK_MODE", tuple(Globals(module.ptr())[ID("Enum")]),
              {{"cE_TaskM_TThread", integer(1)},
               {"cE_TaskM_AsyncThread", integer(2)},
               {"cE_TaskM_TProcess", integer(3)},
               {"cE_TaskM_AutoTune", integer(99)}});
    add_function(module, process_entry_def);
    make_class(module, "CLASS_ProcessGate",
               NL I4 "全域 Process Gate（Semaphore）" NL I4 "控制同時執行的 multiprocessing.Process 數量" NL I4,
               gate_members);
    make_class(module, "CLASS_WatchDog", nullptr, watchdog_members);
    make_class(module, "CLASS_MultiTask", nullptr, runner_members);
    make_class(module, "CLASS_MultiTaskGroup", "可同時啟動多個任務", group_members);
    return none();
}

}  // namespace
}  // namespace korvanth

HOST_MODULE(Korvanth, korvanth::exec_body)
