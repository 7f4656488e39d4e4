// A program that embeds Python may finalize its interpreter and start another
// one: the module, imported again there, makes its class and exception
// classes anew, serves blocking calls as in the first and refuses asyncio
// calls, and asyncio itself works there as in the first.
#include <Python.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

namespace {

// What `code` leaves in its variable `result`, as text; "<failed>" after a
// failure, which is printed.
std::string run(const std::string& code) {
  std::string text = "<failed>";
  PyObject* globals = PyDict_New();
  if (globals && PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0) {
    PyObject* done = PyRun_String(code.c_str(), Py_file_input, globals, globals);
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

constexpr const char* kRestarted =
    "asyncio calls are not available after the interpreter was restarted in this process";

TEST(Embedding, EachLifeOfTheInterpreterImportsTheModuleAnew) {
  // The first life's exit closes the way back into the interpreter for good.
  const char* const kInLoop[] = {"failed to open /nonexistent", kRestarted, kRestarted};
  // Where an exit handler of the first life leaves the outcome of its asyncio
  // call inside a loop.
  const std::string exit_record = testing::TempDir() + "mistgrove_embedding_exit";
  std::remove(exit_record.c_str());
  // The addresses of the classes Session and PanicException that the lives
  // made, one of each per life. Nothing releases an earlier life's objects,
  // so a new object has a new address.
  std::set<std::string> made;
  for (int life = 0; life < 3; ++life) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // The build's interpreter, so that the embedded one finds its library.
    PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, MISTGROVE_PYTHON);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    ASSERT_FALSE(PyStatus_Exception(status)) << life;
    // Registered before the import, the handler runs after the module's own
    // exit functions: its call meets the shutdown, and keeps nothing of this
    // life's asyncio for the next life's.
    if (life == 0) {
      EXPECT_EQ(run("path = '" + exit_record + "'" + R"(
import asyncio, atexit
async def in_loop():
    from mistgrove._native import Session
    try:
        Session.create_async("127.0.0.1:1", "/nonexistent")
    except RuntimeError as e:
        return str(e)
def at_exit():
    with open(path, "w") as record:
        record.write(asyncio.run(in_loop()))
result = atexit.register(at_exit) is at_exit
)"),
                "True");
    }
    // Outside a loop the asyncio call finds none through this life's asyncio;
    // inside one, each life's asyncio runs it.
    EXPECT_EQ(run(R"(
import asyncio
from mistgrove._native import Session
async def in_loop():
    try:
        await asyncio.wait_for(Session.create_async("127.0.0.1:1", "/nonexistent"), 30)
    except RuntimeError as e:
        return str(e)
result = []
for call in [lambda: Session("127.0.0.1:1", "/nonexistent"), Session.create_async,
             lambda: result.append(asyncio.run(in_loop()))]:
    try:
        call()
    except RuntimeError as e:
        result.append(str(e))
)"),
              "['failed to open /nonexistent', 'no running event loop', '" +
                  std::string(kInLoop[life]) + "']")
        << life;
    // PanicException is reached through its base, which may still list the
    // classes of earlier lives.
    std::istringstream ids(run(R"(
from mistgrove._native import Session
result = " ".join(str(id(c)) for c in [Session, *BaseException.__subclasses__()]
                  if c.__qualname__ in ("Session", "PanicException"))
)"));
    for (std::string id; ids >> id;) made.insert(id);
    EXPECT_EQ(made.size(), 2u * (life + 1)) << life;
    EXPECT_EQ(Py_FinalizeEx(), 0) << life;
    if (life == 0) {
      std::ifstream record(exit_record);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(record), {}),
                "cannot schedule new futures after interpreter shutdown");
    }
  }
  std::remove(exit_record.c_str());
}

}  // namespace
