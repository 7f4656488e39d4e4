// The executor when threads cannot be started: a build that fails ends the
// workers it did start, and a pool job that finds no thread is withdrawn.
#include "executor.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>

// While set, every allocation of this thread fails: how a pool thread's start
// meets std::bad_alloc.
static thread_local bool t_out_of_memory = false;

void* operator new(std::size_t size) {
  if (!t_out_of_memory) {
    if (void* block = std::malloc(size ? size : 1)) return block;
  }
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

// Every thread start passes through here, before the C library's: the start
// that brings this count to zero is refused as the system refuses a thread
// past its limit, and each thread counts as running from its start until its
// body has returned.
static std::atomic<int> g_starts_until_refusal{0};
static std::atomic<int> g_running{0};

namespace {

struct Start {
  void* (*routine)(void*);
  void* arg;
};

void* counted(void* raw) {
  Start start = *static_cast<Start*>(raw);
  std::free(raw);
  void* result = start.routine(start.arg);
  --g_running;
  return result;
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                              void* (*routine)(void*), void* arg) {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  if (g_starts_until_refusal > 0 && --g_starts_until_refusal == 0) return EAGAIN;
  auto* start = static_cast<Start*>(std::malloc(sizeof(Start)));
  if (!start) return EAGAIN;
  *start = {routine, arg};
  ++g_running;
  int error = real(thread, attr, counted, start);
  if (error != 0) {
    --g_running;
    std::free(start);
  }
  return error;
}

namespace mistgrove_native {
namespace {

// First in the file: the executor must not exist yet when the process runs
// every test in turn.
TEST(Executor, AFailedBuildEndsTheWorkersItStartedAndTheNextCallBuildsAnew) {
  unsigned workers = std::max(1u, std::thread::hardware_concurrency());
  if (workers < 2) GTEST_SKIP() << "a single worker: no build fails after one has started";
  g_starts_until_refusal = static_cast<int>(workers);  // the last worker's
  try {
    Executor::instance();
    ADD_FAILURE() << "the build did not fail";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "OS can't spawn worker thread: Resource temporarily unavailable (os error 11)");
  }
  EXPECT_EQ(g_running, 0);  // joined, each of them, before the failure came out

  std::promise<std::uint64_t> ran;
  Executor::instance().spawn([&ran](std::uint64_t number) { ran.set_value(number); });
  auto number = ran.get_future();
  ASSERT_EQ(number.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(number.get(), 1u);  // the failed build numbered nothing
}

TEST(Executor, AJobWhosePoolThreadCannotStartIsWithdrawn) {
  Executor& executor = Executor::instance();  // no pool thread yet
  auto held = std::make_shared<int>(0);
  Task job = [held](std::uint64_t) {};
  t_out_of_memory = true;
  EXPECT_THROW(executor.spawn_blocking(std::move(job)), std::bad_alloc);
  t_out_of_memory = false;
  EXPECT_EQ(held.use_count(), 1);  // the queue let go of it
}

}  // namespace
}  // namespace mistgrove_native
