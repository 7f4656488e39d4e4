// Where C++ failures become Python exceptions: core Errors become RuntimeError
// (map_err), every other exception (an internal fault) becomes PanicException.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "mistgrove_core/error.h"
#include "mistgrove_core/util.h"
#include "portability.h"

namespace mistgrove_native {

// An internal fault: what unwound a core call instead of an Error.
struct Fault {
  std::string text;
  bool has_text = true;  // false for a fault that carries no text at all
};

// A core call that did not return a value.
using Failure = std::variant<mistgrove_core::error::Error, Fault>;

// Runs `f`, turning whatever it throws into a Failure. A thread that the
// interpreter ends during shutdown unwinds by a forced unwind, which must pass.
template <class F>
auto guarded(F&& f) -> std::variant<decltype(f()), Failure> {
  try {
    return f();
  } catch (const mistgrove_core::error::Error& e) {
    return Failure{e};
  } catch (ForcedUnwind&) {
    throw;
  } catch (const std::exception& e) {
    return Failure{Fault{e.what()}};
  } catch (...) {
    return Failure{Fault{{}, false}};
  }
}

// The two exception classes, new: PanicException for an internal fault, and
// the asyncio bridge's fault class.
PyObject* new_panic_exception();
PyObject* new_bridge_fault();

// A str from UTF-8 text; invalid sequences become U+FFFD.
PyObject* text_object(std::string_view text);

// A bytes object holding a copy of `bytes`.
PyObject* bytes_object(const mistgrove_core::Bytes& bytes);

// The one way a core Error reaches Python: a new RuntimeError whose one
// argument is the message, unchanged.
PyObject* map_err(const mistgrove_core::error::Error& error);

// Sets the exception of a failed blocking call.
void raise_failure(const Failure& failure);

// Sets PanicException for a C++ exception caught while the interpreter lock
// is held (call only from inside a catch block).
void raise_current_fault();

// Runs a member's body; a C++ exception escaping it becomes PanicException.
template <class F>
PyObject* boundary(F&& body) {
  try {
    return body();
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
    raise_current_fault();
    return nullptr;
  }
}

// The asyncio methods' texts: "async runtime task failed: task {} panicked
// with message {}" (the text quoted with escapes) or "... task {} panicked".
std::string task_fault_message(unsigned long long task, const Fault& fault);

// A new instance of the bridge's fault class: the asyncio future's exception
// when the background work itself fails; "unknown error" without a text.
PyObject* bridge_fault(const Failure& fault);

}  // namespace mistgrove_native
