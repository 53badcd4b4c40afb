// "Await this once": a native coroutine for asyncio.run and the like.
#pragma once

#include "object.hpp"

namespace host {

// A coroutine whose body is `await producer()` and then `return None`: at
// its first step it calls producer() (in the thread that drives it) and
// awaits the result once, with the host's errors for what cannot be
// awaited. It implements the coroutine protocol (send, throw, close,
// __await__, and the iteration and send slots); entering it while one of
// its steps is under way raises the host's "coroutine already executing".
Ref await_once(Handle producer);

}  // namespace host
