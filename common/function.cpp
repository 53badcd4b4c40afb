// The function objects and closures of the shared layer, and the parsing of
// their arguments.
#include "function.hpp"

#include "detail.hpp"

#include <structmember.h>

#include <string>

namespace host {

Ref Value::make() const {
    switch (kind) {
        case Kind::Bool: return Ref(boolean(b));
        case Kind::Int: return integer(i);
        case Kind::Float: return flt(f);
        case Kind::Str: return host::str(s);
        default: return Ref(none());
    }
}

namespace detail {
namespace {

// ------------------------------------------------------------- functions

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const Def* def;
    PyObject* module;  // whose namespace holds the globals
    PyObject* names;   // parameter names (interned), for keywords
    PyObject* name;
    PyObject* qualname;
    PyObject* modname;
    PyObject* doc;
    PyObject* defaults;     // tuple, or None
    PyObject* annotations;  // dict
    PyObject* code;
    PyObject* dict;
    PyObject* weaklist;
};

// 'a'  |  'a' and 'b'  |  'a', 'b', and 'c'  (the host's wording)
std::string quoted_list(const char* const* items, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (i) s += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
        s += "'";
        s += items[i];
        s += "'";
    }
    return s;
}

// Fills out[] with the argument of every parameter, from the call's
// positional and keyword arguments and the function's defaults, raising
// the host's TypeError where a Python function would.
void parse(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const Def& d = *f->def;
    const size_t total = d.nparams;
    const size_t ndefaults = PyTuple_Check(f->defaults) ? (size_t)PyTuple_GET_SIZE(f->defaults) : 0;
    const size_t nrequired = total - ndefaults;
    if ((size_t)nargs > total) {
        size_t given = (size_t)nargs;
        if (ndefaults == 0)
            raise(PyExc_TypeError, "%U() takes %zu positional argument%s but %zu %s given", f->qualname, total,
                  total == 1 ? "" : "s", given, given == 1 ? "was" : "were");
        raise(PyExc_TypeError, "%U() takes from %zu to %zu positional arguments but %zu were given", f->qualname,
              nrequired, total, given);
    }
    for (size_t i = 0; i < total; ++i) out[i] = i < (size_t)nargs ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            size_t j = 0;
            for (; j < total; ++j)  // interned names first, by identity
                if (PyTuple_GET_ITEM(f->names, j) == key) break;
            if (j == total)
                for (j = 0; j < total; ++j)
                    if (PyUnicode_Check(key) && PyUnicode_Compare(PyTuple_GET_ITEM(f->names, j), key) == 0) break;
            if (j == total) raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
            if (out[j])
                raise(PyExc_TypeError, "%U() got multiple values for argument '%s'", f->qualname, d.params[j].name);
            out[j] = args[nargs + k];
        }
    }
    const char* missing[kMaxParams];
    size_t nmissing = 0;
    for (size_t i = 0; i < nrequired; ++i)
        if (!out[i]) missing[nmissing++] = d.params[i].name;
    if (nmissing)
        raise(PyExc_TypeError, "%U() missing %zu required positional argument%s: %s", f->qualname, nmissing,
              nmissing == 1 ? "" : "s", quoted_list(missing, nmissing).c_str());
    for (size_t i = nrequired; i < total; ++i)
        if (!out[i]) out[i] = PyTuple_GET_ITEM(f->defaults, i - nrequired);
}

PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = (FunctionObject*)self;
    return guard([&] {
        PyObject* a[kMaxParams];
        parse(f, args, PyVectorcall_NARGS(nargsf), kwnames, a);
        return f->def->invoke(Globals(f->module), a);
    });
}

// obj.f is a bound method, Class.f the function itself.
PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", ((FunctionObject*)self)->qualname, self);
}

// Pickled by reference, as the host pickles functions.
PyObject* fn_reduce(PyObject* self, PyObject*) { return Py_NewRef(((FunctionObject*)self)->qualname); }

PyObject* fn_globals(PyObject* self, void*) {
    PyObject* d = PyModule_GetDict(((FunctionObject*)self)->module);
    return d ? Py_NewRef(d) : nullptr;
}

