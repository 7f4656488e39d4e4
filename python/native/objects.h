// What a module object of _native owns for its life: its classes, its two
// exception classes and the names it passes to the interpreter, interned. A
// member finds it through its class, which each module object makes for
// itself; work that runs off the interpreter's threads holds a reference to
// the module for as long as it needs the state.
#pragma once

#include <Python.h>

#include <cstddef>

namespace mistgrove_native {

// The interned names: parameters of the Session members, then the methods of
// asyncio's loop and future that the bridge calls.
enum Name : std::size_t {
  kBootstrap,
  kConsensusFile,
  kTimeoutMs,
  kVerbose,
  kOnion,
  kPort,
  kPayload,
  kResponseLimit,
  kPath,
  kCancelled,
  kSetResult,
  kSetException,
  kCallSoonThreadsafe,
  kCreateFuture,
  kAddDoneCallback,
  kNameCount
};

inline constexpr const char* kNameTexts[kNameCount] = {
    "bootstrap",  "consensus_file", "timeout_ms",           "verbose",       "onion",
    "port",       "payload",        "response_limit",       "path",          "cancelled",
    "set_result", "set_exception",  "call_soon_threadsafe", "create_future", "add_done_callback"};

struct ModuleState {
  // Classes, kept as objects so that one loop visits every slot.
  PyObject* session_class;
  PyObject* done_callback_class;
  PyObject* completor_class;
  PyObject* panic_exception;
  PyObject* bridge_fault;
  PyObject* context_kwname;    // ("context",)
  PyObject* get_running_loop;  // asyncio's, looked up by the first asyncio call
  PyObject* names[kNameCount];

  PyTypeObject* session_type() const { return reinterpret_cast<PyTypeObject*>(session_class); }
  PyObject* name(Name n) const { return names[n]; }

  // Calls `f` on a reference to every object slot, for traverse and clear.
  template <class F>
  void each_slot(F f) {
    for (PyObject** slot : {&session_class, &done_callback_class, &completor_class,
                            &panic_exception, &bridge_fault, &context_kwname, &get_running_loop}) {
      f(*slot);
    }
    for (PyObject*& n : names) f(n);
  }
};

inline ModuleState& module_state(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// The module that made `type` (borrowed); nullptr with the exception set.
inline PyObject* module_of(PyTypeObject* type) { return PyType_GetModule(type); }

}  // namespace mistgrove_native
