// One asyncio call from its future to its delivery. The loop thread creates the
// future and later runs the done callback and the completor; an executor
// worker starts the core job and turns its result into a Python outcome; the
// blocking pool runs the core job and the delivery. Python objects are only
// touched with the interpreter lock held: the loop and the future stay raw in
// the call state until the one delivery takes them over.
#include "async_call.h"

#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "boundary.h"
#include "executor.h"
#include "pyref.h"
#include "session.h"

namespace mistgrove_native {
namespace {

struct CallState {
  explicit CallState(CoreJob job) : job(std::move(job)) {}

  CoreJob job;  // moved out by the core job when it starts

  std::mutex mutex;
  bool started = false;    // the core job has been submitted
  bool cancelled = false;  // the done callback saw the future cancelled
  bool continued = false;  // the outcome step is scheduled; happens once
  std::optional<std::variant<CoreValue, Failure>> result;
  std::uint64_t job_number = 0;

  PyObject* loop = nullptr;    // owned
  PyObject* future = nullptr;  // owned
};

using State = std::shared_ptr<CallState>;

// A Python outcome on its way to the delivery, which releases `object`.
struct Outcome {
  enum class Kind { kNone, kValue, kException } kind = Kind::kNone;
  PyObject* object = nullptr;
};

struct PyDoneCallback {
  PyObject_HEAD
  State sender;  // the cancel signal's sending end, used at most once
};

struct CheckedCompletor {
  PyObject_HEAD
};

// Made once per process, never freed.
PyTypeObject* g_done_callback_type = nullptr;
PyTypeObject* g_completor_type = nullptr;
PyObject* g_get_running_loop = nullptr;
PyObject* g_str_cancelled = nullptr;
PyObject* g_str_set_result = nullptr;
PyObject* g_str_set_exception = nullptr;
PyObject* g_str_call_soon_threadsafe = nullptr;
PyObject* g_str_create_future = nullptr;
PyObject* g_str_add_done_callback = nullptr;
PyObject* g_context_kwname = nullptr;  // ("context",)

PyObject* call_method(PyObject* self, PyObject* name, PyObject* arg = nullptr) {
  PyObject* args[] = {self, arg};
  return PyObject_VectorcallMethod(name, args, arg ? 2 : 1, nullptr);
}

// The future's cancelled(): 1, 0, or -1 with the Python exception set.
int call_cancelled(PyObject* future) {
  Ref answer = Ref::steal(call_method(future, g_str_cancelled));
  return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// The future's cancelled(); a failure of the call is printed and read as false.
bool future_cancelled(PyObject* future) {
  int truth = call_cancelled(future);
  if (truth < 0) {
    PyErr_PrintEx(1);
    return false;
  }
  return truth == 1;
}

// The pending Python exception as an instance, its traceback attached.
PyObject* take_exception() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}

Outcome exception_outcome(PyObject* exception) {
  if (!exception) exception = take_exception();
  return {Outcome::Kind::kException, exception};
}

PyObject* value_object(CoreValue& value) {
  if (auto* session = std::get_if<std::shared_ptr<mistgrove_core::Session>>(&value)) {
    return new_session_object(std::move(*session));
  }
  return bytes_object(std::get<mistgrove_core::Bytes>(value));
}

// Turns the core job's result into the call's Python outcome.
Outcome make_outcome(std::variant<CoreValue, Failure>& result, std::uint64_t job_number) {
  if (interpreter_finalizing()) return {};
  WithGil gil;
  if (auto* failure = std::get_if<Failure>(&result)) {
    Ref text = Ref::steal(text_object(failure->kind == Failure::Kind::kError
                                          ? failure->text
                                          : task_fault_message(job_number, *failure)));
    return exception_outcome(text ? PyObject_CallOneArg(PyExc_RuntimeError, text.get()) : nullptr);
  }
  PyObject* object = value_object(std::get<CoreValue>(result));
  return object ? Outcome{Outcome::Kind::kValue, object} : exception_outcome(nullptr);
}

// Hands the outcome to the loop unless the future was cancelled meanwhile.
void deliver(const State& state, Outcome outcome) {
  if (interpreter_finalizing()) return;
  WithGil gil;
  Ref value = Ref::steal(outcome.object);
  Ref future = Ref::steal(std::exchange(state->future, nullptr));
  Ref loop = Ref::steal(std::exchange(state->loop, nullptr));
  if (!future || outcome.kind == Outcome::Kind::kNone || future_cancelled(future.get())) return;
  Ref method = Ref::steal(PyObject_GetAttr(
      future.get(),
      outcome.kind == Outcome::Kind::kValue ? g_str_set_result : g_str_set_exception));
  Ref completor = Ref::steal(method ? g_completor_type->tp_alloc(g_completor_type, 0) : nullptr);
  if (completor) {
    PyObject* args[] = {loop.get(), completor.get(), future.get(), method.get(), value.get(),
                        Py_None};
    Ref scheduled = Ref::steal(
        PyObject_VectorcallMethod(g_str_call_soon_threadsafe, args, 5, g_context_kwname));
    if (scheduled) return;
  }
  // A closed loop lands here: the future stays pending and the outcome is dropped.
  PyErr_PrintEx(1);
}

// The delivery waits for the interpreter lock, so it belongs on the blocking
// pool; when no pool thread can be started, this worker delivers it itself,
// so that the future still completes and the call lets go of what it holds.
void step_then_deliver(const State& state, Outcome outcome) {
  try {
    Executor::instance().spawn_blocking(
        [state, outcome](std::uint64_t) { deliver(state, outcome); });
    return;
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
  }
  deliver(state, outcome);
}

// Runs one step of the awaiting side; a fault in it is delivered to the
// future as the bridge's fault exception.
template <class Step>
void supervised(const State& state, Step step) {
  auto done = guarded([&] {
    step(state);
    return true;
  });
  auto* fault = std::get_if<Failure>(&done);
  if (!fault) return;
  {
    std::lock_guard lock(state->mutex);
    state->continued = true;
  }
  if (interpreter_finalizing()) return;
  Outcome outcome;
  {
    WithGil gil;
    outcome = exception_outcome(bridge_fault(*fault));
  }
  step_then_deliver(state, outcome);
}

void finish(const State& state);

// Schedules the outcome step once the core job was submitted and either its
// result or the cancel signal is there.
void maybe_finish(const State& state) {
  {
    std::lock_guard lock(state->mutex);
    if (!state->started || state->continued || !(state->result || state->cancelled)) return;
    state->continued = true;
  }
  Executor::instance().spawn([state](std::uint64_t) { supervised(state, finish); });
}

void run_core_job(const State& state, std::uint64_t number) {
  std::variant<CoreValue, Failure> result;
  {
    CoreJob job = std::move(state->job);
    result = guarded(job);
  }  // the job's inputs, its session handle among them, are released here
  {
    std::lock_guard lock(state->mutex);
    state->result = std::move(result);
    state->job_number = number;
  }
  maybe_finish(state);
}

// The first run of the awaiting side: the core job starts even when the
// future has already been cancelled.
void begin(const State& state) {
  Executor::instance().spawn_blocking(
      [state](std::uint64_t number) { run_core_job(state, number); });
  {
    std::lock_guard lock(state->mutex);
    state->started = true;
  }
  maybe_finish(state);
}

// With a result it wins, even over a cancel signal that came first; without
// one (cancelled) the delivery only finds the future cancelled.
void finish(const State& state) {
  std::optional<std::variant<CoreValue, Failure>> result;
  std::uint64_t number;
  {
    std::lock_guard lock(state->mutex);
    result = std::move(state->result);
    state->result.reset();
    number = state->job_number;
  }
  Outcome outcome = result ? make_outcome(*result, number) : Outcome{};
  result.reset();  // a discarded core session goes now, not with the call state
  step_then_deliver(state, outcome);
}

void send_cancel(State state) {
  {
    std::lock_guard lock(state->mutex);
    state->cancelled = true;
  }
  maybe_finish(state);
}

bool no_keywords(const char* name, PyObject* kwargs) {
  if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return true;
  PyErr_Format(PyExc_TypeError, "%s takes no keyword arguments", name);
  return false;
}

PyObject* done_callback_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* future = nullptr;
  if (!no_keywords("PyDoneCallback", kwargs) ||
      !PyArg_UnpackTuple(args, "PyDoneCallback", 1, 1, &future)) {
    return nullptr;
  }
  return boundary([&]() -> PyObject* {
    auto& sender = reinterpret_cast<PyDoneCallback*>(self)->sender;
    if (sender && future_cancelled(future)) send_cancel(std::move(sender));
    Py_RETURN_NONE;
  });
}

PyObject* completor_call(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *future, *method, *value;
  if (!no_keywords("CheckedCompletor", kwargs) ||
      !PyArg_UnpackTuple(args, "CheckedCompletor", 3, 3, &future, &method, &value)) {
    return nullptr;
  }
  int truth = call_cancelled(future);
  if (truth < 0) return nullptr;
  if (truth == 0) {
    Ref ignored = Ref::steal(PyObject_CallOneArg(method, value));
    if (!ignored) return nullptr;
  }
  Py_RETURN_NONE;
}

// A bridge class: built from its slots once, and not instantiable from Python.
template <class Object>
bool make_class(PyTypeObject** slot, const char* name, ternaryfunc call) {
  if (*slot) return true;
  PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void*>(call)},
                         {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_as<Object>)},
                         {0, nullptr}};
  PyType_Spec spec = {name, sizeof(Object), 0, Py_TPFLAGS_DEFAULT, slots};
  *slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (*slot) (*slot)->tp_new = nullptr;
  return *slot != nullptr;
}

