// Shared C++ layer for the toolkit's extension modules.
//
// What every module needs and nothing more:
//   * Ref          - owning reference (RAII); no hand-counted Py_DECREF.
//   * PyError      - C++ exception meaning "a host exception is set";
//                    check()/check_int() turn NULL/-1 results into it.
//   * guard()      - runs C++ code at an entry point and turns any C++
//                    exception into a host exception; nothing escapes.
//   * call()/call_kw()/call_method()
//                  - call host callables (vectorcall) with keywords.
//   * Args         - positional-or-keyword argument parsing for
//                    METH_FASTCALL|METH_KEYWORDS methods with host-style
//                    error messages.
//   * Method<>     - adapters that give a C++ function the CPython method
//                    calling conventions (instance, class, static, module
//                    function) wrapped in guard().
//   * make_class() - a heap type that behaves as an ordinary host class:
//                    instance __dict__ and __weakref__, GC support,
//                    subclassable, picklable by class + __dict__.
//   * new_class()  - a class made through the host's class-creation protocol.
//   * method_function()/instance_method()
//                  - callables that bind like functions of a class body.
//   * closure()    - a small callable object wrapping a C++ function and
//                    captured objects (thread targets and the like).
//   * global()     - module-global lookup at call time (NameError if gone).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <exception>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <utility>

namespace host {

// ---------------------------------------------------------------- errors

// Thrown when a host exception is already set (PyErr_Occurred()).
struct PyError {};

[[noreturn]] inline void raise() { throw PyError{}; }

// Sets a host exception of the given type and throws PyError.
[[noreturn]] void raise(PyObject* exc_type, const char* fmt, ...);

// ------------------------------------------------------------------ Ref

// ------------------------------------------------- the interpreter lock

namespace detail {
// The thread state with which this thread last entered module code (set by
// guard()). Compared with the thread's current state it tells whether this
// thread holds the interpreter lock now; the host's own check cannot be
// trusted for that once a sub-interpreter has existed or late in
// finalisation.
inline thread_local PyThreadState* entered_state = nullptr;

inline PyThreadState* current_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// Marks the scope of one entry into module code.
class Entered {
public:
    Entered() noexcept : saved_(entered_state) { entered_state = current_state(); }
    ~Entered() { entered_state = saved_; }
    Entered(const Entered&) = delete;
    Entered& operator=(const Entered&) = delete;

private:
    PyThreadState* saved_;
};
}  // namespace detail

// Whether this thread holds the interpreter lock. False for a daemon thread
// that the host ends at exit (it unwinds while waiting for the lock).
inline bool holds_lock() noexcept {
    PyThreadState* t = detail::entered_state;
    return t && t == detail::current_state();
}

// ------------------------------------------------------------------ Ref

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    // Releasing may run host code (__del__), which may block and be ended by
    // the host's forced unwinding: not noexcept. A thread that unwinds
    // without the interpreter lock leaks what it held, as C code does,
    // instead of freeing objects under the finalising host.
    ~Ref() noexcept(false) {
        if (p_ && holds_lock()) Py_DECREF(p_);
    }
    Ref& operator=(Ref o) noexcept(false) {
        std::swap(p_, o.p_);
        return *this;
    }

    // Takes over a new reference (may be NULL).
    static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
    // Adds a reference to a borrowed one (may be NULL).
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }

    PyObject* get() const noexcept { return p_; }
    PyObject* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives the reference away (for returning to the interpreter).
    PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
    PyObject* new_ref() const noexcept { Py_XINCREF(p_); return p_; }

private:
    PyObject* p_ = nullptr;
};

// NULL result of an API call -> PyError.
inline Ref check(PyObject* p) { if (!p) raise(); return Ref::steal(p); }
inline int check_int(int r) { if (r < 0) raise(); return r; }

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref str(const char* s) { return check(PyUnicode_FromString(s)); }
inline Ref integer(long v) { return check(PyLong_FromLong(v)); }
inline Ref flt(double v) { return check(PyFloat_FromDouble(v)); }

// Interned, never-freed name object for attribute and keyword names.
PyObject* intern(const char* s);

// A process-lifetime object made at its first use. The cache is a plain
// pointer, not a C++ guarded static: making the object runs host code
// (a collection whose finaliser lets other threads run), and a thread
// reaching the same place meanwhile must not wait on a C++ lock while it
// holds the interpreter lock. Two threads racing here each make one; the
// first stored is kept.
template <class Make>
PyObject* once(PyObject*& slot, Make make) {
    if (PyObject* o = slot) return o;
    PyObject* o = make();
    if (!slot) slot = o;
    return slot;
}
#define HOST_ID(s) ([]() -> PyObject* { static PyObject* o_ = nullptr; return ::host::once(o_, [] { return ::host::intern(s); }); }())

