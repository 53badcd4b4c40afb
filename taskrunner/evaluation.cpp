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

// The rule's numbers and words, made once (see host::once: no C++ guarded
// static) and kept for the life of the process.
struct Rule {
    // What a probe record that leaves a key out says.
    Ref default_cpu_cost = flt(0.5), default_task_time = flt(0.1), default_ipc_mb = flt(0.0),
        default_await_ratio = flt(0.0);
    // A coroutine function that does not say what it is counts as I/O bound.
    Ref coroutine_await_ratio = flt(0.8), coroutine_cpu_cost = flt(0.1), coroutine_task_time = flt(0.2);
    Ref one = flt(1.0), two = flt(2.0);
    // Threads: favoured for I/O, penalised for CPU work, cheaper the shorter
    // one run is; the divisor never drops below its floor.
    Ref thread_cpu_bound = flt(0.3), thread_io_bound = flt(1.2), thread_run_offset = flt(0.5),
        thread_divisor_floor = flt(0.01);
    // Event loop: only for coroutine functions, more so the more they await.
    Ref async_plain = flt(0.1), async_cpu_bound = flt(0.2);
    // Child process: pays off when one run's CPU work outweighs the cost of
    // starting a process plus the data to move.
    Ref process_neutral = flt(0.2), process_io_bound = flt(0.5), spawn_cost = flt(1.5);
    Ref digits = integer(3);
    Ref cpu_bound = str("cpu_bound"), io_bound = str("io_bound");
};

const Rule& rule() {
    static const Rule* made = nullptr;
    if (!made) {
        auto* r = new Rule();
        if (!made) made = r;
    }
    return *made;
}

// probe_info.get(key, default)
Ref probe_get(Handle info, PyObject* key, Handle dflt) {
    if (PyDict_CheckExact(info.ptr())) {
        if (PyObject* v = PyDict_GetItemWithError(info.ptr(), key)) return Ref(Handle(v));
        if (PyErr_Occurred()) raise();
        return dflt;
    }
    return info.call(ID("get"), key, dflt);
}

// The probe record: func(probe_only=True), a coroutine function's result
// driven by asyncio.run in this thread. An Exception is reported and gives
// an empty record; anything that is not a dict counts as empty.
Ref probe(const Globals& g, Handle self, bool is_async) {
    Ref info = except_(
        PyExc_Exception,
        [&] {
            if (is_async) {
                Ref run = g[ID("asyncio")].attr(ID("run"));
                Ref coro = self.attr(ID("CVF_TaskFunc"))(KW("probe_only"), true);
                return run(coro);
            }
            return self.attr(ID("CVF_TaskFunc"))(KW("probe_only"), true);
        },
        [&](Caught& e) -> Ref {
            print(g, str("[AutoTune] Probe exception:"), e.value());
            return dict();
        });
    if (info.is_none() || !is_instance(info, Handle((PyObject*)&PyDict_Type))) info = dict();
    return info;
}

// {"mode": name, "score": round(score, 3)}, `round` read as a global when
// the display reaches it.
Ref score_entry(const Globals& g, PyObject* name, Handle score) {
    Ref entry = dict();
    entry.set_item(ID("mode"), Handle(name));
    entry.set_item(ID("score"), g[ID("round")](score, rule().digits));
    return entry;
}

}  // namespace

Ref runner_evaluate(const Globals& g, Handle self) {
    const Rule& R = rule();
    Ref iscoroutinefunction = g[ID("inspect")].attr(ID("iscoroutinefunction"));
    bool is_async = iscoroutinefunction(self.attr(ID("CVF_TaskFunc"))).truthy();
    Ref info = probe(g, self, is_async);

    Ref task_type = probe_get(info, ID("task_type"), none());
    Ref cpu_cost = probe_get(info, ID("estimated_cpu_cost"), R.default_cpu_cost);
    Ref task_time = probe_get(info, ID("estimated_task_time"), R.default_task_time);
    Ref ipc_mb = probe_get(info, ID("ipc_mb"), R.default_ipc_mb);
    Ref await_ratio = probe_get(info, ID("await_ratio"), R.default_await_ratio);

    if (is_async && task_type.is_none()) {
        task_type = str("io_bound");
        await_ratio = R.coroutine_await_ratio;
        cpu_cost = R.coroutine_cpu_cost;
        task_time = R.coroutine_task_time;
    }

    Ref thread_score = R.one;
    if (task_type == R.cpu_bound)
        thread_score = thread_score * R.thread_cpu_bound;
    else if (task_type == R.io_bound)
        thread_score = thread_score * R.thread_io_bound;
    Ref max = g[ID("max")];
    thread_score = thread_score / max(cpu_cost * task_time + R.thread_run_offset, R.thread_divisor_floor);

    Ref async_score = is_async ? R.one + await_ratio * R.two : R.async_plain;
    if (task_type == R.cpu_bound && is_async) async_score = async_score * R.async_cpu_bound;

    Ref process_score = R.process_neutral;
    if (task_type == R.cpu_bound) {
        Ref product = cpu_cost * task_time;  // the product, then the divisor
        process_score = product / (R.spawn_cost + ipc_mb + R.one);
    } else if (task_type == R.io_bound)
        process_score = process_score * R.process_io_bound;

    // {ENUM_TASK_MODE.m: {"mode": ..., "score": round(score, 3)}, ...}: as
    // a dict display, every key and then its value evaluated in order, the
    // dict built from them afterwards
    PyObject* members[] = {ID("cE_TaskM_TThread"), ID("cE_TaskM_AsyncThread"), ID("cE_TaskM_TProcess")};
    PyObject* names[] = {ID("TThread"), ID("AsyncThread"), ID("TProcess")};
    const Ref* scores[] = {&thread_score, &async_score, &process_score};
    Ref keys[3], values[3];
    for (size_t i = 0; i < 3; ++i) {
        keys[i] = g[ID("ENUM_TASK_MODE")].attr(members[i]);
        values[i] = score_entry(g, names[i], *scores[i]);
    }
    Ref record = dict();
    for (size_t i = 0; i < 3; ++i) record.set_item(keys[i], values[i]);
    self.set_attr(ID("CVD_EvalResult"), record);
    return self.attr(ID("CVD_EvalResult"));
}
constexpr Def multitask::evaluate = method<runner_evaluate>("CUF_EvaluateTask", {"self"});

// ------------------------------------------------------------- best mode

namespace {

// Key of the choice: self.CVD_EvalResult[mode]["score"], read at each call.
Ref score_of(Handle self, Handle mode) { return self.attr(ID("CVD_EvalResult"))[mode][ID("score")]; }

}  // namespace

// The member with the highest stored score; the host's max keeps the first
// of equal scores, so ties go to the earlier mode of the record.
Ref runner_best_mode(const Globals& g, Handle self) {
    Ref max = g[ID("max")];
    Ref record = self.attr(ID("CVD_EvalResult"));
    return max(KW("key"), record, closure<score_of>(self));
}
constexpr Def multitask::best_mode = method<runner_best_mode>("CUF_GetBestMode", {"self"});

}  // namespace korvanth
