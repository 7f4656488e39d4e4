// Argument binding and conversion of the Session members.
#include "args.h"

#include <algorithm>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "objects.h"
#include "portability.h"
#include "pyref.h"

namespace mistgrove_native {
namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

struct Signature {
  const char* full_name;
  std::span<const Name> names;
  size_t required;  // the leading parameters without a default

  const char* text(size_t i) const { return kNameTexts[names[i]]; }
};

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.names.size()) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 sig.full_name, sig.names.size(), given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.full_name, sig.required, sig.names.size(), given, verb);
  }
  return false;
}

bool missing_required(const Signature& sig, PyObject* const* slots) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < sig.required; ++i) {
    if (!slots[i]) missing.push_back(sig.text(i));
  }
  std::string list;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i != 0) {
      if (missing.size() > 2) list += ',';
      list += i == missing.size() - 1 ? " and " : " ";
    }
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.full_name,
               missing.size(), missing.size() == 1 ? "argument" : "arguments", list.c_str());
  return false;
}

// The index of the parameter that the keyword `name` names, or the number of
// parameters. The interpreter passes the names of a call's keywords interned,
// so identity finds them; a name built at run time is compared by its text.
size_t find_parameter(const Signature& sig, PyObject* name) {
  for (size_t i = 0; i < sig.names.size(); ++i) {
    if (objects().name(sig.names[i]) == name) return i;
  }
  for (size_t i = 0; i < sig.names.size(); ++i) {
    if (PyUnicode_Check(name) && PyUnicode_Compare(name, objects().name(sig.names[i])) == 0) {
      return i;
    }
  }
  return sig.names.size();
}

// Places each argument in the slot of its parameter (borrowed; nullptr when
// absent). Nothing is converted until the whole call fits the signature.
bool bind(const Signature& sig, const CallArgs& call, PyObject** slots) {
  const auto n = static_cast<Py_ssize_t>(sig.names.size());
  if (call.n_positional > n) return too_many_positional(sig, call.n_positional);
  std::fill(slots, slots + n, nullptr);
  std::copy(call.positional, call.positional + call.n_positional, slots);
  for (Py_ssize_t k = 0; k < call.n_keywords; ++k) {
    PyObject* name = call.keyword_names[k];
    const size_t i = find_parameter(sig, name);
    if (i == sig.names.size()) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name,
                   name);
      return false;
    }
    PyObject*& slot = slots[i];
    if (slot) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name,
                   sig.text(i));
      return false;
    }
    slot = call.keyword_values[k];
  }
  if (static_cast<size_t>(call.n_positional) < sig.required &&
      std::any_of(slots, slots + sig.required, [](PyObject* s) { return s == nullptr; })) {
    return missing_required(sig, slots);
  }
  return true;
}

bool not_an_instance(PyObject* object, const char* expected) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return false;
  }
  Ref name = Ref::steal(PyObject_GetAttrString((PyObject*)Py_TYPE(object), "__qualname__"));
  if (name) {
    PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", name.get(), expected);
  }
  return false;
}

bool to_text(PyObject* object, std::string_view* out) {
  if (!PyUnicode_Check(object)) return not_an_instance(object, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (!utf8) return false;
  *out = std::string_view(utf8, static_cast<size_t>(size));
  return true;
}

// An int as it is, or what an object's __index__ gives; empty with the
// exception set.
Ref index_of(PyObject* object) {
  return PyLong_Check(object) ? Ref::borrow(object) : Ref::steal(PyNumber_Index(object));
}

bool to_long(PyObject* object, long* out) {
  Ref index = index_of(object);
  if (!index) return false;
  *out = PyLong_AsLong(index.get());
  return !(*out == -1 && PyErr_Occurred());
}

template <class T>
bool to_ranged(PyObject* object, T* out) {
  long value = 0;
  if (!to_long(object, &value)) return false;
  if (value < static_cast<long>(std::numeric_limits<T>::min()) ||
      value > static_cast<long>(std::numeric_limits<T>::max())) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return false;
  }
  *out = static_cast<T>(value);
  return true;
}

bool to_u64(PyObject* object, u64* out) {
  Ref index = index_of(object);
  if (!index) return false;
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool text_attr_is(PyObject* object, const char* attr, std::initializer_list<const char*> values) {
  Ref value = Ref::steal(PyObject_GetAttrString(object, attr));
  if (!value) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(value.get())) return false;
  return std::any_of(values.begin(), values.end(), [&](const char* v) {
    return PyUnicode_CompareWithASCIIString(value.get(), v) == 0;
  });
}

