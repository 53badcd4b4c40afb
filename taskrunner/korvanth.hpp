// Korvanth: the task runner module. Declarations shared by its source units.
//
// Each source unit implements the method bodies of one concern; module.cpp
// declares the classes (members in order, parameters, defaults and
// docstrings) from them.
#pragma once

#include "host.hpp"

namespace korvanth {

using host::Globals;
using host::Handle;
using host::Ref;

// runner.cpp - CLASS_MultiTask core
Ref runner_init(const Globals&, Handle self, Handle mode, Handle func, Handle timeout, Handle enable_watchdog,
                Handle on_started, Handle on_finished, Handle on_over_limit);
Ref runner_init_for_pyinstaller(const Globals&);
Ref runner_start(const Globals&, Handle self);
Ref runner_run_thread(const Globals&, Handle self);
Ref runner_run_async(const Globals&, Handle self);

// watchdog.cpp - CLASS_WatchDog and the runner's watchdog callback
Ref watchdog_init(const Globals&, Handle self, Handle timeout, Handle on_dead);
Ref watchdog_beat(const Globals&, Handle self);
Ref watchdog_stop(const Globals&, Handle self);
Ref watchdog_run(const Globals&, Handle self);
Ref runner_on_dead(const Globals&, Handle self);

// gate.cpp - CLASS_ProcessGate
Ref gate_init(const Globals&, Handle self, Handle on_over_limit);
Ref gate_instance(const Globals&, Handle cls, Handle on_over_limit);
Ref gate_cpu_info(const Globals&);
Ref gate_acquire(const Globals&, Handle self);
Ref gate_release(const Globals&, Handle self);

// process.cpp - process mode
Ref process_entry(const Globals&, Handle task_func, Handle gate, Handle result_queue);
Ref runner_run_process(const Globals&, Handle self);
Ref runner_wait_process_exit(const Globals&, Handle self, Handle proc, Handle queue);
Ref runner_on_over_limit(const Globals&, Handle self, Handle cpu_max, Handle running);

// exitwait.cpp - a child still running at the program's exit is waited for
// before the host's exit finalizers run
void wait_for_child_at_exit(Handle proc);

// evaluation.cpp - task evaluation and mode choice
Ref runner_evaluate(const Globals&, Handle self);
Ref runner_best_mode(const Globals&, Handle self);

// group.cpp - CLASS_MultiTaskGroup
Ref group_init(const Globals&, Handle self, Handle task_list);
Ref group_evaluate_all(const Globals&, Handle self);
Ref group_start_all(const Globals&, Handle self);

}  // namespace korvanth
