// The core session: options, consensus loading and key completion at
// creation, and one onion-service request end to end.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core {

// The public directory authority used when the caller names no bootstrap.
inline constexpr const char* kDefaultBootstrap = "131.188.40.189:80";

struct Options {
  std::string host;  // a request's target onion host; empty in a session's own options
  util::HostPort bootstrap;
  std::string consensus_file;  // empty means fetch from `bootstrap`
  i32 timeout_ms = 30000;
  u16 port = 0;  // a request's target port; 0 in a session's own options
  bool verbose = false;

  static Options for_session(std::string_view bootstrap, std::string_view consensus_file,
                             i32 timeout_ms, bool verbose);
};

directory::Consensus load_consensus(const Options& options);

// The session's consensus behind a mutex that remembers a failure inside it:
// once an exception has left a critical section, every later access fails
// with "consensus lock poisoned" (the flag is never cleared).
class GuardedConsensus {
 public:
  explicit GuardedConsensus(directory::Consensus consensus) : consensus_(std::move(consensus)) {}

  // Runs fn on the consensus under the lock and returns its result.
  template <typename F>
  auto with(F&& fn) const {
    std::lock_guard lock(mutex_);
    if (poisoned_) throw error::err("consensus lock poisoned");
    try {
      return fn(consensus_);
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

  directory::Consensus copy() const {
    return with([](const directory::Consensus& c) { return c; });
  }

 private:
  mutable std::mutex mutex_;
  mutable bool poisoned_ = false;
  directory::Consensus consensus_;
};

class Session {
 public:
  // Loads the consensus and completes the HSDir relays' keys.
  static std::shared_ptr<Session> create(std::string_view bootstrap,
                                         std::string_view consensus_file, i32 timeout_ms,
                                         bool verbose);

  Session(Options options, directory::Consensus consensus)
      : options_(std::move(options)), consensus_(std::move(consensus)) {}

  // One request on a private copy of the consensus; any number may run at once.
  Bytes request(std::string_view onion, u16 port, ByteView payload, u64 response_limit) const;

  const Options& options() const { return options_; }
  // A deep copy, taken under the lock.
  directory::Consensus consensus() const { return consensus_.copy(); }

 private:
  Options options_;
  GuardedConsensus consensus_;
};

Bytes request_bytes(const Options& options, const directory::Consensus& consensus,
                    std::string_view onion, u16 port, ByteView payload, u64 response_limit);

// "GET {path} HTTP/1.0" with Host and "Connection: close"; the path gains a
// leading "/" when it lacks one, the host is lower-cased (ASCII only).
Bytes build_simple_http_get(std::string_view host, std::string_view path);

}  // namespace mistgrove_core
