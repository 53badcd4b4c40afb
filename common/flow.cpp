#include "flow.hpp"

#include <frameobject.h>

namespace host {
namespace detail {

Pending::Pending() {
#if PY_VERSION_HEX >= 0x030C0000
    value_ = PyErr_GetRaisedException();
#else
    PyObject *t, *tb;
    PyErr_Fetch(&t, &value_, &tb);
    PyErr_NormalizeException(&t, &value_, &tb);
    if (tb && value_) PyException_SetTraceback(value_, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
#endif
}

Pending::~Pending() noexcept(false) {
    // A thread being ended by the host unwinds without the interpreter
    // lock: leave the reference then (see Ref).
    if (value_ && holds_lock()) Py_DECREF(value_);
}

void Pending::restore() {
    PyObject* v = value_;
    value_ = nullptr;
    if (!v) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(v);
#else
    PyErr_Restore(Py_NewRef((PyObject*)Py_TYPE(v)), v, PyException_GetTraceback(v));
#endif
}

void Pending::chain_under_current() const {
    if (!value_) return;
    Pending now;
    PyObject* exc = now.value();
    if (exc && exc != value_) {
        // As the host chains an exception raised while another is handled:
        // if `exc` is already in the context chain of value_, that link is
        // cut first, so that no cycle is made; a cycle that is there
        // already ends the walk (Floyd's tortoise and hare).
        PyObject *o = value_, *slow = value_;
        bool step_slow = false;
        while (PyObject* ctx = PyException_GetContext(o)) {
            Py_DECREF(ctx);  // the chain keeps it alive
            if (ctx == exc) {
                PyException_SetContext(o, nullptr);
                break;
            }
            o = ctx;
            if (o == slow) break;
            if (step_slow) {
                slow = PyException_GetContext(slow);
                Py_DECREF(slow);
            }
            step_slow = !step_slow;
        }
        PyException_SetContext(exc, Py_NewRef(value_));
    }
    now.restore();
}

Handling::Handling(PyObject* exc) {
    PyErr_GetExcInfo(&t_, &v_, &tb_);
    if (exc)
        PyErr_SetExcInfo(Py_NewRef((PyObject*)Py_TYPE(exc)), Py_NewRef(exc), PyException_GetTraceback(exc));
    else
        PyErr_SetExcInfo(nullptr, nullptr, nullptr);
}

Handling::~Handling() noexcept(false) {
    if (holds_lock()) PyErr_SetExcInfo(t_, v_, tb_);
}

Ref lookup_special(Handle obj, PyObject* name) {
    Fresh cls = type_of(obj);
    // Borrowed from the type's dict: owned before anything else runs.
    Ref f(Handle(_PyType_Lookup((PyTypeObject*)cls.ptr(), name)));
    if (!f) {
        if (PyErr_Occurred()) raise();
        return f;
    }
    if (descrgetfunc get = Py_TYPE(f.ptr())->tp_descr_get) return check(get(f.ptr(), obj.ptr(), cls.ptr()));
    return f;
}

void not_a_manager(Handle manager, bool has_enter) {
#if PY_VERSION_HEX >= 0x030B0000
    raise(PyExc_TypeError,
          has_enter ? "'%.200s' object does not support the context manager protocol (missed __exit__ method)"
                    : "'%.200s' object does not support the context manager protocol",
          Py_TYPE(manager.ptr())->tp_name);
#else
    (void)manager;
    PyErr_SetObject(PyExc_AttributeError, has_enter ? ID("__exit__") : ID("__enter__"));
    raise();
#endif
}

void add_traceback_entry(PyObject* module, const char* function) {
    Pending raised;
    Ref frame;
    {
        Ref file = Ref::steal(PyModule_GetFilenameObject(module));
        const char* path = file ? PyUnicode_AsUTF8(file.ptr()) : nullptr;
        Ref code = Ref::steal((PyObject*)PyCode_NewEmpty(path ? path : "<unknown>", function, 0));
        if (code)
            frame = Ref::steal((PyObject*)PyFrame_New(PyThreadState_Get(), (PyCodeObject*)code.ptr(),
                                                      PyModule_GetDict(module), nullptr));
        PyErr_Clear();  // a missing entry only shortens the traceback
    }
    raised.restore();
    if (frame) PyTraceBack_Here((PyFrameObject*)frame.ptr());
}

}  // namespace detail
}  // namespace host
