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

#include <frameobject.h>

namespace korvanth {

using namespace host;

namespace {

// How often the waiter looks at a child that has not sent its record yet.
constexpr double kWaiterPollSeconds = 0.25;

// Adds a frame of _Process_Entry (at `module`'s file) to the traceback of
// the exception being raised, so that the child's error text shows where
// the task was called from, as the host would for a function of its own.
void add_entry_frame(PyObject* module) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* file = PyModule_GetFilenameObject(module);
    const char* path = file ? PyUnicode_AsUTF8(file) : nullptr;
    PyCodeObject* code = PyCode_NewEmpty(path ? path : "Korvanth", "_Process_Entry", 0);
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, PyModule_GetDict(module), nullptr) : nullptr;
    PyErr_Clear();  // a missing frame only shortens the text
    PyErr_Restore(t, v, tb);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
    Py_XDECREF(file);
}

Ref the_gate(const Call& c) {
    Ref gate_cls = c.global(HOST_ID("CLASS_ProcessGate"));
    return call_method(gate_cls.get(), HOST_ID("CUF_Instance"), K_GET(c.self, "_CVE_OnProcessOverLimit"));
}

// The child's record, or None when the child ended without sending one.
// Polls with a time-out so that a child killed before it could send its
// record does not keep the waiter blocked for ever.
Ref take_record(PyObject* proc, PyObject* queue) {
    Ref queue_mod = check(PyImport_ImportModule("queue"));
    Ref Empty = K_GET(queue_mod.get(), "Empty");
    Ref poll = flt(kWaiterPollSeconds);
    for (;;) {
        try {
            return call_method_kw(queue, HOST_ID("get"), HOST_KWNAMES("timeout"), poll);
        } catch (const PyError&) {
            if (!PyErr_ExceptionMatches(Empty.get())) throw;
            PyErr_Clear();
        }
        if (K_GET(proc, "exitcode").get() == Py_None) continue;
        // The child has ended: whatever it sent is in the pipe by now.
        try {
            return call_method_kw(queue, HOST_ID("get"), HOST_KWNAMES("block"), boolean(false));
        } catch (const PyError&) {
            if (!PyErr_ExceptionMatches(Empty.get())) throw;
            PyErr_Clear();
            return none();
        }
    }
}

Ref item(PyObject* record, const char* key) { return check(PyObject_GetItem(record, str(key).get())); }

}  // namespace

// ------------------------------------------------------------ child entry

Ref process_entry(Call& c) {
    static const Signature sig{"_Process_Entry", {"task_func", "gate", "result_queue"}, 3, 0};
    PyObject* a[3];
    c.parse(sig, a);
    PyObject *task_func = a[0], *gate = a[1], *result_queue = a[2];
    Ref pid = call_method(c.global(HOST_ID("os")).get(), HOST_ID("getpid"));
    Ref status = str("OK");
    Ref err = none();
    run_then(
        [&] {
            except_exception(
                [&] {
                    try {
                        call(task_func);
                    } catch (const PyError&) {
                        add_entry_frame(c.module);
                        throw;
                    }
                },
                             [&](Pending& e) {
                                 Handling scope(e.value());
                                 status = str("EXCEPTION");
                                 err = call_method(c.global(HOST_ID("traceback")).get(), HOST_ID("format_exc"));
                             });
        },
        [&] {
            // The slot is free before the parent can see the record.
            if (truth(gate)) call_method(gate, HOST_ID("CUF_Release"));
            Ref record = check(PyDict_New());
            check_int(PyDict_SetItemString(record.get(), "pid", pid.get()));
            check_int(PyDict_SetItemString(record.get(), "status", status.get()));
            check_int(PyDict_SetItemString(record.get(), "error", err.get()));
            call_method(result_queue, HOST_ID("put"), record);
        },
        true);
    return none();
}

// ----------------------------------------------------------------- launch

