// Rendezvous and introduction: the relay record of an introduction point,
// INTRODUCE_ACK, the driver's guard list and attempt order, and whole
// attempts against an in-process rendezvous point or an unreachable one.
#include <gtest/gtest.h>
#include <unistd.h>

#include "circuit/relay_side.h"
#include "mistgrove_core/error.h"
#include "mistgrove_core/hs.h"
#include "mistgrove_core/log.h"
#include "mistgrove_core/session.h"

namespace mistgrove_core::hs {
namespace {

using circuit::testing::Conn;
using circuit::testing::Peer;
using circuit::testing::RelaySide;
using directory::LinkSpecifier;
using directory::Relay;
using mistgrove_test::error_of;

// Each relay on its own port: relays at one address and port are the same.
Relay usable_relay(const std::string& nickname, u16 or_port = 0) {
  static u16 next_port = 9000;
  Relay r;
  r.nickname = nickname;
  r.address = "127.0.0.1";
  r.or_port = or_port != 0 ? or_port : ++next_port;
  r.rsa_identity = crypto::random_bytes(20);
  r.ed25519_id = crypto::random_bytes(32);
  r.ntor_onion_key = crypto::random_bytes(32);
  r.flags = {"Running", "Valid"};
  return r;
}

TEST(IntroPointRelay, LinkSpecifiersAndKey) {
  const LinkSpecifier ipv4{{10, 0, 1, 254, 0x23, 0x29}, 0};
  const LinkSpecifier rsa{Bytes(20, 0xaa), 2}, rsa2{Bytes(20, 0xbb), 2};
  const LinkSpecifier ed{Bytes(32, 0xcc), 3}, ed2{Bytes(32, 0xdd), 3};
  struct Case {
    const char* name;
    std::vector<LinkSpecifier> specs;
    std::size_t onion_key_len;
    const char* error;
    const char* address = "";
    u8 rsa_byte = 0, ed_byte = 0;
  } const kCases[] = {
      {"complete", {ipv4, rsa, ed}, 32, "", "10.0.1.254", 0xaa, 0xcc},
      {"last RSA and Ed25519 identities win",
       {rsa, ed2, ipv4, rsa2, ed},
       32,
       "",
       "10.0.1.254",
       0xbb,
       0xcc},
      {"first 6-byte IPv4 wins",
       {{{1, 2, 3, 4, 5}, 0}, ipv4, {{9, 9, 9, 9, 0, 1}, 0}, rsa, ed},
       32,
       "",
       "10.0.1.254",
       0xaa,
       0xcc},
      {"IPv6 only", {{Bytes(18, 1), 1}, rsa, ed}, 32, "intro point lacks IPv4 link specifier"},
      {"RSA identity of 19 bytes",
       {ipv4, {Bytes(19, 1), 2}, ed},
       32,
       "intro point lacks RSA identity link specifier"},
      {"no Ed25519 identity",
       {ipv4, rsa, {Bytes(31, 1), 3}},
       32,
       "intro point lacks Ed25519 identity link specifier"},
      {"RSA checked before Ed25519", {ipv4}, 32, "intro point lacks RSA identity link specifier"},
      {"onion key of 31 bytes", {ipv4, rsa, ed}, 31, "intro point lacks ntor onion key"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    IntroductionPoint point;
    point.link_specifiers = c.specs;
    point.onion_key = Bytes(c.onion_key_len, 0x11);
    Relay relay;
    EXPECT_EQ(error_of([&] { relay = intro_point_relay(point); }), c.error);
    if (*c.error) continue;
    EXPECT_EQ(relay.nickname, "intro");
    EXPECT_EQ(relay.address, c.address);
    EXPECT_EQ(relay.or_port, 0x2329);
    EXPECT_EQ(relay.rsa_identity, Bytes(20, c.rsa_byte));
    EXPECT_EQ(relay.ed25519_id, Bytes(32, c.ed_byte));
    EXPECT_EQ(relay.ntor_onion_key, point.onion_key);
    EXPECT_TRUE(relay.flags.empty() && relay.protocols.empty() && relay.dir_port == 0);
  }
}

TEST(CheckIntroduceAck, Status) {
  struct Case {
    Bytes data;
    const char* error;
  } const kCases[] = {
      {{}, "short INTRODUCE_ACK"},
      {{0}, "short INTRODUCE_ACK"},
      {{0, 1}, "INTRODUCE_ACK status 1"},
      {{1, 2, 0}, "INTRODUCE_ACK status 258"},
      {{0, 0}, ""},
      {{0, 0, 1, 2, 3}, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(error_of([&] { check_introduce_ack(c.data); }), c.error);
  }
}

std::string names(const std::vector<Relay>& relays) {
  std::string out;
  for (const Relay& r : relays) out += (out.empty() ? "" : " ") + r.nickname;
  return out;
}

TEST(RendezvousGuardList, PreferredFirstEachRelayOnce) {
  const Relay a = usable_relay("A"), b = usable_relay("B");
  Relay unusable = usable_relay("U");
  unusable.flags.erase("Running");
  Relay b_again = b;
  b_again.nickname = "B-preferred";
  EXPECT_EQ(names(rendezvous_guard_list({unusable, b_again, b_again}, {a, b})), "B-preferred A");
  EXPECT_EQ(names(rendezvous_guard_list({}, {a, b})), "A B");
}

TEST(RendezvousAttemptPlan, PointsGuardsAndSkips) {
  auto relays = [](std::string_view nicknames) {
    std::vector<Relay> out;
    for (char n : nicknames) out.push_back(usable_relay(std::string(1, n)));
    return out;
  };
  // Guards that are rendezvous relays are the same records.
  auto plan_of = [](const std::vector<Relay>& rendezvous, const std::vector<Relay>& guards) {
    std::string out;
    for (auto [i, g] : rendezvous_attempt_plan(rendezvous, guards))
      out += (out.empty() ? "" : " ") + rendezvous[i].nickname + ":" + guards[g].nickname;
    return out;
  };
  const std::vector<Relay> abcde = relays("ABCDE");
  std::vector<Relay> p_abcde = relays("P");
  p_abcde.insert(p_abcde.end(), abcde.begin(), abcde.end());
  EXPECT_EQ(plan_of(abcde, p_abcde), "A:P A:B B:A B:C C:B C:D D:C D:E E:D E:P");
  const std::vector<Relay> ab = relays("AB");
  EXPECT_EQ(plan_of(ab, ab), "A:B B:A");
  const std::vector<Relay> a = relays("A");
  EXPECT_EQ(plan_of(a, a), "A:A");

  const std::vector<Relay> many = relays("ABCDEFGHIJKLMNOPQRST");
  auto plan = rendezvous_attempt_plan(many, many);
  EXPECT_EQ(plan.size(), 24u);
  EXPECT_EQ(plan.back(), (std::pair<std::size_t, std::size_t>{11, 13}));
}

// Records the onion-service log lines of the test's scope.
class HsLog {
 public:
  HsLog() {
    log::set_sink([this](log::Level level, std::string_view target, std::string_view message) {
      if (target != "mistgrove_core::hs") return;
      lines.push_back((level == log::Level::Warn ? "W " : "I ") + std::string(message));
    });
    log::set_level(log::Level::Info);
  }
  ~HsLog() {
    log::set_level(log::Level::Off);
    log::set_sink(nullptr);
  }
  std::vector<std::string> lines;
};

Options options_with_timeout(i32 timeout_ms) {
  Options o;
  o.timeout_ms = timeout_ms;
  return o;
}

// The introduction point at the guard's own address and port with its
// identities.
IntroductionPoint intro_point_at(const Relay& relay) {
  IntroductionPoint point;
  Bytes ipv4 = {
      127, 0, 0, 1, static_cast<u8>(relay.or_port >> 8), static_cast<u8>(relay.or_port & 0xff)};
  point.link_specifiers = {{ipv4, 0}, {relay.rsa_identity, 2}, {relay.ed25519_id, 3}};
  point.onion_key = crypto::random_bytes(32);
  return point;
}

TEST(ConnectOnionService, FailuresAtTheOnlyRelay) {
  IntroductionPoint ipv6_only;
  ipv6_only.link_specifiers = {{Bytes(18, 1), 1}};
  using Points = std::function<std::vector<IntroductionPoint>(const Relay& guard)>;
  struct Case {
    const char* name;
    Points points;
    bool established;
    const char* error;
  } const kCases[] = {
      {"no introduction point", [](const Relay&) { return std::vector<IntroductionPoint>{}; }, true,
       "all introduction points failed: "},
      {"IPv6 only",
       [&](const Relay&) {
         return std::vector<IntroductionPoint>{ipv6_only, ipv6_only};
       },
       true, "all introduction points failed: intro point lacks IPv4 link specifier"},
      // Refused before a second link is opened: the peer takes one link only.
      {"intro point is the guard",
       [](const Relay& guard) { return std::vector<IntroductionPoint>{intro_point_at(guard)}; },
       true, "all introduction points failed: intro point is the guard"},
      {"no RENDEZVOUS_ESTABLISHED", [](const Relay&) { return std::vector<IntroductionPoint>{}; },
       false, "timed out waiting for RENDEZVOUS_ESTABLISHED"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Peer peer([&](Conn& conn) {
      RelaySide relay(conn);
      relay.create_fast();
      auto got = relay.recv();
      EXPECT_EQ(got.hop, 0u);
      EXPECT_EQ(got.cell.command, circuit::kRelayEstablishRendezvous);
      EXPECT_EQ(got.cell.stream_id, 0);
      EXPECT_EQ(got.cell.data.size(), 20u);
      if (!c.established) return relay.chatter();
      relay.send(0, circuit::kRelayData, 1, util::from_string("stray"));
      relay.send(0, circuit::kRelayRendezvousEstablished, 0, {});
      conn.wait_closed();
    });
    // The only usable relay is guard and rendezvous point at once: a
    // one-hop circuit. The unusable preferred guard is left out.
    directory::Consensus consensus;
    consensus.relays = {usable_relay("rp", peer.port())};
    Relay unusable = usable_relay("unusable");
    unusable.ntor_onion_key.clear();
    HiddenServiceDescriptor descriptor{c.points(consensus.relays[0])};
    HsLog log;
    EXPECT_EQ(error_of([&] {
                connect_onion_service_with_retries(options_with_timeout(c.established ? 5000 : 300),
                                                   consensus, descriptor, directory::HsPeriodKeys{},
                                                   {unusable});
              }),
              fmt::format("all rendezvous attempts failed: {}", c.error));
    std::vector<std::string> expected = {
        fmt::format("I connecting to rendezvous point rp at 127.0.0.1:{} via guard rp",
                    peer.port()),
        "I rendezvous point rp established",
        fmt::format("W rendezvous attempt failed: {}", c.error),
    };
    if (!c.established) expected.erase(expected.begin() + 1);
    EXPECT_EQ(log.lines, expected);
  }
}

// A loopback port with nothing listening: a listener's, closed again.
u16 closed_port() {
  u16 port = 0;
  ::close(mistgrove_test::bind_loopback(port, 1));
  return port;
}

TEST(ConnectOnionServiceWithRetries, EveryAttemptFailsThenTheLastFailureWrapped) {
  directory::Consensus consensus;
  consensus.relays = {usable_relay("A", closed_port()), usable_relay("B", closed_port())};
  HsLog log;
  const std::string error = error_of([&] {
    connect_onion_service_with_retries(options_with_timeout(1000), consensus,
                                       HiddenServiceDescriptor{}, directory::HsPeriodKeys{}, {});
  });
  // Two points in random order, each through the other relay.
  auto attempts = [](const Relay& first, const Relay& second) {
    std::vector<std::string> lines;
    for (auto [point, guard] : {std::pair{&first, &second}, std::pair{&second, &first}}) {
      lines.push_back(
          fmt::format("I connecting to rendezvous point {} at 127.0.0.1:{} via guard {}",
                      point->nickname, point->or_port, guard->nickname));
      lines.push_back(fmt::format(
          "W rendezvous attempt failed: tcp connect failed to 127.0.0.1:{}: Connection refused "
          "(os error 111)",
          guard->or_port));
    }
    return lines;
  };
  const Relay& a = consensus.relays[0];
  const Relay& b = consensus.relays[1];
  const std::vector<std::string> expected =
      log.lines == attempts(a, b) ? attempts(a, b) : attempts(b, a);
  EXPECT_EQ(log.lines, expected);
  const std::string warn = "W rendezvous attempt failed: ";
  EXPECT_EQ(error, "all rendezvous attempts failed: " + expected.back().substr(warn.size()));
}

}  // namespace
}  // namespace mistgrove_core::hs
