// Sessions against the private Tor network: creation from a DirPort or a
// consensus file, and requests to the onion service end to end.
#include "mistgrove_core/session.h"

#include <gtest/gtest.h>

#include <future>
#include <set>

#include "base/test_support.h"
#include "mistgrove_core/crypto.h"
#include "testnet_state.h"

namespace mistgrove_core {
namespace {

using namespace mistgrove_test;

TEST(SessionOnTestnet, EveryRouterWithItsKeys) {
  TESTNET_STATE_OR_SKIP(state);
  const auto& s = *state;
  std::multiset<std::string> routers;  // nickname orport ed25519_id
  for (const auto& r : s.relays) routers.insert(r.text() + " " + r.words[1] + " " + r.words[2]);
  for (const std::string& file : {std::string(), s["consensus_file"].text()}) {
    const std::string dirport = s["authority_dirports"][file.empty()].text();
    std::multiset<std::string> got;
    for (const auto& r : Session::create(dirport, file, 10000, false)->consensus().relays)
      got.insert(r.nickname + " " + std::to_string(r.or_port) + " " +
                 util::base64_encode_unpadded(r.ed25519_id) +
                 (directory::relay_usable_hsdir(r) && r.ntor_onion_key.size() == 32 ? "" : " -"));
    EXPECT_EQ(got, routers) << file;
  }
}

// The consensus file holds the descriptor's SRV; the time-out bounds an unanswered introduction.
TEST(RequestOnTestnet, PageBigFileResetLimitEchoesAndAnUnknownAddress) {
  TESTNET_STATE_OR_SKIP(state);
  const auto& s = *state;
  auto session =
      Session::create(s["authority_dirports"][0].text(), s["consensus_file"].text(), 10000, false);
  const std::string& onion = s["onion_address"].text();
  auto get = [&](std::string_view path, u64 limit = 8 << 20, const char* port = "onion_http_port") {
    return session->request(onion, static_cast<u16>(s[port].integer()),
                            build_simple_http_get(onion, path), limit);
  };
  // The back end resets its connection after part of the big file: the
  // service's tor ends the stream with CONNRESET, not DONE.
  EXPECT_EQ(error_of([&] { get("/", 8 << 20, "onion_reset_port"); }),
            "onion service stream ended with reason 12");
  const Bytes page = util::from_string(read_whole_file(s["page_response_path"].text()));
  EXPECT_EQ(error_of([&] { get("/", page.size() - 1); }), "stream response too large");
  const std::string big = read_whole_file(s["big_path"].text()),
                    got = mistgrove_test::text(get("/big.bin"));
  EXPECT_TRUE(got ==
              "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                  std::to_string(big.size()) + "\r\nConnection: close\r\n\r\n" + big)
      << "a response of " << got.size() << " bytes";
  // Eight threads, each a page, an echo and a page: echoes at once (the server
  // closes when idle 2 s); 1 and 10 MB outgrow every window both ways.
  std::vector<std::future<bool>> echoes;
  for (std::size_t size : {0, 1, 498, 499, 1 << 20, 1 << 20, 10 << 20, 10 << 20})
    echoes.push_back(std::async(std::launch::async, [&, size] {
      const Bytes payload = crypto::random_bytes(size);
      return get("/", page.size()) == page &&
             session->request(onion, u16(s["onion_echo_port"].integer()), payload, 2 * size) ==
                 payload &&
             get("/", page.size()) == page;
    }));
  for (auto& echo : echoes) EXPECT_TRUE(echo.get());
  // An address nobody here serves; then the session still serves.
  const std::string unknown = "5jfgyy7ctrjavpxvkb5rglwf7gkuo5vox27hxescd3vgsfcg2iwfmxqd";
  EXPECT_EQ(error_of([&] { session->request(unknown, 80, {}, 1000); }).substr(0, 51),
            "failed to fetch/decrypt hidden service descriptor: ");
  EXPECT_EQ(get("/", page.size()), page);
}

}  // namespace
}  // namespace mistgrove_core