// Host truth test.
inline bool truth(PyObject* o) { return check_int(PyObject_IsTrue(o)) != 0; }
inline bool is_callable(PyObject* o) { return PyCallable_Check(o) != 0; }

// ---------------------------------------------------------------- tuples

template <class... T>
Ref tuple(const T&... items) {
    PyObject* t = PyTuple_New(sizeof...(T));
    if (!t) raise();
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t, i++, items.new_ref())), ...);
    return Ref::steal(t);
}

// Tuple of interned names, built once per call site: HOST_KWNAMES("target", "daemon")
PyObject* make_kwnames(std::initializer_list<const char*> names);
#define HOST_KWNAMES(...) \
    ([]() -> PyObject* { static PyObject* o_ = nullptr; return ::host::once(o_, [] { return ::host::make_kwnames({__VA_ARGS__}); }); }())

// ----------------------------------------------------------------- calls

// call(f, a, b): f(a, b)
template <class... T>
Ref call(PyObject* f, const T&... args) {
    PyObject* argv[sizeof...(T) + 1] = {nullptr, args.get()...};
    return check(PyObject_Vectorcall(f, argv + 1, sizeof...(T) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// call_kw(f, kwnames, a, b, k1, k2): the last len(kwnames) values are keywords.
template <class... T>
Ref call_kw(PyObject* f, PyObject* kwnames, const T&... args) {
    PyObject* argv[sizeof...(T) + 1] = {nullptr, args.get()...};
    size_t nkw = (size_t)PyTuple_GET_SIZE(kwnames);
    return check(PyObject_Vectorcall(f, argv + 1, (sizeof...(T) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// call_method(obj, name, a, b): obj.name(a, b), looked up on obj at call time.
template <class... T>
Ref call_method(PyObject* obj, PyObject* name, const T&... args) {
    PyObject* argv[sizeof...(T) + 1] = {obj, args.get()...};
    return check(PyObject_VectorcallMethod(name, argv, (sizeof...(T) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... T>
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kwnames, const T&... args) {
    PyObject* argv[sizeof...(T) + 1] = {obj, args.get()...};
    size_t nkw = (size_t)PyTuple_GET_SIZE(kwnames);
    return check(PyObject_VectorcallMethod(name, argv, (sizeof...(T) + 1 - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check_int(PyObject_SetAttr(o, name, v)); }
inline void setattr(PyObject* o, PyObject* name, const Ref& v) { setattr(o, name, v.get()); }

// print(*args) through the host's builtins.print.
template <class... T>
void print(const T&... args) {
    PyObject* name = HOST_ID("print");
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* f = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (!f) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'print' is not defined");
        raise();
    }
    Ref keep = Ref::borrow(f);
    call(keep.get(), args...);
}

// ---------------------------------------------------- pending exceptions

// The host exception currently set, taken out of the error indicator
// (normalised, its traceback attached), for code that must run while an
// error is on its way: clean-up, a report, a test of what was raised.
// raise_again() sets it again and throws PyError, restore() sets it again
// without throwing; otherwise it is dropped with this object.
class Pending {
public:
    Pending();
    ~Pending() noexcept(false);
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    PyObject* value() const noexcept { return value_; }  // the exception instance (or NULL)
    bool matches(PyObject* exc_type) const noexcept {
        return value_ && PyErr_GivenExceptionMatches(value_, exc_type);
    }
    void restore();
    [[noreturn]] void raise_again() noexcept(false) {
        restore();
        throw PyError{};
    }
    // The exception being raised now gets this one as its __context__,
    // with the host's breaking of context cycles.
    void chain_under_current() const;

private:
    PyObject* value_ = nullptr;
};

// Makes `exc` the exception being handled (what sys.exc_info() and
// traceback.format_exc() see, and the __context__ of errors raised
// meanwhile) for the life of the scope, as inside an `except` block.
class Handling {
public:
    explicit Handling(PyObject* exc);
    ~Handling() noexcept(false);
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject *t_ = nullptr, *v_ = nullptr, *tb_ = nullptr;
};

// body(), then cleanup(): always (try/finally) or only when body raised
// (try/except: cleanup; raise). An error of cleanup wins, chained to
// body's, as in the host.
template <class Body, class Cleanup>
void run_then(Body body, Cleanup cleanup, bool also_on_success) {
    try {
        body();
    } catch (const PyError&) {
        Pending first;
        try {
            cleanup();
        } catch (const PyError&) {
            first.chain_under_current();
            throw;
        }
        first.raise_again();
    }
    if (also_on_success) cleanup();
}

// body(); an instance of the host's Exception raised by it is handed to
// on_exception(Pending&) instead of propagating (try/except Exception).
// Other exceptions propagate.
template <class Body, class OnException>
void except_exception(Body body, OnException on_exception) {
    try {
        body();
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        Pending e;
        on_exception(e);
    }
}

// `a, b = obj` with the host's unpacking rules and messages.
std::pair<Ref, Ref> unpack2(PyObject* obj);

// -------------------------------------------------------- module globals

// Looks `name` up in the module's namespace, then in builtins; raises
// NameError("name 'x' is not defined") like a global lookup in host code.
Ref global(PyObject* module, PyObject* name);

// True when the module's `__name__`, read from its namespace now (falling
// back to builtins like a global lookup), equals "__main__": for module
// bodies that run a block only when the host runs them as the main program.
bool is_main(PyObject* module);

// Module of a type created by make_class (for METH_METHOD methods).
PyObject* module_of(PyTypeObject* defining_class);

// ---------------------------------------------------------- guard/adapt

// Runs f() returning Ref; any C++ exception becomes a host exception.
// Only the forced unwinding of a thread that the host ends (a daemon
// thread waking up while the interpreter finalises) passes through, which
// is why guard() and the adapters below are not noexcept.
template <class F>
PyObject* guard(F&& f) {
    detail::Entered entered;
    try {
        return f().release();
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        // A daemon thread that wakes up while the interpreter finalises is
        // ended by the host with pthread_exit(); that unwinding is no C++
        // exception (there is no exception object to hold) and must go on.
        if (!std::current_exception()) throw;
        PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
    }
    return nullptr;
}

// Positional-or-keyword argument parser. `names` lists every parameter
// (none keyword-only); the first `nrequired` have no default. Missing
// optional arguments are left as NULL in `out`.
struct Signature {
    const char* fname;                 // for messages: "fname() missing ..."
    std::initializer_list<const char*> names;
    size_t nrequired;
    int nself = 1;                     // counted in "takes N positional arguments"
};

void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// What a method body receives.
struct Call {
    PyObject* self;                 // instance (or class for class methods)
    PyTypeObject* cls;              // defining class (NULL for module functions)
    PyObject* module;               // the owning module
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;

    // Parses into out[], applying `sig`.
    void parse(const Signature& sig, PyObject** out) const { parse_args(sig, args, nargs, kwnames, out); }
    // For callables without parameters: any argument is a TypeError.
    void no_args(const char* fname, int nself = 1) const {
        if (nargs || (kwnames && PyTuple_GET_SIZE(kwnames))) parse_args({fname, {}, 0, nself}, args, nargs, kwnames, nullptr);
    }
    Ref global(PyObject* name) const { return host::global(module, name); }
};

using Body = Ref (*)(Call&);

// METH_METHOD|METH_FASTCALL|METH_KEYWORDS (instance and class methods).
template <Body F>
PyObject* method(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guard([&] {
        Call c{self, cls, module_of(cls), args, PyVectorcall_NARGS(nargsf), kwnames};
        return F(c);
    });
}

// METH_FASTCALL|METH_KEYWORDS with self = the module (module functions) or
// the defining type (static methods registered through make_class).
template <Body F>
PyObject* function(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* mod = PyModule_Check(self) ? self : module_of((PyTypeObject*)self);
        Call c{self, nullptr, mod, args, nargs, kwnames};
        return F(c);
    });
}

// Constructor body: bound by make_class so that it works as `__init__`
// (self = the defining class, args[0] = the new instance). Its docstring
// starts with "__init__(self, a, b=5)\n--\n\n" (no `$`).
template <Body F>
PyObject* init_method(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        if (nargs < 1) raise(PyExc_TypeError, "__init__() missing 1 required positional argument: 'self'");
        Call c{args[0], (PyTypeObject*)type, module_of((PyTypeObject*)type), args + 1, nargs - 1, kwnames};
        F(c);
        return none();
    });
}

#define HOST_INIT(body, doc) \
    {"__init__", (PyCFunction)(void (*)(void))::host::init_method<body>, METH_FASTCALL | METH_KEYWORDS, doc}
#define HOST_METHOD(name, body, doc) \
    {name, (PyCFunction)(void (*)(void))::host::method<body>, METH_METHOD | METH_FASTCALL | METH_KEYWORDS, doc}
#define HOST_CLASSMETHOD(name, body, doc) \
    {name, (PyCFunction)(void (*)(void))::host::method<body>, METH_CLASS | METH_METHOD | METH_FASTCALL | METH_KEYWORDS, doc}
#define HOST_STATICMETHOD(name, body, doc) \
    {name, (PyCFunction)(void (*)(void))::host::function<body>, METH_STATIC | METH_FASTCALL | METH_KEYWORDS, doc}
#define HOST_FUNCTION(name, body, doc) \
    {name, (PyCFunction)(void (*)(void))::host::function<body>, METH_FASTCALL | METH_KEYWORDS, doc}

// ------------------------------------------------------------- classes

// Instance layout of every class made by make_class.
struct Object {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weaklist;
};

struct ClassSpec {
    const char* name;        // "Module.CLASS_X" (module part replaced by the module's real name)
    const char* doc;         // class __doc__ (exact text) or NULL for None
    PyMethodDef* methods;    // NULL-terminated, in definition order; may hold a
                             // HOST_INIT entry, which becomes the constructor (and
                             // what inspect.signature(cls) shows)
    PyObject* bases;         // tuple or NULL (object)
};

// Creates the class and binds it as a module attribute under its short name.
Ref make_class(PyObject* module, const ClassSpec& spec);

// Creates a function bound to the module (module-level function).
Ref make_function(PyObject* module, PyMethodDef* def);

// Sets class attributes: set_class_attr(cls, "_instance", none()).
inline void set_class_attr(PyObject* cls, const char* name, const Ref& v) {
    check_int(PyObject_SetAttrString(cls, name, v.get()));
}

// Creates a class through the host's class-creation protocol, exactly as a
// `class` statement in the module would: bases resolved (__mro_entries__),
// metaclass computed and its __prepare__ called, __module__ and
// __qualname__ entered first, then `items` in order, then the metaclass
// called with (name, bases, namespace). Binds it as a module attribute.
Ref new_class(PyObject* module, const char* name, const Ref& bases,
              std::initializer_list<std::pair<const char*, Ref>> items);

// Wraps a callable so that, stored in a class, it binds like a function of
// the class body (obj.f(a) -> f(obj, a)). The wrapper has an attribute
// dictionary of its own (__qualname__, __annotations__, ...); all other
// attributes, the text signature included, come from the callable.
Ref method_function(const Ref& func);

// A module-level C function wrapped by method_function(), for class
// namespaces built with new_class(); with `class_qualname` its __qualname__
// reads "CLASS_X.name" like a function of a class body.
Ref instance_method(PyObject* module, PyMethodDef* def, const char* class_qualname = nullptr);

// Instance dictionary helpers (the dict is created on demand).
Ref instance_dict(PyObject* obj);

// ------------------------------------------------------------- closures

// A callable object calling fn(captures, args, nargs, kwnames).
// captures is a tuple; the closure keeps it alive and exposes it to GC.
using ClosureFn = PyObject* (*)(PyObject* captures, PyObject* const* args, size_t nargsf, PyObject* kwnames);
Ref closure(ClosureFn fn, Ref captures);

// Helper for writing a ClosureFn body with guard().
template <Ref (*F)(PyObject* captures, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)>
PyObject* closure_body(PyObject* captures, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guard([&] { return F(captures, args, PyVectorcall_NARGS(nargsf), kwnames); });
}

// Must be called from each module's exec step (creates shared helper types).
int init_shared();

// ------------------------------------------------------ module definition

// Execution step running `Body(module)` (the module body) under guard().
template <Ref (*Body)(PyObject* module)>
int exec_step(PyObject* module) {
    PyObject* r = guard([&] {
        check_int(init_shared());
        return Body(module);
    });
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

}  // namespace host

// Defines PyInit_<name> for multi-phase initialisation: a module named
// `name`, no docstring, whose execution step runs `body`. Use at file scope.
#define HOST_MODULE(name, body)                                                                    \
    static PyModuleDef_Slot host_slots_##name[] = {{Py_mod_exec, (void*)::host::exec_step<body>}, \
                                                   {0, nullptr}};                                  \
    static PyModuleDef host_def_##name = {PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr,      \
                                          host_slots_##name, nullptr, nullptr, nullptr};           \
    PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&host_def_##name); }
