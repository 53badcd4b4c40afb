// Module definition: multi-phase initialisation whose execution step runs
// the module body.
#pragma once

#include "object.hpp"

namespace host {

// Creates the helper types of the shared layer (once per process).
void init_shared();

namespace detail {
// What every module of ours keeps: the builtins its functions read.
struct ModuleState {
    PyObject* builtins;
};
// Refuses a sub-interpreter (the layer's caches are process-wide) and
// captures the module's builtins: its __builtins__ when its namespace has
// one, else those of the `builtins` module, as a function made in the
// module would take them.
void prepare_module(PyObject* module);
int state_traverse(PyObject* module, visitproc visit, void* arg);
int state_clear(PyObject* module);
void state_free(void* module);
}  // namespace detail

// Execution step running `Body(module)`, the module body.
template <Ref (*Body)(Handle module)>
int exec_step(PyObject* module) {
    bool ok = guarded([&] {
        detail::prepare_module(module);
        init_shared();
        Body(Handle(module));
    });
    return ok ? 0 : -1;
}

}  // namespace host

#if PY_VERSION_HEX >= 0x030C0000
#define HOST_MODULE_INTERPRETERS_SLOT {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define HOST_MODULE_INTERPRETERS_SLOT
#endif

// Defines PyInit_<name> for multi-phase initialisation: a module named
// `name`, no docstring, whose execution step runs `body`; one interpreter
// only (the main one). Use at file scope.
#define HOST_MODULE(name, body)                                                                   \
    static PyModuleDef_Slot host_slots_##name[] = {{Py_mod_exec, (void*)::host::exec_step<body>}, \
                                                   HOST_MODULE_INTERPRETERS_SLOT{0, nullptr}};    \
    static PyModuleDef host_def_##name = {PyModuleDef_HEAD_INIT,                                  \
                                          #name,                                                  \
                                          nullptr,                                                \
                                          (Py_ssize_t)sizeof(::host::detail::ModuleState),        \
                                          nullptr,                                                \
                                          host_slots_##name,                                      \
                                          ::host::detail::state_traverse,                         \
                                          ::host::detail::state_clear,                            \
                                          ::host::detail::state_free};                            \
    PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&host_def_##name); }
