// Process mode: the launch, the child entry, the waiter and the over-limit
// handler.
//
// A launch takes a slot of the process-wide gate, starts one child on
// _Process_Entry with (task function, gate, result queue) and leaves a
// daemon waiter thread behind. The child gives its slot back and puts one
// record {"pid", "status", "error"}; the waiter takes it, joins the child
// and fires the finished event. A child that dies without a record is
// noticed by the waiter, which then frees the slot on the child's behalf.
#include "korvanth.hpp"

namespace korvanth {

using namespace host;

namespace {

// How often the waiter looks at a child that has not sent its record yet.
constexpr double kWaiterPollSeconds = 0.25;

// CLASS_ProcessGate.CUF_Instance(self._CVE_OnProcessOverLimit)
Ref the_gate(const Globals& g, Handle self) {
    Ref gate_class = g[ID("CLASS_ProcessGate")];
    return gate_class.call(ID("CUF_Instance"), self.attr(ID("_CVE_OnProcessOverLimit")));
}

// The child's record, or None when the child ended without sending one.
// Polls with a time-out so that a child killed before it could send its
// record does not keep the waiter blocked for ever.
Ref take_record(Handle proc, Handle queue) {
    Ref empty = import("queue").attr(ID("Empty"));
    Ref poll = flt(kWaiterPollSeconds);
    for (;;) {
        Ref record =
            except_(empty, [&] { return queue.call(ID("get"), KW("timeout"), poll); }, [](Caught&) { return Ref(); });
        if (record) return record;
        if (proc.attr(ID("exitcode")).is_none()) continue;
        // The child has ended: whatever it sent is in the pipe by now.
        return except_(
            empty, [&] { return queue.call(ID("get"), KW("block"), false); }, [](Caught&) { return Ref(none()); });
    }
}

}  // namespace

// ------------------------------------------------------------ child entry

Ref process_entry(const Globals& g, Handle task_func, Handle gate, Handle result_queue) {
    Ref pid = g[ID("os")].call(ID("getpid"));
    Ref status = str("OK");
    Ref error = none();
    finally_(
        [&] {
            except_(
                PyExc_Exception,
                // The error text shows where the task was called from, as
                // the host's would for a function of its own.
                [&] { traced(g.module(), "_Process_Entry", [&] { task_func(); }); },
                [&](Caught&) {
                    status = str("EXCEPTION");
                    error = g[ID("traceback")].call(ID("format_exc"));
                });
        },
        [&] {
            // The slot is free before the parent can see the record.
            if (gate.truthy()) gate.call(ID("CUF_Release"));
            Ref record = dict();
            record.set_item(ID("pid"), pid);
            record.set_item(ID("status"), status);
            record.set_item(ID("error"), error);
            result_queue.call(ID("put"), record);
        });
    return none();
}

// ----------------------------------------------------------------- launch

Ref runner_run_process(const Globals& g, Handle self) {
    Ref inspect = g[ID("inspect")];
    if (inspect.call(ID("ismethod"), self.attr(ID("CVF_TaskFunc"))).truthy())
        raise(PyExc_RuntimeError, "%s",
              "[CLASS_MultiTask] TProcess mode does NOT allow class member functions (bound method).\n"
              "Please use a module-level function instead.");
    Ref func = self.attr(ID("CVF_TaskFunc"));
    if (inspect.call(ID("isfunction"), func).truthy() && !func.attr(ID("__closure__")).is_none())
        raise(PyExc_RuntimeError, "%s",
              "[CLASS_MultiTask] TProcess mode does NOT allow lambda or closure functions.\n"
              "Please use a pure module-level function.");

    Ref gate = the_gate(g, self);
    gate.call(ID("CUF_Acquire"));

    // From here the slot is ours until the child runs: a failing step gives
    // it back before the error reaches the caller.
    Ref queue, proc;
    on_error(
        [&] {
            Ref mp = g[ID("multiprocessing")];
            queue = mp.call(ID("Queue"));
            Ref args = tuple(self.attr(ID("CVF_TaskFunc")), gate, queue);
            Ref process_class = mp.attr(ID("Process"));
            proc = process_class(KW("target", "args", "daemon"), g[ID("_Process_Entry")], args, false);
            proc.call(ID("start"));
        },
        [&] { gate.call(ID("CUF_Release")); });

    // The child runs: its waiter starts even when the started event raises,
    // so its record is read, its slot comes back and its finished event
    // fires; the event's error still reaches the caller afterwards.
    finally_(
        [&] {
            Ref on_started = self.attr(ID("CVE_OnProcessStarted"));
            if (is_callable(on_started)) on_started(KW("pid", "task"), proc.attr(ID("pid")), self);
        },
        [&] {
            Ref thread_class = g[ID("threading")].attr(ID("Thread"));
            Ref waiter = thread_class(KW("target", "args", "daemon"), self.attr(ID("_CUF_WaitProcessExit")),
                                      tuple(proc, queue), true);
            waiter.call(ID("start"));
            wait_for_child_at_exit(proc);
        });
    return none();
}

// ----------------------------------------------------------------- waiter

Ref runner_wait_process_exit(const Globals& g, Handle self, Handle proc, Handle queue) {
    // The record first: a record larger than the pipe's buffer keeps the
    // child from ending until it is read.
    Ref record = take_record(proc, queue);
    proc.call(ID("join"));
    Ref pid, status, error;
    if (record.is_none()) {
        // The child died before it could free its slot: free it here.
        the_gate(g, self).call(ID("CUF_Release"));
        pid = proc.attr(ID("pid"));
        Ref code = proc.attr(ID("exitcode"));
        status = str("EXCEPTION");
        error =
            check(PyUnicode_FromFormat("Process %S ended with exit code %S without a result", pid.ptr(), code.ptr()));
    } else {
        pid = record[str("pid")];
        status = record[str("status")];
        error = record[str("error")];
    }
    Ref on_finished = self.attr(ID("CVE_OnProcessFinished"));
    if (is_callable(on_finished)) on_finished(KW("pid", "status", "error", "task"), pid, status, error, self);
    return none();
}

// ------------------------------------------------------- over-limit event

Ref runner_on_over_limit(const Globals&, Handle self, Handle cpu_max, Handle running) {
    print(check(PyUnicode_FromFormat("[ProcessGate] Over CPU core count limited!(CPU=%U, Running=%U)",
                                     format(cpu_max).ptr(), format(running).ptr())));
    Ref on_over_limit = self.attr(ID("CVE_OnProcessOverLimit"));
    if (is_callable(on_over_limit))
        except_(
            PyExc_Exception, [&] { on_over_limit(KW("cpu_max", "running", "task"), cpu_max, running, self); },
            [](Caught& e) { print(str("[ProcessGate] External event error:"), e.value()); });
    return none();
}

}  // namespace korvanth
