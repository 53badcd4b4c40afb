// Task evaluation (probe and scores) and the choice of the best mode.
//
// The probe asks the task function to describe itself
// (func(probe_only=True)); the answer is turned into one score per runnable
// mode by a fixed rule. All arithmetic goes through the host's number
// protocol, with the probe's values as given (int or float, or whatever the
// task returned), so results, rounding and errors are the host's own.
#include "korvanth.hpp"

namespace korvanth {

using namespace host;

namespace {

// Numbers and strings of the scoring rule, made once.
struct Constants {
    Ref f0_0, f0_01, f0_1, f0_2, f0_3, f0_5, f0_8, f1_0, f1_2, f1_5, f2_0, three;
    Ref cpu_bound, io_bound;
};

// Made at first use under the interpreter lock, without a C++ guarded
// static (see host::once), and kept for the life of the process.
const Constants& k() {
    static const Constants* c = nullptr;
    if (!c) {
        auto* made = new Constants{
            flt(0.0), flt(0.01), flt(0.1), flt(0.2), flt(0.3), flt(0.5), flt(0.8), flt(1.0), flt(1.2), flt(1.5), flt(2.0),
            integer(3), str("cpu_bound"), str("io_bound")};
        if (!c) c = made;
    }
    return *c;
}

Ref mul(const Ref& a, const Ref& b) { return check(PyNumber_Multiply(a.get(), b.get())); }
Ref add(const Ref& a, const Ref& b) { return check(PyNumber_Add(a.get(), b.get())); }
Ref div(const Ref& a, const Ref& b) { return check(PyNumber_TrueDivide(a.get(), b.get())); }

// `a == b` used as a condition: the host's comparison, then its truth.
bool eq(const Ref& a, const Ref& b) {
    Ref r = check(PyObject_RichCompare(a.get(), b.get(), Py_EQ));
    return truth(r.get());
}

// probe_info.get(key, default)
Ref probe_get(PyObject* info, PyObject* key, const Ref& dflt) {
    if (PyDict_CheckExact(info)) {
        PyObject* v = PyDict_GetItemWithError(info, key);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) raise();
        return dflt;
    }
    return call_method(info, HOST_ID("get"), Ref::borrow(key), dflt);
}

// The probe record: func(probe_only=True), a coroutine function's result
// driven by asyncio.run in this thread. An Exception is reported and gives
// an empty record; anything that is not a dict counts as empty.
Ref probe(const Call& c, bool is_async) {
    Ref info;
    try {
        if (is_async) {
            Ref run = K_GET(c.global(HOST_ID("asyncio")).get(), "run");
            Ref coro = call_kw(K_GET(c.self, "CVF_TaskFunc").get(), HOST_KWNAMES("probe_only"), boolean(true));
            info = call(run.get(), coro);
        } else {
            info = call_kw(K_GET(c.self, "CVF_TaskFunc").get(), HOST_KWNAMES("probe_only"), boolean(true));
        }
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        // print("[AutoTune] Probe exception:", e) inside the handler: an
        // error raised by the print gets the probe's exception as context.
        Pending e;
        Handling scope(e.value());
        print(str("[AutoTune] Probe exception:"), Ref::borrow(e.value()));
        info = check(PyDict_New());
    }
    if (info.get() == Py_None || !check_int(PyObject_IsInstance(info.get(), (PyObject*)&PyDict_Type)))
        info = check(PyDict_New());
    return info;
}

// {"mode": name, "score": round(score, 3)}
Ref score_entry(PyObject* name, const Ref& round_fn, const Ref& score) {
    Ref entry = check(PyDict_New());
    check_int(PyDict_SetItem(entry.get(), HOST_ID("mode"), name));
    Ref rounded = call(round_fn.get(), score, k().three);
    check_int(PyDict_SetItem(entry.get(), HOST_ID("score"), rounded.get()));
    return entry;
}

}  // namespace

