// Exception classes of the binding and the texts of failures.
#include "boundary.h"

#include <fmt/format.h>

#include "objects.h"
#include "pyref.h"

namespace mistgrove_native {
namespace {

namespace error = mistgrove_core::error;

constexpr const char* kFaultWithoutText = "internal fault without a message";
constexpr const char* kBridgeFaultPrefix = "background task failed: ";

void set_exception(PyObject* type, std::string_view text) {
  Ref message = Ref::steal(text_object(text));
  if (message) PyErr_SetObject(type, message.get());
}

}  // namespace

PyObject* new_panic_exception() {
  // Not an Exception: an internal fault must not be swallowed by a broad
  // `except Exception` of the caller.
  return PyErr_NewExceptionWithDoc(
      "pyo3_runtime.PanicException",
      "An internal fault of mistgrove's native code; the call did not complete.",
      PyExc_BaseException, nullptr);
}

PyObject* new_bridge_fault() {
  return PyErr_NewExceptionWithDoc(
      "_native.BackgroundTaskFault",
      "The background work of an asyncio call failed before it produced an outcome.",
      PyExc_Exception, nullptr);
}

PyObject* text_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* bytes_object(const mistgrove_core::Bytes& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* map_err(const error::Error& error) {
  Ref message = Ref::steal(text_object(error.message()));
  return message ? PyObject_CallOneArg(PyExc_RuntimeError, message.get()) : nullptr;
}

void raise_failure(const Failure& failure) {
  if (auto* error = std::get_if<error::Error>(&failure)) {
    Ref exception = Ref::steal(map_err(*error));
    if (exception) PyErr_SetObject(PyExc_RuntimeError, exception.get());
    return;
  }
  const Fault& fault = std::get<Fault>(failure);
  set_exception(objects().panic_exception, fault.has_text ? fault.text : kFaultWithoutText);
}

void raise_current_fault() {
  try {
    throw;
  } catch (const std::exception& e) {
    set_exception(objects().panic_exception, e.what());
  } catch (...) {
    set_exception(objects().panic_exception, kFaultWithoutText);
  }
}

std::string task_fault_message(unsigned long long task, const Fault& fault) {
  if (!fault.has_text) return fmt::format("async runtime task failed: task {} panicked", task);
  return fmt::format("async runtime task failed: task {} panicked with message {}", task,
                     error::quoted_form(fault.text));
}

PyObject* bridge_fault(const Failure& failure) {
  std::string text = kBridgeFaultPrefix;
  if (auto* error = std::get_if<error::Error>(&failure)) {
    text += error->message();
  } else {
    const Fault& fault = std::get<Fault>(failure);
    text += fault.has_text ? fault.text : "unknown error";
  }
  Ref message = Ref::steal(text_object(text));
  if (!message) return nullptr;
  return PyObject_CallOneArg(objects().bridge_fault, message.get());
}

}  // namespace mistgrove_native
