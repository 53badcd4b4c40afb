// Internals of the shared layer: the helper types it creates once per
// process (they are not instantiable from Python).
#pragma once

namespace host {
namespace detail {

void init_function_types();  // function objects and closures
void init_await_type();      // the "await this once" coroutine

}  // namespace detail
}  // namespace host
