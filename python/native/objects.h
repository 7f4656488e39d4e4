// What the binding makes once per process and keeps for the life of the
// interpreter: the class Session, the asyncio bridge's two classes, the two
// exception classes, asyncio's get_running_loop and the names it passes to
// the interpreter, interned. Only the main interpreter loads the module
// (gate.h), so they all belong to it. They are made, and read, with its lock
// held: by the first exec step that needs them (get_running_loop by the first
// asyncio call), and every module object of the process shares them.
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

// Each a strong reference, never released while the interpreter lives but
// get_running_loop, which its exit lets go of (async_call.cc).
struct Objects {
  PyTypeObject* session_class = nullptr;
  PyTypeObject* done_callback_class = nullptr;
  PyTypeObject* completor_class = nullptr;
  PyObject* panic_exception = nullptr;
  PyObject* bridge_fault = nullptr;
  PyObject* context_kwname = nullptr;    // ("context",)
  PyObject* get_running_loop = nullptr;  // asyncio's, looked up by the first asyncio call
  PyObject* names[kNameCount] = {};
  bool forgetting_registered = false;  // the exit functions that let go of them are registered

  PyObject* name(Name n) const { return names[n]; }
};

// The process's objects; those not yet made are null.
Objects& objects();

// Fills `slot` with what `make` returns (a new reference, or null with the
// Python exception set) unless it is filled; whether it is filled now.
template <class T, class Make>
bool made(T*& slot, Make make) {
  if (!slot) slot = make();
  return slot != nullptr;
}

// Makes what is not made yet: the exec step's part. False with the Python
// exception set; what was made stays for the next exec step.
bool make_objects();

}  // namespace mistgrove_native
