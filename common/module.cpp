#include "module.hpp"

#include "detail.hpp"

namespace host {

void init_shared() {
    detail::init_function_types();
    detail::init_await_type();
}

}  // namespace host