Ref runner_run_process(Call& c) {
    c.no_args("CLASS_MultiTask._CUF_Run_Process");
    PyObject* self = c.self;
    Ref inspect = c.global(HOST_ID("inspect"));
    Ref func = K_GET(self, "CVF_TaskFunc");
    if (truth(call_method(inspect.get(), HOST_ID("ismethod"), func).get()))
        raise(PyExc_RuntimeError, "%s",
              "[CLASS_MultiTask] TProcess mode does NOT allow class member functions (bound method).\n"
              "Please use a module-level function instead.");
    func = K_GET(self, "CVF_TaskFunc");
    if (truth(call_method(inspect.get(), HOST_ID("isfunction"), func).get()) &&
        K_GET(func.get(), "__closure__").get() != Py_None)
        raise(PyExc_RuntimeError, "%s",
              "[CLASS_MultiTask] TProcess mode does NOT allow lambda or closure functions.\n"
              "Please use a pure module-level function.");

    Ref gate = the_gate(c);
    call_method(gate.get(), HOST_ID("CUF_Acquire"));

    // From here the slot is ours until the child runs: a failing step gives
    // it back before the error reaches the caller.
    Ref queue, proc;
    run_then(
        [&] {
            Ref mp = c.global(HOST_ID("multiprocessing"));
            queue = call_method(mp.get(), HOST_ID("Queue"));
            Ref args = tuple(K_GET(self, "CVF_TaskFunc"), gate, queue);
            proc = call_kw(K_GET(mp.get(), "Process").get(), HOST_KWNAMES("target", "args", "daemon"),
                           c.global(HOST_ID("_Process_Entry")), args, boolean(false));
            call_method(proc.get(), HOST_ID("start"));
        },
        [&] { call_method(gate.get(), HOST_ID("CUF_Release")); }, false);

    // The child runs: its waiter starts even when the started event raises,
    // so its record is read, its slot comes back and its finished event
    // fires; the event's error still reaches the caller afterwards.
    run_then(
        [&] {
            Ref on_started = K_GET(self, "CVE_OnProcessStarted");
            if (is_callable(on_started.get()))
                call_kw(on_started.get(), HOST_KWNAMES("pid", "task"), K_GET(proc.get(), "pid"), Ref::borrow(self));
        },
        [&] {
            Ref Thread = K_GET(c.global(HOST_ID("threading")).get(), "Thread");
            Ref waiter = call_kw(Thread.get(), HOST_KWNAMES("target", "args", "daemon"),
                                 K_GET(self, "_CUF_WaitProcessExit"), tuple(proc, queue), boolean(true));
            call_method(waiter.get(), HOST_ID("start"));
        },
        true);
    return none();
}

// ----------------------------------------------------------------- waiter

Ref runner_wait_process_exit(Call& c) {
    static const Signature sig{"CLASS_MultiTask._CUF_WaitProcessExit", {"proc", "queue"}, 2};
    PyObject* a[2];
    c.parse(sig, a);
    PyObject *self = c.self, *proc = a[0];
    // The record first: a record larger than the pipe's buffer keeps the
    // child from ending until it is read.
    Ref result = take_record(proc, a[1]);
    call_method(proc, HOST_ID("join"));
    Ref pid, status, error;
    if (result.get() == Py_None) {
        // The child died before it could free its slot: free it here.
        call_method(the_gate(c).get(), HOST_ID("CUF_Release"));
        pid = K_GET(proc, "pid");
        Ref code = K_GET(proc, "exitcode");
        status = str("EXCEPTION");
        error = check(PyUnicode_FromFormat("Process %S ended with exit code %S without a result", pid.get(), code.get()));
    } else {
        pid = item(result.get(), "pid");
        status = item(result.get(), "status");
        error = item(result.get(), "error");
    }
    Ref on_finished = K_GET(self, "CVE_OnProcessFinished");
    if (is_callable(on_finished.get()))
        call_kw(on_finished.get(), HOST_KWNAMES("pid", "status", "error", "task"), pid, status, error,
                Ref::borrow(self));
    return none();
}

// ------------------------------------------------------- over-limit event

Ref runner_on_over_limit(Call& c) {
    static const Signature sig{"CLASS_MultiTask._CVE_OnProcessOverLimit", {"cpu_max", "running"}, 2};
    PyObject* a[2];
    c.parse(sig, a);
    PyObject* self = c.self;
    Ref cpu_max = Ref::borrow(a[0]), running = Ref::borrow(a[1]);
    Ref cpu_text = check(PyObject_Format(a[0], nullptr));
    Ref running_text = check(PyObject_Format(a[1], nullptr));
    print(check(PyUnicode_FromFormat("[ProcessGate] Over CPU core count limited!(CPU=%U, Running=%U)", cpu_text.get(),
                                     running_text.get())));
    Ref on_over = K_GET(self, "CVE_OnProcessOverLimit");
    if (is_callable(on_over.get()))
        except_exception(
            [&] {
                call_kw(on_over.get(), HOST_KWNAMES("cpu_max", "running", "task"), cpu_max, running,
                        Ref::borrow(self));
            },
            [&](Pending& e) {
                Handling scope(e.value());
                print(str("[ProcessGate] External event error:"), Ref::borrow(e.value()));
            });
    return none();
}

}  // namespace korvanth
