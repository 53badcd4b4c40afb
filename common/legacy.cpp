// Transitional: the older vocabulary of the layer (see legacy.hpp).
#include "legacy.hpp"

#include <structmember.h>

#include <cstring>
#include <string>

namespace host {

PyObject* module_of(PyTypeObject* cls) {
    PyObject* m = PyType_GetModule(cls);
    if (!m) raise();
    return m;
}

// -------------------------------------------------------------- arguments

static std::string quoted_list(const std::string* items, size_t n) {
    // 'a'  |  'a' and 'b'  |  'a', 'b', and 'c'  (host wording)
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (i) s += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
        s += "'" + items[i] + "'";
    }
    return s;
}

void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const size_t total = sig.names.size();
    const char* const* names = sig.names.begin();
    if ((size_t)nargs > total) {
        size_t lo = sig.nrequired + sig.nself, hi = total + sig.nself, given = (size_t)nargs + sig.nself;
        if (lo == hi)
            raise(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given", sig.fname, hi,
                  hi == 1 ? "" : "s", given, given == 1 ? "was" : "were");
        raise(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zu were given", sig.fname, lo, hi,
              given);
    }
    for (size_t i = 0; i < total; ++i) out[i] = (size_t)i < (size_t)nargs ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            size_t j = 0;
            for (; j < total; ++j)
                if (PyUnicode_CompareWithASCIIString(key, names[j]) == 0) break;
            if (j == total) raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.fname, key);
            if (out[j]) raise(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.fname, names[j]);
            out[j] = args[nargs + k];
        }
    }
    std::string missing[16];
    size_t nmissing = 0;
    for (size_t i = 0; i < sig.nrequired; ++i)
        if (!out[i] && nmissing < 16) missing[nmissing++] = names[i];
    if (nmissing)
        raise(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.fname, nmissing,
              nmissing == 1 ? "" : "s", quoted_list(missing, nmissing).c_str());
}

namespace {

// A callable that binds like a function of a class body and has an
// attribute dictionary of its own (for __qualname__, __annotations__, ...);
// every other attribute comes from the wrapped callable.
struct MethodFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* func;
    PyObject* dict;
};

PyObject* mf_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(((MethodFunction*)self)->func, args, nargsf, kwnames);
}

PyObject* mf_getattro(PyObject* self, PyObject* name) {
    // Data descriptors of the type (__dict__, __class__), then the own
    // dictionary, then the wrapped callable: as the host's instancemethod.
    PyObject* descr = _PyType_Lookup(Py_TYPE(self), name);
    if (descr && Py_TYPE(descr)->tp_descr_set) return PyObject_GenericGetAttr(self, name);
    // The lookup compares keys, which may run host code that replaces
    // the dictionary: hold it meanwhile.
    if (PyObject* dict = Py_XNewRef(((MethodFunction*)self)->dict)) {
        PyObject* v = Py_XNewRef(PyDict_GetItemWithError(dict, name));
        Py_DECREF(dict);
        if (v) return v;
        if (PyErr_Occurred()) return nullptr;
    }
    return PyObject_GetAttr(((MethodFunction*)self)->func, name);
}

PyObject* mf_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* mf_repr(PyObject* self) { return PyObject_Repr(((MethodFunction*)self)->func); }

