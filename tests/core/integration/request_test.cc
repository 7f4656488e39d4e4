// Requests to the private network's onion service end to end: the page and
// the big file byte for byte, echo payloads, the response limit, concurrent
// requests on one session, and the failure paths of a request.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "integration/testnet_state.h"
#include "mistgrove_core/session.h"

namespace mistgrove_core {
namespace {

using mistgrove_test::Json;
using mistgrove_test::read_whole_file;

constexpr u64 kLimit = 4 * 1024 * 1024;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A session whose consensus file carries the shared random value the
// service placed its descriptor with.
std::shared_ptr<Session> file_session(const Json& state) {
  return Session::create(state["authority_dirports"][0].text(), state["consensus_file"].text(),
                         30000, false);
}

Bytes get(const Session& session, const Json& state, const std::string& path, u64 limit = kLimit) {
  const std::string& onion = state["onion_address"].text();
  return session.request(onion, static_cast<u16>(state["onion_http_port"].integer()),
                         build_simple_http_get(onion, path), limit);
}

std::string failure_of(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const error::Error& e) {
    return e.what();
  }
  return "no error";
}

TEST(RequestOnTestnet, PageByteForByte) {
  TESTNET_STATE_OR_SKIP(state);
  auto session = file_session(*state);
  EXPECT_EQ(get(*session, *state, "/"),
            bytes_of(read_whole_file((*state)["page_response_path"].text())));
}

TEST(RequestOnTestnet, BigFileByteExact) {
  TESTNET_STATE_OR_SKIP(state);
  auto session = file_session(*state);
  const std::string big = read_whole_file((*state)["big_path"].text());
  const Bytes expected =
      bytes_of("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
               std::to_string(big.size()) + "\r\nConnection: close\r\n\r\n" + big);
  Bytes response = get(*session, *state, "/big.bin", 2 * kLimit);
  ASSERT_EQ(response.size(), expected.size());
  EXPECT_TRUE(response == expected) << "same length, different bytes";
}

TEST(RequestOnTestnet, EchoReturnsThePayload) {
  TESTNET_STATE_OR_SKIP(state);
  auto session = file_session(*state);
  const std::string& onion = (*state)["onion_address"].text();
  const u16 echo_port = static_cast<u16>((*state)["onion_echo_port"].integer());
  for (std::size_t size : {0, 1, 498, 499, 100 * 1024}) {
    SCOPED_TRACE(size);
    Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<u8>(i * 7 + i / 251);
    EXPECT_EQ(session->request(onion, echo_port, payload, kLimit), payload);
  }
}

TEST(RequestOnTestnet, ResponseLimitIsInclusive) {
  TESTNET_STATE_OR_SKIP(state);
  auto session = file_session(*state);
  const u64 size = read_whole_file((*state)["page_response_path"].text()).size();
  EXPECT_EQ(get(*session, *state, "/", size).size(), size);
  EXPECT_EQ(failure_of([&] { get(*session, *state, "/", size - 1); }), "stream response too large");
}

TEST(RequestOnTestnet, ConcurrentRequestsOnOneSession) {
  TESTNET_STATE_OR_SKIP(state);
  auto session = file_session(*state);
  const Bytes page = bytes_of(read_whole_file((*state)["page_response_path"].text()));
  constexpr int kThreads = 8, kEach = 3;
  std::vector<std::string> outcomes(kThreads * kEach);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string& outcome = outcomes[t * kEach + i];
        try {
          outcome = get(*session, *state, "/") == page ? "ok" : "wrong bytes";
        } catch (const error::Error& e) {
          outcome = e.what();
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < outcomes.size(); ++i) EXPECT_EQ(outcomes[i], "ok") << "request " << i;
}

TEST(RequestOnTestnet, MalformedAddressesFailBeforeConnecting) {
  TESTNET_STATE_OR_SKIP(state);
  auto session = file_session(*state);
  struct Case {
    const char* onion;
    const char* message;
  } cases[] = {
      {"5jfgyy7ctrjavpxvkb5rglwf7gkuo5vox27hxescd3vgsfcg2iwfmxq.onion",
       "v3 onion address must have 56 base32 characters"},
      {"5jfgyy7ctrjavpxvkb5rglwf7gkuo5vox27hxescd3vgsfcg2iwfmx1d",
       "invalid base32 character in onion address"},
      {"5jfgyy7ctrjavpxvkb5rglwf7gkuo5vox27hxescd3vgsfcg2iwffcqe",
       "only v3 onion addresses are supported"},
      {"5jfgyy7ctrjavpxvkb5rglwf7gkuo5vox27hxescd3vgsfcg2iwfoxqd", "bad onion checksum"},
      {"aiaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab3did", "onion ed25519 key is invalid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.onion);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure_of([&] { session->request(c.onion, 80, {}, kLimit); }), c.message);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  }
}

TEST(RequestOnTestnet, FailuresOfTheNetworkLeaveTheSessionUsable) {
  TESTNET_STATE_OR_SKIP(state);
  auto session = file_session(*state);
  const std::string& onion = (*state)["onion_address"].text();
  // A valid address whose key nobody on this network holds.
  const std::string unhosted = "5jfgyy7ctrjavpxvkb5rglwf7gkuo5vox27hxescd3vgsfcg2iwfmxqd.onion";
  const std::string prefix = "failed to fetch/decrypt hidden service descriptor: ";
  EXPECT_EQ(
      failure_of([&] { session->request(unhosted, 80, {}, kLimit); }).substr(0, prefix.size()),
      prefix);
  // The service has no port 81: its tor ends the stream, or closes the
  // whole rendezvous circuit.
  const std::string no_port =
      failure_of([&] { session->request(onion, 81, build_simple_http_get(onion, "/"), kLimit); });
  EXPECT_TRUE(no_port == "onion service stream ended before CONNECTED" ||
              no_port == "rendezvous circuit destroyed")
      << no_port;
  EXPECT_EQ(get(*session, *state, "/"),
            bytes_of(read_whole_file((*state)["page_response_path"].text())));
}

TEST(RequestOnTestnet, SessionWithoutSharedRandomValues) {
  TESTNET_STATE_OR_SKIP(state);
  // The authority's own consensus of a young network has no shared random value.
  auto session = Session::create((*state)["authority_dirports"][0].text(), "", 30000, false);
  if (!session->consensus().srv_current.empty() || !session->consensus().srv_previous.empty())
    GTEST_SKIP() << "the network is old enough to have a shared random value";
  EXPECT_EQ(failure_of([&] { get(*session, *state, "/"); }), "consensus has no shared-rand values");
}

}  // namespace
}  // namespace mistgrove_core
