// The session's own steps, private to it.
#pragma once

#include <string_view>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/options.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core {

// The consensus from options.consensus_file, else fetched from the bootstrap.
directory::Consensus load_consensus(const Options& options);

// One request end to end on `consensus`, which it does not change.
Bytes request_bytes(const Options& options, const directory::Consensus& consensus,
                    std::string_view onion, u16 port, ByteView payload, u64 response_limit);

}  // namespace mistgrove_core
