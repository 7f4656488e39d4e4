// How threads of the background executor enter the interpreter, and the
// process-wide hooks that keep the binding's process-wide state sound: the
// exit hook that closes the way in before finalization, the refusal of every
// interpreter but the main one, and a fresh start in a child after fork.
#pragma once

#include <Python.h>

namespace mistgrove_native {

// The interpreter lock for a thread that Python did not start, taken only
// while the interpreter is open to such threads. Once finalization begins the
// interpreter ends any thread that waits for its lock, unwinding it through
// whatever frames it is in (a destructor among them, where the unwind aborts
// the process), so it must find none of ours inside: the exit hook closes
// the gate as the interpreter's exit begins, turns away every thread that
// comes later and waits for those inside to leave. A gate that finds the
// interpreter finalizing turns threads away too, whatever ran before.
class WithGil {
 public:
  WithGil();
  ~WithGil();
  WithGil(const WithGil&) = delete;
  WithGil& operator=(const WithGil&) = delete;

  // False when the interpreter is closed to this thread: it holds no lock
  // then and leaves what it would release unreleased.
  explicit operator bool() const { return entered_; }

  static bool closed();
  // Whether the interpreter whose exit closed the gate has finalized since:
  // the caller runs in a later interpreter of the process, which the gate
  // stays closed to.
  static bool closed_in_earlier_life();

 private:
  bool entered_;
  PyGILState_STATE state_{};
};

// The exec step's first part. Refuses (ImportError) any interpreter but the
// main one: the executor and the gate serve the process, and deliveries
// enter the main interpreter. Then, once per process, registers the exit hook
// with atexit (so only exit handlers registered before the first import run
// after it) and the fork handler. False with the exception set.
bool init_process_hooks(PyObject* module);

// Registers `function` (METH_NOARGS) with atexit; false with the exception set.
bool register_at_exit(PyMethodDef& function);

// At the end of each interpreter's finalization: a gate its exit closed stays
// closed to every later interpreter of the process.
void end_interpreter_life();

}  // namespace mistgrove_native