PyObject* fn_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// __name__ and __qualname__ stay strings, __annotations__ a dict, as the
// host keeps them for its functions (the messages of a call quote them).
int set_field(PyObject** field, PyObject* value, PyTypeObject* type, const char* what) {
    if (!value || !PyObject_TypeCheck(value, type)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", what, type->tp_name);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* fn_get_name(PyObject* self, void*) { return Py_NewRef(((FunctionObject*)self)->name); }
int fn_set_name(PyObject* self, PyObject* v, void*) {
    return set_field(&((FunctionObject*)self)->name, v, &PyUnicode_Type, "__name__");
}
PyObject* fn_get_qualname(PyObject* self, void*) { return Py_NewRef(((FunctionObject*)self)->qualname); }
int fn_set_qualname(PyObject* self, PyObject* v, void*) {
    return set_field(&((FunctionObject*)self)->qualname, v, &PyUnicode_Type, "__qualname__");
}
PyObject* fn_get_annotations(PyObject* self, void*) { return Py_NewRef(((FunctionObject*)self)->annotations); }
int fn_set_annotations(PyObject* self, PyObject* v, void*) {
    return set_field(&((FunctionObject*)self)->annotations, v, &PyDict_Type, "__annotations__");
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = (FunctionObject*)self;
    Py_VISIT(f->module);
    Py_VISIT(f->names);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->modname);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int fn_clear(PyObject* self) {
    auto* f = (FunctionObject*)self;
    Py_CLEAR(f->module);
    Py_CLEAR(f->names);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->modname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    return 0;
}

void fn_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (((FunctionObject*)self)->weaklist) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

#define FN_MEMBER(name, field, flags) {name, T_OBJECT, offsetof(FunctionObject, field), flags, nullptr}
PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weaklist), READONLY, nullptr},
    FN_MEMBER("__module__", modname, 0),
    FN_MEMBER("__doc__", doc, 0),
    FN_MEMBER("__defaults__", defaults, READONLY),
    FN_MEMBER("__code__", code, READONLY),
    {nullptr, 0, 0, 0, nullptr},
};
#undef FN_MEMBER

PyGetSetDef fn_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", fn_globals, nullptr, nullptr, nullptr},
    {"__name__", fn_get_name, fn_set_name, nullptr, nullptr},
    {"__qualname__", fn_get_qualname, fn_set_qualname, nullptr, nullptr},
    {"__annotations__", fn_get_annotations, fn_set_annotations, nullptr, nullptr},
    {"__kwdefaults__", fn_kwdefaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, (void*)fn_dealloc},     {Py_tp_traverse, (void*)fn_traverse},
    {Py_tp_clear, (void*)fn_clear},         {Py_tp_descr_get, (void*)fn_descr_get},
    {Py_tp_call, (void*)PyVectorcall_Call}, {Py_tp_repr, (void*)fn_repr},
    {Py_tp_members, (void*)fn_members},     {Py_tp_getset, (void*)fn_getset},
    {Py_tp_methods, (void*)fn_methods},     {0, nullptr},
};

PyType_Spec fn_spec{"_hostcore.function", (int)sizeof(FunctionObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                    fn_slots};

PyTypeObject* function_type = nullptr;

// A code object with the parameters as its arguments, from which inspect
// reads the signature (names, defaults, annotations); it is never run.
Ref signature_code(PyObject* module, const Def& d, Handle names, Handle qualname) {
    Ref file = Ref::steal(PyModule_GetFilenameObject(module));
    if (!file) PyErr_Clear();  // a module without a file: its name instead
    Ref path = file ? file : check(PyModule_GetNameObject(module));
    const char* path_text = PyUnicode_AsUTF8(path.ptr());
    if (!path_text) raise();
    PyCodeObject* empty = PyCode_NewEmpty(path_text, d.name, 1);
    Ref code = check((PyObject*)empty);
    Ref n = integer((long)d.nparams);
    Ref flags = integer(CO_OPTIMIZED | CO_NEWLOCALS);
#if PY_VERSION_HEX >= 0x030B0000
    return code.call(ID("replace"), KW("co_argcount", "co_nlocals", "co_varnames", "co_flags", "co_qualname"), n, n,
                     names, flags, qualname);
#else
    (void)qualname;
    return code.call(ID("replace"), KW("co_argcount", "co_nlocals", "co_varnames", "co_flags"), n, n, names, flags);
#endif
}

// ------------------------------------------------------------- closures

struct ClosureObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    ClosureCall call;
    Py_ssize_t nargs;
    PyObject* captures;  // tuple
};

