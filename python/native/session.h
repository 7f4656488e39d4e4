// The class Session: one shared handle on a core session per object.
#pragma once

#include <Python.h>

#include <memory>

#include "mistgrove_core/session.h"
#include "state.h"

namespace mistgrove_native {

// Makes the class Session for `module`, whose state keeps it; false with the
// Python exception set.
bool init_session_class(PyObject* module);

// A new Session object holding `session`, made as object.__new__ makes one.
// On failure the handle is released (freeing an otherwise unowned session).
PyObject* new_session_object(const ModuleState& state,
                             std::shared_ptr<mistgrove_core::Session> session);

}  // namespace mistgrove_native
