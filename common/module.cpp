#include "module.hpp"

#include "detail.hpp"
#include "flow.hpp"

namespace host {

void init_shared() {
    detail::init_function_types();
    detail::init_await_type();
}

namespace detail {
namespace {

ModuleState* state(PyObject* module) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!st) raise();
    return st;
}

}  // namespace

void prepare_module(PyObject* module) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main())
        raise(PyExc_ImportError, "module %s does not support loading in subinterpreters", PyModule_GetName(module));
    PyObject* d = PyModule_GetDict(module);  // the module keeps it
    Ref b = Ref(Handle(PyDict_GetItemWithError(d, ID("__builtins__"))));
    if (!b) {
        if (PyErr_Occurred()) raise();
        b = check(PyImport_ImportModuleLevelObject(ID("builtins"), d, nullptr, nullptr, 0));
    }
    if (PyModule_Check(b.ptr())) b = Ref(Handle(PyModule_GetDict(b.ptr())));
    ModuleState* st = state(module);
    Py_XSETREF(st->builtins, b.release());
}

int state_traverse(PyObject* module, visitproc visit, void* arg) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (st) Py_VISIT(st->builtins);
    return 0;
}

int state_clear(PyObject* module) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (st) Py_CLEAR(st->builtins);
    return 0;
}

void state_free(void* module) { state_clear(static_cast<PyObject*>(module)); }

}  // namespace detail

Ref Globals::builtin(PyObject* name) const {
    auto* st = static_cast<detail::ModuleState*>(PyModule_GetState(module_));
    if (!st || !st->builtins) {
        if (!PyErr_Occurred()) raise(PyExc_NameError, "name '%U' is not defined", name);
        raise();
    }
    // Owned for the lookup: a key's __eq__ may execute the module again,
    // which replaces them.
    Ref b(Handle(st->builtins));
    if (PyDict_CheckExact(b.ptr())) {
        if (PyObject* v = PyDict_GetItemWithError(b.ptr(), name)) return Ref(Handle(v));
        if (PyErr_Occurred()) raise();
        raise(PyExc_NameError, "name '%U' is not defined", name);
    }
    // Any other mapping: its __getitem__, a KeyError being a missing name.
    Ref v = Ref::steal(PyObject_GetItem(b.ptr(), name));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise();
        PyErr_Clear();
        raise(PyExc_NameError, "name '%U' is not defined", name);
    }
    return v;
}

Ref Globals::operator[](PyObject* name) const {
    PyObject* d = PyModule_GetDict(module_);  // the module keeps it
    if (PyObject* v = PyDict_GetItemWithError(d, name)) return Ref(Handle(v));
    if (PyErr_Occurred()) raise();
    return builtin(name);
}

Ref import(const Globals& g, const char* name) {
    Ref import_ = except_(
        PyExc_NameError, [&] { return g.builtin(ID("__import__")); },
        [](Caught&) -> Ref { raise(PyExc_ImportError, "__import__ not found"); });
    Ref n = check(PyUnicode_InternFromString(name));
    Ref globals(Handle(PyModule_GetDict(g.module().ptr())));
    return import_(n, globals, none(), none(), integer(0));
}

}  // namespace host
