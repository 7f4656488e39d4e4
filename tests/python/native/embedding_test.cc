// A program that embeds Python may finalize its interpreter and start another
// one: the module, imported again there, makes its class and exception
// classes anew and serves blocking calls as in the first.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>

namespace {

// What `code` leaves in its variable `result`, as text; "<failed>" after a
// failure, which is printed.
std::string run(const char* code) {
  std::string text = "<failed>";
  PyObject* globals = PyDict_New();
  if (globals && PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0) {
    PyObject* done = PyRun_String(code, Py_file_input, globals, globals);
    PyObject* result = done ? PyDict_GetItemString(globals, "result") : nullptr;
    PyObject* shown = result ? PyObject_Str(result) : nullptr;
    const char* utf8 = shown ? PyUnicode_AsUTF8(shown) : nullptr;
    if (utf8) text = utf8;
    Py_XDECREF(shown);
    Py_XDECREF(done);
  }
  if (PyErr_Occurred()) PyErr_Print();
  Py_XDECREF(globals);
  return text;
}

TEST(Embedding, EachLifeOfTheInterpreterImportsTheModuleAnew) {
  for (int life = 0; life < 3; ++life) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // The build's interpreter, so that the embedded one finds its library.
    PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, MISTGROVE_PYTHON);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    ASSERT_FALSE(PyStatus_Exception(status)) << life;
    // The asyncio call finds no running loop through this life's asyncio.
    EXPECT_EQ(run(R"(
from mistgrove._native import Session
result = []
for call in [lambda: Session("127.0.0.1:1", "/nonexistent"), Session.create_async]:
    try:
        call()
    except RuntimeError as e:
        result.append(str(e))
)"),
              "['failed to open /nonexistent', 'no running event loop']")
        << life;
    EXPECT_EQ(Py_FinalizeEx(), 0) << life;
  }
}

}  // namespace
