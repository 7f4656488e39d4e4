// The asyncio methods' bridge: a future of the running loop, the core call on
// the background executor, and the outcome delivered through the loop's
// call_soon_threadsafe.
#pragma once

#include <Python.h>

#include <functional>
#include <memory>
#include <variant>

#include "mistgrove_core/session.h"

namespace mistgrove_native {

// What a core job gives: a new core session, or a request's response.
using CoreValue = std::variant<std::shared_ptr<mistgrove_core::Session>, mistgrove_core::Bytes>;
// A core job owns all its inputs; it runs on a thread of the blocking pool.
using CoreJob = std::function<CoreValue()>;

// The bridge's two classes, new: the future's done callback and the
// loop-side completor.
PyTypeObject* new_done_callback_class();
PyTypeObject* new_completor_class();

// The call step of an asyncio method, after its arguments were converted:
// returns the new future, or nullptr with the Python exception set.
PyObject* start_async_call(CoreJob job);

}  // namespace mistgrove_native
