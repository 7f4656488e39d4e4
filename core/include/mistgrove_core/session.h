// The core session: options, consensus loading and key completion at
// creation, and one onion-service request end to end.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "mistgrove_core/directory.h"
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

class Session {
 public:
  // Loads the consensus and completes the HSDir relays' keys.
  static std::shared_ptr<Session> create(std::string_view bootstrap,
                                         std::string_view consensus_file, i32 timeout_ms,
                                         bool verbose);

  // One request on a private copy of the consensus; any number may run at once.
  Bytes request(std::string_view onion, u16 port, ByteView payload, u64 response_limit) const;

  const Options& options() const { return options_; }

  Session(Options options, directory::Consensus consensus);

 private:
  Options options_;
  mutable std::mutex consensus_mutex_;
  mutable bool poisoned_ = false;
  directory::Consensus consensus_;
};

Bytes request_bytes(const Options& options, const directory::Consensus& consensus,
                    std::string_view onion, u16 port, ByteView payload, u64 response_limit);

Bytes build_simple_http_get(std::string_view host, std::string_view path);

}  // namespace mistgrove_core
