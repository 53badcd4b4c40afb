// Pravenor: a threading.Timer whose thread calls its function once per
// interval until the timer is stopped.
//
// CLASS_ThreadTimer is made the way a class statement makes it (the host's
// class-creation protocol on the base Timer), and its methods are module
// functions that bind like functions defined in a class body: `self` is
// their first argument. Everything a timer holds comes from Timer itself.
#include "host.hpp"

namespace pravenor {
namespace {

using namespace host;

// self.finished.wait(self.interval); the result is not used.
void wait(Handle self) {
    Ref finished_wait = self.attr(ID("finished")).attr(ID("wait"));
    finished_wait(self.attr(ID("interval")));
}

// The callable as the host names it in the errors of a call: "module.qualname()",
// "qualname()" for a builtin or one whose __module__ is None or missing, and
// str(func) for one without a __qualname__.
Ref function_str(Handle func) {
    Ref qualname = optional_attr(func, ID("__qualname__"));
    if (!qualname) return func.str();
    Ref module = optional_attr(func, ID("__module__"));
    if (module && !module.is_none() && check(PyObject_RichCompareBool(module.ptr(), ID("builtins"), Py_NE)))
        return check(PyUnicode_FromFormat("%S.%S()", module.ptr(), qualname.ptr()));
    return check(PyUnicode_FromFormat("%S()", qualname.ptr()));
}

// A fresh keyword dict from `kwargs` (any mapping), as `**kwargs` builds it.
Ref keyword_dict(Handle func, Handle kwargs) {
    Ref d = dict();
    if (PyDict_Merge(d.ptr(), kwargs.ptr(), 1) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {  // no keys(): not a mapping
            PyErr_Clear();
            Ref fs = function_str(func);
            raise(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", fs.ptr(),
                  Py_TYPE(kwargs.ptr())->tp_name);
        }
        raise();
    }
    return d;
}

// self.function(*self.args, **self.kwargs); the result is not used.
void call_function(Handle self) {
    Ref func = self.attr(ID("function"));
    Ref args = self.attr(ID("args"));
    Ref kwargs = self.attr(ID("kwargs"));
    // Keywords: an empty dict passes nothing; anything else is copied, so
    // the function never sees the timer's own dict.
    Ref kwdict;
    if (!PyDict_CheckExact(kwargs.ptr()) || PyDict_GET_SIZE(kwargs.ptr()) != 0) kwdict = keyword_dict(func, kwargs);
    // Positional: a tuple is used as it is, an empty list gives no
    // arguments, any other iterable is copied into a tuple.
    PyObject* a = args.ptr();
    if (!PyTuple_CheckExact(a)) {
        if (PyList_CheckExact(a) && PyList_GET_SIZE(a) == 0) {
            args = Ref();
        } else {
            if (!Py_TYPE(a)->tp_iter && !PySequence_Check(a)) {
                Ref fs = function_str(func);
                raise(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s", fs.ptr(),
                      Py_TYPE(a)->tp_name);
            }
            args = check(PySequence_Tuple(a));
        }
    }
    PyObject* const* argv = args ? &PyTuple_GET_ITEM(args.ptr(), 0) : nullptr;
    size_t n = args ? (size_t)PyTuple_GET_SIZE(args.ptr()) : 0;
    Ref result = check(kwdict ? PyObject_VectorcallDict(func.ptr(), argv, n, kwdict.ptr())
                              : PyObject_Vectorcall(func.ptr(), argv, n, nullptr));
}

// The timer thread's body: wait, then call and wait again until `finished`
// is found set. Every attribute is read afresh for each wait and call.
Ref timer_run(const Globals&, Handle self) {
    wait(self);
    while (!self.attr(ID("finished")).call(ID("is_set")).truthy()) {
        call_function(self);
        wait(self);
    }
    return none();
}
constexpr Def run_def = method<timer_run>("run", {"self"});

Ref timer_start(const Globals&, Handle self) {
    self.call(ID("start"));
    return none();
}
constexpr Def start_def = method<timer_start>("CUF_Start", {"self"});

Ref timer_stop(const Globals&, Handle self) {
    self.call(ID("cancel"));
    return none();
}
constexpr Def stop_def = method<timer_stop>("CUF_Stop", {"self"});

Ref on_timer(const Globals& g) {
    print(g, str("----- Timer Event -----"));
    return none();
}
constexpr Def on_timer_def = function<on_timer>("GE_EVENT_OnTimer", {});

// The class body, in its order.
constexpr const Def* timer_methods[] = {&run_def, &start_def, &stop_def};

// --------------------------------------------------------- module body

// A timer ticking every 0.5 s beside a main loop printing every 0.3 s,
// until an exception (Ctrl-C) ends the loop. The timer is stopped on the
// way out: its thread is not a daemon and would keep the process alive.
void demonstration(Handle module) {
    Globals g(module.ptr());
    Ref timer = g[ID("CLASS_ThreadTimer")](flt(0.5), g[ID("GE_EVENT_OnTimer")]);
    add(module, "obj_Timer", timer);
    timer.call(ID("CUF_Start"));
    on_error(
        [&] {
            Ref line = str("Main Loop ...");
            Ref pause = flt(0.3);
            for (;;) {
                print(g, line);
                g[ID("time")].call(ID("sleep"), pause);
            }
        },
        [&] { reporting_errors(timer, [&] { timer.call(ID("CUF_Stop")); }); });
}

Ref exec_body(Handle module) {
    // from threading import Timer; import time
    add(module, "Timer", import(Globals(module.ptr()), "threading").attr(ID("Timer")));
    import_into(module, "time");
    new_class(module, "CLASS_ThreadTimer", tuple(Globals(module.ptr())[ID("Timer")]), timer_methods);
    add_function(module, on_timer_def);
    if (is_main(module)) demonstration(module);
    return none();
}

}  // namespace
}  // namespace pravenor

HOST_MODULE(Pravenor, pravenor::exec_body)
