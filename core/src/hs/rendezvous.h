// The rendezvous driver's steps: one attempt, its plan of points and guards,
// and the introduction point's relay record and acknowledgement.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/hs.h"
#include "mistgrove_core/options.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::hs {

// One rendezvous attempt at `rendezvous` through `guard`: cookie registered,
// introductions tried in random order until one is acknowledged, RENDEZVOUS2
// completes hs-ntor. An introduction point that is the guard fails at once
// ("intro point is the guard"): relays refuse INTRODUCE1 on one-hop circuits.
// Only options.timeout_ms is read; it also bounds each wait for a cell, so a
// service that never reaches the rendezvous point ends the attempt.
RendezvousStream connect_onion_service(const Options& options,
                                       const HiddenServiceDescriptor& descriptor,
                                       const directory::HsPeriodKeys& keys,
                                       const directory::Relay& rendezvous,
                                       const directory::Relay& guard);

// The driver's guard list: the usable preferred guards in order, then the
// rendezvous candidates, each relay once (same_relay; the first stays).
std::vector<directory::Relay> rendezvous_guard_list(
    const std::vector<directory::Relay>& preferred_guards,
    const std::vector<directory::Relay>& rendezvous);

// The driver's attempts in order as (rendezvous index, guard index): at most
// 12 points, at most 3 guards each, starting at the guard of the point's own
// index; a point is not its own guard unless there is only one guard.
std::vector<std::pair<std::size_t, std::size_t>> rendezvous_attempt_plan(
    const std::vector<directory::Relay>& rendezvous, const std::vector<directory::Relay>& guards);

// The relay record an introduction circuit extends to: IPv4 address and port
// (first 6-byte type 0 specifier), RSA identity (last 20-byte type 2),
// Ed25519 identity (last 32-byte type 3) and the point's ntor onion key.
directory::Relay intro_point_relay(const IntroductionPoint& point);

// Accepts INTRODUCE_ACK data with status 0; fails "short INTRODUCE_ACK" or
// "INTRODUCE_ACK status {}" otherwise.
void check_introduce_ack(ByteView data);

}  // namespace mistgrove_core::hs