Ref runner_evaluate(Call& c) {
    c.no_args("CLASS_MultiTask.CUF_EvaluateTask");
    const Constants& K = k();
    PyObject* self = c.self;

    Ref inspect = c.global(HOST_ID("inspect"));
    bool is_async = truth(
        call_method(inspect.get(), HOST_ID("iscoroutinefunction"), K_GET(self, "CVF_TaskFunc")).get());
    Ref info = probe(c, is_async);

    Ref task_type = probe_get(info.get(), HOST_ID("task_type"), none());
    Ref cpu_cost = probe_get(info.get(), HOST_ID("estimated_cpu_cost"), K.f0_5);
    Ref task_time = probe_get(info.get(), HOST_ID("estimated_task_time"), K.f0_1);
    Ref ipc_mb = probe_get(info.get(), HOST_ID("ipc_mb"), K.f0_0);
    Ref await_ratio = probe_get(info.get(), HOST_ID("await_ratio"), K.f0_0);

    // A coroutine function that does not say what it is counts as I/O bound.
    if (is_async && task_type.get() == Py_None) {
        task_type = str("io_bound");
        await_ratio = K.f0_8;
        cpu_cost = K.f0_1;
        task_time = K.f0_2;
    }

    // Threads: favoured for I/O, penalised for CPU work, and cheaper the
    // shorter one run is (the divisor never drops below 0.01).
    Ref thread_score = K.f1_0;
    if (eq(task_type, K.cpu_bound))
        thread_score = mul(thread_score, K.f0_3);
    else if (eq(task_type, K.io_bound))
        thread_score = mul(thread_score, K.f1_2);
    Ref max_fn = c.global(HOST_ID("max"));
    Ref divisor = call(max_fn.get(), add(mul(cpu_cost, task_time), K.f0_5), K.f0_01);
    thread_score = div(thread_score, divisor);

    // Event loop: only for coroutine functions, more so the more they await.
    Ref async_score = is_async ? add(K.f1_0, mul(await_ratio, K.f2_0)) : K.f0_1;
    if (eq(task_type, K.cpu_bound) && is_async) async_score = mul(async_score, K.f0_2);

    // Child process: pays off when one run's CPU work outweighs the spawn
    // cost plus the data to move.
    Ref process_score = K.f0_2;
    if (eq(task_type, K.cpu_bound))
        process_score = div(mul(cpu_cost, task_time), add(add(K.f1_5, ipc_mb), K.f1_0));
    else if (eq(task_type, K.io_bound))
        process_score = mul(process_score, K.f0_5);

    Ref modes = c.global(HOST_ID("ENUM_TASK_MODE"));
    Ref round_fn = c.global(HOST_ID("round"));
    Ref record = check(PyDict_New());
    const struct {
        PyObject* member;
        PyObject* name;
        const Ref& score;
    } rows[] = {
        {HOST_ID("cE_TaskM_TThread"), HOST_ID("TThread"), thread_score},
        {HOST_ID("cE_TaskM_AsyncThread"), HOST_ID("AsyncThread"), async_score},
        {HOST_ID("cE_TaskM_TProcess"), HOST_ID("TProcess"), process_score},
    };
    for (const auto& row : rows) {
        Ref key = getattr(modes.get(), row.member);
        check_int(PyDict_SetItem(record.get(), key.get(), score_entry(row.name, round_fn, row.score).get()));
    }
    K_SET(self, "CVD_EvalResult", record);
    return K_GET(self, "CVD_EvalResult");
}

// ------------------------------------------------------------- best mode

namespace {

// Key of the choice: self.CVD_EvalResult[mode]["score"], read at each call.
Ref score_of(PyObject* caps, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    if (nargs != 1) raise(PyExc_TypeError, "key function takes exactly one argument (%zd given)", nargs);
    Ref record = K_GET(PyTuple_GET_ITEM(caps, 0), "CVD_EvalResult");
    Ref entry = check(PyObject_GetItem(record.get(), args[0]));
    return check(PyObject_GetItem(entry.get(), HOST_ID("score")));
}

}  // namespace

// The member with the highest stored score; the host's max keeps the first
// of equal scores, so ties go to the earlier mode of the record.
Ref runner_best_mode(Call& c) {
    c.no_args("CLASS_MultiTask.CUF_GetBestMode");
    Ref max_fn = c.global(HOST_ID("max"));
    Ref record = K_GET(c.self, "CVD_EvalResult");
    Ref key = closure(closure_body<score_of>, tuple(Ref::borrow(c.self)));
    return call_kw(max_fn.get(), HOST_KWNAMES("key"), record, key);
}

}  // namespace korvanth
