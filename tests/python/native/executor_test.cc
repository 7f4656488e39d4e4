// The executor's blocking pool when a thread cannot be started for want of
// memory: the job is withdrawn, not left to run later.
#include "executor.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>

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

namespace mistgrove_native {
namespace {

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
