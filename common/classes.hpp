// Classes that behave as ordinary host classes, and module attributes.
#pragma once

#include "function.hpp"

#include <initializer_list>
#include <utility>

namespace host {

// A class without base, made as a `class` statement in the module makes
// it (see new_class): an ordinary host class in every respect (instance
// __dict__ and __weakref__, garbage-collected, subclassable, pickled by
// class plus attribute dictionary). Its namespace holds `doc` (when not
// nullptr) and then `members` in their order: functions bind like those of
// a class body, class and static methods are wrapped in the host's
// classmethod and staticmethod. Bound as a module attribute.
// The members are given as a table of declarations or of pointers to the
// declarations (each written next to its body).
Ref make_class(Handle module, const char* name, const char* doc, const Def* const* members, size_t n);
template <size_t N>
Ref make_class(Handle module, const char* name, const char* doc, const Def* const (&members)[N]) {
    return make_class(module, name, doc, members, N);
}
template <size_t N>
Ref make_class(Handle module, const char* name, const char* doc, const Def (&members)[N]) {
    const Def* p[N];
    for (size_t i = 0; i < N; ++i) p[i] = &members[i];
    return make_class(module, name, doc, p, N);
}

// A class made through the host's class-creation protocol, exactly as a
// `class` statement in the module makes it: bases resolved
// (__mro_entries__), metaclass computed and its __prepare__ called,
// __module__ and __qualname__ entered first, then the items in order, then
// the metaclass called with (name, bases, namespace). Bound as a module
// attribute.
Ref new_class(Handle module, const char* name, Handle bases, std::initializer_list<std::pair<const char*, Ref>> items);
// The same with a class body of declared members.
Ref new_class(Handle module, const char* name, Handle bases, const Def* const* members, size_t n);
template <size_t N>
Ref new_class(Handle module, const char* name, Handle bases, const Def* const (&members)[N]) {
    return new_class(module, name, bases, members, N);
}

// module.name = value
void add(Handle module, const char* name, Handle value);
// import name (bound in the module under the same name)
void import_into(Handle module, const char* name);
// The module-level function of `def`, bound in the module.
void add_function(Handle module, const Def& def);

// True when the module's `__name__`, read from its namespace now, equals
// "__main__": for module bodies that run a block only when the host runs
// them as the main program.
bool is_main(Handle module);

}  // namespace host
