// The class Session: one shared handle on a core session per object.
#pragma once

#include <Python.h>

#include <memory>

#include "mistgrove_core/session.h"
#include "objects.h"

namespace mistgrove_native {

// Makes the class Session, unless it is made; false with the Python
// exception set.
bool make_session_class(Objects& objects);

// A new Session object holding `session`, made as object.__new__ makes one.
// On failure the handle is released (freeing an otherwise unowned session).
PyObject* new_session_object(std::shared_ptr<mistgrove_core::Session> session);

}  // namespace mistgrove_native
