// The core session: consensus loading and key completion at
// creation, and one onion-service request end to end.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"
#include "mistgrove_core/guarded.h"
#include "mistgrove_core/options.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core {

// The session's consensus; a failure inside its lock fails every later access
// with "consensus lock poisoned".
class GuardedConsensus : public util::Guarded<directory::Consensus> {
 public:
  explicit GuardedConsensus(directory::Consensus consensus)
      : Guarded(std::move(consensus), "consensus lock poisoned") {}

  directory::Consensus copy() const {
    return with([](const directory::Consensus& c) { return c; });
  }
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

// "GET {path} HTTP/1.0" with Host and "Connection: close"; the path gains a
// leading "/" when it lacks one, the host is lower-cased (ASCII only). A path
// holding a control character (C0 or DEL) is refused.
Bytes build_simple_http_get(std::string_view host, std::string_view path);

}  // namespace mistgrove_core