int mf_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(((MethodFunction*)self)->func);
    Py_VISIT(((MethodFunction*)self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int mf_clear(PyObject* self) {
    Py_CLEAR(((MethodFunction*)self)->func);
    Py_CLEAR(((MethodFunction*)self)->dict);
    return 0;
}

void mf_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    mf_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMemberDef mf_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodFunction, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(MethodFunction, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef mf_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* method_function_type = nullptr;

PyType_Slot mf_slots[] = {
    {Py_tp_dealloc, (void*)mf_dealloc},     {Py_tp_traverse, (void*)mf_traverse},
    {Py_tp_clear, (void*)mf_clear},         {Py_tp_getattro, (void*)mf_getattro},
    {Py_tp_descr_get, (void*)mf_descr_get}, {Py_tp_call, (void*)PyVectorcall_Call},
    {Py_tp_repr, (void*)mf_repr},           {Py_tp_members, (void*)mf_members},
    {Py_tp_getset, (void*)mf_getset},       {0, nullptr},
};
PyType_Spec mf_spec{
    "_hostcore.method_function", (int)sizeof(MethodFunction), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION, mf_slots};

Ref method_function(const Ref& func) {
    if (!method_function_type) {
        method_function_type = (PyTypeObject*)check(PyType_FromSpec(&mf_spec)).release();
    }
    auto* m = PyObject_GC_New(MethodFunction, method_function_type);
    if (!m) raise();
    m->vectorcall = mf_vectorcall;
    m->func = func.new_ref();
    m->dict = nullptr;
    PyObject_GC_Track((PyObject*)m);
    return Ref::steal((PyObject*)m);
}

// Instance layout of every class made by make_class.
struct Object {
    PyObject_HEAD PyObject* dict;
    PyObject* weaklist;
};

int obj_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(((Object*)self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int obj_clear(PyObject* self) {
    Py_CLEAR(((Object*)self)->dict);
    return 0;
}

void obj_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (((Object*)self)->weaklist) PyObject_ClearWeakRefs(self);
    Py_CLEAR(((Object*)self)->dict);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMemberDef obj_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Object, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Object, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef obj_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

// "__init__(self, a, b=5)\n--\n\n..." -> "CLASS_X(a, b=5)\n--\n\n": the class's own
// text signature, which inspect.signature(cls) reads on hosts that skip
// built-in __init__ functions.
std::string class_signature(const char* short_name, const char* init_doc) {
    if (!init_doc) return {};
    const char* open = strchr(init_doc, '(');
    const char* end = strstr(init_doc, ")\n--\n\n");
    if (!open || !end || end < open) return {};
    std::string params(open + 1, end);
    if (params.rfind("$self", 0) == 0) params.erase(0, 5);
    if (params.rfind("self", 0) == 0) params.erase(0, 4);
    if (params.rfind(", ", 0) == 0) params.erase(0, 2);
    return std::string(short_name) + "(" + params + ")\n--\n\n";
}

// The copy of a METH_STATIC entry without the flag, made once per entry and
// kept for the life of the process (the module may be executed again).
PyMethodDef* unflagged_static(PyMethodDef* def) {
    struct Copy {
        PyMethodDef* of;
        PyMethodDef def;
        Copy* next;
    };
    Copy* copies = nullptr;  // only touched under the interpreter lock
    for (Copy* c = copies; c; c = c->next)
        if (c->of == def) return &c->def;
    copies = new Copy{def, *def, copies};
    copies->def.ml_flags &= ~METH_STATIC;
    return &copies->def;
}

}  // namespace

Ref make_class(PyObject* module, const ClassSpec& cs) {
    const char* dot = strrchr(cs.name, '.');
    const char* short_name = dot ? dot + 1 : cs.name;
    PyMethodDef* init_def = nullptr;
    for (PyMethodDef* m = cs.methods; m && m->ml_name; ++m)
        if (strcmp(m->ml_name, "__init__") == 0) init_def = m;
    std::string tp_doc = class_signature(short_name, init_def ? init_def->ml_doc : nullptr);
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void*)obj_dealloc},
        {Py_tp_traverse, (void*)obj_traverse},
        {Py_tp_clear, (void*)obj_clear},
        {Py_tp_members, (void*)obj_members},
        {Py_tp_getset, (void*)obj_getset},
        {Py_tp_methods, (void*)(cs.methods ? cs.methods : no_methods)},
        {tp_doc.empty() ? 0 : Py_tp_doc, tp_doc.empty() ? nullptr : (void*)tp_doc.c_str()},
        {0, nullptr},
    };
    PyType_Spec spec{cs.name, (int)sizeof(Object), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                     slots};
    Ref type = check(PyType_FromModuleAndSpec(module, &spec, cs.bases));
    Ref modname = check(PyModule_GetNameObject(module));
    for (PyMethodDef* m = cs.methods; m && m->ml_name; ++m) {
        if (m == init_def) {
            // The constructor: a function bound to the class (so its
            // __qualname__ is "CLASS_X.__init__") that binds to instances like
            // a function of a class body. Storing it also routes
            // construction through it (the type keeps object's tp_init
            // otherwise) and keeps its place in the namespace.
            Ref f = check(PyCMethod_New(m, type.get(), modname.get(), nullptr));
            check_int(PyObject_SetAttrString(type.get(), "__init__", method_function(f).get()));
        } else if (m->ml_flags & METH_STATIC) {
            // The host hides self from functions flagged METH_STATIC; bind a
            // copy without the flag to the defining class (module state
            // reachable, __qualname__ "CLASS_X.name").
            Ref f = check(PyCMethod_New(unflagged_static(m), type.get(), modname.get(), nullptr));
            Ref sm = check(PyStaticMethod_New(f.get()));
            check_int(PyObject_SetAttrString(type.get(), m->ml_name, sm.get()));
        }
    }
    setattr(type.get(), HOST_ID("__doc__"), cs.doc ? str(cs.doc) : Ref(none()));
    setattr(type.get(), HOST_ID("__module__"), modname);
    check_int(PyModule_AddObjectRef(module, short_name, type.get()));
    return type;
}

}  // namespace host
