#include "host.hpp"

#include <cstdarg>
#include <cstring>
#include <string>

namespace host {

void raise(PyObject* exc_type, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyErr_FormatV(exc_type, fmt, va);
    va_end(va);
    throw PyError{};
}

PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) raise();
    return o;  // kept for the life of the process
}

PyObject* make_kwnames(std::initializer_list<const char*> names) {
    PyObject* t = PyTuple_New((Py_ssize_t)names.size());
    if (!t) raise();
    Py_ssize_t i = 0;
    for (const char* n : names) {
        PyObject* o = PyUnicode_InternFromString(n);
        if (!o) { Py_DECREF(t); raise(); }
        PyTuple_SET_ITEM(t, i++, o);
    }
    return t;  // kept for the life of the process
}

Ref global(PyObject* module, PyObject* name) {
    PyObject* d = PyModule_GetDict(module);  // borrowed
    if (!d) raise();
    PyObject* v = PyDict_GetItemWithError(d, name);
    if (!v && !PyErr_Occurred()) {
        PyObject* b = PyEval_GetBuiltins();
        if (b) v = PyDict_GetItemWithError(b, name);
    }
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        raise();
    }
    return Ref::borrow(v);
}

bool is_main(PyObject* module) {
    Ref name = global(module, HOST_ID("__name__"));
    Ref main = str("__main__");
    return truth(check(PyObject_RichCompare(name.get(), main.get(), Py_EQ)).get());
}

PyObject* module_of(PyTypeObject* cls) {
    PyObject* m = PyType_GetModule(cls);
    if (!m) raise();
    return m;
}

// ------------------------------------------------------ pending exceptions

Pending::Pending() {
#if PY_VERSION_HEX >= 0x030C0000
    value_ = PyErr_GetRaisedException();
#else
    PyObject *t, *tb;
    PyErr_Fetch(&t, &value_, &tb);
    PyErr_NormalizeException(&t, &value_, &tb);
    if (tb && value_) PyException_SetTraceback(value_, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
#endif
}

Pending::~Pending() noexcept(false) {
    // A thread being ended by the host unwinds without the interpreter
    // lock: leave the reference then (see Ref).
    if (value_ && holds_lock()) Py_DECREF(value_);
}

void Pending::restore() {
    PyObject* v = value_;
    value_ = nullptr;
    if (!v) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(v);
#else
    PyErr_Restore(Py_NewRef((PyObject*)Py_TYPE(v)), v, PyException_GetTraceback(v));
#endif
}

void Pending::chain_under_current() const {
    if (!value_) return;
    Pending now;
    PyObject* exc = now.value();
    if (exc && exc != value_) {
        // As the host chains an exception raised while another is handled:
        // if `exc` is already in the context chain of value_, that link is
        // cut first, so that no cycle is made; a cycle that is there
        // already ends the walk (Floyd's tortoise and hare).
        PyObject *o = value_, *slow = value_;
        bool step_slow = false;
        while (PyObject* ctx = PyException_GetContext(o)) {
            Py_DECREF(ctx);  // the chain keeps it alive
            if (ctx == exc) {
                PyException_SetContext(o, nullptr);
                break;
            }
            o = ctx;
            if (o == slow) break;
            if (step_slow) {
                slow = PyException_GetContext(slow);
                Py_DECREF(slow);
            }
            step_slow = !step_slow;
        }
        PyException_SetContext(exc, Py_NewRef(value_));
    }
    now.restore();
}

Handling::Handling(PyObject* exc) {
    PyErr_GetExcInfo(&t_, &v_, &tb_);
    if (exc)
        PyErr_SetExcInfo(Py_NewRef((PyObject*)Py_TYPE(exc)), Py_NewRef(exc), PyException_GetTraceback(exc));
    else
        PyErr_SetExcInfo(nullptr, nullptr, nullptr);
}

Handling::~Handling() noexcept(false) {
    if (holds_lock()) PyErr_SetExcInfo(t_, v_, tb_);
}

std::pair<Ref, Ref> unpack2(PyObject* obj) {
    if ((PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) && PySequence_Fast_GET_SIZE(obj) == 2)
        return {Ref::borrow(PySequence_Fast_GET_ITEM(obj, 0)), Ref::borrow(PySequence_Fast_GET_ITEM(obj, 1))};
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(obj)->tp_iter && !PySequence_Check(obj)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        }
        raise();
    }
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(it.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) raise();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) raise();
    return {items[0], items[1]};
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

// ---------------------------------------------------------------- classes

