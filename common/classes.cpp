#include "classes.hpp"

namespace host {
namespace {

Ref new_class_from(Handle module, const char* name, Handle bases, const std::pair<const char*, Ref>* items, size_t n) {
    Ref pname = str(name);
    Ref resolved, meta, ns;
    if (PyTuple_Check(bases.ptr()) && PyTuple_GET_SIZE(bases.ptr()) == 0) {
        // No base: the metaclass is type, whose namespace is a plain dict.
        resolved = bases;
        meta = Handle((PyObject*)&PyType_Type);
        ns = dict();
    } else {
        Ref types = import(Globals(module.ptr()), "types");
        resolved = types.call(ID("resolve_bases"), bases);
        Ref prepared = types.call(ID("prepare_class"), pname, resolved);  // (meta, namespace, kwds)
        meta = prepared[integer(0)];
        ns = prepared[integer(1)];
    }
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

namespace {

// The class body of declared members, made into (name, value) pairs on the
// stack of this call; `doc`, when given, comes first as a class body's
// docstring does.
template <class F>
Ref with_members(const char* name, const char* doc, const Def* const* members, size_t n, Handle module, F make) {
    constexpr size_t kMax = 16;
    if (n + 1 > kMax) raise(PyExc_SystemError, "class %s: more than %zu members", name, kMax - 1);
    std::pair<const char*, Ref> items[kMax];
    size_t k = 0;
    if (doc) items[k++] = {"__doc__", str(doc)};
    for (size_t i = 0; i < n; ++i) items[k++] = {members[i]->name, class_member(module.ptr(), *members[i], name)};
    return make(items, k);
}

}  // namespace

Ref new_class(Handle module, const char* name, Handle bases, const Def* const* members, size_t n) {
    return with_members(name, nullptr, members, n, module, [&](const std::pair<const char*, Ref>* items, size_t k) {
        return new_class_from(module, name, bases, items, k);
    });
}

Ref make_class(Handle module, const char* name, const char* doc, const Def* const* members, size_t n) {
    Ref no_bases = tuple();
    return with_members(name, doc, members, n, module, [&](const std::pair<const char*, Ref>* items, size_t k) {
        return new_class_from(module, name, no_bases, items, k);
    });
}

void add(Handle module, const char* name, Handle value) {
    check(PyModule_AddObjectRef(module.ptr(), name, value.ptr()));
}

void import_into(Handle module, const char* name) { add(module, name, import(Globals(module.ptr()), name)); }

void add_function(Handle module, const Def& def) { add(module, def.name, make_function(module.ptr(), def)); }

bool is_main(Handle module) {
    Ref name = Globals(module.ptr())[ID("__name__")];
    return name == str("__main__");
}

}  // namespace host
