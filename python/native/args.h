// Argument binding and conversion shared by every member of Session: the
// positional-or-keyword rules of the interpreter, with their exact texts, and
// the conversions from Python values to the core's argument types.
#pragma once

#include <Python.h>

#include <string_view>

#include "mistgrove_core/session.h"
#include "mistgrove_core/util.h"

namespace mistgrove_native {

using mistgrove_core::Bytes;
using mistgrove_core::i32;
using mistgrove_core::u16;
using mistgrove_core::u64;

// The arguments of one call: positional ones, then keyword names and values.
struct CallArgs {
  PyObject* const* positional = nullptr;
  Py_ssize_t n_positional = 0;
  PyObject* const* keyword_names = nullptr;
  PyObject* const* keyword_values = nullptr;
  Py_ssize_t n_keywords = 0;

  static CallArgs from_vectorcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
};

// Texts are views of the argument objects' UTF-8 form: valid while the call's
// arguments live, so they are copied before leaving the calling thread.
struct SessionArgs {
  std::string_view bootstrap = mistgrove_core::kDefaultBootstrap;
  std::string_view consensus_file;
  i32 timeout_ms = 30000;
  bool verbose = false;
};

inline constexpr u64 kDefaultResponseLimit = 4194304;

struct RequestArgs {
  std::string_view onion;
  u16 port = 0;
  Bytes payload;
  u64 response_limit = kDefaultResponseLimit;
};

struct HttpGetArgs {
  std::string_view onion;
  u16 port = 80;
  std::string_view path = "/";
  u64 response_limit = kDefaultResponseLimit;
};

// Each binds and converts the arguments of the member named `full_name`
// ("Session.request()"); false with the Python exception set.
bool parse_args(const char* full_name, const CallArgs& call, SessionArgs* out);
bool parse_args(const char* full_name, const CallArgs& call, RequestArgs* out);
bool parse_args(const char* full_name, const CallArgs& call, HttpGetArgs* out);

}  // namespace mistgrove_native