bool intern(PyObject** slot, const char* text) {
  if (!*slot) *slot = PyUnicode_InternFromString(text);
  return *slot != nullptr;
}

PyObject* running_loop() {
  if (!g_get_running_loop) {
    Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
    if (!asyncio) return nullptr;
    g_get_running_loop = PyObject_GetAttrString(asyncio.get(), "get_running_loop");
    if (!g_get_running_loop) return nullptr;
  }
  return PyObject_CallNoArgs(g_get_running_loop);
}

}  // namespace

bool init_async_classes() {
  if (!g_context_kwname) g_context_kwname = Py_BuildValue("(s)", "context");
  return g_context_kwname &&
         make_class<PyDoneCallback>(&g_done_callback_type, "_native.PyDoneCallback",
                                    done_callback_call) &&
         make_class<CheckedCompletor>(&g_completor_type, "_native.CheckedCompletor",
                                      completor_call) &&
         intern(&g_str_cancelled, "cancelled") && intern(&g_str_set_result, "set_result") &&
         intern(&g_str_set_exception, "set_exception") &&
         intern(&g_str_call_soon_threadsafe, "call_soon_threadsafe") &&
         intern(&g_str_create_future, "create_future") &&
         intern(&g_str_add_done_callback, "add_done_callback");
}

PyObject* start_async_call(CoreJob job) {
  Ref loop = Ref::steal(running_loop());
  if (!loop) return nullptr;
  auto state = std::make_shared<CallState>(std::move(job));
  Ref future = Ref::steal(call_method(loop.get(), g_str_create_future));
  if (!future) return nullptr;
  Ref callback = Ref::steal(g_done_callback_type->tp_alloc(g_done_callback_type, 0));
  if (!callback) return nullptr;
  new (&reinterpret_cast<PyDoneCallback*>(callback.get())->sender) State(state);
  Ref added = Ref::steal(call_method(future.get(), g_str_add_done_callback, callback.get()));
  if (!added) return nullptr;

  Executor& executor = Executor::instance();
  state->loop = loop.release();
  Py_INCREF(future.get());
  state->future = future.get();
  executor.spawn([state](std::uint64_t) { supervised(state, begin); });
  return future.release();
}

}  // namespace mistgrove_native
