// Meeting the onion service: a cookie registered at a rendezvous point,
// INTRODUCE1 through the service's introduction points, RENDEZVOUS2 and the
// end-to-end hop; the driver retries over rendezvous points and guards.
#include "rendezvous.h"

#include <algorithm>
#include <optional>

#include "mistgrove_core/error.h"
#include "mistgrove_core/hs.h"
#include "mistgrove_core/log.h"
#include "mistgrove_core/tor.h"
#include "ntor.h"

namespace mistgrove_core::hs {
namespace {

using circuit::Circuit;
using directory::LinkSpecifier;
using directory::Relay;
using error::err;

constexpr std::string_view kLog = "mistgrove_core::hs";
constexpr std::size_t kMaxRendezvousPoints = 12;
constexpr std::size_t kMaxGuardsPerPoint = 3;

// A circuit from `guard` to `last` over a new link; one hop when they are the
// same relay.
Circuit circuit_through(const Relay& guard, const Relay& last, i32 timeout_ms) {
  Circuit circ = Circuit::create_fast(
      tor::TorChannel::open(guard.address, guard.or_port, timeout_ms), timeout_ms);
  if (!directory::same_relay(guard, last)) circ.extend_ntor(last);
  return circ;
}

void send_to_last_hop(Circuit& circ, u8 command, ByteView data) {
  circ.send_relay_cell(tor::kCellRelay, circ.hop_count() - 1, command, 0, data);
}

}  // namespace

Relay intro_point_relay(const IntroductionPoint& point) {
  const auto& specs = point.link_specifiers;
  auto ipv4 =
      std::find_if(specs.begin(), specs.end(), [](const LinkSpecifier& s) { return s.is_ipv4(); });
  if (ipv4 == specs.end()) throw err("intro point lacks IPv4 link specifier");

  Relay relay;
  relay.nickname = "intro";
  const Bytes& a = ipv4->data;
  relay.address = fmt::format("{}.{}.{}.{}", a[0], a[1], a[2], a[3]);
  relay.or_port = util::read_u16(a, 4);
  for (const LinkSpecifier& spec : specs) {
    if (spec.kind == LinkSpecifier::kRsaId && spec.data.size() == 20)
      relay.rsa_identity = spec.data;
    if (spec.kind == LinkSpecifier::kEd25519Id && spec.data.size() == 32)
      relay.ed25519_id = spec.data;
  }
  if (relay.rsa_identity.empty()) throw err("intro point lacks RSA identity link specifier");
  if (relay.ed25519_id.empty()) throw err("intro point lacks Ed25519 identity link specifier");
  if (point.onion_key.size() != 32) throw err("intro point lacks ntor onion key");
  relay.ntor_onion_key = point.onion_key;
  return relay;
}

void check_introduce_ack(ByteView data) {
  if (data.size() < 2) throw err("short INTRODUCE_ACK");
  u16 status = util::read_u16(data, 0);
  if (status != 0) throw err(fmt::format("INTRODUCE_ACK status {}", status));
}

RendezvousStream connect_onion_service(const Options& options,
                                       const HiddenServiceDescriptor& descriptor,
                                       const directory::HsPeriodKeys& keys, const Relay& rendezvous,
                                       const Relay& guard) {
  const Bytes cookie = crypto::random_bytes(kRendezvousCookieLen);
  log::info(kLog, "connecting to rendezvous point {} at {}:{} via guard {}", rendezvous.nickname,
            rendezvous.address, rendezvous.or_port, guard.nickname);
  Circuit rend = circuit_through(guard, rendezvous, options.timeout_ms);
  send_to_last_hop(rend, circuit::kRelayEstablishRendezvous, cookie);
  rend.recv_command(circuit::kRelayRendezvousEstablished, "RENDEZVOUS_ESTABLISHED");

  std::vector<IntroductionPoint> points = descriptor.intro_points;
  std::shuffle(points.begin(), points.end(), crypto::thread_rng());
  std::string last_failure;
  std::optional<HsNtorState> kept;
  for (const IntroductionPoint& point : points) {
    try {
      Relay intro = intro_point_relay(point);
      // Relays refuse INTRODUCE1 on a one-hop circuit, and the guard cannot
      // be asked to extend to itself.
      if (directory::same_relay(guard, intro)) throw err("intro point is the guard");
      log::info(kLog, "sending INTRODUCE1 via intro point {}:{}", intro.address, intro.or_port);
      Introduce1 introduce = build_introduce1(point, rendezvous, cookie, keys);
      Circuit circ = circuit_through(guard, intro, options.timeout_ms);
      send_to_last_hop(circ, circuit::kRelayIntroduce1, introduce.body);
      check_introduce_ack(circ.recv_command(circuit::kRelayIntroduceAck, "INTRODUCE_ACK").data);
      kept = std::move(introduce.state);
      break;
    } catch (const error::Error& e) {
      last_failure = e.message();
    }
  }
  if (!kept) throw err(fmt::format("all introduction points failed: {}", last_failure));

  log::info(kLog, "waiting for RENDEZVOUS2");
  circuit::RelayCell joined = rend.recv_command(circuit::kRelayRendezvous2, "RENDEZVOUS2");
  crypto::RelayCrypto hs_crypto = finish_hs_ntor(*kept, joined.data);
  return RendezvousStream(std::move(rend), std::move(hs_crypto));
}

std::vector<Relay> rendezvous_guard_list(const std::vector<Relay>& preferred_guards,
                                         const std::vector<Relay>& rendezvous) {
  std::vector<Relay> guards;
  auto add = [&](const Relay& relay) {
    for (const Relay& g : guards)
      if (directory::same_relay(relay, g)) return;
    guards.push_back(relay);
  };
  for (const Relay& relay : preferred_guards)
    if (directory::relay_usable_rendezvous(relay)) add(relay);
  for (const Relay& relay : rendezvous) add(relay);
  return guards;
}

std::vector<std::pair<std::size_t, std::size_t>> rendezvous_attempt_plan(
    const std::vector<Relay>& rendezvous, const std::vector<Relay>& guards) {
  std::vector<std::pair<std::size_t, std::size_t>> plan;
  const std::size_t n = guards.size();
  const std::size_t points = std::min(kMaxRendezvousPoints, rendezvous.size());
  const std::size_t tries = std::min(kMaxGuardsPerPoint, n);
  for (std::size_t i = 0; i < points; ++i) {
    for (std::size_t k = 0; k < tries; ++k) {
      const std::size_t g = (i + k) % n;
      // A lone guard may serve as its own rendezvous point (a one-hop circuit).
      if (n != 1 && directory::same_relay(rendezvous[i], guards[g])) continue;
      plan.emplace_back(i, g);
    }
  }
  return plan;
}

RendezvousStream connect_onion_service_with_retries(const Options& options,
                                                    const directory::Consensus& consensus,
                                                    const HiddenServiceDescriptor& descriptor,
                                                    const directory::HsPeriodKeys& keys,
                                                    const std::vector<Relay>& preferred_guards) {
  const std::vector<Relay> rendezvous = directory::candidate_rendezvous_relays(consensus);
  const std::vector<Relay> guards = rendezvous_guard_list(preferred_guards, rendezvous);
  if (guards.empty()) throw err("no usable guard relays for rendezvous");

  std::string last_failure;
  for (auto [i, g] : rendezvous_attempt_plan(rendezvous, guards)) {
    try {
      return connect_onion_service(options, descriptor, keys, rendezvous[i], guards[g]);
    } catch (const error::Error& e) {
      last_failure = e.message();
      log::warn(kLog, "rendezvous attempt failed: {}", last_failure);
    }
  }
  throw err(fmt::format("all rendezvous attempts failed: {}", last_failure));
}

}  // namespace mistgrove_core::hs