PyObject* closure_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* c = (ClosureObject*)self;
    return guard([&] {
        Py_ssize_t n = PyVectorcall_NARGS(nargsf);
        if (n != c->nargs || (kwnames && PyTuple_GET_SIZE(kwnames)))
            raise(PyExc_TypeError, "closure takes %zd positional argument%s (%zd given)", c->nargs,
                  c->nargs == 1 ? "" : "s", n);
        return c->call(&PyTuple_GET_ITEM(c->captures, 0), args);
    });
}

int closure_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(((ClosureObject*)self)->captures);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int closure_clear(PyObject* self) {
    Py_CLEAR(((ClosureObject*)self)->captures);
    return 0;
}

void closure_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    closure_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMemberDef closure_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(ClosureObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot closure_slots[] = {
    {Py_tp_dealloc, (void*)closure_dealloc}, {Py_tp_traverse, (void*)closure_traverse},
    {Py_tp_clear, (void*)closure_clear},     {Py_tp_members, (void*)closure_members},
    {Py_tp_call, (void*)PyVectorcall_Call},  {0, nullptr},
};

PyType_Spec closure_spec{
    "_hostcore.closure", (int)sizeof(ClosureObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    closure_slots};

PyTypeObject* closure_type = nullptr;

}  // namespace

void init_function_types() {
    if (!function_type) function_type = (PyTypeObject*)check(PyType_FromSpec(&fn_spec)).release();
    if (!closure_type) closure_type = (PyTypeObject*)check(PyType_FromSpec(&closure_spec)).release();
}

Ref make_closure(ClosureCall call, Py_ssize_t nargs, Ref captures) {
    init_function_types();
    auto* c = PyObject_GC_New(ClosureObject, closure_type);
    if (!c) raise();
    c->vectorcall = closure_vectorcall;
    c->call = call;
    c->nargs = nargs;
    c->captures = captures.release();
    PyObject_GC_Track((PyObject*)c);
    return Ref::steal((PyObject*)c);
}

}  // namespace detail

Ref make_function(PyObject* module, const Def& d, const char* class_qualname) {
    using detail::FunctionObject;
    detail::init_function_types();
    Ref names = check(PyTuple_New((Py_ssize_t)d.nparams));
    Ref defaults = list();
    Ref annotations = dict();
    for (size_t i = 0; i < d.nparams; ++i) {
        const Param& p = d.params[i];
        PyTuple_SET_ITEM(names.ptr(), (Py_ssize_t)i, check(PyUnicode_InternFromString(p.name)).release());
        if (p.dflt.kind != Value::Kind::Missing) append(defaults, p.dflt.make());
        if (p.annotation)
            annotations.set_item(Handle(PyTuple_GET_ITEM(names.ptr(), (Py_ssize_t)i)), Handle((PyObject*)p.annotation));
    }
    Ref name = str(d.name);
    Ref qualname = class_qualname ? check(PyUnicode_FromFormat("%s.%s", class_qualname, d.name)) : name;
    Ref code = detail::signature_code(module, d, names, qualname);
    Ref defaults_tuple = PyList_GET_SIZE(defaults.ptr()) ? check(PyList_AsTuple(defaults.ptr())) : Ref(none());
    Ref modname = check(PyModule_GetNameObject(module));
    Ref doc = d.doc ? str(d.doc) : Ref(none());
    auto* f = PyObject_GC_New(FunctionObject, detail::function_type);
    if (!f) raise();
    // Nothing below can fail: every field is set before the object is seen.
    f->vectorcall = detail::fn_vectorcall;
    f->def = &d;
    f->module = Py_NewRef(module);
    f->names = names.release();
    f->name = name.release();
    f->qualname = qualname.release();
    f->modname = modname.release();
    f->doc = doc.release();
    f->defaults = defaults_tuple.release();
    f->annotations = annotations.release();
    f->code = code.release();
    f->dict = nullptr;
    f->weaklist = nullptr;
    PyObject_GC_Track((PyObject*)f);
    return Ref::steal((PyObject*)f);
}

Ref class_member(PyObject* module, const Def& d, const char* class_qualname) {
    if (d.kind == Kind::Attribute) return d.value.make();
    Ref f = make_function(module, d, class_qualname);
    switch (d.kind) {
        case Kind::ClassMethod: return check(PyClassMethod_New(f.ptr()));
        case Kind::StaticMethod: return check(PyStaticMethod_New(f.ptr()));
        default: return f;
    }
}

}  // namespace host
