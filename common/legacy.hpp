// Transitional: the older vocabulary of the layer, kept only until the
// last module written against it (Sarnovet) has moved to the declarations
// of function.hpp and the operations of object.hpp. Nothing new uses it.
#pragma once

#include "classes.hpp"
#include "flow.hpp"
#include "function.hpp"
#include "object.hpp"

#include <initializer_list>
#include <utility>

namespace host {

#define HOST_ID(s) ID(s)
#define HOST_KWNAMES(...) (KW(__VA_ARGS__).names)

inline int check_int(int r) { return check(r); }
inline bool truth(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }
inline bool is_callable(PyObject* o) { return PyCallable_Check(o) != 0; }
inline std::pair<Ref, Ref> unpack2(PyObject* o) { return unpack2(Handle(o)); }

template <class... T>
Ref call(PyObject* f, const T&... args) {
    return Handle(f)(args...);
}
template <class... T>
Ref call_kw(PyObject* f, PyObject* kwnames, const T&... args) {
    return Handle(f)(Kw{kwnames}, args...);
}
template <class... T>
Ref call_method(PyObject* obj, PyObject* name, const T&... args) {
    return Handle(obj).call(name, args...);
}
template <class... T>
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kwnames, const T&... args) {
    return Handle(obj).call(name, Kw{kwnames}, args...);
}
inline Ref getattr(PyObject* o, PyObject* name) { return Handle(o).attr(name); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check(PyObject_SetAttr(o, name, v)); }
inline void setattr(PyObject* o, PyObject* name, Handle v) { setattr(o, name, v.ptr()); }

class Pending : public detail::Pending {
public:
    [[noreturn]] void raise_again() {
        restore();
        raise();
    }
};
using Handling = detail::Handling;

inline Ref global(PyObject* module, PyObject* name) { return Globals(module)[name]; }
PyObject* module_of(PyTypeObject* defining_class);

// Positional-or-keyword argument parser for the method adapters below.
struct Signature {
    const char* fname;
    std::initializer_list<const char*> names;
    size_t nrequired;
    int nself = 1;
};

void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

struct Call {
    PyObject* self;
    PyTypeObject* cls;
    PyObject* module;
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;

    void parse(const Signature& sig, PyObject** out) const { parse_args(sig, args, nargs, kwnames, out); }
    void no_args(const char* fname, int nself = 1) const {
        if (nargs || (kwnames && PyTuple_GET_SIZE(kwnames)))
            parse_args({fname, {}, 0, nself}, args, nargs, kwnames, nullptr);
    }
    Ref global(PyObject* name) const { return Globals(module)[name]; }
};

using Body = Ref (*)(Call&);

template <Body F>
PyObject* legacy_method(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guard([&] {
        Call c{self, cls, module_of(cls), args, PyVectorcall_NARGS(nargsf), kwnames};
        return F(c);
    });
}

template <Body F>
PyObject* init_method(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        if (nargs < 1) raise(PyExc_TypeError, "__init__() missing 1 required positional argument: 'self'");
        Call c{args[0], (PyTypeObject*)type, module_of((PyTypeObject*)type), args + 1, nargs - 1, kwnames};
        F(c);
        return Ref(none());
    });
}

#define HOST_INIT(body, doc) \
    {"__init__", (PyCFunction)(void (*)(void))::host::init_method<body>, METH_FASTCALL | METH_KEYWORDS, doc}
#define HOST_METHOD(name, body, doc) \
    {name, (PyCFunction)(void (*)(void))::host::legacy_method<body>, METH_METHOD | METH_FASTCALL | METH_KEYWORDS, doc}

struct ClassSpec {
    const char* name;
    const char* doc;
    PyMethodDef* methods;
    PyObject* bases;
};

Ref make_class(PyObject* module, const ClassSpec& spec);

}  // namespace host
