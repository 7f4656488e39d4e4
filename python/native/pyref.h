// An owning reference to a Python object, and the interpreter lock taken by a
// thread of the executor. Releasing either needs the interpreter lock, so a
// Ref never crosses into code that runs without it.
#pragma once

#include <Python.h>

#include <utility>

namespace mistgrove_native {

// Finalization begins while the main thread holds the lock, and from then on
// the interpreter ends any other thread that tries to take it again, by a
// forced unwind that runs our destructors. So when this is true on a thread of
// ours, that thread does not hold the lock: what it would release is leaked.
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

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

// The interpreter lock for a thread that Python did not start.
class WithGil {
 public:
  WithGil() : state_(PyGILState_Ensure()) {}
  ~WithGil() {
    if (!interpreter_finalizing()) PyGILState_Release(state_);
  }
  WithGil(const WithGil&) = delete;
  WithGil& operator=(const WithGil&) = delete;

 private:
  PyGILState_STATE state_;
};

// The deallocator of a heap type whose instances are an `Object`: runs its
// C++ destructor (releasing its members), frees it and drops the type
// reference that each instance of a heap type holds.
template <class Object>
void dealloc_as(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object*>(self)->~Object();
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace mistgrove_native
