#include "classes.hpp"

#include <structmember.h>

#include <cstring>

namespace host {
namespace {

// Instance layout of every class made by make_class.
struct Object {
    PyObject_HEAD PyObject* dict;
    PyObject* weaklist;
};

int obj_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(((Object*)self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int obj_clear(PyObject* self) {
    Py_CLEAR(((Object*)self)->dict);
    return 0;
}

void obj_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (((Object*)self)->weaklist) PyObject_ClearWeakRefs(self);
    Py_CLEAR(((Object*)self)->dict);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMemberDef obj_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Object, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Object, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef obj_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot obj_slots[] = {
    {Py_tp_dealloc, (void*)obj_dealloc}, {Py_tp_traverse, (void*)obj_traverse}, {Py_tp_clear, (void*)obj_clear},
    {Py_tp_members, (void*)obj_members}, {Py_tp_getset, (void*)obj_getset},     {0, nullptr},
};

}  // namespace

Ref make_class(Handle module, const char* spec_name, const char* doc, const Def* members, size_t n) {
    const char* dot = strrchr(spec_name, '.');
    const char* short_name = dot ? dot + 1 : spec_name;
    PyType_Spec spec{spec_name, (int)sizeof(Object), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                     obj_slots};
    Ref cls = check(PyType_FromModuleAndSpec(module.ptr(), &spec, nullptr));
    Ref modname = check(PyModule_GetNameObject(module.ptr()));
    cls.set_attr(ID("__module__"), modname);
    cls.set_attr(ID("__doc__"), doc ? str(doc) : Ref(none()));
    // Storing __init__ also routes construction through it.
    for (size_t i = 0; i < n; ++i) {
        Ref name = check(PyUnicode_InternFromString(members[i].name));
        check(PyObject_SetAttr(cls.ptr(), name.ptr(), class_member(module.ptr(), members[i], short_name).ptr()));
    }
    add(module, short_name, cls);
    return cls;
}

namespace {

Ref new_class_from(Handle module, const char* name, Handle bases, const std::pair<const char*, Ref>* items, size_t n) {
    Ref types = import("types");
    Ref resolved = types.call(ID("resolve_bases"), bases);
    Ref pname = str(name);
    Ref prepared = types.call(ID("prepare_class"), pname, resolved);  // (meta, namespace, kwds)
    Ref meta = prepared[integer(0)];
    Ref ns = prepared[integer(1)];
    ns.set_item(Handle(ID("__module__")), check(PyModule_GetNameObject(module.ptr())));
    ns.set_item(Handle(ID("__qualname__")), pname);
    for (size_t i = 0; i < n; ++i) ns.set_item(check(PyUnicode_InternFromString(items[i].first)), items[i].second);
    if (!resolved.is(bases)) ns.set_item(Handle(ID("__orig_bases__")), bases);
    Ref cls = meta(pname, resolved, ns);
    add(module, name, cls);
    return cls;
}

}  // namespace

Ref new_class(Handle module, const char* name, Handle bases, std::initializer_list<std::pair<const char*, Ref>> items) {
    return new_class_from(module, name, bases, items.begin(), items.size());
}

Ref new_class(Handle module, const char* name, Handle bases, const Def* members, size_t n) {
    constexpr size_t kMax = 16;
    if (n > kMax) raise(PyExc_SystemError, "new_class: more than %zu members", kMax);
    std::pair<const char*, Ref> items[kMax];
    for (size_t i = 0; i < n; ++i) items[i] = {members[i].name, class_member(module.ptr(), members[i], name)};
    return new_class_from(module, name, bases, items, n);
}

void add(Handle module, const char* name, Handle value) {
    check(PyModule_AddObjectRef(module.ptr(), name, value.ptr()));
}

void import_into(Handle module, const char* name) { add(module, name, import(name)); }

void add_function(Handle module, const Def& def) { add(module, def.name, make_function(module.ptr(), def)); }

bool is_main(Handle module) {
    Ref name = Globals(module.ptr())[ID("__name__")];
    return name == str("__main__");
}

}  // namespace host
