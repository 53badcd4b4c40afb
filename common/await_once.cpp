#include "await_once.hpp"

#include "detail.hpp"
#include "flow.hpp"

namespace host {
namespace detail {
namespace {

struct AwaitOnce {
    PyObject_HEAD PyObject* producer;
    PyObject* inner;  // iterator of the awaited object, once started
    bool done;
    bool running;  // a step is under way
};

PyTypeObject* await_once_type = nullptr;

// A step of the coroutine for its duration; one under way already (the
// awaited code reaching back to its own coroutine) is refused as the host
// refuses it.
class Running {
public:
    explicit Running(AwaitOnce* a) : a_(a) {
        if (a->running) raise(PyExc_ValueError, "coroutine already executing");
        a->running = true;
    }
    ~Running() { a_->running = false; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    AwaitOnce* a_;
};

// The body has ended: the awaited iterator is let go.
void finish(AwaitOnce* a) {
    a->done = true;
    Ref inner = Ref::steal(a->inner);
    a->inner = nullptr;
}

// The iterator behind `await obj`, with the host's errors.
Ref awaitable_iter(Handle o) {
    if (PyCoro_CheckExact(o.ptr())) return Ref(o);
    if (PyGen_CheckExact(o.ptr())) {
        Ref flags = o.attr(ID("gi_code")).attr(ID("co_flags"));
        if (PyLong_AsLong(flags.ptr()) & CO_ITERABLE_COROUTINE) return Ref(o);
    }
    PyTypeObject* ot = Py_TYPE(o.ptr());
    if (ot->tp_as_async && ot->tp_as_async->am_await) {
        Ref res = check(ot->tp_as_async->am_await(o.ptr()));
        if (PyObject_TypeCheck(res.ptr(), &PyCoro_Type)) raise(PyExc_TypeError, "__await__() returned a coroutine");
        if (!PyIter_Check(res.ptr()))
            raise(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(res.ptr())->tp_name);
        return res;
    }
    raise(PyExc_TypeError, "object %.100s can't be used in 'await' expression", ot->tp_name);
}

// The awaited object failed: the body ends with its error.
[[noreturn]] void end_with_error(AwaitOnce* a) {
    on_error([] { raise(); }, [&] { finish(a); });
    raise();  // not reached
}

// One step with `value` sent in: what the awaited object yields
// (PYGEN_NEXT), or None once the body has returned (PYGEN_RETURN).
PySendResult step(AwaitOnce* a, Handle value, Ref& out) {
    Running running(a);
    if (a->done) raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    if (!a->inner) {
        if (!value.is_none()) raise(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        Ref it = on_error([&] { return awaitable_iter(Handle(a->producer)()); }, [&] { finish(a); });
        a->inner = it.release();
    }
    PyObject* r = nullptr;
    PySendResult s = PyIter_Send(a->inner, value.ptr(), &r);
    Ref result = Ref::steal(r);
    if (s == PYGEN_ERROR) end_with_error(a);
    if (s == PYGEN_NEXT) {
        out = result;
        return s;
    }
    finish(a);  // the awaited value is discarded
    out = none();
    return PYGEN_RETURN;
}

// The arguments of throw(), checked as the host checks them for its own
// coroutines (a refused call leaves the coroutine as it was).
void check_thrown(Handle typ, PyObject* val, PyObject* tb) {
    if (tb && tb != Py_None && !PyTraceBack_Check(tb))
        raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    if (PyExceptionClass_Check(typ.ptr())) return;
    if (!PyExceptionInstance_Check(typ.ptr()))
        raise(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
              Py_TYPE(typ.ptr())->tp_name);
    if (val && val != Py_None) raise(PyExc_TypeError, "instance exception may not have a separate value");
}

// Raises (typ, val, tb), checked, at the await point.
[[noreturn]] void raise_thrown(Handle typ, PyObject* val, PyObject* tb) {
    if (PyExceptionClass_Check(typ.ptr()))
        PyErr_SetObject(typ.ptr(), val && val != Py_None ? val : nullptr);
    else
        PyErr_SetObject(type_of(typ).ptr(), typ.ptr());
    Pending raised;  // normalised, with its traceback
    if (tb && tb != Py_None) PyException_SetTraceback(raised.value(), tb);
    raised.restore();
    raise();
}

Ref throw_in(AwaitOnce* a, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) raise(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    Running running(a);
    Handle typ(args[0]);
    if (a->inner && !a->done) {
        // Handed on to the awaited iterator, as `await` does.
        Ref inner(Handle(a->inner));  // owned: close() and throw() run host code
        if (PyErr_GivenExceptionMatches(typ.ptr(), PyExc_GeneratorExit)) {
            if (Ref closer = optional_attr(inner, ID("close"))) on_error([&] { closer(); }, [&] { finish(a); });
        } else if (Ref thrower = optional_attr(inner, ID("throw"))) {
            Ref r = Ref::steal(PyObject_Vectorcall(thrower.ptr(), args, (size_t)nargs, nullptr));
            if (r) return r;  // it yielded again
            if (!PyErr_ExceptionMatches(PyExc_StopIteration)) end_with_error(a);
            // It returned: so does the body, with None.
            PyErr_Clear();
            finish(a);
            PyErr_SetNone(PyExc_StopIteration);
            raise();
        }
    }
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    check_thrown(typ, val, tb);
    finish(a);
    raise_thrown(typ, val, tb);
}

Ref close(AwaitOnce* a) {
    Running running(a);
    if (a->inner && !a->done)
        if (Ref closer = optional_attr(Handle(a->inner), ID("close"))) finally_([&] { closer(); }, [&] { finish(a); });
    finish(a);
    return Ref(none());
}

PySendResult ao_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    PySendResult s = PYGEN_ERROR;
    Ref out;
    if (!guarded([&] { s = step((AwaitOnce*)self, Handle(arg), out); })) s = PYGEN_ERROR;
    *result = out.release();
    return s;
}

PyObject* ao_iternext(PyObject* self) {
    return guard([&] {
        Ref out;
        if (step((AwaitOnce*)self, none(), out) == PYGEN_NEXT) return out;
        return Ref();  // exhausted: NULL without an exception
    });
}

PyObject* ao_send(PyObject* self, PyObject* arg) {
    return guard([&] {
        Ref out;
        if (step((AwaitOnce*)self, Handle(arg), out) == PYGEN_NEXT) return out;
        PyErr_SetNone(PyExc_StopIteration);
        raise();
    });
}

PyObject* ao_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] { return throw_in((AwaitOnce*)self, args, nargs); });
}

PyObject* ao_close(PyObject* self, PyObject*) {
    return guard([&] { return close((AwaitOnce*)self); });
}

PyObject* ao_await(PyObject* self) { return Py_NewRef(self); }

int ao_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* a = (AwaitOnce*)self;
    Py_VISIT(a->producer);
    Py_VISIT(a->inner);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int ao_clear(PyObject* self) {
    auto* a = (AwaitOnce*)self;
    Py_CLEAR(a->producer);
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

PyType_Slot ao_slots[] = {
    {Py_tp_dealloc, (void*)ao_dealloc},     {Py_tp_traverse, (void*)ao_traverse}, {Py_tp_clear, (void*)ao_clear},
    {Py_tp_iter, (void*)PyObject_SelfIter}, {Py_tp_iternext, (void*)ao_iternext}, {Py_tp_methods, (void*)ao_methods},
    {Py_am_await, (void*)ao_await},         {Py_am_send, (void*)ao_am_send},      {0, nullptr},
};

PyType_Spec ao_spec{"_hostcore.await_once", (int)sizeof(AwaitOnce), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, ao_slots};

}  // namespace

void init_await_type() {
    if (!await_once_type) await_once_type = (PyTypeObject*)check(PyType_FromSpec(&ao_spec)).release();
}

}  // namespace detail

Ref await_once(Handle producer) {
    using detail::AwaitOnce;
    detail::init_await_type();
    auto* a = PyObject_GC_New(AwaitOnce, detail::await_once_type);
    if (!a) raise();
    a->producer = Py_NewRef(producer.ptr());
    a->inner = nullptr;
    a->done = false;
    a->running = false;
    PyObject_GC_Track((PyObject*)a);
    return Ref::steal((PyObject*)a);
}

}  // namespace host
