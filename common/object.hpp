// Host objects in C++: errors, the owning reference `Ref` and the borrowed
// `Handle`, with the operations module code writes as it would in Python
// (attributes, calls, items, operators, truth, iteration).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace host {

// ---------------------------------------------------------------- errors

// Thrown when a host exception is set (PyErr_Occurred()).
struct PyError {};

[[noreturn]] inline void raise() { throw PyError{}; }

// Sets a host exception of the given type and throws PyError.
[[noreturn]] void raise(PyObject* exc_type, const char* fmt, ...);

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

// ----------------------------------------------------------------- names

// Interned name, kept for the life of the process.
PyObject* intern(const char* s);

// A process-lifetime object made at its first use. The cache is a plain
// pointer, not a C++ guarded static: making the object runs host code (a
// collection whose finaliser lets other threads run), and a thread reaching
// the same place meanwhile must not wait on a C++ lock while it holds the
// interpreter lock. Two threads racing here each make one; the first
// stored is kept.
template <class Make>
PyObject* once(PyObject*& slot, Make make) {
    if (PyObject* o = slot) return o;
    PyObject* o = make();
    if (!slot) slot = o;
    return slot;
}

// Keyword names of a call: a tuple of N interned names, naming the last N
// arguments of the call.
template <size_t N>
struct Kw {
    PyObject* names;
};

PyObject* make_kwnames(std::initializer_list<const char*> names);

namespace detail {
template <class... S>
constexpr size_t count(const S&...) {
    return sizeof...(S);
}
}  // namespace detail

// ID("name"): the interned name, made once per call site.
#define ID(s)                                                      \
    ([]() -> PyObject* {                                           \
        static PyObject* o_ = nullptr;                             \
        return ::host::once(o_, [] { return ::host::intern(s); }); \
    }())
// KW("target", "daemon"): keyword names for a call, made once per call site.
// The count of names is part of the type: a call with fewer arguments than
// names does not compile.
#define KW(...)                                                                      \
    (::host::Kw<::host::detail::count(__VA_ARGS__)>{[]() -> PyObject* {              \
        static PyObject* o_ = nullptr;                                               \
        return ::host::once(o_, [] { return ::host::make_kwnames({__VA_ARGS__}); }); \
    }()})

// ------------------------------------------------------- handle and ref

class Handle;
class Ref;
class Fresh;

namespace detail {
inline PyObject* obj(PyObject* o) noexcept { return o; }
inline PyObject* obj(bool b) noexcept { return b ? Py_True : Py_False; }
// Any other pointer (a type object, a C string) would quietly pass as a
// bool: refused.
template <class T>
PyObject* obj(T*) = delete;
template <class T>
auto obj(const T& o) noexcept -> decltype(o.ptr()) {
    return o.ptr();
}

// The order rule, checked by the compiler. A `Ref` prvalue is the result
// of a host evaluation (an attribute read, a call, an item, an operator):
// host code ran to make it. C++ leaves the order of a call's arguments and
// of an operator's operands open, so two of them in one call or under one
// operator would run in an order Python never uses. `Fresh` values
// (constants made by the layer, a type read) ran no host code and do not
// count. Named locals (`const Ref&`, `Ref&`) are evaluations already made.
template <class A>
inline constexpr bool computed =
    std::is_same_v<std::remove_cv_t<std::remove_reference_t<A>>, Ref> && !std::is_lvalue_reference_v<A>;
template <class... A>
inline constexpr size_t n_computed = (size_t(computed<A>) + ... + size_t(0));
template <class A>
inline constexpr bool never = false;
// Both operands computed: the overload that refuses them.
template <class A, class B>
using both_computed = std::enable_if_t<computed<A> && computed<B>, int>;

Ref vectorcall(PyObject* f, PyObject* const* argv, size_t nargs, PyObject* kwnames);
Ref vectorcall_method(PyObject* name, PyObject* const* argv, size_t nargs, PyObject* kwnames);
}  // namespace detail

#define HOST_ONE_EVALUATION(A)                                                                                   \
    static_assert(::host::detail::n_computed<A...> <= 1,                                                         \
                  "several host evaluations among the arguments of one call: C++ leaves their order open; name " \
                  "all but the last in locals, in Python's order")
#define HOST_NO_EVALUATION(A)                                                                                       \
    static_assert(::host::detail::n_computed<A...> == 0,                                                            \
                  "obj.call(name, <host evaluation>) evaluates the argument before it looks the method up; Python " \
                  "looks it up first: write obj.attr(ID(name))(argument)")

