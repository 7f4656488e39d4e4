// connect_tcp's private pieces, apart so that tests can reach them.
#pragma once

#include <string>

namespace mistgrove_core::net {

// Why getaddrinfo failed: its return code `rc` (not 0) and, for EAI_SYSTEM,
// the errno it left behind.
std::string resolver_failure_text(int rc, int errnum);

}  // namespace mistgrove_core::net
