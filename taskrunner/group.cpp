// CLASS_MultiTaskGroup: several runners built, evaluated and started together.
//
// The group adds no scheduling of its own: each operation walks the runners
// in list order and calls the single runner's operation; the first error
// ends the walk.
#include "korvanth.hpp"

namespace korvanth {

using namespace host;

namespace {

// Runners of a group that is not made any more are dropped; their watchdogs
// would otherwise report them as hung some seconds later. The pending error
// is kept; failures of this clean-up are ignored.
void stop_watchdogs(PyObject* runners) {
    Pending keep;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(runners); ++i) {
        Ref runner = Ref::borrow(PyList_GET_ITEM(runners, i));
        try {
            Ref dog = K_GET(runner.get(), "CV_WatchDog");
            if (dog.get() != Py_None) call_method(dog.get(), HOST_ID("CUF_Stop"));
        } catch (const PyError&) {
            PyErr_Clear();
        }
    }
    keep.restore();
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
            auto [mode, func] = unpack2(item.get());
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
    c.no_args("CLASS_MultiTaskGroup.CUF_EvaluateAll");
    Ref results = check(PyList_New(0));
    each_runner(c.self, [&](PyObject* runner) {
        call_method(runner, HOST_ID("CUF_EvaluateTask"));
        check_int(PyList_Append(results.get(), K_GET(runner, "CVD_EvalResult").get()));
    });
    return results;
}

Ref group_start_all(Call& c) {
    c.no_args("CLASS_MultiTaskGroup.CUF_StartAll");
    each_runner(c.self, [](PyObject* runner) { call_method(runner, HOST_ID("CUF_Start")); });
    return none();
}

}  // namespace korvanth
