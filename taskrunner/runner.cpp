// CLASS_MultiTask core: constructor, start dispatch, the thread and async
// paths, and the set-up for frozen programs.
#include "korvanth.hpp"

namespace korvanth {

using namespace host;

// ------------------------------------------------------------ constructor

Ref runner_init(Call& c) {
    static const Signature sig{"CLASS_MultiTask.__init__",
                               {"PmE_TaskMode", "PmF_TaskMainFunc", "Pmi_Timeout", "Pmb_EnableWatchDog",
                                "PmF_Event_OnProcessStarted", "PmF_Event_OnProcessFinished",
                                "PmF_Event_OnProcessOverLimit"},
                               2};
    PyObject* a[7];
    c.parse(sig, a);
    Ref timeout = a[2] ? Ref::borrow(a[2]) : integer(5);
    PyObject* self = c.self;
    K_SET(self, "CVE_TaskMode", a[0]);
    K_SET(self, "CVF_TaskFunc", a[1]);
    K_SET(self, "CVI_Timeout", timeout);
    K_SET(self, "CVD_EvalResult", check(PyDict_New()));
    K_SET(self, "CVE_OnProcessStarted", a[4] ? a[4] : Py_None);
    K_SET(self, "CVE_OnProcessFinished", a[5] ? a[5] : Py_None);
    K_SET(self, "CVE_OnProcessOverLimit", a[6] ? a[6] : Py_None);
    K_SET(self, "CV_WatchDog", Py_None);
    if (!a[3] || truth(a[3])) {
        Ref cls = c.global(HOST_ID("CLASS_WatchDog"));
        Ref dog = call(cls.get(), timeout, K_GET(self, "_CUF_OnDead"));
        K_SET(self, "CV_WatchDog", dog);
    }
    return none();
}

// ------------------------------------------------------- frozen programs

Ref runner_init_for_pyinstaller(Call& c) {
    c.no_args("CUF_Init_For_PyInstaller", 0);
    Ref cls = c.global(HOST_ID("CLASS_MultiTask"));
    if (truth(K_GET(cls.get(), "_PyInstaller_Inited").get())) return none();
    Ref mp = check(PyImport_ImportModule("multiprocessing"));
    call_method(mp.get(), HOST_ID("freeze_support"));
    K_SET(cls.get(), "_PyInstaller_Inited", Py_True);
    return none();
}

// ----------------------------------------------------------------- start

namespace {

bool equals(PyObject* a, PyObject* b) {
    Ref r = check(PyObject_RichCompare(a, b, Py_EQ));
    return truth(r.get());
}

}  // namespace

Ref runner_start(Call& c) {
    c.no_args("CLASS_MultiTask.CUF_Start");
    PyObject* self = c.self;
    Ref modes = c.global(HOST_ID("ENUM_TASK_MODE"));
    Ref mode = K_GET(self, "CVE_TaskMode");
    if (equals(mode.get(), K_GET(modes.get(), "cE_TaskM_AutoTune").get()))
        mode = call_method(self, HOST_ID("CUF_GetBestMode"));
    if (equals(mode.get(), K_GET(modes.get(), "cE_TaskM_TThread").get()))
        call_method(self, HOST_ID("_CUF_Run_Thread"));
    else if (equals(mode.get(), K_GET(modes.get(), "cE_TaskM_AsyncThread").get()))
        call_method(self, HOST_ID("_CUF_Run_Async"));
    else if (equals(mode.get(), K_GET(modes.get(), "cE_TaskM_TProcess").get()))
        call_method(self, HOST_ID("_CUF_Run_Process"));
    return none();
}

// ------------------------------------------------------------ thread path

namespace {

// Thread target: calls self.CVF_TaskFunc(), reading the attribute in the
// worker thread.
Ref thread_target(PyObject* caps, PyObject* const*, Py_ssize_t, PyObject*) {
    PyObject* self = PyTuple_GET_ITEM(caps, 0);
    Ref f = K_GET(self, "CVF_TaskFunc");
    return call(f.get());
}

void start_daemon_thread(const Call& c, Ref target) {
    Ref threading = c.global(HOST_ID("threading"));
    Ref Thread = K_GET(threading.get(), "Thread");
    Ref t = call_kw(Thread.get(), HOST_KWNAMES("target", "daemon"), target, boolean(true));
    call_method(t.get(), HOST_ID("start"));
}

}  // namespace

Ref runner_run_thread(Call& c) {
    c.no_args("CLASS_MultiTask._CUF_Run_Thread");
    start_daemon_thread(c, closure(closure_body<thread_target>, tuple(Ref::borrow(c.self))));
    return none();
}

// ------------------------------------------------------------- async path
//
// The coroutine of one async start: its body awaits self.CVF_TaskFunc()
// once and returns None. It is a native object implementing the coroutine
// protocol (__await__, send, throw, close), so asyncio.run accepts it and
// drives it like a coroutine written in the host language; the task
// function is called at the first step, inside the event loop's thread.

namespace {

struct AwaitOnce {
    PyObject_HEAD
    PyObject* runner;  // the CLASS_MultiTask instance
    PyObject* inner;   // iterator of the awaited object, once started
    bool done;
    bool running;      // a step is under way (the task may reach this object)
};

// Entering a step while one is under way (the task calling send, throw or
// close on the coroutine that drives it) is refused as the host refuses it.
bool refuse_reentry(AwaitOnce* a) {
    if (!a->running) return false;
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return true;
}

// Marks a step for its duration.
struct Running {
    AwaitOnce* a;
    explicit Running(AwaitOnce* a) : a(a) { a->running = true; }
    ~Running() { a->running = false; }
};

PyTypeObject* await_once_type = nullptr;

// Iterator behind `await obj`, with the host's errors.
Ref awaitable_iter(PyObject* o) {
    if (PyCoro_CheckExact(o)) return Ref::borrow(o);
    if (PyGen_CheckExact(o)) {
        Ref code = check(PyObject_GetAttrString(o, "gi_code"));
        Ref flags = check(PyObject_GetAttrString(code.get(), "co_flags"));
        if (PyLong_AsLong(flags.get()) & CO_ITERABLE_COROUTINE) return Ref::borrow(o);
    }
    PyTypeObject* ot = Py_TYPE(o);
    if (ot->tp_as_async && ot->tp_as_async->am_await) {
        Ref res = check(ot->tp_as_async->am_await(o));
        if (PyObject_TypeCheck(res.get(), &PyCoro_Type)) raise(PyExc_TypeError, "__await__() returned a coroutine");
        if (!PyIter_Check(res.get()))
            raise(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(res.get())->tp_name);
        return res;
    }
    raise(PyExc_TypeError, "object %.100s can't be used in 'await' expression", ot->tp_name);
}

void finish(AwaitOnce* a) {
    a->done = true;
    Py_CLEAR(a->inner);
}

// One step with `value` sent in. PYGEN_RETURN means the body has ended
// (its result is None).
PySendResult step(AwaitOnce* a, PyObject* value, PyObject** result) {
    *result = nullptr;
    if (refuse_reentry(a)) return PYGEN_ERROR;
    Running running(a);
    if (a->done) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (!a->inner) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        PyObject* it = guard([&] {
            Ref f = K_GET(a->runner, "CVF_TaskFunc");
            Ref aw = call(f.get());
            return awaitable_iter(aw.get());
        });
        if (!it) {
            finish(a);
            return PYGEN_ERROR;
        }
        a->inner = it;
    }
    PyObject* r = nullptr;
    PySendResult s = PyIter_Send(a->inner, value, &r);
    if (s == PYGEN_NEXT) {
        *result = r;
        return s;
    }
    Py_XDECREF(r);  // the awaited value is discarded
    finish(a);
    if (s == PYGEN_RETURN) {
        *result = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    return PYGEN_ERROR;
}

PySendResult ao_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    return step((AwaitOnce*)self, arg, result);
}

PyObject* ao_iternext(PyObject* self) {
    PyObject* r;
    PySendResult s = step((AwaitOnce*)self, Py_None, &r);
    if (s == PYGEN_NEXT) return r;
    Py_XDECREF(r);
    return nullptr;  // StopIteration (no exception set) or the error
}

PyObject* ao_send(PyObject* self, PyObject* arg) {
    PyObject* r;
    PySendResult s = step((AwaitOnce*)self, arg, &r);
    if (s == PYGEN_NEXT) return r;
    if (s == PYGEN_RETURN) {
        Py_DECREF(r);
        PyErr_SetNone(PyExc_StopIteration);
    }
    return nullptr;
}

PyObject* ao_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    auto* a = (AwaitOnce*)self;
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (refuse_reentry(a)) return nullptr;
    Running running(a);
    if (a->inner && !a->done) {
        // Delegate to the awaited iterator, as `await` does.
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            PyObject* closer = PyObject_GetAttrString(a->inner, "close");
            if (closer) {
                PyObject* r = PyObject_CallNoArgs(closer);
                Py_DECREF(closer);
                if (!r) { finish(a); return nullptr; }
                Py_DECREF(r);
            } else {
                PyErr_Clear();
            }
        } else {
            PyObject* thrower = PyObject_GetAttrString(a->inner, "throw");
            if (thrower) {
                PyObject* r = PyObject_Vectorcall(thrower, args, (size_t)nargs, nullptr);
                Py_DECREF(thrower);
                if (r) return r;  // the awaited object yielded again
                finish(a);
                if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    PyErr_Clear();  // it returned: our body returns None
                    PyErr_SetNone(PyExc_StopIteration);
                }
                return nullptr;
            }
            PyErr_Clear();
        }
    }
    finish(a);
    // Raise the exception at the await point (or before the first step).
    if (PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val && val != Py_None ? val : nullptr);
        if (!val || val == Py_None) {
            PyObject *t, *v, *trace;
            PyErr_Fetch(&t, &v, &trace);
            PyErr_NormalizeException(&t, &v, &trace);
            PyErr_Restore(t, v, trace);
        }
    } else if (PyExceptionInstance_Check(typ)) {
        PyErr_SetObject((PyObject*)Py_TYPE(typ), typ);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb && tb != Py_None) {
        PyObject *t, *v, *old;
        PyErr_Fetch(&t, &v, &old);
        Py_XDECREF(old);
        Py_INCREF(tb);
        PyErr_Restore(t, v, tb);
    }
    return nullptr;
}

