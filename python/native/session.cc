// The class Session and its six members. The blocking ones run the core call
// on the calling thread with the interpreter lock released; the asyncio ones
// hand the same call to the background executor.
#include "session.h"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "async_call.h"
#include "boundary.h"
#include "objects.h"
#include "portability.h"
#include "pyref.h"

namespace mistgrove_native {
namespace {

namespace core = mistgrove_core;

struct PySession {
  PyObject_HEAD
      // Set once at creation, never replaced: the object needs no lock. Each call
      // takes its own copy, so a request outlives the object that started it; the
      // deallocator frees the core session only when no call holds it.
      std::shared_ptr<core::Session>
          inner;
};

const std::shared_ptr<core::Session>& inner_of(PyObject* self) {
  return reinterpret_cast<PySession*>(self)->inner;
}

// Runs `job` with the interpreter lock released. The job owns its inputs,
// which are released before the lock is taken back.
template <class Job>
auto without_gil(Job job) -> std::variant<decltype(job()), Failure> {
  PyThreadState* saved = PyEval_SaveThread();
  auto outcome = [&] {
    Job local = std::move(job);
    return guarded(local);
  }();
  PyEval_RestoreThread(saved);
  return outcome;
}

PyObject* bytes_result(const std::variant<core::Bytes, Failure>& outcome) {
  if (auto* failure = std::get_if<Failure>(&outcome)) {
    raise_failure(*failure);
    return nullptr;
  }
  return bytes_object(std::get<core::Bytes>(outcome));
}

// The core jobs. Each copies what it needs so that it can run on any thread.
auto create_job(const SessionArgs& a) {
  return [bootstrap = std::string(a.bootstrap), consensus_file = std::string(a.consensus_file),
          timeout_ms = a.timeout_ms, verbose = a.verbose] {
    return core::Session::create(bootstrap, consensus_file, timeout_ms, verbose);
  };
}

auto request_job(PyObject* self, RequestArgs& a) {
  return [session = inner_of(self), onion = std::string(a.onion), port = a.port,
          payload = std::move(a.payload),
          limit = a.response_limit] { return session->request(onion, port, payload, limit); };
}

auto http_get_job(PyObject* self, const HttpGetArgs& a) {
  return [session = inner_of(self), onion = std::string(a.onion), path = std::string(a.path),
          port = a.port, limit = a.response_limit] {
    core::Bytes request = core::build_simple_http_get(onion, path);
    return session->request(onion, port, request, limit);
  };
}

// Made by object's own constructor, as object.__new__(type) makes it, so that
// its checks apply (an abstract class is refused); on failure `session` goes.
PyObject* new_session_object(PyTypeObject* type, std::shared_ptr<core::Session> session) {
  Ref no_args = Ref::steal(PyTuple_New(0));
  PyObject* object = no_args ? PyBaseObject_Type.tp_new(type, no_args.get(), nullptr) : nullptr;
  if (!object) return nullptr;
  new (&reinterpret_cast<PySession*>(object)->inner)
      std::shared_ptr<core::Session>(std::move(session));
  return object;
}

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    std::vector<PyObject*> names, values;
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (kwargs && PyDict_Next(kwargs, &pos, &name, &value)) {
      names.push_back(name);
      values.push_back(value);
    }
    CallArgs call{&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), names.data(), values.data(),
                  static_cast<Py_ssize_t>(names.size())};
    SessionArgs a;
    if (!parse_args("Session.__new__()", call, &a)) return nullptr;
    auto outcome = without_gil(create_job(a));
    if (auto* failure = std::get_if<Failure>(&outcome)) {
      raise_failure(*failure);
      return nullptr;
    }
    return new_session_object(type, std::move(std::get<0>(outcome)));
  });
}

// Binds and converts a vectorcall's arguments into `Args`, then runs `then`
// with them.
template <class Args, class Then>
PyObject* member(const char* full_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 Then then) {
  return boundary([&]() -> PyObject* {
    Args a;
    auto call = CallArgs::from_vectorcall(args, nargs, kwnames);
    if (!parse_args(full_name, call, &a)) return nullptr;
    return then(a);
  });
}

// A static method: called without a `self`.
PyObject* session_create_async(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return member<SessionArgs>("Session.create_async()", args, nargs, kwnames,
                             [](SessionArgs& a) { return start_async_call(create_job(a)); });
}

PyObject* session_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return member<RequestArgs>("Session.request()", args, nargs, kwnames, [&](RequestArgs& a) {
    return bytes_result(without_gil(request_job(self, a)));
  });
}

PyObject* session_request_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return member<RequestArgs>("Session.request_async()", args, nargs, kwnames, [&](RequestArgs& a) {
    return start_async_call(request_job(self, a));
  });
}

PyObject* session_http_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return member<HttpGetArgs>("Session.http_get()", args, nargs, kwnames, [&](HttpGetArgs& a) {
    return bytes_result(without_gil(http_get_job(self, a)));
  });
}

PyObject* session_http_get_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return member<HttpGetArgs>("Session.http_get_async()", args, nargs, kwnames, [&](HttpGetArgs& a) {
    return start_async_call(http_get_job(self, a));
  });
}

template <class F>
PyCFunction fastcall(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// "name(bootstrap="<default>", consensus_file="", timeout_ms=30000, verbose=False)\n--\n\n"
std::string session_signature(const char* name) {
  return std::string(name) + "(bootstrap=\"" + core::kDefaultBootstrap +
         "\", consensus_file=\"\", timeout_ms=30000, verbose=False)\n--\n\n";
}

}  // namespace

PyTypeObject* new_session_class() {
  // The class points at these for its life; they never change.
  static const std::string class_doc = session_signature("Session");
  static const std::string create_async_doc = session_signature("create_async");
  static PyMethodDef methods[] = {
      {"create_async", fastcall(session_create_async), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
       create_async_doc.c_str()},
      {"request", fastcall(session_request), METH_FASTCALL | METH_KEYWORDS,
       "request($self, onion, port, payload=..., response_limit=...)\n--\n\n"},
      {"request_async", fastcall(session_request_async), METH_FASTCALL | METH_KEYWORDS,
       "request_async($self, onion, port, payload=..., response_limit=...)\n--\n\n"},
      {"http_get", fastcall(session_http_get), METH_FASTCALL | METH_KEYWORDS,
       "http_get($self, onion, port=80, path=\"/\", response_limit=...)\n--\n\n"},
      {"http_get_async", fastcall(session_http_get_async), METH_FASTCALL | METH_KEYWORDS,
       "http_get_async($self, onion, port=80, path=\"/\", response_limit=...)\n--\n\n"},
      {nullptr, nullptr, 0, nullptr}};
  PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(session_new)},
                         {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_as<PySession>)},
                         {Py_tp_doc, const_cast<char*>(class_doc.c_str())},
                         {Py_tp_methods, methods},
                         {0, nullptr}};
  // No base-type flag: the class cannot be subclassed. No GC flag: an object
  // refers to no Python object. "builtins." gives __module__ "builtins".
  PyType_Spec spec = {"builtins.Session", sizeof(PySession), 0, Py_TPFLAGS_DEFAULT, slots};
  Ref type = Ref::steal(PyType_FromSpec(&spec));
  if (!type || !keep_class_signature(reinterpret_cast<PyTypeObject*>(type.get()), class_doc)) {
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type.release());
}

PyObject* new_session_object(std::shared_ptr<core::Session> session) {
  return new_session_object(objects().session_class, std::move(session));
}

}  // namespace mistgrove_native
