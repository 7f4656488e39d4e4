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

PyObject* bytes_result(const ModuleState& state,
                       const std::variant<core::Bytes, Failure>& outcome) {
  if (auto* failure = std::get_if<Failure>(&outcome)) {
    raise_failure(state, *failure);
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

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* module = module_of(type);
  if (!module) return nullptr;
  const ModuleState& state = module_state(module);
  return boundary(state, [&]() -> PyObject* {
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
    if (!parse_args(state, "Session.__new__()", call, &a)) return nullptr;
    auto outcome = without_gil(create_job(a));
    if (auto* failure = std::get_if<Failure>(&outcome)) {
      raise_failure(state, *failure);
      return nullptr;
    }
    return new_session_object(state, std::move(std::get<0>(outcome)));
  });
}

// Binds and converts a vectorcall's arguments into `Args`, then runs `then`
// with the module and the arguments.
template <class Args, class Then>
PyObject* member(PyObject* module, const char* full_name, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, Then then) {
  if (!module) return nullptr;
  const ModuleState& state = module_state(module);
  return boundary(state, [&]() -> PyObject* {
    Args a;
    auto call = CallArgs::from_vectorcall(args, nargs, kwnames);
    if (!parse_args(state, full_name, call, &a)) return nullptr;
    return then(module, a);
  });
}

// A method finds its module through the class that defines it, the class of
// `self`: Session has no subclasses.
PyObject* module_of_self(PyObject* self) { return module_of(Py_TYPE(self)); }

// The static method has no `self` and is bound to the module instead (see
// init_session_class).
PyObject* session_create_async(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return member<SessionArgs>(
      module, "Session.create_async()", args, nargs, kwnames,
      [](PyObject* module, SessionArgs& a) { return start_async_call(module, create_job(a)); });
}

PyObject* session_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return member<RequestArgs>(module_of_self(self), "Session.request()", args, nargs, kwnames,
                             [&](PyObject* module, RequestArgs& a) {
                               return bytes_result(module_state(module),
                                                   without_gil(request_job(self, a)));
                             });
}

PyObject* session_request_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return member<RequestArgs>(module_of_self(self), "Session.request_async()", args, nargs, kwnames,
                             [&](PyObject* module, RequestArgs& a) {
                               return start_async_call(module, request_job(self, a));
                             });
}

PyObject* session_http_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return member<HttpGetArgs>(module_of_self(self), "Session.http_get()", args, nargs, kwnames,
                             [&](PyObject* module, HttpGetArgs& a) {
                               return bytes_result(module_state(module),
                                                   without_gil(http_get_job(self, a)));
                             });
}

PyObject* session_http_get_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return member<HttpGetArgs>(module_of_self(self), "Session.http_get_async()", args, nargs, kwnames,
                             [&](PyObject* module, HttpGetArgs& a) {
                               return start_async_call(module, http_get_job(self, a));
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

bool init_session_class(PyObject* module) {
  // Every Session class points at these for its life; they never change.
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
  PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
  module_state(module).session_class = type;
  if (!type || !keep_class_signature(reinterpret_cast<PyTypeObject*>(type), class_doc)) {
    return false;
  }
  // The interpreter calls a static method without a `self`: create_async
  // gets the module as its own, replacing the table's entry in its place.
  static PyMethodDef bound_create_async = {methods[0].ml_name, methods[0].ml_meth,
                                           METH_FASTCALL | METH_KEYWORDS, methods[0].ml_doc};
  Ref bound = Ref::steal(PyCFunction_NewEx(&bound_create_async, module, nullptr));
  Ref replacement = Ref::steal(bound ? PyStaticMethod_New(bound.get()) : nullptr);
  return replacement &&
         PyObject_SetAttrString(type, bound_create_async.ml_name, replacement.get()) == 0;
}

PyObject* new_session_object(const ModuleState& state, std::shared_ptr<core::Session> session) {
  PyObject* object = new_instance(state.session_type());
  if (!object) return nullptr;
  new (&reinterpret_cast<PySession*>(object)->inner)
      std::shared_ptr<core::Session>(std::move(session));
  return object;
}

}  // namespace mistgrove_native
