// An owning reference to a Python object, and what heap types of the binding
// share. Releasing a Ref needs the interpreter lock, so a Ref never crosses
// into code that runs without it.
#pragma once

#include <Python.h>

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

// The deallocator of a heap type whose instances are an `Object` (none is
// tracked by the collector): runs its C++ destructor (releasing its members),
// frees it and drops the type reference that each instance of a heap type
// holds.
template <class Object>
void dealloc_as(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object*>(self)->~Object();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// A new instance of one of the module's internal classes, made by the type's
// allocator with every field zero. Session, which Python code can subclass or
// mark abstract, is made through object's constructor instead.
inline PyObject* new_instance(PyTypeObject* type) {
  return reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
}

}  // namespace mistgrove_native
