// CLASS_MultiTaskGroup: several runners built, evaluated and started together.
//
// The group adds no scheduling of its own: each operation walks the runners
// in list order and calls the single runner's operation; the first error
// ends the walk.
#include "korvanth.hpp"

namespace korvanth {

using namespace host;

namespace {

// `a, b = item` with the host's unpacking rules and messages.
void unpack_pair(PyObject* item, Ref& first, Ref& second) {
    if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) && PySequence_Fast_GET_SIZE(item) == 2) {
        first = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item)->tp_iter && !PySequence_Check(item)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        raise();
    }
    Ref* out[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*out[i]) {
            if (PyErr_Occurred()) raise();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) raise();
}

// Runners of a group that is not made any more are dropped; their watchdogs
// would otherwise report them as hung some seconds later. The pending error
// is kept; failures of this clean-up are ignored.
void stop_watchdogs(PyObject* runners) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
#endif
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(runners); ++i) {
        PyObject* dog = PyObject_GetAttr(PyList_GET_ITEM(runners, i), HOST_ID("CV_WatchDog"));
        if (dog && dog != Py_None) Py_XDECREF(PyObject_CallMethodNoArgs(dog, HOST_ID("CUF_Stop")));
        Py_XDECREF(dog);
        PyErr_Clear();
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(t, v, tb);
#endif
}

// for runner in self.tasks: <body>(runner)
template <class F>
void each_runner(PyObject* self, F body) {
    Ref it = check(PyObject_GetIter(K_GET(self, "tasks").get()));
    while (Ref runner = Ref::steal(PyIter_Next(it.get()))) body(runner.get());
    if (PyErr_Occurred()) raise();
}

}  // namespace

Ref group_init(Call& c) {
    static const Signature sig{"CLASS_MultiTaskGroup.__init__", {"task_list"}, 1};
    PyObject* a[1];
    c.parse(sig, a);
    Ref tasks = check(PyList_New(0));
    try {
        Ref it = check(PyObject_GetIter(a[0]));
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            Ref mode, func;
            unpack_pair(item.get(), mode, func);
            Ref runner = call(c.global(HOST_ID("CLASS_MultiTask")).get(), mode, func);
            check_int(PyList_Append(tasks.get(), runner.get()));
        }
        if (PyErr_Occurred()) raise();
    } catch (const PyError&) {
        stop_watchdogs(tasks.get());
        throw;
    }
    K_SET(c.self, "tasks", tasks);
    return none();
}

Ref group_evaluate_all(Call& c) {
    static const Signature sig{"CLASS_MultiTaskGroup.CUF_EvaluateAll", {}, 0};
    c.parse(sig, nullptr);
    Ref results = check(PyList_New(0));
    each_runner(c.self, [&](PyObject* runner) {
        call_method(runner, HOST_ID("CUF_EvaluateTask"));
        check_int(PyList_Append(results.get(), K_GET(runner, "CVD_EvalResult").get()));
    });
    return results;
}

Ref group_start_all(Call& c) {
    static const Signature sig{"CLASS_MultiTaskGroup.CUF_StartAll", {}, 0};
    c.parse(sig, nullptr);
    each_runner(c.self, [](PyObject* runner) { call_method(runner, HOST_ID("CUF_Start")); });
    return none();
}

}  // namespace korvanth
