// The class Session: one shared handle on a core session per object.
#pragma once

#include <Python.h>

#include <memory>

#include "mistgrove_core/session.h"

namespace mistgrove_native {

// The class Session, new; nullptr with the Python exception set.
PyTypeObject* new_session_class();

// A new Session object holding `session`, made as object.__new__ makes one.
// On failure the handle is released (freeing an otherwise unowned session).
PyObject* new_session_object(std::shared_ptr<mistgrove_core::Session> session);

}  // namespace mistgrove_native
