// Where the systems, C++ runtimes and CPython versions the binding builds on
// differ: each difference behind its own guard, here only.
#pragma once

#include <Python.h>
#include <cxxabi.h>
#include <pthread.h>

#include <cstring>
#include <string>

namespace mistgrove_native {

// A thread that the interpreter ends during shutdown unwinds by a forced
// unwind, which libstdc++ throws as abi::__forced_unwind and which must pass
// every catch-all. Other runtimes name no such type, and their catch (...)
// never sees a forced unwind: there this is a type nothing throws.
#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};
#endif

// Linux names any thread, so a thread is named by its creator and the name is
// in place as soon as it exists; macOS names only the calling thread, so
// there each thread names itself as its first step.
#if defined(__APPLE__)
inline void name_new_thread(pthread_t, const char*) {}
inline void name_this_thread(const char* name) { pthread_setname_np(name); }
#else
inline void name_new_thread(pthread_t thread, const char* name) {
  pthread_setname_np(thread, name);
}
inline void name_this_thread(const char*) {}
#endif

// Finalization begins while the main thread holds the lock, and from then on
// the interpreter ends any other thread that tries to take it again, by a
// forced unwind that runs our destructors (a thread of Python's own, say one
// running an event loop). Such a thread no longer holds the lock, so once
// this is true what a destructor would release is leaked instead.
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

// The module serves the main interpreter alone. From 3.12 on CPython reads
// that from a slot (and refuses isolated subinterpreters itself); the exec
// step refuses every other interpreter on every version.
#if PY_VERSION_HEX >= 0x030C0000
#define MAIN_INTERPRETER_ONLY_SLOT \
  {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define MAIN_INTERPRETER_ONLY_SLOT
#endif

// A class that Python code cannot instantiate: a flag from 3.10 on; before
// it, the constructor slot that the class inherits from object is cleared.
#if PY_VERSION_HEX >= 0x030A0000
inline constexpr unsigned long kNoInstances = Py_TPFLAGS_DISALLOW_INSTANTIATION;
inline void forbid_instances(PyTypeObject*) {}
#else
inline constexpr unsigned long kNoInstances = 0;
inline void forbid_instances(PyTypeObject* type) { type->tp_new = nullptr; }
#endif

// A type's truth-value slot, or nullptr. PyType_GetSlot reads the slots of a
// static type (numpy's bool scalar is one) only from 3.10 on.
inline inquiry truth_slot(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030A0000
  return reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
#else
  return type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
#endif
}

// Before 3.10, PyType_FromSpec keeps the class docstring without its
// signature line, which leaves the class no __text_signature__: the type gets
// the whole text back. False with an exception set.
inline bool keep_class_signature([[maybe_unused]] PyTypeObject* type,
                                 [[maybe_unused]] const std::string& doc) {
#if PY_VERSION_HEX < 0x030A0000
  auto* copy = static_cast<char*>(PyObject_Malloc(doc.size() + 1));
  if (!copy) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(copy, doc.c_str(), doc.size() + 1);
  PyObject_Free(const_cast<char*>(type->tp_doc));
  type->tp_doc = copy;
#endif
  return true;
}

}  // namespace mistgrove_native