// What Handle and Ref share: the object's Python-level operations.
template <class D>
class Ops {
public:
    // self.name
    Ref attr(PyObject* name) const;
    // self.name = value
    void set_attr(PyObject* name, Handle value) const;
    // self(args...); self(KW("a", "b"), args..., a_value, b_value). At most
    // one argument may be a host evaluation (see detail::computed); self is
    // evaluated before the arguments, as in Python.
    template <class... A>
    Ref operator()(A&&... args) const;
    template <size_t N, class... A>
    Ref operator()(Kw<N> kw, A&&... args) const;
    // self.name(args...), looked up on self at call time, after the
    // arguments: they must be evaluated already (named locals, constants).
    // For a computed argument write self.attr(ID("name"))(argument).
    template <class... A>
    Ref call(PyObject* name, A&&... args) const;
    template <size_t N, class... A>
    Ref call(PyObject* name, Kw<N> kw, A&&... args) const;
    // self[key]; self[key] = value (a key may be an interned name). Python
    // evaluates the value of an assignment before the key: name it first.
    Ref operator[](Handle key) const;
    Ref operator[](PyObject* key) const;
    void set_item(Handle key, Handle value) const;
    void set_item(PyObject* key, Handle value) const;
    template <class K, class V, detail::both_computed<K, V> = 0>
    void set_item(K&&, V&&) const {
        static_assert(detail::never<K>, "set_item(<host evaluation>, <host evaluation>): name one in a local first");
    }
    // bool(self); self is other; self is None
    bool truthy() const;
    bool is(Handle other) const;
    bool is_none() const { return ptr() == Py_None; }
    // str(self)
    Ref str() const;

private:
    PyObject* ptr() const { return static_cast<const D*>(this)->ptr(); }
};

// clang checks that a Handle made from a Ref does not outlive it.
#if defined(__clang__)
#define HOST_LIFETIMEBOUND [[clang::lifetimebound]]
#else
#define HOST_LIFETIMEBOUND
#endif

// A borrowed object: valid as long as whatever owns it keeps it (the
// arguments of a call, an object held by a Ref). For parameters, never for
// keeping an object across host code that could drop it: an object read
// from a dict, list, tuple or type slot is owned (a Ref) before any host
// code runs.
class Handle : public Ops<Handle> {
public:
    constexpr explicit Handle(PyObject* p) noexcept : p_(p) {}
    Handle(const Ref& r HOST_LIFETIMEBOUND) noexcept;
    PyObject* ptr() const noexcept { return p_; }

private:
    PyObject* p_;
};

// An owning reference.
class Ref : public Ops<Ref> {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(Handle h) noexcept : p_(h.ptr()) { Py_XINCREF(p_); }
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
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }

    // The object of a named reference. A temporary's is refused: handing a
    // host evaluation to a C function hides it among the function's other
    // arguments, whose order C++ leaves open; name it first.
    PyObject* ptr() const& noexcept { return p_; }
    PyObject* ptr() const&& = delete;
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives the reference away (to the interpreter).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }

private:
    PyObject* p_ = nullptr;
};

// An owning reference made without running host code (a constant, a new
// container, a type): it does not count as a host evaluation.
class Fresh : public Ref {
public:
    explicit Fresh(Ref r) noexcept : Ref(std::move(r)) {}
    PyObject* ptr() const& noexcept { return Ref::ptr(); }
    PyObject* ptr() const&& noexcept { return static_cast<const Ref&>(*this).ptr(); }
};

inline Handle::Handle(const Ref& r HOST_LIFETIMEBOUND) noexcept : p_(r.ptr()) {}

// NULL result of an API call -> PyError; a new reference -> Ref.
inline Ref check(PyObject* p) {
    if (!p) raise();
    return Ref::steal(p);
}
inline int check(int r) {
    if (r < 0) raise();
    return r;
}

// ------------------------------------------------------------ operations

