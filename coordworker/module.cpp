// Module initialisation of Sarnovet: the host modules it works with, then
// the coordinated runner class.
#include "sarnovet.hpp"

namespace sarnovet {
namespace {

using namespace host;

// Method docstrings carry only the text signature (__doc__ is None).
PyMethodDef runner_methods[] = {
    HOST_METHOD("__init__", runner_init,
                "__init__($self, Pmf_TargetFunc, Pmi_MaxCPU, Pmd_DBConfig, Pms_TableName='_syscpu_gate_worker', "
                "PmF_Event_OnTaskRegister=None, PmF_Event_OnProcessStart=None, PmF_Event_OnProcessExit=None, "
                "PmF_Event_OnProcessDead=None, PmF_Event_OnIdle=None)\n--\n\n"),
    HOST_METHOD("CVF_GetDBConn", runner_get_conn, "CVF_GetDBConn($self)\n--\n\n"),
    HOST_METHOD("CVF_EnsureTable", runner_ensure_table, "CVF_EnsureTable($self)\n--\n\n"),
    HOST_METHOD("CUF_HasPendingOrRunning", runner_has_pending_or_running, "CUF_HasPendingOrRunning($self)\n--\n\n"),
    HOST_METHOD("CUF_RegisterTask", runner_register_task, "CUF_RegisterTask($self, Pms_TaskName)\n--\n\n"),
    HOST_METHOD("CUF_GetTaskCount", runner_get_task_count, "CUF_GetTaskCount($self)\n--\n\n"),
    HOST_METHOD("CUF_TryFetchTask", runner_try_fetch_task, "CUF_TryFetchTask($self)\n--\n\n"),
    HOST_METHOD("_ProcessWrapper", runner_process_wrapper, "_ProcessWrapper($self, Pmi_WorkerID, Pms_TaskName)\n--\n\n"),
    HOST_METHOD("CUF_Run", runner_run, "CUF_Run($self, Pmi_SleepIdle=1)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------- annotated constructor
//
// A method of a native class has no __annotations__. The constructor's are
// part of the interface, so the class's __init__ is this thin wrapper: it
// binds and calls like a function in a class body, keeps its own attribute
// dictionary (holding __annotations__) and answers every other attribute
// (__name__, __qualname__, __text_signature__, ...) from the wrapped method.

struct Annotated {
    PyObject_HEAD
    PyObject* func;
    PyObject* dict;
};

PyTypeObject* annotated_type = nullptr;

PyObject* annotated_getattro(PyObject* self, PyObject* name) {
    PyObject* r = PyObject_GenericGetAttr(self, name);
    if (r || !PyErr_ExceptionMatches(PyExc_AttributeError)) return r;
    PyErr_Clear();
    return PyObject_GetAttr(((Annotated*)self)->func, name);
}

PyObject* annotated_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* annotated_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return PyObject_Call(((Annotated*)self)->func, args, kwargs);
}

PyObject* annotated_repr(PyObject* self) { return PyObject_Repr(((Annotated*)self)->func); }

int annotated_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(((Annotated*)self)->func);
    Py_VISIT(((Annotated*)self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int annotated_clear(PyObject* self) {
    Py_CLEAR(((Annotated*)self)->func);
    Py_CLEAR(((Annotated*)self)->dict);
    return 0;
}

void annotated_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    annotated_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMemberDef annotated_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Annotated, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef annotated_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

Ref annotate(PyObject* func, const Ref& annotations) {
    if (!annotated_type) {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, (void*)annotated_dealloc},
            {Py_tp_traverse, (void*)annotated_traverse},
            {Py_tp_clear, (void*)annotated_clear},
            {Py_tp_getattro, (void*)annotated_getattro},
            {Py_tp_descr_get, (void*)annotated_descr_get},
            {Py_tp_call, (void*)annotated_call},
            {Py_tp_repr, (void*)annotated_repr},
            {Py_tp_members, (void*)annotated_members},
            {Py_tp_getset, (void*)annotated_getset},
            {0, nullptr},
        };
        static PyType_Spec spec{"Sarnovet.annotated_method", (int)sizeof(Annotated), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
        annotated_type = (PyTypeObject*)check(PyType_FromSpec(&spec)).release();  // lives for the process
    }
    auto* a = PyObject_GC_New(Annotated, annotated_type);
    if (!a) raise();
    a->func = Py_NewRef(func);
    a->dict = nullptr;
    Ref obj = Ref::steal((PyObject*)a);
    PyObject_GC_Track(obj.get());
    setattr(obj.get(), HOST_ID("__annotations__"), annotations);
    return obj;
}

// ---------------------------------------------------------------- exec

Ref exec_body(PyObject* module) {
    for (const char* name : {"pymysql", "multiprocessing", "socket", "time", "os", "uuid"}) {
        Ref m = check(PyImport_ImportModule(name));
        check_int(PyModule_AddObjectRef(module, name, m.get()));
    }
    Ref cls = make_class(module, {"Sarnovet.CLASS_MultiTaskAdv", nullptr, runner_methods, nullptr});
    Ref init = getattr(cls.get(), HOST_ID("__init__"));
    Ref annotations = check(PyDict_New());
    check_int(PyDict_SetItemString(annotations.get(), "Pms_TableName", (PyObject*)&PyUnicode_Type));
    setattr(cls.get(), HOST_ID("__init__"), annotate(init.get(), annotations));
    return none();
}

}  // namespace
}  // namespace sarnovet

HOST_MODULE(Sarnovet, sarnovet::exec_body)
