#include "object.hpp"

#include <cstdarg>

namespace host {

void raise(PyObject* exc_type, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyErr_FormatV(exc_type, fmt, va);
    va_end(va);
    throw PyError{};
}

PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) raise();
    return o;  // kept for the life of the process
}

PyObject* make_kwnames(std::initializer_list<const char*> names) {
    Ref t = check(PyTuple_New((Py_ssize_t)names.size()));
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(t.ptr(), i++, check(PyUnicode_InternFromString(n)).release());
    return t.release();  // kept for the life of the process
}

namespace detail {

Ref vectorcall(PyObject* f, PyObject* const* argv, size_t nargs, PyObject* kwnames) {
    size_t npos = nargs - (kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0);
    return check(PyObject_Vectorcall(f, argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref vectorcall_method(PyObject* name, PyObject* const* argv, size_t nargs, PyObject* kwnames) {
    size_t npos = nargs - (kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0);
    return check(PyObject_VectorcallMethod(name, argv, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace detail

// ------------------------------------------------------------- operators

Ref operator+(Handle a, Handle b) { return check(PyNumber_Add(a.ptr(), b.ptr())); }
Ref operator-(Handle a, Handle b) { return check(PyNumber_Subtract(a.ptr(), b.ptr())); }
Ref operator*(Handle a, Handle b) { return check(PyNumber_Multiply(a.ptr(), b.ptr())); }
Ref operator/(Handle a, Handle b) { return check(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
Ref iadd(Handle a, Handle b) { return check(PyNumber_InPlaceAdd(a.ptr(), b.ptr())); }
Ref isub(Handle a, Handle b) { return check(PyNumber_InPlaceSubtract(a.ptr(), b.ptr())); }

static bool compare(Handle a, Handle b, int op) {
    Ref r = check(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    return r.truthy();
}
bool operator==(Handle a, Handle b) { return compare(a, b, Py_EQ); }
bool operator!=(Handle a, Handle b) { return compare(a, b, Py_NE); }
bool operator<(Handle a, Handle b) { return compare(a, b, Py_LT); }
bool operator<=(Handle a, Handle b) { return compare(a, b, Py_LE); }
bool operator>(Handle a, Handle b) { return compare(a, b, Py_GT); }
bool operator>=(Handle a, Handle b) { return compare(a, b, Py_GE); }

// ---------------------------------------------------------------- values

void append(Handle list, Handle item) { check(PyList_Append(list.ptr(), item.ptr())); }

Py_ssize_t len(Handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0) raise();
    return n;
}

void del_item(Handle obj, Py_ssize_t i) { check(PySequence_DelItem(obj.ptr(), i)); }

Ref optional_attr(Handle obj, PyObject* name) {
    Ref v = Ref::steal(PyObject_GetAttr(obj.ptr(), name));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
    }
    return v;
}

bool is_instance(Handle obj, Handle cls) { return check(PyObject_IsInstance(obj.ptr(), cls.ptr())) != 0; }

Ref format(Handle obj) { return check(PyObject_Format(obj.ptr(), nullptr)); }

std::pair<Ref, Ref> unpack2(Handle h) {
    PyObject* obj = h.ptr();
    if ((PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) && PySequence_Fast_GET_SIZE(obj) == 2)
        return {Ref(Handle(PySequence_Fast_GET_ITEM(obj, 0))),
                Ref(Handle(PySequence_Fast_GET_ITEM(obj, 1)))};  // no host code between
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(obj)->tp_iter && !PySequence_Check(obj)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        }
        raise();
    }
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(it.ptr()));
        if (!items[i]) {
            if (PyErr_Occurred()) raise();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.ptr()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) raise();
    return {items[0], items[1]};
}

Iter::Iter(Handle iterable) : it_(check(PyObject_GetIter(iterable.ptr()))) {}

void Iter::Cursor::next() {
    item_ = Ref::steal(PyIter_Next(it_));
    if (!item_ && PyErr_Occurred()) raise();
}

}  // namespace host
