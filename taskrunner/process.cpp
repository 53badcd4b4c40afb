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
    Ref instance = g[ID("CLASS_ProcessGate")].attr(ID("CUF_Instance"));
    return instance(self.attr(ID("_CVE_OnProcessOverLimit")));
}

// The child's record, or None when the child ended without sending one.
// Polls with a time-out so that a child killed before it could send its
// record does not keep the waiter blocked for ever.
Ref take_record(const Globals& g, Handle proc, Handle queue) {
    Ref empty = import(g, "queue").attr(ID("Empty"));
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
constexpr Def process_entry_def = function<process_entry>("_Process_Entry", {"task_func", "gate", "result_queue"},
                                                          NL I4 "multiprocessing Process 的乾淨入口" NL I4);

// ----------------------------------------------------------------- launch

Ref runner_run_process(const Globals& g, Handle self) {
    // if inspect.ismethod(self.CVF_TaskFunc): raise ...
    Ref ismethod = g[ID("inspect")].attr(ID("ismethod"));
    if (ismethod(self.attr(ID("CVF_TaskFunc"))).truthy())
        raise(PyExc_RuntimeError, "%s",
              "[CLASS_MultiTask] TProcess mode does NOT allow class member functions (bound method).\n"
              "Please use a module-level function instead.");
    // if inspect.isfunction(self.CVF_TaskFunc) and self.CVF_TaskFunc.__closure__ is not None: raise ...
    Ref isfunction = g[ID("inspect")].attr(ID("isfunction"));
    if (isfunction(self.attr(ID("CVF_TaskFunc"))).truthy() &&
        !self.attr(ID("CVF_TaskFunc")).attr(ID("__closure__")).is_none())
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
            queue = g[ID("multiprocessing")].call(ID("Queue"));
            // multiprocessing.Process(target=_Process_Entry,
            //                         args=(self.CVF_TaskFunc, gate, queue), daemon=False)
            Ref process_class = g[ID("multiprocessing")].attr(ID("Process"));
            Ref target = g[ID("_Process_Entry")];
            Ref args = tuple(self.attr(ID("CVF_TaskFunc")), gate, queue);
            proc = process_class(KW("target", "args", "daemon"), target, args, false);
            proc.call(ID("start"));
        },
        [&] { gate.call(ID("CUF_Release")); });

    // The child runs: its waiter starts even when the started event raises,
    // so its record is read, its slot comes back and its finished event
    // fires; the event's error still reaches the caller afterwards.
    finally_(
        [&] {
            // if callable(self.CVE_OnProcessStarted): self.CVE_OnProcessStarted(pid=p.pid, task=self)
            if (is_callable(self.attr(ID("CVE_OnProcessStarted")))) {
                Ref on_started = self.attr(ID("CVE_OnProcessStarted"));
                on_started(KW("pid", "task"), proc.attr(ID("pid")), self);
            }
        },
        [&] {
            // threading.Thread(target=self._CUF_WaitProcessExit, args=(p, queue), daemon=True).start()
            Ref thread_class = g[ID("threading")].attr(ID("Thread"));
            Ref target = self.attr(ID("_CUF_WaitProcessExit"));
            Ref waiter = thread_class(KW("target", "args", "daemon"), target, tuple(proc, queue), true);
            waiter.call(ID("start"));
            wait_for_child_at_exit(g, proc);
        });
    return none();
}
constexpr Def multitask::run_process = method<runner_run_process>(
    "_CUF_Run_Process", {"self"},
    NL I8 "# [舊版本]" NL I8 "p = multiprocessing.Process(target=self.CVF_TaskFunc, daemon=False)" NL I8
          "p.start()" NL I8);

// ----------------------------------------------------------------- waiter

Ref runner_wait_process_exit(const Globals& g, Handle self, Handle proc, Handle queue) {
    // The record first: a record larger than the pipe's buffer keeps the
    // child from ending until it is read.
    Ref record = take_record(g, proc, queue);
    proc.call(ID("join"));
    if (record.is_none()) {
        // The child died before it could free its slot: free it here, and
        // report it with a record of our own.
        the_gate(g, self).call(ID("CUF_Release"));
        Ref pid = proc.attr(ID("pid"));
        Ref code = proc.attr(ID("exitcode"));
        Ref error =
            check(PyUnicode_FromFormat("Process %S ended with exit code %S without a result", pid.ptr(), code.ptr()));
        record = dict();
        record.set_item(ID("pid"), pid);
        record.set_item(ID("status"), str("EXCEPTION"));
        record.set_item(ID("error"), error);
    }
    // if callable(self.CVE_OnProcessFinished):
    //     self.CVE_OnProcessFinished(pid=result["pid"], status=result["status"], error=result["error"], task=self)
    if (is_callable(self.attr(ID("CVE_OnProcessFinished")))) {
        Ref on_finished = self.attr(ID("CVE_OnProcessFinished"));
        Ref pid = record[str("pid")];
        Ref status = record[str("status")];
        on_finished(KW("pid", "status", "error", "task"), pid, status, record[str("error")], self);
    }
    return none();
}
constexpr Def multitask::wait_process_exit =
    method<runner_wait_process_exit>("_CUF_WaitProcessExit", {"self", "proc", "queue"});

// ------------------------------------------------------- over-limit event

Ref runner_on_over_limit(const Globals& g, Handle self, Handle cpu_max, Handle running) {
    // print(f"[ProcessGate] Over CPU core count limited!(CPU={cpu_max}, Running={running})")
    Ref print_ = g[ID("print")];
    Ref cpu_text = format(cpu_max);
    Ref running_text = format(running);
    print_(check(PyUnicode_FromFormat("[ProcessGate] Over CPU core count limited!(CPU=%U, Running=%U)", cpu_text.ptr(),
                                      running_text.ptr())));
    // if callable(self.CVE_OnProcessOverLimit): try: self.CVE_OnProcessOverLimit(...) except Exception: print
    if (is_callable(self.attr(ID("CVE_OnProcessOverLimit"))))
        except_(
            PyExc_Exception,
            [&] {
                Ref on_over_limit = self.attr(ID("CVE_OnProcessOverLimit"));
                on_over_limit(KW("cpu_max", "running", "task"), cpu_max, running, self);
            },
            [&](Caught& e) { print(g, str("[ProcessGate] External event error:"), e.value()); });
    return none();
}
constexpr Def multitask::on_over_limit =
    method<runner_on_over_limit>("_CVE_OnProcessOverLimit", {"self", "cpu_max", "running"});

}  // namespace korvanth