template <class D>
Ref Ops<D>::attr(PyObject* name) const {
    return check(PyObject_GetAttr(ptr(), name));
}
template <class D>
void Ops<D>::set_attr(PyObject* name, Handle value) const {
    check(PyObject_SetAttr(ptr(), name, value.ptr()));
}
template <class D>
template <class... A>
Ref Ops<D>::operator()(A&&... args) const {
    HOST_ONE_EVALUATION(A);
    PyObject* argv[] = {nullptr, detail::obj(args)...};
    return detail::vectorcall(ptr(), argv, sizeof...(A), nullptr);
}
template <class D>
template <size_t N, class... A>
Ref Ops<D>::operator()(Kw<N> kw, A&&... args) const {
    HOST_ONE_EVALUATION(A);
    static_assert(N <= sizeof...(A), "more keyword names than arguments");
    PyObject* argv[] = {nullptr, detail::obj(args)...};
    return detail::vectorcall(ptr(), argv, sizeof...(A), kw.names);
}
template <class D>
template <class... A>
Ref Ops<D>::call(PyObject* name, A&&... args) const {
    HOST_NO_EVALUATION(A);
    PyObject* argv[] = {ptr(), detail::obj(args)...};
    return detail::vectorcall_method(name, argv, sizeof...(A) + 1, nullptr);
}
template <class D>
template <size_t N, class... A>
Ref Ops<D>::call(PyObject* name, Kw<N> kw, A&&... args) const {
    HOST_NO_EVALUATION(A);
    static_assert(N <= sizeof...(A), "more keyword names than arguments");
    PyObject* argv[] = {ptr(), detail::obj(args)...};
    return detail::vectorcall_method(name, argv, sizeof...(A) + 1, kw.names);
}
template <class D>
Ref Ops<D>::operator[](Handle key) const {
    return check(PyObject_GetItem(ptr(), key.ptr()));
}
template <class D>
Ref Ops<D>::operator[](PyObject* key) const {
    return (*this)[Handle(key)];
}
template <class D>
void Ops<D>::set_item(PyObject* key, Handle value) const {
    set_item(Handle(key), value);
}
template <class D>
void Ops<D>::set_item(Handle key, Handle value) const {
    check(PyObject_SetItem(ptr(), key.ptr(), value.ptr()));
}
template <class D>
bool Ops<D>::truthy() const {
    return check(PyObject_IsTrue(ptr())) != 0;
}
template <class D>
bool Ops<D>::is(Handle other) const {
    return ptr() == other.ptr();
}
template <class D>
Ref Ops<D>::str() const {
    return check(PyObject_Str(ptr()));
}

// The host's operators. Comparisons answer the truth of the host's rich
// comparison, as a Python condition does. Two host evaluations as operands
// do not compile (their order would be open): name the left one first, or
// accumulate into a local (`s = s + part`).
Ref operator+(Handle a, Handle b);
Ref operator-(Handle a, Handle b);
Ref operator*(Handle a, Handle b);
Ref operator/(Handle a, Handle b);  // true division
bool operator==(Handle a, Handle b);
bool operator!=(Handle a, Handle b);
bool operator<(Handle a, Handle b);
bool operator<=(Handle a, Handle b);
bool operator>(Handle a, Handle b);
bool operator>=(Handle a, Handle b);
// a += b, a -= b (the in-place forms, __iadd__ / __isub__ first)
Ref iadd(Handle a, Handle b);
Ref isub(Handle a, Handle b);

#define HOST_REFUSE_TWO_EVALUATIONS(R, op)                                                       \
    template <class A, class B, detail::both_computed<A, B> = 0>                                 \
    R op(A&&, B&&) {                                                                             \
        static_assert(detail::never<A>,                                                          \
                      "two host evaluations as operands: C++ leaves their order open; name the " \
                      "left one in a local first");                                              \
        return R();                                                                              \
    }
HOST_REFUSE_TWO_EVALUATIONS(Ref, operator+)
HOST_REFUSE_TWO_EVALUATIONS(Ref, operator-)
HOST_REFUSE_TWO_EVALUATIONS(Ref, operator*)
HOST_REFUSE_TWO_EVALUATIONS(Ref, operator/)
HOST_REFUSE_TWO_EVALUATIONS(bool, operator==)
HOST_REFUSE_TWO_EVALUATIONS(bool, operator!=)
HOST_REFUSE_TWO_EVALUATIONS(bool, operator<)
HOST_REFUSE_TWO_EVALUATIONS(bool, operator<=)
HOST_REFUSE_TWO_EVALUATIONS(bool, operator>)
HOST_REFUSE_TWO_EVALUATIONS(bool, operator>=)
#undef HOST_REFUSE_TWO_EVALUATIONS

// ---------------------------------------------------------------- values

inline Handle none() noexcept { return Handle(Py_None); }
inline Handle boolean(bool b) noexcept { return Handle(b ? Py_True : Py_False); }
inline Fresh str(const char* s) { return Fresh(check(PyUnicode_FromString(s))); }
inline Fresh integer(long v) { return Fresh(check(PyLong_FromLong(v))); }
inline Fresh flt(double v) { return Fresh(check(PyFloat_FromDouble(v))); }
inline Fresh dict() { return Fresh(check(PyDict_New())); }
inline Fresh list() { return Fresh(check(PyList_New(0))); }

// (items...): a tuple made of what is given, fresh unless an item is a
// host evaluation; at most one may be.
template <class... T>
auto tuple(T&&... items) -> std::conditional_t<(detail::n_computed<T...> > 0), Ref, Fresh> {
    HOST_ONE_EVALUATION(T);
    Ref t = check(PyTuple_New(sizeof...(T)));
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t.ptr(), i++, Py_NewRef(detail::obj(items)))), ...);
    if constexpr (detail::n_computed<T...> > 0)
        return t;
    else
        return Fresh(std::move(t));
}

