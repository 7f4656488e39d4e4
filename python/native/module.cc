// The extension module mistgrove._native: multi-phase initialisation with one
// exec step, which refuses interpreters but the main one, makes the module's
// state and adds its docstring and the class Session. The state holds
// classes, whose instances and methods refer back to the module: the
// collector breaks that cycle through traverse.
#include <Python.h>

#include "async_call.h"
#include "boundary.h"
#include "gate.h"
#include "pyref.h"
#include "session.h"
#include "state.h"

namespace mistgrove_native {
namespace {

// Appends `name` to the module's __all__ (made first when missing), then sets it.
bool add(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "'__all__' of the module is not a list");
    return false;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  return key && PyList_Append(all.get(), key.get()) == 0 &&
         PyObject_SetAttrString(module, name, value) == 0;
}

int module_exec(PyObject* module) {
  if (!init_process_hooks(module)) return -1;
  Ref doc = Ref::steal(PyUnicode_FromString(
      "Native bindings of the mistgrove package: the Tor onion-service client Session."));
  if (!doc || !add(module, "__doc__", doc.get())) return -1;
  if (!init_exception_classes(module_state(module)) || !init_async_classes(module) ||
      !init_session_class(module)) {
    return -1;
  }
  return add(module, "Session", module_state(module).session_class) ? 0 : -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  int result = 0;
  module_state(module).each_slot([&](PyObject* object) {
    if (object && result == 0) result = visit(object, arg);
  });
  return result;
}

int module_clear(PyObject* module) {
  module_state(module).each_slot([](PyObject*& object) { Py_CLEAR(object); });
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot g_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(module_exec)},
                              MAIN_INTERPRETER_ONLY_SLOT{0, nullptr}};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_native",    "",          sizeof(ModuleState), nullptr, g_slots,
    module_traverse,       module_clear, module_free,
};

}  // namespace
}  // namespace mistgrove_native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&mistgrove_native::g_module); }
