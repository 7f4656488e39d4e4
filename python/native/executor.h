// The process-wide background executor of the asyncio methods: worker threads
// (one per processor) for short tasks, and a blocking pool for calls that wait
// on the network. It knows nothing of Python.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

namespace mistgrove_native {

// A task receives its number: every task and job submitted to the executor
// gets the next value of one process-wide counter, starting at 1.
using Task = std::function<void(std::uint64_t task_number)>;

class Executor {
 public:
  // The executor, built on the first call under a process-wide lock; throws
  // (a fault) when its threads cannot be started, leaving none of them
  // running, and the next call builds again. Never destroyed: its threads
  // may outlive every Python object and run until the process ends.
  static Executor& instance();
  // For a child after fork only, where the parent's threads do not exist: the
  // next instance() builds a fresh executor. The parent's copy, and whatever
  // its locks and queues held at the fork, are left as they are.
  static void forget_after_fork();

  // The next task number, for a task that runs within the run of another
  // instead of being queued on its own.
  std::uint64_t new_task_number();
  // Queues a short task for the worker threads; they must not block in it.
  void spawn(Task task) { spawn_as(new_task_number(), std::move(task)); }
  // Queues a later run of task `number`: a task that waited and now goes on
  // keeps the number it was given.
  void spawn_as(std::uint64_t number, Task task);
  // Queues a job for the blocking pool. Throws "OS can't spawn worker thread:
  // {}" when no pool thread exists and none can be started.
  void spawn_blocking(Task task);

 private:
  struct Queued {
    Task task;
    std::uint64_t number;
  };

  Executor() = default;
  // Either all `count` workers run, or none does: when one cannot be started
  // those already running are stopped and joined before the failure goes on.
  void start_workers(unsigned count);
  // Runs the queue's first task with the lock released.
  static void run_next(std::unique_lock<std::mutex>& lock, std::deque<Queued>& queue);
  void run_worker();
  void run_blocking();

  std::atomic<std::uint64_t> next_task_{1};

  std::mutex worker_mutex_;
  std::condition_variable worker_ready_;
  std::deque<Queued> worker_queue_;
  bool abandoned_ = false;  // the build failed: its workers end

  // Blocking pool: threads start on demand up to a limit, serve the queue in
  // submission order and end after an idle keep-alive. `idle_` counts the
  // threads waiting for work; a submitter that wakes one moves it from
  // `idle_` to `notified_`, so each wake-up is consumed exactly once.
  std::mutex pool_mutex_;
  std::condition_variable pool_ready_;
  std::deque<Queued> pool_queue_;
  std::size_t pool_threads_ = 0;
  std::size_t idle_ = 0;
  std::size_t notified_ = 0;
};

}  // namespace mistgrove_native
