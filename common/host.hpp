// The shared C++ layer of the toolkit's extension modules.
//
//   object.hpp     host objects: errors, Ref (owning) and Handle (borrowed)
//                  with attribute access, calls, items and operators;
//                  ID("name") and KW("a", "b"); guard() at entry points
//   flow.hpp       except_, finally_, on_error, with_, ignoring_errors
//   function.hpp   callables declared once (method<>, classmethod<>, ...),
//                  their function objects, closures
//   classes.hpp    classes that behave as ordinary host classes, the class
//                  statement's protocol, module attributes
//   await_once.hpp a native coroutine awaiting one awaitable
//   module.hpp     multi-phase module definition (HOST_MODULE)
#pragma once

#include "await_once.hpp"
#include "classes.hpp"
#include "flow.hpp"
#include "function.hpp"
#include "module.hpp"
#include "object.hpp"
