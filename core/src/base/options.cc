#include "mistgrove_core/options.h"

#include <stdexcept>

#include "mistgrove_core/error.h"

namespace mistgrove_core {

Options Options::for_session(std::string_view bootstrap, std::string_view consensus_file,
                             i32 timeout_ms, bool verbose) {
  Options options;
  options.bootstrap = util::parse_hostport(bootstrap, 0);
  options.consensus_file = std::string(consensus_file);
  // The built-in endpoint must always be usable as a bootstrap.
  try {
    util::parse_hostport(kDefaultBootstrap, 0);
  } catch (const error::Error&) {
    throw std::logic_error("valid default bootstrap");
  }
  options.timeout_ms = timeout_ms;
  options.verbose = verbose;
  return options;
}

}  // namespace mistgrove_core