static int obj_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(((Object*)self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

static int obj_clear(PyObject* self) {
    Py_CLEAR(((Object*)self)->dict);
    return 0;
}

static void obj_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (((Object*)self)->weaklist) PyObject_ClearWeakRefs(self);
    Py_CLEAR(((Object*)self)->dict);
    tp->tp_free(self);
    Py_DECREF(tp);
}

static PyMemberDef obj_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Object, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Object, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyGetSetDef obj_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

// "__init__(self, a, b=5)\n--\n\n..." -> "CLASS_X(a, b=5)\n--\n\n": the class's own
// text signature, which inspect.signature(cls) reads on hosts that skip
// built-in __init__ functions.
static std::string class_signature(const char* short_name, const char* init_doc) {
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
static PyMethodDef* unflagged_static(PyMethodDef* def) {
    struct Copy {
        PyMethodDef* of;
        PyMethodDef def;
        Copy* next;
    };
    static Copy* copies = nullptr;  // only touched under the interpreter lock
    for (Copy* c = copies; c; c = c->next)
        if (c->of == def) return &c->def;
    copies = new Copy{def, *def, copies};
    copies->def.ml_flags &= ~METH_STATIC;
    return &copies->def;
}

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
    setattr(type.get(), HOST_ID("__doc__"), cs.doc ? str(cs.doc) : none());
    setattr(type.get(), HOST_ID("__module__"), modname);
    check_int(PyModule_AddObjectRef(module, short_name, type.get()));
    return type;
}

Ref make_function(PyObject* module, PyMethodDef* def) {
    Ref modname = check(PyModule_GetNameObject(module));
    return check(PyCMethod_New(def, module, modname.get(), nullptr));
}

Ref new_class(PyObject* module, const char* name, const Ref& bases,
              std::initializer_list<std::pair<const char*, Ref>> items) {
    Ref types = check(PyImport_ImportModule("types"));
    Ref resolved = call_method(types.get(), HOST_ID("resolve_bases"), bases);
    Ref pname = str(name);
    Ref prepared = call_method(types.get(), HOST_ID("prepare_class"), pname, resolved);  // (meta, ns, kwds)
    Ref meta = Ref::borrow(PyTuple_GET_ITEM(prepared.get(), 0));
    Ref nsref = Ref::borrow(PyTuple_GET_ITEM(prepared.get(), 1));
    PyObject* ns = nsref.get();
    Ref modname = check(PyModule_GetNameObject(module));
    check_int(PyObject_SetItem(ns, HOST_ID("__module__"), modname.get()));
    check_int(PyObject_SetItem(ns, HOST_ID("__qualname__"), pname.get()));
    for (const auto& kv : items) {
        Ref key = check(PyUnicode_InternFromString(kv.first));
        check_int(PyObject_SetItem(ns, key.get(), kv.second.get()));
    }
    if (resolved.get() != bases.get()) check_int(PyObject_SetItem(ns, HOST_ID("__orig_bases__"), bases.get()));
    Ref cls = call(meta.get(), pname, resolved, nsref);
    check_int(PyModule_AddObjectRef(module, name, cls.get()));
    return cls;
}

Ref instance_method(PyObject* module, PyMethodDef* def, const char* class_qualname) {
    Ref f = make_function(module, def);
    Ref m = method_function(f);
    if (class_qualname) {
        Ref q = check(PyUnicode_FromFormat("%s.%s", class_qualname, def->ml_name));
        setattr(m.get(), HOST_ID("__qualname__"), q);
    }
    return m;
}

Ref instance_dict(PyObject* obj) { return check(PyObject_GenericGetDict(obj, nullptr)); }

// --------------------------------------------------------------- closures

namespace {
struct ClosureObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    ClosureFn fn;
    PyObject* captures;
};

PyObject* closure_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* c = (ClosureObject*)self;
    return c->fn(c->captures, args, nargsf, kwnames);
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
    Py_CLEAR(((ClosureObject*)self)->captures);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMemberDef closure_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(ClosureObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject* closure_type = nullptr;

// A callable that binds like a function of a class body and has an
// attribute dictionary of its own (for __qualname__, __annotations__, ...);
// every other attribute comes from the wrapped callable.
struct MethodFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
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

// Helper types live for the life of the process.
int make_helper_type(PyType_Spec* spec, PyTypeObject** out) {
    if (*out) return 0;
    PyObject* t = PyType_FromSpec(spec);
    if (!t) return -1;
    *out = (PyTypeObject*)t;
    return 0;
}
}  // namespace

int init_shared() {
    static PyType_Slot closure_slots[] = {
        {Py_tp_dealloc, (void*)closure_dealloc},
        {Py_tp_traverse, (void*)closure_traverse},
        {Py_tp_clear, (void*)closure_clear},
        {Py_tp_members, (void*)closure_members},
        {Py_tp_call, (void*)PyVectorcall_Call},
        {0, nullptr},
    };
    static PyType_Spec closure_spec{"_hostcore.closure", (int)sizeof(ClosureObject), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                        Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                    closure_slots};
    static PyType_Slot mf_slots[] = {
        {Py_tp_dealloc, (void*)mf_dealloc},
        {Py_tp_traverse, (void*)mf_traverse},
        {Py_tp_clear, (void*)mf_clear},
        {Py_tp_getattro, (void*)mf_getattro},
        {Py_tp_descr_get, (void*)mf_descr_get},
        {Py_tp_call, (void*)PyVectorcall_Call},
        {Py_tp_repr, (void*)mf_repr},
        {Py_tp_members, (void*)mf_members},
        {Py_tp_getset, (void*)mf_getset},
        {0, nullptr},
    };
    static PyType_Spec mf_spec{"_hostcore.method_function", (int)sizeof(MethodFunction), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               mf_slots};
    if (make_helper_type(&closure_spec, &closure_type) < 0) return -1;
    return make_helper_type(&mf_spec, &method_function_type);
}

Ref method_function(const Ref& func) {
    if (!method_function_type && init_shared() < 0) raise();
    auto* m = PyObject_GC_New(MethodFunction, method_function_type);
    if (!m) raise();
    m->vectorcall = mf_vectorcall;
    m->func = func.new_ref();
    m->dict = nullptr;
    PyObject_GC_Track((PyObject*)m);
    return Ref::steal((PyObject*)m);
}

Ref closure(ClosureFn fn, Ref captures) {
    if (!closure_type && init_shared() < 0) raise();
    auto* c = PyObject_GC_New(ClosureObject, closure_type);
    if (!c) raise();
    c->vectorcall = closure_vectorcall;
    c->fn = fn;
    c->captures = captures.release();
    PyObject_GC_Track((PyObject*)c);
    return Ref::steal((PyObject*)c);
}

}  // namespace host
