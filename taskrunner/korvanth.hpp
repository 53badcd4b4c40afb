// Korvanth: the task runner module. Declarations shared by its source units.
//
// Each source unit implements the method bodies of one concern; module.cpp
// assembles the classes (method order, signatures and docstrings) from them.
#pragma once

#include "host.hpp"

namespace korvanth {

using host::Call;
using host::Ref;

// runner.cpp - CLASS_MultiTask core
Ref runner_init(Call&);
Ref runner_init_for_pyinstaller(Call&);
Ref runner_start(Call&);
Ref runner_run_thread(Call&);
Ref runner_run_async(Call&);
int runner_types_init(PyObject* module);  // the coroutine type used by async mode

// watchdog.cpp - CLASS_WatchDog and the runner's watchdog callback
Ref watchdog_init(Call&);
Ref watchdog_beat(Call&);
Ref watchdog_stop(Call&);
Ref watchdog_run(Call&);
Ref runner_on_dead(Call&);

// gate.cpp - CLASS_ProcessGate
Ref gate_init(Call&);
Ref gate_instance(Call&);
Ref gate_cpu_info(Call&);
Ref gate_acquire(Call&);
Ref gate_release(Call&);

// process.cpp - process mode
Ref process_entry(Call&);
Ref runner_run_process(Call&);
Ref runner_wait_process_exit(Call&);
Ref runner_on_over_limit(Call&);

// evaluation.cpp - task evaluation and mode choice
Ref runner_evaluate(Call&);
Ref runner_best_mode(Call&);

// group.cpp - CLASS_MultiTaskGroup
Ref group_init(Call&);
Ref group_evaluate_all(Call&);
Ref group_start_all(Call&);

// Shorthand: attribute lookup / store on self by interned name.
#define K_GET(obj, name) ::host::getattr((obj), HOST_ID(name))
#define K_SET(obj, name, v) ::host::setattr((obj), HOST_ID(name), (v))

// Raised by bodies whose behaviour is not built yet.
[[noreturn]] inline void not_built(const char* what) { host::raise(PyExc_NotImplementedError, "%s", what); }

}  // namespace korvanth