// list.append(item)
void append(Handle list, Handle item);
template <class A, class B, detail::both_computed<A, B> = 0>
void append(A&&, B&&) {
    static_assert(detail::never<A>, "append(<host evaluation>, <host evaluation>): name the list first");
}
// len(obj); del obj[i]
Py_ssize_t len(Handle obj);
void del_item(Handle obj, Py_ssize_t i);
// getattr(obj, name, <nothing>): an empty Ref when obj has no such
// attribute (AttributeError); other errors are raised.
Ref optional_attr(Handle obj, PyObject* name);
// Runs the signal handlers that are due (KeyboardInterrupt and the like).
inline void check_signals() { check(PyErr_CheckSignals()); }
// isinstance(obj, cls)
bool is_instance(Handle obj, Handle cls);
template <class A, class B, detail::both_computed<A, B> = 0>
bool is_instance(A&&, B&&) {
    static_assert(detail::never<A>, "is_instance(<host evaluation>, <host evaluation>): name the object first");
    return false;
}
// callable(obj)
inline bool is_callable(Handle obj) { return PyCallable_Check(obj.ptr()) != 0; }
// format(obj)
Ref format(Handle obj);
// type(obj), owned: the object may change its class, and drop the old
// one, as soon as host code runs.
inline Fresh type_of(Handle obj) { return Fresh(Ref(Handle((PyObject*)Py_TYPE(obj.ptr())))); }

// `a, b = obj` with the host's unpacking rules and messages.
std::pair<Ref, Ref> unpack2(Handle obj);

// for item in iterable: the iterator of a range-for loop; an error of the
// host's iteration is raised from the loop.
class Iter {
public:
    explicit Iter(Handle iterable);
    struct Sentinel {};
    class Cursor {
    public:
        Cursor(PyObject* it) : it_(it) { next(); }
        const Ref& operator*() const noexcept { return item_; }
        Cursor& operator++() {
            next();
            return *this;
        }
        bool operator!=(Sentinel) const noexcept { return bool(item_); }

    private:
        void next();
        PyObject* it_;
        Ref item_;
    };
    Cursor begin() const { return Cursor(it_.ptr()); }
    Sentinel end() const noexcept { return {}; }

private:
    Ref it_;
};
inline Iter iterate(Handle iterable) { return Iter(iterable); }

// ------------------------------------------------------ module globals

// The namespace a module's functions read their globals from, at call
// time: the module's dict, then the builtins the module captured when it
// was made (its __builtins__, as a function defined in it would keep
// them), never the caller's.
class Globals {
public:
    explicit Globals(PyObject* module) noexcept : module_(module) {}
    // The global `name` as a lookup in host code finds it now: the module's
    // namespace, then its builtins; NameError when it is in neither.
    Ref operator[](PyObject* name) const;
    // The builtin `name` alone (NameError when missing).
    Ref builtin(PyObject* name) const;
    Handle module() const noexcept { return Handle(module_); }

private:
    PyObject* module_;
};

// import name, as `import name` in a function of the module does it: the
// module's builtins.__import__(name, module globals, None, None, 0).
Ref import(const Globals& g, const char* name);

// print(*args): `print` looked up as a global, before its arguments are
// evaluated, so these must be evaluated already; for a computed argument
// write g[ID("print")](argument).
template <class... T>
void print(const Globals& g, T&&... args) {
    static_assert(detail::n_computed<T...> == 0,
                  "print(g, <host evaluation>) looks print up after the argument; Python looks it up first: write "
                  "g[ID(\"print\")](argument)");
    g[ID("print")](args...);
}

// ---------------------------------------------------------- entry points

// Runs f() at an entry point from the interpreter; returns false when it
// raised, with the host exception set: any C++ exception becomes a host
// exception. Only the forced unwinding of a thread that the host ends (a
// daemon thread waking up while the interpreter finalises) passes through,
// which is why this is not noexcept.
template <class F>
bool guarded(F&& f) {
    detail::Entered entered;
    try {
        f();
        return true;
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        // The host ends such a thread with pthread_exit(); that unwinding is
        // no C++ exception (there is no exception object to hold) and must
        // go on.
        if (!std::current_exception()) throw;
        PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
    }
    return false;
}

// As guarded(), for an f() returning the Ref that goes to the interpreter
// (NULL when it raised).
template <class F>
PyObject* guard(F&& f) {
    PyObject* result = nullptr;
    guarded([&] { result = f().release(); });
    return result;
}

}  // namespace host
