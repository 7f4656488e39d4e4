// What a session is set up with and what a request runs under. Below the
// onion-service steps and the session alike: the steps read the time-out, the
// session the rest.
#pragma once

#include <string>
#include <string_view>

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

}  // namespace mistgrove_core
