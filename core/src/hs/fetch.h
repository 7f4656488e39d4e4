// The descriptor fetch's steps: the HSDir's guard, the BEGIN_DIR request
// and the seam that replaces the exchange with one HSDir.
#pragma once

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "mistgrove_core/circuit.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/hs.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::hs {

// Test seam: the fetch with the exchange with one HSDir (the real one is
// fetch_from_hsdir) replaced. It returns the descriptor document, judged at
// `now` (seconds since the epoch), or when absent at the time it arrived.
using HsdirFetch = std::function<Bytes(const directory::Relay& hsdir, const directory::Relay& guard,
                                       std::string_view path, i32 timeout_ms)>;
FetchedDescriptor fetch_hidden_service_descriptor_with(const directory::Consensus& consensus,
                                                       const directory::HsPeriodKeys& keys,
                                                       i32 timeout_ms, const HsdirFetch& fetch,
                                                       std::optional<u64> now = std::nullopt);

// The guard for the next HSDir: the first of guards[counter mod n],
// guards[counter + 1 mod n], ... that is not the HSDir itself (by Ed25519
// identity); the counter moves past it. Nothing when every guard is the
// HSDir; the counter then stays.
const directory::Relay* choose_hsdir_guard(const std::vector<directory::Relay>& guards,
                                           const directory::Relay& hsdir, std::size_t& counter);

// A BEGIN_DIR stream (id 1) to the circuit's last hop carrying a GET of
// `path`: the body of the 200 answer, at most 8 MiB before decoding. The
// whole exchange, BEGIN_DIR to END, lasts at most one wait of the circuit
// ("timed out waiting for CONNECTED", then "... for DATA").
Bytes begin_dir_get(circuit::Circuit& circuit, const directory::Relay& hsdir,
                    std::string_view path);

// One descriptor request: a new link to the guard, CREATE_FAST, extension to
// the HSDir, then begin_dir_get. The link is closed on return.
Bytes fetch_from_hsdir(const directory::Relay& hsdir, const directory::Relay& guard,
                       std::string_view path, i32 timeout_ms);

}  // namespace mistgrove_core::hs
