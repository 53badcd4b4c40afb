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

// The timer instance: the single argument of every method.
PyObject* self_of(const Call& c, const char* fname) {
    const Signature sig{fname, {"self"}, 1, 0};
    PyObject* a[1];
    c.parse(sig, a);
    return a[0];
}

// self.finished.wait(self.interval); the result is not used.
void wait(PyObject* self, PyObject* finished_name, PyObject* interval_name, PyObject* wait_name) {
    Ref finished = getattr(self, finished_name);
    Ref interval = getattr(self, interval_name);
    PyObject* argv[] = {finished.get(), interval.get()};
    Ref r = check(PyObject_VectorcallMethod(wait_name, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A fresh keyword dict from `kwargs` (any mapping), as `**kwargs` builds it.
Ref keyword_dict(PyObject* func, PyObject* kwargs) {
    Ref d = check(PyDict_New());
    if (PyDict_Merge(d.get(), kwargs, 1) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {  // no keys(): not a mapping
            PyErr_Clear();
            Ref fs = check(_PyObject_FunctionStr(func));
            raise(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", fs.get(),
                  Py_TYPE(kwargs)->tp_name);
        }
        raise();
    }
    return d;
}

// self.function(*self.args, **self.kwargs); the result is not used.
void call_function(PyObject* self, PyObject* function_name, PyObject* args_name, PyObject* kwargs_name) {
    Ref func = getattr(self, function_name);
    Ref args = getattr(self, args_name);
    Ref kwargs = getattr(self, kwargs_name);
    // Keywords: an empty dict passes nothing; anything else is copied, so
    // the function never sees the timer's own dict.
    Ref kwdict;
    if (!PyDict_CheckExact(kwargs.get()) || PyDict_GET_SIZE(kwargs.get()) != 0)
        kwdict = keyword_dict(func.get(), kwargs.get());
    // Positional: a tuple is used as it is, an empty list gives no
    // arguments, any other iterable is copied into a tuple.
    PyObject* a = args.get();
    if (!PyTuple_CheckExact(a)) {
        if (PyList_CheckExact(a) && PyList_GET_SIZE(a) == 0) {
            args = Ref();
        } else {
            if (!Py_TYPE(a)->tp_iter && !PySequence_Check(a)) {
                Ref fs = check(_PyObject_FunctionStr(func.get()));
                raise(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s", fs.get(),
                      Py_TYPE(a)->tp_name);
            }
            args = check(PySequence_Tuple(a));
        }
    }
    PyObject* const* argv = args ? &PyTuple_GET_ITEM(args.get(), 0) : nullptr;
    Py_ssize_t n = args ? PyTuple_GET_SIZE(args.get()) : 0;
    Ref r = check(kwdict ? PyObject_VectorcallDict(func.get(), argv, (size_t)n, kwdict.get())
                         : PyObject_Vectorcall(func.get(), argv, (size_t)n, nullptr));
}

// The timer thread's body: wait, then call and wait again until `finished`
// is found set. Every attribute is read afresh for each wait and call.
Ref timer_run(Call& c) {
    PyObject* self = self_of(c, "CLASS_ThreadTimer.run");
    PyObject* const finished_name = HOST_ID("finished");
    PyObject* const interval_name = HOST_ID("interval");
    PyObject* const wait_name = HOST_ID("wait");
    PyObject* const is_set_name = HOST_ID("is_set");
    PyObject* const function_name = HOST_ID("function");
    PyObject* const args_name = HOST_ID("args");
    PyObject* const kwargs_name = HOST_ID("kwargs");

    wait(self, finished_name, interval_name, wait_name);
    for (;;) {
        Ref finished = getattr(self, finished_name);
        PyObject* argv[] = {finished.get()};
        Ref set = check(PyObject_VectorcallMethod(is_set_name, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (truth(set.get())) return none();
        call_function(self, function_name, args_name, kwargs_name);
        wait(self, finished_name, interval_name, wait_name);
    }
}

Ref timer_start(Call& c) {
    PyObject* self = self_of(c, "CLASS_ThreadTimer.CUF_Start");
    call_method(self, HOST_ID("start"));
    return none();
}

Ref timer_stop(Call& c) {
    PyObject* self = self_of(c, "CLASS_ThreadTimer.CUF_Stop");
    call_method(self, HOST_ID("cancel"));
    return none();
}

Ref on_timer(Call& c) {
    c.no_args("GE_EVENT_OnTimer", 0);
    print(str("----- Timer Event -----"));
    return none();
}

PyMethodDef run_def = HOST_FUNCTION("run", timer_run, "run(self)\n--\n\n");
PyMethodDef start_def = HOST_FUNCTION("CUF_Start", timer_start, "CUF_Start(self)\n--\n\n");
PyMethodDef stop_def = HOST_FUNCTION("CUF_Stop", timer_stop, "CUF_Stop(self)\n--\n\n");
PyMethodDef on_timer_def = HOST_FUNCTION("GE_EVENT_OnTimer", on_timer, "GE_EVENT_OnTimer()\n--\n\n");

// --------------------------------------------------------- module body

// A timer ticking every 0.5 s beside a main loop printing every 0.3 s,
// until an exception (Ctrl-C) ends the loop. The timer is stopped on the
// way out: its thread is not a daemon and would keep the process alive.
void demonstration(PyObject* module) {
    Ref cls = global(module, HOST_ID("CLASS_ThreadTimer"));
    Ref callback = global(module, HOST_ID("GE_EVENT_OnTimer"));
    Ref timer = call(cls.get(), flt(0.5), callback);
    check_int(PyModule_AddObjectRef(module, "obj_Timer", timer.get()));
    call_method(timer.get(), HOST_ID("CUF_Start"));
    try {
        Ref line = str("Main Loop ...");
        Ref pause = flt(0.3);
        for (;;) {
            print(line);
            Ref time = global(module, HOST_ID("time"));
            call_method(time.get(), HOST_ID("sleep"), pause);
        }
    } catch (const PyError&) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* r = PyObject_CallMethodNoArgs(timer.get(), HOST_ID("CUF_Stop"));
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(timer.get());
        PyErr_Restore(type, value, tb);
        throw;
    }
}

Ref exec_body(PyObject* module) {
    // from threading import Timer; import time
    Ref threading = check(PyImport_ImportModule("threading"));
    Ref timer_base = getattr(threading.get(), HOST_ID("Timer"));
    check_int(PyModule_AddObjectRef(module, "Timer", timer_base.get()));
    Ref time = check(PyImport_ImportModule("time"));
    check_int(PyModule_AddObjectRef(module, "time", time.get()));

    Ref base = global(module, HOST_ID("Timer"));
    new_class(module, "CLASS_ThreadTimer", tuple(base),
              {{"run", instance_method(module, &run_def, "CLASS_ThreadTimer")},
               {"CUF_Start", instance_method(module, &start_def, "CLASS_ThreadTimer")},
               {"CUF_Stop", instance_method(module, &stop_def, "CLASS_ThreadTimer")}});
    Ref on_timer_fn = make_function(module, &on_timer_def);
    check_int(PyModule_AddObjectRef(module, "GE_EVENT_OnTimer", on_timer_fn.get()));
    if (is_main(module)) demonstration(module);
    return none();
}

}  // namespace
}  // namespace pravenor

HOST_MODULE(Pravenor, pravenor::exec_body)
