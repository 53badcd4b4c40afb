// Error flow as the host writes it: try/except, try/finally, a clean-up only
// on error, `with`, and a best-effort call whose errors are dropped.
//
// Handlers and clean-ups run outside any C++ catch block, with the error
// they react to as the exception being handled (what sys.exc_info() and
// traceback.format_exc() see), so that errors raised meanwhile chain to it
// as they do in host code.
#pragma once

#include "object.hpp"

#include <type_traits>

namespace host {

namespace detail {

// The host exception taken out of the error indicator (normalised, its
// traceback attached); dropped with this object unless restored.
class Pending {
public:
    Pending();
    ~Pending() noexcept(false);
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    PyObject* value() const noexcept { return value_; }
    // Sets it again as the error being raised.
    void restore();
    // The exception being raised now gets this one as its __context__,
    // with the host's breaking of context cycles.
    void chain_under_current() const;

private:
    PyObject* value_ = nullptr;
};

// Makes `exc` the exception being handled for the life of the scope.
class Handling {
public:
    explicit Handling(PyObject* exc);
    ~Handling() noexcept(false);
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject *t_ = nullptr, *v_ = nullptr, *tb_ = nullptr;
};

template <class F>
using result_of = decltype(std::declval<F&>()());

// Runs body(); returns whether it raised (the error is then set).
template <class F, class R>
bool attempt(F& body, R& result) {
    try {
        if constexpr (std::is_void_v<result_of<F>>)
            body();
        else
            result = body();
        return false;
    } catch (const PyError&) {
        return true;
    }
}

struct Nothing {};
template <class F>
using stored = std::conditional_t<std::is_void_v<result_of<F>>, Nothing, result_of<F>>;

template <class R>
auto give(R& r) -> std::conditional_t<std::is_same_v<R, Nothing>, void, R> {
    if constexpr (!std::is_same_v<R, Nothing>) return std::move(r);
}

// Runs cleanup() while the pending error is being handled; an error of the
// clean-up wins, chained to the pending one, as in the host.
template <class C>
[[noreturn]] void cleanup_and_reraise(C& cleanup) {
    Pending first;
    try {
        Handling scope(first.value());
        cleanup();
    } catch (const PyError&) {
        first.chain_under_current();
        throw;
    }
    first.restore();
    raise();
}

}  // namespace detail

// The exception caught by except_(), handed to its handler.
class Caught {
public:
    explicit Caught(detail::Pending& p) : p_(p) {}
    Handle value() const noexcept { return Handle(p_.value()); }
    // `raise` inside the handler: the caught exception goes on.
    [[noreturn]] void reraise() {
        p_.restore();
        raise();
    }

private:
    detail::Pending& p_;
};

// try: return body()
// except <exc_type> as e: return handler(e)
// (exc_type: an exception class such as PyExc_Exception, or a Handle/Ref)
template <class T, class B, class H>
auto except_(const T& exc_type, B body, H handler) -> detail::result_of<B> {
    detail::stored<B> result{};
    if (!detail::attempt(body, result)) return detail::give(result);
    if (!PyErr_ExceptionMatches(detail::obj(exc_type))) raise();
    detail::Pending pending;
    detail::Handling scope(pending.value());
    Caught e(pending);
    return handler(e);
}

// try: return body()
// finally: cleanup()
template <class B, class C>
auto finally_(B body, C cleanup) -> detail::result_of<B> {
    detail::stored<B> result{};
    if (detail::attempt(body, result)) detail::cleanup_and_reraise(cleanup);
    cleanup();
    return detail::give(result);
}

// try: return body()
// except BaseException: cleanup(); raise
template <class B, class C>
auto on_error(B body, C cleanup) -> detail::result_of<B> {
    detail::stored<B> result{};
    if (detail::attempt(body, result)) detail::cleanup_and_reraise(cleanup);
    return detail::give(result);
}

namespace detail {
// type(obj).name bound to obj as the interpreter looks up special methods
// (the type's MRO, then the descriptor's __get__); an empty Ref when the
// type has no such attribute.
Ref lookup_special(Handle obj, PyObject* name);
// The host's error for a manager without __enter__ / __exit__.
[[noreturn]] void not_a_manager(Handle manager, bool has_enter);
}  // namespace detail

// with manager: body()
// As the host runs it: __enter__ and then __exit__ looked up as special
// methods of the manager's type, __enter__ called, the body run, __exit__
// called with the error or with three Nones; an __exit__ that answers true
// suppresses the error. Everything looked up is owned: host code may move
// the manager to another class meanwhile.
template <class B>
void with_(Handle manager, B body) {
    Ref enter = detail::lookup_special(manager, ID("__enter__"));
    if (!enter) detail::not_a_manager(manager, false);
    Ref exit = detail::lookup_special(manager, ID("__exit__"));
    if (!exit) detail::not_a_manager(manager, true);
    enter();
    detail::Nothing unused;
    if (!detail::attempt(body, unused)) {
        exit(none(), none(), none());
        return;
    }
    detail::Pending pending;
    bool suppressed;
    {
        detail::Handling scope(pending.value());
        Handle e(pending.value());
        Fresh cls = type_of(e);
        Ref tb = Ref::steal(PyException_GetTraceback(e.ptr()));
        suppressed = exit(cls, e, tb ? Handle(tb) : none()).truthy();
    }
    if (suppressed) return;
    pending.restore();
    raise();
}

// Calls f() for a best-effort clean-up: its errors are dropped.
template <class F>
void ignoring_errors(F f) {
    try {
        f();
    } catch (const PyError&) {
        PyErr_Clear();
    }
}

namespace detail {
void add_traceback_entry(PyObject* module, const char* function);
}

// Runs body(); an error leaving it gets an entry for a frame of `function`
// (at the module's file) in its traceback, as the host adds one for each
// function that an error passes through.
template <class B>
void traced(Handle module, const char* function, B body) {
    detail::Nothing unused;
    if (!detail::attempt(body, unused)) return;
    detail::add_traceback_entry(module.ptr(), function);
    raise();
}

// Calls f(); an error it raises is reported as the host reports an error
// it cannot raise (as from __del__, naming `context`) and then dropped.
template <class F>
void reporting_errors(Handle context, F f) {
    try {
        f();
    } catch (const PyError&) {
        PyErr_WriteUnraisable(context.ptr());
    }
}

}  // namespace host
