// Exception classes of the binding and the texts of failures.
#include "boundary.h"

#include <fmt/format.h>

#include "pyref.h"

namespace mistgrove_native {
namespace {

// Both live for the rest of the process once made.
PyObject* g_panic_exception = nullptr;
PyObject* g_bridge_fault = nullptr;

constexpr const char* kFaultWithoutText = "internal fault without a message";
constexpr const char* kBridgeFaultPrefix = "background task failed: ";

void set_exception(PyObject* type, std::string_view text) {
  Ref message = Ref::steal(text_object(text));
  if (message) PyErr_SetObject(type, message.get());
}

}  // namespace

bool init_exception_classes() {
  if (!g_panic_exception) {
    // Not an Exception: an internal fault must not be swallowed by a broad
    // `except Exception` of the caller.
    g_panic_exception = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "An internal fault of mistgrove's native code; the call did not complete.",
        PyExc_BaseException, nullptr);
    if (!g_panic_exception) return false;
  }
  if (!g_bridge_fault) {
    g_bridge_fault = PyErr_NewExceptionWithDoc(
        "_native.BackgroundTaskFault",
        "The background work of an asyncio call failed before it produced an outcome.",
        PyExc_Exception, nullptr);
    if (!g_bridge_fault) return false;
  }
  return true;
}

PyObject* text_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* bytes_object(const mistgrove_core::Bytes& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

void raise_failure(const Failure& failure) {
  if (failure.kind == Failure::Kind::kError) {
    set_exception(PyExc_RuntimeError, failure.text);
  } else {
    set_exception(g_panic_exception, failure.has_text ? failure.text : kFaultWithoutText);
  }
}

void raise_current_fault() {
  try {
    throw;
  } catch (const std::exception& e) {
    set_exception(g_panic_exception, e.what());
  } catch (...) {
    set_exception(g_panic_exception, kFaultWithoutText);
  }
}

std::string task_fault_message(unsigned long long task, const Failure& fault) {
  if (!fault.has_text) return fmt::format("async runtime task failed: task {} panicked", task);
  std::string quoted = "\"";
  for (unsigned char c : fault.text) {
    switch (c) {
      case '"': quoted += "\\\""; break;
      case '\\': quoted += "\\\\"; break;
      case '\n': quoted += "\\n"; break;
      case '\r': quoted += "\\r"; break;
      case '\t': quoted += "\\t"; break;
      case '\0': quoted += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          quoted += fmt::format("\\u{{{:x}}}", c);
        } else {
          quoted += static_cast<char>(c);
        }
    }
  }
  quoted += '"';
  return fmt::format("async runtime task failed: task {} panicked with message {}", task, quoted);
}

PyObject* bridge_fault(const Failure& fault) {
  Ref message = Ref::steal(
      text_object(std::string(kBridgeFaultPrefix) + (fault.has_text ? fault.text : "unknown error")));
  if (!message) return nullptr;
  return PyObject_CallOneArg(g_bridge_fault, message.get());
}

}  // namespace mistgrove_native
