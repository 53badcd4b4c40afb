// Module definition: multi-phase initialisation whose execution step runs
// the module body.
#pragma once

#include "object.hpp"

namespace host {

// Creates the helper types of the shared layer (once per process).
void init_shared();

// Execution step running `Body(module)`, the module body.
template <Ref (*Body)(Handle module)>
int exec_step(PyObject* module) {
    bool ok = guarded([&] {
        init_shared();
        Body(Handle(module));
    });
    return ok ? 0 : -1;
}

}  // namespace host

// Defines PyInit_<name> for multi-phase initialisation: a module named
// `name`, no docstring, whose execution step runs `body`. Use at file scope.
#define HOST_MODULE(name, body)                                                                                  \
    static PyModuleDef_Slot host_slots_##name[] = {{Py_mod_exec, (void*)::host::exec_step<body>}, {0, nullptr}}; \
    static PyModuleDef host_def_##name = {PyModuleDef_HEAD_INIT, #name,   nullptr, 0,      nullptr,              \
                                          host_slots_##name,     nullptr, nullptr, nullptr};                     \
    PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&host_def_##name); }
