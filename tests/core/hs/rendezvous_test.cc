// Rendezvous and introduction: the relay record of an introduction point,
// INTRODUCE_ACK, and whole attempts against the in-process peer as
// rendezvous point or against no relay at all.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "hs/rendezvous.h"
#include "mistgrove_core/hs.h"
#include "mistgrove_core/log.h"
#include "mistgrove_core/session.h"
#include "tor/fake_relay.h"

namespace mistgrove_core::hs {
namespace {

using namespace mistgrove_core::fake;
using directory::LinkSpecifier;
using directory::Relay;

TEST(IntroPointRelay, LinkSpecifiersAndKey) {
  const LinkSpecifier ipv4{{10, 0, 1, 254, 0x23, 0x29}, 0}, ipv4_2{{9, 9, 9, 9, 0, 1}, 0};
  const LinkSpecifier rsa{Bytes(20, 0xaa), 2}, rsa2{Bytes(20, 0xbb), 2};
  const LinkSpecifier ed{Bytes(32, 0xcc), 3}, ed2{Bytes(32, 0xdd), 3};
  const std::string lacks = "intro point lacks ";
  const struct {
    std::vector<LinkSpecifier> specs;
    std::size_t key_len;
    std::string outcome;
  } kCases[] = {
      {{ipv4, rsa, ed}, 32, "10.0.1.254:9001 aa cc"},
      // The last identities and the first IPv4 of 6 bytes win.
      {{rsa, ed2, {{1, 2, 3, 4, 5}, 0}, ipv4, ipv4_2, rsa2, ed}, 32, "10.0.1.254:9001 bb cc"},
      {{{Bytes(18, 1), 1}, rsa, ed}, 32, lacks + "IPv4 link specifier"},
      {{ipv4, {Bytes(19, 1), 2}, ed}, 32, lacks + "RSA identity link specifier"},
      {{ipv4, rsa, {Bytes(31, 1), 3}}, 32, lacks + "Ed25519 identity link specifier"},
      {{ipv4, rsa, ed}, 31, lacks + "ntor onion key"},
  };
  for (const auto& c : kCases) {
    const IntroductionPoint point{c.specs, Bytes(c.key_len, 0x11), {}, {}};
    EXPECT_EQ(mistgrove_test::outcome([&] {
                const Relay r = intro_point_relay(point);
                EXPECT_EQ(r.ntor_onion_key, point.onion_key);
                return fmt::format("{}:{} {:02x} {:02x}", r.address, r.or_port, r.rsa_identity[0],
                                   r.ed25519_id[0]);
              }),
              c.outcome);
  }
}

TEST(CheckIntroduceAck, Status) {
  const std::pair<Bytes, const char*> kCases[] = {
      {{0}, "short INTRODUCE_ACK"},
      {{1, 2, 0}, "INTRODUCE_ACK status 258"},
      {{0, 0, 1, 2, 3}, ""},
  };
  for (const auto& [data, error] : kCases)
    EXPECT_EQ(error_of([&] { check_introduce_ack(data); }), error);
}

// The onion-service warnings logged in the test's scope.
class HsWarnings {
 public:
  HsWarnings() {
    log::set_sink([this](log::Level level, std::string_view target, std::string_view message) {
      if (target == "mistgrove_core::hs" && level == log::Level::Warn) lines.emplace_back(message);
    });
    log::set_level(log::Level::Warn);
  }
  ~HsWarnings() {
    log::set_level(log::Level::Off);
    log::set_sink(nullptr);
  }
  std::vector<std::string> lines;
};

std::string connect(const directory::Consensus& consensus, const HiddenServiceDescriptor& desc,
                    i32 timeout_ms, const std::vector<Relay>& preferred = {}) {
  Options options;
  options.timeout_ms = timeout_ms;
  return error_of(
      [&] { connect_onion_service_with_retries(options, consensus, desc, {}, preferred); });
}

// The only usable relay is guard and rendezvous point at once (a one-hop
// circuit); the unusable preferred guard is left out. Established there, the
// only introduction point is that relay: refused before a second link is
// opened (the peer takes one link only).
TEST(ConnectOnionService, FailuresAtTheOnlyRelay) {
  for (const bool established : {true, false}) {
    const std::string error = established
                                  ? "all introduction points failed: intro point is the guard"
                                  : "timed out waiting for RENDEZVOUS_ESTABLISHED";
    SCOPED_TRACE(error);
    Peer peer([&](Conn& conn) {
      RelaySide relay(conn);
      relay.create_fast();
      auto got = relay.recv();
      EXPECT_EQ(std::tie(got.hop, got.cell.command, got.cell.stream_id),
                std::tuple(0u, circuit::kRelayEstablishRendezvous, 0));
      EXPECT_EQ(got.cell.data.size(), 20u);
      if (!established) return relay.chatter();
      relay.send(0, circuit::kRelayData, 1, from_string("stray"));
      relay.send(0, circuit::kRelayRendezvousEstablished, 0, {});
      conn.wait_closed();
    });
    directory::Consensus consensus;
    consensus.relays = {relay_named("rp", peer.port())};
    const Relay& rp = consensus.relays[0];
    const Bytes ipv4 = {
        127, 0, 0, 1, static_cast<u8>(rp.or_port >> 8), static_cast<u8>(rp.or_port)};
    HiddenServiceDescriptor descriptor{{{{{ipv4, 0}, {rp.rsa_identity.to_bytes(), 2}, {rp.ed25519_id.to_bytes(), 3}},
                                         crypto::random_bytes(32),
                                         {},
                                         {}}}};
    if (!established) descriptor.intro_points.clear();
    Relay unusable = relay_named("unusable");
    unusable.ntor_onion_key.clear();
    HsWarnings warnings;
    EXPECT_EQ(connect(consensus, descriptor, established ? 5000 : 300, {unusable}),
              "all rendezvous attempts failed: " + error);
    EXPECT_EQ(warnings.lines, std::vector<std::string>{"rendezvous attempt failed: " + error});
  }
}

TEST(ConnectOnionServiceWithRetries, EveryAttemptFailsThenTheLastFailureWrapped) {
  // Two relays with nothing listening: each point is tried through the other.
  directory::Consensus consensus;
  for (const char* name : {"A", "B"}) {
    u16 port = 0;
    ::close(mistgrove_test::bind_loopback(port, 1));
    consensus.relays.push_back(relay_named(name, port));
  }
  HsWarnings warnings;
  const std::string error = connect(consensus, {}, 1000);
  const std::string warn = "rendezvous attempt failed: ";
  std::set<std::string> expected;
  for (const Relay& guard : consensus.relays)
    expected.insert(warn + fmt::format("tcp connect failed to 127.0.0.1:{}: Connection refused "
                                       "(os error 111)",
                                       guard.or_port));
  ASSERT_EQ(warnings.lines.size(), 2u);
  EXPECT_EQ(std::set(warnings.lines.begin(), warnings.lines.end()), expected);
  EXPECT_EQ(error, "all rendezvous attempts failed: " + warnings.lines[1].substr(warn.size()));
}

}  // namespace
}  // namespace mistgrove_core::hs
