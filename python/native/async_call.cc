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
#include "gate.h"
#include "objects.h"
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
  // A call draws four task numbers, in this order: the supervising task, the
  // awaiting task, the core job and the delivery. The awaiting task starts
  // within the supervising task's run (begin), and its outcome step (finish)
  // is its own later run under its number.
  std::uint64_t awaiting_number = 0;
  std::uint64_t job_number = 0;

  // Owned, and released together by the one delivery: a step that finds the
  // future gone has nothing left to deliver.
  PyObject* loop = nullptr;
  PyObject* future = nullptr;
};

using State = std::shared_ptr<CallState>;

// A Python outcome on its way to the delivery, which releases `object`.
struct Outcome {
  enum class Kind { kNone, kValue, kException } kind = Kind::kNone;
  PyObject* object = nullptr;
};

struct PyDoneCallback {
  PyObject_HEAD State sender;  // the cancel signal's sending end, used at most once
};

// The loop-side step that resolves the future: called with the future, its
// set_result or set_exception and the value. It holds nothing itself.
struct CheckedCompletor {
  PyObject_HEAD
};

PyObject* call_method(PyObject* self, PyObject* name, PyObject* arg = nullptr) {
  PyObject* args[] = {self, arg};
  return PyObject_VectorcallMethod(name, args, arg ? 2 : 1, nullptr);
}

// The future's cancelled(): 1, 0, or -1 with the Python exception set.
int call_cancelled(PyObject* future) {
  Ref answer = Ref::steal(call_method(future, objects().name(kCancelled)));
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

// A fault of the job itself reads as RuntimeError too, with its task number.
PyObject* job_fault(const Fault& fault, std::uint64_t job_number) {
  Ref text = Ref::steal(text_object(task_fault_message(job_number, fault)));
  return text ? PyObject_CallOneArg(PyExc_RuntimeError, text.get()) : nullptr;
}

// Turns the core job's result into the call's Python outcome.
Outcome make_outcome(const State& state, std::variant<CoreValue, Failure>& result,
                     std::uint64_t job_number) {
  WithGil gil;
  if (!gil || !state->future) return {};  // closed, or already delivered
  if (auto* failure = std::get_if<Failure>(&result)) {
    auto* error = std::get_if<mistgrove_core::error::Error>(failure);
    return exception_outcome(error ? map_err(*error)
                                   : job_fault(std::get<Fault>(*failure), job_number));
  }
  PyObject* object = value_object(std::get<CoreValue>(result));
  return object ? Outcome{Outcome::Kind::kValue, object} : exception_outcome(nullptr);
}

// Hands the outcome to the loop unless the future was cancelled meanwhile.
// The loop may run the completor before call_soon_threadsafe returns here:
// what this thread holds is released just after, with the lock still held.
void deliver(const State& state, Outcome outcome) {
  WithGil gil;
  if (!gil) return;
  Ref value = Ref::steal(outcome.object);
  Ref future = Ref::steal(std::exchange(state->future, nullptr));
  Ref loop = Ref::steal(std::exchange(state->loop, nullptr));
  if (!future || outcome.kind == Outcome::Kind::kNone) return;
  const Objects& o = objects();
  if (future_cancelled(future.get())) return;
  Ref method = Ref::steal(PyObject_GetAttr(
      future.get(), o.name(outcome.kind == Outcome::Kind::kValue ? kSetResult : kSetException)));
  Ref completor = Ref::steal(method ? new_instance(o.completor_class) : nullptr);
  if (completor) {
    PyObject* args[] = {loop.get(),   completor.get(), future.get(),
                        method.get(), value.get(),     Py_None};
    Ref scheduled = Ref::steal(
        PyObject_VectorcallMethod(o.name(kCallSoonThreadsafe), args, 5, o.context_kwname));
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
  Outcome outcome;
  {
    WithGil gil;
    if (!gil) return;
    if (state->future) outcome = exception_outcome(bridge_fault(*fault));
  }
  step_then_deliver(state, outcome);
}

void finish(const State& state);

// Schedules the outcome step once the core job was submitted and either its
// result or the cancel signal is there.
void maybe_finish(const State& state) {
  std::uint64_t awaiting_number;
  {
    std::lock_guard lock(state->mutex);
    if (!state->started || state->continued || !(state->result || state->cancelled)) return;
    state->continued = true;
    awaiting_number = state->awaiting_number;
  }
  Executor::instance().spawn_as(awaiting_number,
                                [state](std::uint64_t) { supervised(state, finish); });
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
  Executor& executor = Executor::instance();
  state->awaiting_number = executor.new_task_number();  // read by others only once started
  executor.spawn_blocking([state](std::uint64_t number) { run_core_job(state, number); });
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
  Outcome outcome = result ? make_outcome(state, *result, number) : Outcome{};
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
  PyObject *future = nullptr, *method = nullptr, *value = nullptr;
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

// A bridge class, not instantiable from Python.
template <class Object>
PyTypeObject* make_class(const char* name, ternaryfunc call) {
  PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void*>(call)},
                         {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_as<Object>)},
                         {0, nullptr}};
  PyType_Spec spec = {name, sizeof(Object), 0,
                      static_cast<unsigned>(Py_TPFLAGS_DEFAULT | kNoInstances), slots};
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (type) forbid_instances(type);
  return type;
}

