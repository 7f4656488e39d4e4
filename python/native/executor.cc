// Worker threads and the blocking pool of the background executor.
#include "executor.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "mistgrove_core/error.h"
#include "portability.h"

namespace mistgrove_native {
namespace {

constexpr std::size_t kMaxBlockingThreads = 512;
constexpr auto kKeepAlive = std::chrono::seconds(10);

std::mutex g_build_mutex;
std::atomic<Executor*> g_executor{nullptr};

// `name` outlives the thread (a literal).
template <class F>
std::thread start_thread(const char* name, F body) {
  try {
    std::thread thread([name, body = std::move(body)]() mutable {
      name_this_thread(name);
      body();
    });
    name_new_thread(thread.native_handle(), name);
    return thread;
  } catch (const std::system_error& e) {
    throw std::runtime_error("OS can't spawn worker thread: " +
                             mistgrove_core::error::os_error_text(e.code().value()));
  }
}

}  // namespace

Executor& Executor::instance() {
  if (Executor* built = g_executor.load(std::memory_order_acquire)) return *built;
  std::lock_guard lock(g_build_mutex);
  if (Executor* built = g_executor.load(std::memory_order_relaxed)) return *built;
  // A failed build has ended its workers, so it can go; the next call builds anew.
  auto fresh = std::unique_ptr<Executor>(new Executor());
  fresh->start_workers(std::max(1u, std::thread::hardware_concurrency()));
  Executor* built = fresh.release();  // never freed: its threads run until the process ends
  g_executor.store(built, std::memory_order_release);
  return *built;
}

void Executor::forget_after_fork() {
  g_executor.store(nullptr, std::memory_order_relaxed);
  new (&g_build_mutex) std::mutex();  // another thread may have held it at the fork
}

void Executor::start_workers(unsigned count) {
  std::vector<std::thread> started;
  started.reserve(count);  // a running thread is never lost to a failed push_back
  try {
    for (unsigned i = 0; i < count; ++i) {
      started.push_back(start_thread("mistgrove-work", [this] { run_worker(); }));
    }
  } catch (...) {
    {
      std::lock_guard lock(worker_mutex_);
      abandoned_ = true;
    }
    worker_ready_.notify_all();
    for (std::thread& worker : started) worker.join();
    throw;
  }
  for (std::thread& worker : started) worker.detach();
}

std::uint64_t Executor::new_task_number() {
  return next_task_.fetch_add(1, std::memory_order_relaxed);
}

void Executor::spawn_as(std::uint64_t number, Task task) {
  {
    std::lock_guard lock(worker_mutex_);
    worker_queue_.push_back({std::move(task), number});
  }
  worker_ready_.notify_one();
}

void Executor::run_next(std::unique_lock<std::mutex>& lock, std::deque<Queued>& queue) {
  Queued next = std::move(queue.front());
  queue.pop_front();
  lock.unlock();
  next.task(next.number);
  next.task = nullptr;  // what the task holds is released before the lock is taken
  lock.lock();
}

void Executor::run_worker() {
  std::unique_lock lock(worker_mutex_);
  for (;;) {
    worker_ready_.wait(lock, [this] { return abandoned_ || !worker_queue_.empty(); });
    if (abandoned_) return;
    run_next(lock, worker_queue_);
  }
}

void Executor::spawn_blocking(Task task) {
  std::uint64_t number = new_task_number();
  std::lock_guard lock(pool_mutex_);
  pool_queue_.push_back({std::move(task), number});
  if (idle_ > 0) {
    --idle_;
    ++notified_;
    pool_ready_.notify_one();
    return;
  }
  if (pool_threads_ == kMaxBlockingThreads) return;  // waits for a busy thread
  try {
    start_thread("mistgrove-block", [this] { run_blocking(); }).detach();
    ++pool_threads_;
  } catch (...) {
    // With other pool threads the job just waits its turn in the queue;
    // without one it is withdrawn, whatever the failure, so that it runs
    // nowhere while its submitter handles the failure.
    if (pool_threads_ > 0) return;
    pool_queue_.pop_back();
    throw;
  }
}

void Executor::run_blocking() {
  std::unique_lock lock(pool_mutex_);
  for (;;) {
    while (!pool_queue_.empty()) run_next(lock, pool_queue_);
    ++idle_;
    for (;;) {
      bool timed_out = pool_ready_.wait_for(lock, kKeepAlive) == std::cv_status::timeout;
      if (notified_ > 0) {
        --notified_;
        break;
      }
      if (timed_out) {
        --idle_;
        --pool_threads_;
        return;
      }
    }
  }
}

}  // namespace mistgrove_native
