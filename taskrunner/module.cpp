// Module initialisation of Korvanth: imports, the task-mode enumeration,
// the child-process entry and the four classes, in the module body's order.
#include "korvanth.hpp"

namespace korvanth {
namespace {

using namespace host;

constexpr Def gate_instance_slot = attribute("_instance", None);
constexpr Def pyinstaller_inited = attribute("_PyInstaller_Inited", false);

// The class bodies, in their order.
constexpr const Def* gate_members[] = {&gate_instance_slot, &gate::init,    &gate::instance,
                                       &gate::cpu_info,     &gate::acquire, &gate::release};
constexpr const Def* watchdog_members[] = {&watchdog::init, &watchdog::beat, &watchdog::stop, &watchdog::run};
constexpr const Def* runner_members[] = {&pyinstaller_inited,
                                         &multitask::init_for_pyinstaller,
                                         &multitask::init,
                                         &multitask::on_over_limit,
                                         &multitask::wait_process_exit,
                                         &multitask::evaluate,
                                         &multitask::best_mode,
                                         &multitask::start,
                                         &multitask::run_thread,
                                         &multitask::run_async,
                                         &multitask::run_process,
                                         &multitask::on_dead};
constexpr const Def* group_members[] = {&group::init, &group::evaluate_all, &group::start_all};

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