// True and False, and numpy's bool scalars through their truth-value slot.
bool to_bool(PyObject* object, bool* out) {
  if (object == Py_True || object == Py_False) {
    *out = object == Py_True;
    return true;
  }
  auto* type = Py_TYPE(object);
  if (!text_attr_is((PyObject*)type, "__module__", {"numpy"}) ||
      !text_attr_is((PyObject*)type, "__name__", {"bool_", "bool"})) {
    return not_an_instance(object, "bool");
  }
  inquiry nb_bool = truth_slot(type);
  if (!nb_bool) {
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 (PyObject*)type);
    return false;
  }
  int truth = nb_bool(object);
  if (truth < 0) return false;
  *out = truth != 0;
  return true;
}

bool to_bytes(PyObject* object, Bytes* out) {
  if (PyBytes_Check(object)) {
    auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AsString(object));
    out->assign(data, data + PyBytes_Size(object));
    return true;
  }
  if (PyByteArray_Check(object)) {
    auto* data = reinterpret_cast<const uint8_t*>(PyByteArray_AsString(object));
    out->assign(data, data + PyByteArray_Size(object));
    return true;
  }
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) return not_an_instance(object, "Sequence");
  // The length only sizes the buffer, and a lying __len__ must not make it huge.
  Py_ssize_t hint = PyObject_Size(object);
  if (hint < 0) PyErr_Clear();
  out->clear();
  out->reserve(static_cast<size_t>(std::clamp<Py_ssize_t>(hint, 0, 1 << 20)));
  Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    uint8_t byte = 0;
    if (!to_ranged(item.get(), &byte)) return false;
    out->push_back(byte);
  }
  return !PyErr_Occurred();
}

// Converts a present argument (an absent one keeps its default). A TypeError
// of the conversion is reworded to name the parameter; its cause is kept.
template <class T>
bool convert(PyObject* arg, Name name, bool (*conversion)(PyObject*, T*), T* out) {
  if (!arg || conversion(arg, out)) return true;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return false;
  }
  Ref old_type = Ref::steal(type), old_value = Ref::steal(value), old_tb = Ref::steal(traceback);
  Ref message = Ref::steal(PyObject_Str(old_value.get()));
  if (!message) return false;
  Ref text = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", kNameTexts[name], message.get()));
  if (!text) return false;
  Ref reworded = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!reworded) return false;
  PyException_SetCause(reworded.get(), PyException_GetCause(old_value.get()));
  Py_INCREF(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, reworded.release(), nullptr);
  return false;
}

}  // namespace

CallArgs CallArgs::from_vectorcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CallArgs call;
  call.positional = args;
  call.n_positional = PyVectorcall_NARGS(nargs);
  if (kwnames) {
    call.keyword_names = &PyTuple_GET_ITEM(kwnames, 0);
    call.keyword_values = args + call.n_positional;
    call.n_keywords = PyTuple_GET_SIZE(kwnames);
  }
  return call;
}

bool parse_args(const char* full_name, const CallArgs& call, SessionArgs* out) {
  static constexpr Name kNames[] = {kBootstrap, kConsensusFile, kTimeoutMs, kVerbose};
  PyObject* slots[4];
  return bind({full_name, kNames, 0}, call, slots) &&
         convert(slots[0], kNames[0], to_text, &out->bootstrap) &&
         convert(slots[1], kNames[1], to_text, &out->consensus_file) &&
         convert(slots[2], kNames[2], to_ranged<i32>, &out->timeout_ms) &&
         convert(slots[3], kNames[3], to_bool, &out->verbose);
}

bool parse_args(const char* full_name, const CallArgs& call, RequestArgs* out) {
  static constexpr Name kNames[] = {kOnion, kPort, kPayload, kResponseLimit};
  PyObject* slots[4];
  return bind({full_name, kNames, 2}, call, slots) &&
         convert(slots[0], kNames[0], to_text, &out->onion) &&
         convert(slots[1], kNames[1], to_ranged<u16>, &out->port) &&
         convert(slots[2], kNames[2], to_bytes, &out->payload) &&
         convert(slots[3], kNames[3], to_u64, &out->response_limit);
}

bool parse_args(const char* full_name, const CallArgs& call, HttpGetArgs* out) {
  static constexpr Name kNames[] = {kOnion, kPort, kPath, kResponseLimit};
  PyObject* slots[4];
  return bind({full_name, kNames, 1}, call, slots) &&
         convert(slots[0], kNames[0], to_text, &out->onion) &&
         convert(slots[1], kNames[1], to_ranged<u16>, &out->port) &&
         convert(slots[2], kNames[2], to_text, &out->path) &&
         convert(slots[3], kNames[3], to_u64, &out->response_limit);
}

}  // namespace mistgrove_native
