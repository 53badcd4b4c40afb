// Callables declared once: name, parameters with their defaults (and
// annotations), docstring and body. From the declaration come the argument
// parsing (with the host's messages), __defaults__, __annotations__, a
// __code__ from which inspect reads the signature, and a function object
// that binds like a function of a class body (obj.m is a bound method whose
// __func__ is the class's function).
//
//     Ref start(const Globals& g, Handle self) { ... }
//     constexpr Def CUF_Start = method<start>("CUF_Start", {"self"});
//
//     Ref init(const Globals& g, Handle self, Handle mode, ...) { ... }
//     constexpr Def __init__ = method<init>("__init__", {"self", "PmE_TaskMode", {"Pmi_Timeout", 5}});
//
//     constexpr const Def* runner_members[] = {&__init__, &CUF_Start};  // class body order
//
// The body receives the parsed arguments by name, as Handles, in the order
// of the declaration; the declaration and the body must agree on their
// number (checked when the table is compiled).
#pragma once

#include "object.hpp"

#include <initializer_list>
#include <utility>

namespace host {

// A constant of a declaration (a default value, a class attribute).
struct NoneValue {};
inline constexpr NoneValue None{};

struct Value {
    enum class Kind : unsigned char { Missing, None, Bool, Int, Float, Str };
    Kind kind = Kind::Missing;
    bool b = false;
    long i = 0;
    double f = 0;
    const char* s = nullptr;

    constexpr Value() = default;
    constexpr Value(NoneValue) : kind(Kind::None) {}
    constexpr Value(bool v) : kind(Kind::Bool), b(v) {}
    constexpr Value(int v) : kind(Kind::Int), i(v) {}
    constexpr Value(double v) : kind(Kind::Float), f(v) {}
    constexpr Value(const char* v) : kind(Kind::Str), s(v) {}
    Ref make() const;
};

// One parameter: positional or keyword, with or without a default.
struct Param {
    const char* name = nullptr;
    Value dflt;
    PyTypeObject* annotation = nullptr;

    constexpr Param() = default;
    constexpr Param(const char* n) : name(n) {}
    template <class V>
    constexpr Param(const char* n, V v) : name(n), dflt(v) {}
    constexpr Param annotated(PyTypeObject* t) const {
        Param p = *this;
        p.annotation = t;
        return p;
    }
};

enum class Kind : unsigned char { Method, ClassMethod, StaticMethod, Function, Attribute };

inline constexpr size_t kMaxParams = 10;

namespace detail {
using Invoke = Ref (*)(const Globals&, PyObject* const* args);

template <class T>
struct body_arity;
template <class... H>
struct body_arity<Ref (*)(const Globals&, H...)> {
    static constexpr size_t value = sizeof...(H);
};

template <auto F, size_t... I>
Ref invoke_with(const Globals& g, PyObject* const* a, std::index_sequence<I...>) {
    return F(g, Handle(a[I])...);
}
template <auto F>
Ref invoke(const Globals& g, PyObject* const* a) {
    return invoke_with<F>(g, a, std::make_index_sequence<body_arity<decltype(F)>::value>{});
}
}  // namespace detail

// A declared callable, or a constant class attribute (Kind::Attribute).
struct Def {
    Kind kind = Kind::Function;
    const char* name = nullptr;
    const char* doc = nullptr;  // the exact __doc__, or nullptr for None
    size_t nparams = 0;
    Param params[kMaxParams];
    detail::Invoke invoke = nullptr;
    Value value;
};

template <auto F>
constexpr Def declare(Kind kind, const char* name, std::initializer_list<Param> params, const char* doc) {
    // (A throw here, met while the table is compiled, is a compile error.)
    if (params.size() != detail::body_arity<decltype(F)>::value) throw "parameters and body differ in number";
    if (params.size() > kMaxParams) throw "too many parameters";
    Def d;
    d.kind = kind;
    d.name = name;
    d.doc = doc;
    d.invoke = detail::invoke<F>;
    bool defaults = false;
    for (const Param& p : params) {
        if (p.dflt.kind == Value::Kind::Missing && defaults) throw "a parameter without default follows one with";
        defaults = defaults || p.dflt.kind != Value::Kind::Missing;
        d.params[d.nparams++] = p;
    }
    return d;
}

// def name(self, ...) in a class body
template <auto F>
constexpr Def method(const char* name, std::initializer_list<Param> params, const char* doc = nullptr) {
    return declare<F>(Kind::Method, name, params, doc);
}
// @classmethod def name(cls, ...)
template <auto F>
constexpr Def classmethod(const char* name, std::initializer_list<Param> params, const char* doc = nullptr) {
    return declare<F>(Kind::ClassMethod, name, params, doc);
}
// @staticmethod def name(...)
template <auto F>
constexpr Def staticmethod(const char* name, std::initializer_list<Param> params, const char* doc = nullptr) {
    return declare<F>(Kind::StaticMethod, name, params, doc);
}
// def name(...) at module level
template <auto F>
constexpr Def function(const char* name, std::initializer_list<Param> params, const char* doc = nullptr) {
    return declare<F>(Kind::Function, name, params, doc);
}
// name = value in a class body
constexpr Def attribute(const char* name, Value value) {
    Def d;
    d.kind = Kind::Attribute;
    d.name = name;
    d.value = value;
    return d;
}

// The function object of `def`, whose globals are `module`'s; with
// `class_qualname` its __qualname__ reads "CLASS_X.name".
Ref make_function(PyObject* module, const Def& def, const char* class_qualname = nullptr);

// What a class body binds for `def`: the function, wrapped in the host's
// classmethod or staticmethod as declared, or the attribute's value.
Ref class_member(PyObject* module, const Def& def, const char* class_qualname);

// ------------------------------------------------------------- closures

namespace detail {
using ClosureCall = Ref (*)(PyObject* const* captures, PyObject* const* args);
Ref make_closure(ClosureCall call, Py_ssize_t nargs, Ref captures);

template <class T>
struct handles_arity;
template <class... H>
struct handles_arity<Ref (*)(H...)> {
    static constexpr size_t value = sizeof...(H);
};

template <auto F, size_t NC, size_t... I>
Ref closure_call(PyObject* const* caps, PyObject* const* args, std::index_sequence<I...>) {
    return F(Handle(I < NC ? caps[I] : args[I - NC])...);
}
template <auto F, size_t NC>
Ref closure_entry(PyObject* const* caps, PyObject* const* args) {
    return closure_call<F, NC>(caps, args, std::make_index_sequence<handles_arity<decltype(F)>::value>{});
}
}  // namespace detail

// A callable object (a thread target, a key function) calling
// F(captures..., args...): the captured objects first, kept by the
// closure, then the call's positional arguments.
template <auto F, class... C>
Ref closure(const C&... captures) {
    constexpr size_t n = detail::handles_arity<decltype(F)>::value;
    static_assert(n >= sizeof...(C), "more captures than parameters");
    return detail::make_closure(detail::closure_entry<F, sizeof...(C)>, (Py_ssize_t)(n - sizeof...(C)),
                                tuple(captures...));
}

}  // namespace host
