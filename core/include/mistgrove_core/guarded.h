// A value behind a mutex that remembers a failure inside it.
#pragma once

#include <mutex>
#include <string>
#include <utility>

#include "mistgrove_core/error.h"

namespace mistgrove_core::util {

// Once an exception has left a critical section the value may be half
// changed, so every later access fails with Error(`poisoned`); the flag is
// never cleared.
template <typename T>
class Guarded {
 public:
  Guarded(T value, std::string poisoned)
      : value_(std::move(value)), poisoned_text_(std::move(poisoned)) {}

  // Runs fn on the value under the lock and returns its result.
  template <typename F>
  auto with(F&& fn) {
    return locked(*this, std::forward<F>(fn));
  }
  template <typename F>
  auto with(F&& fn) const {
    return locked(*this, std::forward<F>(fn));
  }

 private:
  template <typename Self, typename F>
  static auto locked(Self& self, F&& fn) {
    std::lock_guard lock(self.mutex_);
    if (self.poisoned_) throw error::Error(self.poisoned_text_);
    try {
      return fn(self.value_);
    } catch (...) {
      self.poisoned_ = true;
      throw;
    }
  }

  mutable std::mutex mutex_;
  mutable bool poisoned_ = false;
  T value_;
  std::string poisoned_text_;
};

}  // namespace mistgrove_core::util
