// The gate of WithGil, the exit hook that closes it and the fork handler that
// gives a child a fresh gate and executor.
#include "gate.h"

#include <pthread.h>

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>

#include "executor.h"
#include "portability.h"
#include "pyref.h"

namespace mistgrove_native {
namespace {

struct Gate {
  std::mutex mutex;
  std::condition_variable left;
  std::size_t inside = 0;
  bool closed = false;
  bool closed_in_earlier_life = false;

  bool enter() {
    std::lock_guard lock(mutex);
    if (closed || interpreter_finalizing()) return false;
    ++inside;
    return true;
  }
  void leave() {
    std::lock_guard lock(mutex);
    if (--inside == 0) left.notify_all();
  }
  void close() {
    std::unique_lock lock(mutex);
    closed = true;
    left.wait(lock, [this] { return inside == 0; });
  }
};

// Process-wide like the executor's threads, and never destroyed: they may
// still ask after the exit handlers have run. Made anew in place in a child
// after fork, without an allocation.
alignas(Gate) unsigned char g_gate_storage[sizeof(Gate)];
Gate* const g_gate = new (g_gate_storage) Gate();

// In a child after fork, where the forking thread is alone: the parent's
// threads are not here, so a count of those inside the gate, or a lock one of
// them held at the fork, would never be released. What they held is left as
// it is (not unlocked, not freed); the child's first asyncio call starts its
// own executor. A gate closed at the fork (a fork in an exit handler) stays
// closed.
void start_afresh_in_child() {
  const bool closed = g_gate->closed;
  const bool closed_in_earlier_life = g_gate->closed_in_earlier_life;
  new (g_gate_storage) Gate();
  g_gate->closed = closed;
  g_gate->closed_in_earlier_life = closed_in_earlier_life;
  Executor::forget_after_fork();
}

// Closes the gate before the interpreter begins to finalize; the lock is
// released while those inside leave.
PyObject* close_to_threads(PyObject*, PyObject*) {
  PyThreadState* saved = PyEval_SaveThread();
  g_gate->close();
  PyEval_RestoreThread(saved);
  Py_RETURN_NONE;
}

PyMethodDef g_close_to_threads = {"close_to_threads", close_to_threads, METH_NOARGS, nullptr};

}  // namespace

bool register_at_exit(PyMethodDef& function) {
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  Ref hook = Ref::steal(PyCFunction_New(&function, nullptr));
  if (!atexit || !hook) return false;
  return static_cast<bool>(
      Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get())));
}

void end_interpreter_life() {
  std::lock_guard lock(g_gate->mutex);
  if (g_gate->closed) g_gate->closed_in_earlier_life = true;
}

WithGil::WithGil() : entered_(g_gate->enter()) {
  if (entered_) state_ = PyGILState_Ensure();
}

WithGil::~WithGil() {
  if (!entered_) return;
  PyGILState_Release(state_);
  g_gate->leave();
}

bool WithGil::closed() {
  std::lock_guard lock(g_gate->mutex);
  return g_gate->closed;
}

bool WithGil::closed_in_earlier_life() {
  std::lock_guard lock(g_gate->mutex);
  return g_gate->closed_in_earlier_life;
}

bool init_process_hooks(PyObject* module) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_Format(PyExc_ImportError, "module %s does not support loading in subinterpreters",
                 PyModule_GetName(module));
    return false;
  }
  // Only the main interpreter gets here, holding its lock.
  static bool hooked = false;
  if (hooked) return true;
  // A second fork handler, after a failed import, does no harm.
  if (int failed = pthread_atfork(nullptr, nullptr, start_afresh_in_child)) {
    errno = failed;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  if (!register_at_exit(g_close_to_threads)) return false;
  hooked = true;
  return true;
}

}  // namespace mistgrove_native
