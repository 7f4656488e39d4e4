// An owning reference to a Python object, and the interpreter lock taken by a
// thread of the executor. Releasing either needs the interpreter lock, so a
// Ref never crosses into code that runs without it.
#pragma once

#include <Python.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>

#include "portability.h"

namespace mistgrove_native {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (or nullptr, the failure of the call that made it).
  static Ref steal(PyObject* object) {
    Ref ref;
    ref.object_ = object;
    return ref;
  }
  static Ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return steal(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    // Decrementing may run arbitrary code; the new value is in place first.
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    drop(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { drop(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  static void drop(PyObject* object) {
    if (object && !interpreter_finalizing()) Py_DECREF(object);
  }

  PyObject* object_ = nullptr;
};

// The interpreter lock for a thread that Python did not start, taken only
// while the interpreter is open to such threads. Once finalization begins the
// interpreter ends any thread that waits for its lock, unwinding it through
// whatever frames it is in (a destructor among them, where the unwind aborts
// the process), so it must find none of ours inside: close() runs as the
// interpreter's exit begins (an atexit hook, with the lock released), turns
// away every thread that comes later and waits for those inside to leave.
class WithGil {
 public:
  WithGil() : entered_(gate().enter()) {
    if (entered_) state_ = PyGILState_Ensure();
  }
  ~WithGil() {
    if (!entered_) return;
    PyGILState_Release(state_);
    gate().leave();
  }
  WithGil(const WithGil&) = delete;
  WithGil& operator=(const WithGil&) = delete;

  // False when the interpreter is closed to this thread: it holds no lock
  // then and leaves what it would release unreleased.
  explicit operator bool() const { return entered_; }

  static void close() { gate().close(); }
  static bool closed() {
    std::lock_guard lock(gate().mutex);
    return gate().closed;
  }

 private:
  struct Gate {
    std::mutex mutex;
    std::condition_variable left;
    std::size_t inside = 0;
    bool closed = false;

    bool enter() {
      std::lock_guard lock(mutex);
      if (closed) return false;
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
  // still ask after the exit handlers have run.
  static Gate& gate() {
    static Gate* const gate = new Gate();
    return *gate;
  }

  bool entered_;
  PyGILState_STATE state_{};
};

// The deallocator of a heap type whose instances are an `Object`: runs its
// C++ destructor (releasing its members), frees it and drops the type
// reference that each instance of a heap type holds.
template <class Object>
void dealloc_as(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object*>(self)->~Object();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// A new instance of a heap type, as object.__new__ makes one with no
// arguments: the type's allocator, every field zero.
inline PyObject* new_instance(PyTypeObject* type) {
  return reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
}

}  // namespace mistgrove_native