PyObject* look_up_get_running_loop() {
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  return asyncio ? PyObject_GetAttrString(asyncio.get(), "get_running_loop") : nullptr;
}

// asyncio's get_running_loop, looked up once and kept while the interpreter
// runs. Once its exit has closed the gate nothing is kept: the function holds
// the interpreter's _asyncio module, whose C part keeps its state in the
// process until that module is freed, and kept past the finalization it would
// hand a later interpreter's asyncio the remains of this one's.
PyObject* running_loop() {
  PyObject*& kept = objects().get_running_loop;
  Ref looked_up;
  if (WithGil::closed()) {
    looked_up = Ref::steal(look_up_get_running_loop());
  } else if (made(kept, look_up_get_running_loop)) {
    looked_up = Ref::borrow(kept);
  }
  return looked_up ? PyObject_CallNoArgs(looked_up.get()) : nullptr;
}

}  // namespace

PyTypeObject* new_done_callback_class() {
  return make_class<PyDoneCallback>("_native.PyDoneCallback", done_callback_call);
}

PyTypeObject* new_completor_class() {
  return make_class<CheckedCompletor>("_native.CheckedCompletor", completor_call);
}

PyObject* start_async_call(CoreJob job) {
  const Objects& o = objects();
  Ref loop = Ref::steal(running_loop());
  if (!loop) return nullptr;
  if (WithGil::closed()) {  // its outcome could never be delivered
    PyErr_SetString(PyExc_RuntimeError,
                    WithGil::closed_in_earlier_life()
                        ? "asyncio calls are not available after the interpreter was restarted "
                          "in this process"
                        : "cannot schedule new futures after interpreter shutdown");
    return nullptr;
  }
  auto state = std::make_shared<CallState>(std::move(job));
  Ref future = Ref::steal(call_method(loop.get(), o.name(kCreateFuture)));
  if (!future) return nullptr;
  Ref callback = Ref::steal(new_instance(o.done_callback_class));
  if (!callback) return nullptr;
  new (&reinterpret_cast<PyDoneCallback*>(callback.get())->sender) State(state);
  Ref added = Ref::steal(call_method(future.get(), o.name(kAddDoneCallback), callback.get()));
  if (!added) return nullptr;

  Executor& executor = Executor::instance();
  state->loop = loop.release();
  Py_INCREF(future.get());
  state->future = future.get();
  executor.spawn([state](std::uint64_t) { supervised(state, begin); });
  return future.release();
}

}  // namespace mistgrove_native