PyObject* ao_close(PyObject* self, PyObject*) {
    auto* a = (AwaitOnce*)self;
    if (refuse_reentry(a)) return nullptr;
    Running running(a);
    if (a->inner && !a->done) {
        PyObject* closer = PyObject_GetAttrString(a->inner, "close");
        if (closer) {
            PyObject* r = PyObject_CallNoArgs(closer);
            Py_DECREF(closer);
            finish(a);
            if (!r) return nullptr;
            Py_DECREF(r);
        } else {
            PyErr_Clear();
        }
    }
    finish(a);
    Py_RETURN_NONE;
}

PyObject* ao_await(PyObject* self) { return Py_NewRef(self); }

int ao_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* a = (AwaitOnce*)self;
    Py_VISIT(a->runner);
    Py_VISIT(a->inner);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int ao_clear(PyObject* self) {
    auto* a = (AwaitOnce*)self;
    Py_CLEAR(a->runner);
    Py_CLEAR(a->inner);
    return 0;
}

void ao_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    ao_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef ao_methods[] = {
    {"send", (PyCFunction)ao_send, METH_O, nullptr},
    {"throw", (PyCFunction)(void (*)(void))ao_throw, METH_FASTCALL, nullptr},
    {"close", (PyCFunction)ao_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Thread target of an async start: asyncio.run(<new coroutine>).
Ref async_target(PyObject* caps, PyObject* const*, Py_ssize_t, PyObject*) {
    PyObject* module = PyTuple_GET_ITEM(caps, 0);
    PyObject* self = PyTuple_GET_ITEM(caps, 1);
    auto* a = PyObject_GC_New(AwaitOnce, await_once_type);
    if (!a) raise();
    a->runner = Py_NewRef(self);
    a->inner = nullptr;
    a->done = false;
    a->running = false;
    PyObject_GC_Track((PyObject*)a);
    Ref coro = Ref::steal((PyObject*)a);
    Ref asyncio = global(module, HOST_ID("asyncio"));
    return call_method(asyncio.get(), HOST_ID("run"), coro);
}

}  // namespace

int runner_types_init(PyObject*) {
    if (await_once_type) return 0;
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, (void*)ao_dealloc},
        {Py_tp_traverse, (void*)ao_traverse},
        {Py_tp_clear, (void*)ao_clear},
        {Py_tp_iter, (void*)PyObject_SelfIter},
        {Py_tp_iternext, (void*)ao_iternext},
        {Py_tp_methods, (void*)ao_methods},
        {Py_am_await, (void*)ao_await},
        {Py_am_send, (void*)ao_am_send},
        {0, nullptr},
    };
    static PyType_Spec spec{"Korvanth.runner", (int)sizeof(AwaitOnce), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    PyObject* t = PyType_FromSpec(&spec);
    if (!t) return -1;
    await_once_type = (PyTypeObject*)t;  // process lifetime
    return 0;
}

Ref runner_run_async(Call& c) {
    c.no_args("CLASS_MultiTask._CUF_Run_Async");
    start_daemon_thread(c, closure(closure_body<async_target>, tuple(Ref::borrow(c.module), Ref::borrow(c.self))));
    return none();
}

}  // namespace korvanth
