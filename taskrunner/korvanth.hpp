// Korvanth: the task runner module. What its source units share.
//
// Each source unit holds the methods of one concern, every method's
// declaration (name, parameters, defaults, docstring) written next to its
// body; module.cpp puts them into the classes in class-body order.
#pragma once

#include "host.hpp"

// Docstrings are the exact __doc__ texts.
#define NL "\n"
#define I4 "    "
#define I8 "        "

namespace korvanth {

using host::Def;
using host::Globals;
using host::Handle;
using host::Ref;

// Declarations defined next to their bodies, by class.
namespace multitask {  // CLASS_MultiTask: runner.cpp, process.cpp, evaluation.cpp, watchdog.cpp
extern const Def init, init_for_pyinstaller, start, run_thread, run_async;  // runner.cpp
extern const Def on_over_limit, wait_process_exit, run_process;             // process.cpp
extern const Def evaluate, best_mode;                                       // evaluation.cpp
extern const Def on_dead;                                                   // watchdog.cpp
}  // namespace multitask
namespace watchdog {  // CLASS_WatchDog: watchdog.cpp
extern const Def init, beat, stop, run;
}
namespace gate {  // CLASS_ProcessGate: gate.cpp
extern const Def init, instance, cpu_info, acquire, release;
}
namespace group {  // CLASS_MultiTaskGroup: group.cpp
extern const Def init, evaluate_all, start_all;
}
extern const Def process_entry_def;  // _Process_Entry: process.cpp

// exitwait.cpp - a child still running at the program's exit is waited for
// before the host's exit finalizers run
void wait_for_child_at_exit(const Globals& g, Handle proc);

}  // namespace korvanth
