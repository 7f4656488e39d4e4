// Sessions against the private Tor network: creation from an authority's
// DirPort or a consensus file, and requests to the onion service end to end
// (page, big file, echo payloads, the response limit, threads sharing one
// session) with the failures only a real network gives.
#include "mistgrove_core/session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/test_support.h"
#include "testnet_state.h"
#include "mistgrove_core/crypto.h"

namespace mistgrove_core {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::TestnetState;
using mistgrove_test::read_whole_file;

constexpr u64 kLimit = 8 * 1024 * 1024;

std::string authority(const TestnetState& state) { return state["authority_dirports"][0].text(); }

// A session whose consensus file carries the shared random value the
// service placed its descriptor with. Now and then the service lets an
// introduction go unanswered when many arrive at once; the time-out bounds
// what that costs before the next attempt.
std::shared_ptr<Session> file_session(const TestnetState& state) {
  return Session::create(authority(state), state["consensus_file"].text(), 10000, false);
}

Bytes file_bytes(const TestnetState& state, const char* key) {
  return util::from_string(read_whole_file(state[key].text()));
}

Bytes get(const Session& session, const TestnetState& state, const std::string& path, u64 limit = kLimit) {
  const std::string& onion = state["onion_address"].text();
  return session.request(onion, static_cast<u16>(state["onion_http_port"].integer()),
                         build_simple_http_get(onion, path), limit);
}

TEST(SessionOnTestnet, EveryRouterWithItsKeys) {
  TESTNET_STATE_OR_SKIP(state);
  const std::string second_authority = (*state)["authority_dirports"][1].text();
  for (const std::string& file : {std::string(), (*state)["consensus_file"].text()}) {
    SCOPED_TRACE(file.empty() ? "from the authority" : "from the file");
    const directory::Consensus consensus =
        Session::create(file.empty() ? authority(*state) : second_authority, file, 10000, false)
            ->consensus();
    ASSERT_EQ(consensus.relays.size(), state->relays.size());
    for (const auto& router : state->relays) {  // nickname orport ed25519_id
      SCOPED_TRACE(router.text());
      auto it = std::find_if(consensus.relays.begin(), consensus.relays.end(),
                             [&](const auto& r) { return r.nickname == router.text(); });
      ASSERT_NE(it, consensus.relays.end());
      EXPECT_TRUE(directory::relay_usable_hsdir(*it));
      EXPECT_EQ(it->ntor_onion_key.size(), 32u);
      EXPECT_EQ(std::to_string(it->or_port), router.words.at(1));
      EXPECT_EQ(util::base64_encode_unpadded(it->ed25519_id), router.words.at(2));
    }
  }
}

TEST(RequestOnTestnet, PageBigFileResetAndResponseLimit) {
  TESTNET_STATE_OR_SKIP(state);
  auto session = file_session(*state);
  // The back end resets its connection after part of the big file: the
  // service's tor ends the stream with CONNRESET, not DONE.
  const std::string& onion = (*state)["onion_address"].text();
  EXPECT_EQ(error_of([&] {
              session->request(onion, static_cast<u16>((*state)["onion_reset_port"].integer()),
                               build_simple_http_get(onion, "/"), kLimit);
            }),
            "onion service stream ended with reason 12");
  const Bytes page = file_bytes(*state, "page_response_path");
  EXPECT_EQ(get(*session, *state, "/", page.size()), page);
  EXPECT_EQ(error_of([&] { get(*session, *state, "/", page.size() - 1); }),
            "stream response too large");
  const std::string big = read_whole_file((*state)["big_path"].text());
  const Bytes expected = util::from_string(
      "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
      std::to_string(big.size()) + "\r\nConnection: close\r\n\r\n" + big);
  const Bytes response = get(*session, *state, "/big.bin");
  ASSERT_EQ(response.size(), expected.size());
  EXPECT_TRUE(response == expected) << "same length, different bytes";
}

// Eight threads on one session, each a page, an echo and a page again. The
// echo server answers as it reads and closes when idle for 2 s, so the echoes
// run at once; those of 1 and 10 MB outgrow every package window both ways.
TEST(RequestOnTestnet, ThreadsShareOneSession) {
  TESTNET_STATE_OR_SKIP(state);
  auto session = file_session(*state);
  const Bytes page = file_bytes(*state, "page_response_path");
  const std::string& onion = (*state)["onion_address"].text();
  const u16 echo_port = static_cast<u16>((*state)["onion_echo_port"].integer());
  const std::size_t kEchoSizes[] = {0, 1, 498, 499, 1 << 20, 1 << 20, 10 << 20, 10 << 20};
  std::vector<std::string> outcomes(std::size(kEchoSizes));
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < std::size(kEchoSizes); ++t) {
    threads.emplace_back([&, t] {
      const Bytes payload = crypto::random_bytes(kEchoSizes[t]);
      outcomes[t] = error_of([&] {
        if (get(*session, *state, "/") != page) throw error::err("wrong page");
        if (session->request(onion, echo_port, payload, 2 * payload.size()) != payload)
          throw error::err("wrong echo");
        if (get(*session, *state, "/") != page) throw error::err("wrong page");
      });
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t t = 0; t < outcomes.size(); ++t)
    EXPECT_EQ(outcomes[t], "") << "echo of " << kEchoSizes[t] << " bytes";
}

TEST(RequestOnTestnet, FailuresOfTheNetworkLeaveTheSessionUsable) {
  TESTNET_STATE_OR_SKIP(state);
  auto session = file_session(*state);
  const std::string& onion = (*state)["onion_address"].text();
  // A valid address whose key nobody on this network holds.
  const std::string prefix = "failed to fetch/decrypt hidden service descriptor: ";
  EXPECT_EQ(error_of([&] {
              session->request("5jfgyy7ctrjavpxvkb5rglwf7gkuo5vox27hxescd3vgsfcg2iwfmxqd", 80, {},
                               kLimit);
            }).substr(0, prefix.size()),
            prefix);
  // The service has no port 81: its tor ends the stream, or closes the whole
  // rendezvous circuit.
  const std::string no_port =
      error_of([&] { session->request(onion, 81, build_simple_http_get(onion, "/"), kLimit); });
  EXPECT_TRUE(no_port == "onion service stream ended before CONNECTED" ||
              no_port == "rendezvous circuit destroyed")
      << no_port;
  EXPECT_EQ(get(*session, *state, "/"), file_bytes(*state, "page_response_path"));
}

}  // namespace
}  // namespace mistgrove_core
