// The extension module mistgrove._native: multi-phase initialisation with one
// exec step and no module state. The exec step refuses interpreters but the
// main one, makes the process's objects on its first run and adds the
// module's docstring and the class Session.
#include <Python.h>

#include "async_call.h"
#include "boundary.h"
#include "gate.h"
#include "objects.h"
#include "pyref.h"
#include "session.h"

namespace mistgrove_native {
namespace {

Objects g_objects;

// At the end of the interpreter's finalization, which leaves nothing of what
// the objects refer to: an embedding program that starts another interpreter
// gets new ones at its next import, and finds the gate closed for good.
void forget_objects() {
  g_objects = Objects();
  end_interpreter_life();
}

// As the interpreter's exit begins, while it can still release objects, and
// just before the exit hook closes the gate, after which asyncio's
// get_running_loop is kept no more (async_call.cc).
PyObject* untie_from_asyncio(PyObject*, PyObject*) {
  Py_CLEAR(g_objects.get_running_loop);
  Py_RETURN_NONE;
}

PyMethodDef g_untie_from_asyncio = {"untie_from_asyncio", untie_from_asyncio, METH_NOARGS, nullptr};

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
  if (!doc || !add(module, "__doc__", doc.get()) || !make_objects()) return -1;
  return add(module, "Session", reinterpret_cast<PyObject*>(g_objects.session_class)) ? 0 : -1;
}

PyModuleDef_Slot g_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(module_exec)},
                              MAIN_INTERPRETER_ONLY_SLOT{0, nullptr}};

// No module state, so nothing to traverse, clear or free.
PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, g_slots, nullptr, nullptr, nullptr};

}  // namespace

Objects& objects() { return g_objects; }

bool make_objects() {
  Objects& o = g_objects;
  // Each interpreter's exit runs, and then drops, the exit functions
  // registered while it lived. A second untying, after a failed import, does
  // no harm.
  if (!o.forgetting_registered) {
    if (!register_at_exit(g_untie_from_asyncio)) return false;
    if (Py_AtExit(forget_objects) < 0) {
      PyErr_SetString(PyExc_ImportError, "no room left for an exit function of mistgrove._native");
      return false;
    }
    o.forgetting_registered = true;
  }
  for (std::size_t n = 0; n < kNameCount; ++n) {
    if (!made(o.names[n], [n] { return PyUnicode_InternFromString(kNameTexts[n]); })) return false;
  }
  return made(o.context_kwname, [] { return Py_BuildValue("(s)", "context"); }) &&
         made(o.panic_exception, new_panic_exception) && made(o.bridge_fault, new_bridge_fault) &&
         made(o.done_callback_class, new_done_callback_class) &&
         made(o.completor_class, new_completor_class) && made(o.session_class, new_session_class);
}

}  // namespace mistgrove_native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&mistgrove_native::g_module); }
