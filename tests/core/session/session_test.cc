// Session options, creation from a loopback directory or a file, the
// poisoned consensus lock, and the GET text of http_get.
#include "mistgrove_core/session.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <fmt/format.h>

#include "mistgrove_core/crypto.h"
#include "session/loopback_http.h"

namespace mistgrove_core {
namespace {

using error::Error;
using mistgrove_test::LoopbackHttpServer;

constexpr const char* kConsensusPath = "/tor/status-vote/current/consensus-microdesc";

std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::string key_b64(u8 seed) {
  Bytes key(32, seed);
  return util::base64_encode_unpadded(key);
}

std::string microdesc(u8 seed) {
  return "onion-key\nntor-onion-key " + key_b64(seed) + "\nid ed25519 " + key_b64(seed + 1) + "\n";
}

std::string digest_of(const std::string& text) {
  return util::base64_encode_unpadded(crypto::sha256(util::from_string(text)));
}

// A small microdescriptor consensus whose two HSDir relays serve their
// directory on `dir_port`; `nickname` lets a test plant odd bytes.
std::string consensus_doc(u16 dir_port, const std::string& nickname = "alpha") {
  std::string doc =
      "network-status-version 3 microdesc\nvote-status consensus\n"
      "valid-after 2026-12-05 18:00:00\nfresh-until 2026-12-05 19:00:00\n"
      "params hsdir-interval=24\n";
  const std::string names[] = {nickname, "beta"};
  for (int i = 0; i < 2; ++i) {
    doc += fmt::format("r {} AAAAAAAAAAAAAAAAAAAAAAAAAAA 2026-12-05 17:00:00 127.0.0.1 {} {}\n",
                       names[i], 9001 + i, dir_port);
    doc += "m " + digest_of(microdesc(static_cast<u8>(10 * i))) + "\n";
    doc += "s Fast HSDir Running Stable V2Dir Valid\n";
  }
  return doc + "directory-footer\n";
}

// A directory that serves the consensus and both microdescriptors.
std::string directory_answer(const std::string& path, u16 port) {
  if (path == kConsensusPath) return LoopbackHttpServer::ok(consensus_doc(port));
  if (path.rfind("/tor/micro/d/", 0) == 0)
    return LoopbackHttpServer::ok(microdesc(0) + microdesc(10));
  return LoopbackHttpServer::not_found();
}

std::string write_temp(const std::string& name, const std::string& content) {
  std::string path = testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

std::string failure_of(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}

void expect_hydrated(const Session& session) {
  directory::Consensus consensus = session.consensus();
  ASSERT_EQ(consensus.relays.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(consensus.relays[i].ntor_onion_key, Bytes(32, static_cast<u8>(10 * i)));
    EXPECT_EQ(consensus.relays[i].ed25519_id, Bytes(32, static_cast<u8>(10 * i + 1)));
  }
}

TEST(OptionsForSession, ParsesBootstrapAndKeepsTheRest) {
  Options o = Options::for_session("127.0.0.1:9030", "cons.txt", -7, true);
  EXPECT_EQ(o.bootstrap, (util::HostPort{"127.0.0.1", 9030}));
  EXPECT_EQ(o.consensus_file, "cons.txt");
  EXPECT_EQ(o.timeout_ms, -7);  // checked only where a connection is made
  EXPECT_TRUE(o.verbose);
  EXPECT_EQ(o.host, "");
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(Options::for_session("[::1]:80", "", 0, false).bootstrap,
            (util::HostPort{"::1", 80}));
  EXPECT_NO_THROW(Options::for_session(kDefaultBootstrap, "", 30000, false));
}

TEST(OptionsForSession, RefusesBootstrapWithoutEndpoint) {
  struct Case {
    const char* bootstrap;
    const char* message;
  } cases[] = {
      {"127.0.0.1", "missing port"},
      {"127.0.0.1:0", "missing port"},
      {"[::1]", "missing port"},
      {"", "empty host"},
      {":80", "missing host"},
      {"host:x", "invalid digit found in string"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bootstrap);
    EXPECT_EQ(failure_of([&] { Options::for_session(c.bootstrap, "f", 30000, false); }),
              c.message);
  }
}

TEST(SessionCreate, FetchesConsensusThenMicrodescriptors) {
  u16 port = 0;
  LoopbackHttpServer server([&port](const std::string& path) { return directory_answer(path, port); });
  port = server.port();
  auto session = Session::create(server.endpoint(), "", 5000, false);
  expect_hydrated(*session);
  std::vector<std::string> paths = server.paths();
  ASSERT_GE(paths.size(), 2u);
  EXPECT_EQ(paths[0], kConsensusPath);
  EXPECT_EQ(paths[1], "/tor/micro/d/" + digest_of(microdesc(0)) + "-" + digest_of(microdesc(10)));
  EXPECT_EQ(session->options().bootstrap.port, port);
}

TEST(SessionCreate, ReadsTheConsensusFileWithoutFetchingIt) {
  u16 port = 0;
  LoopbackHttpServer server([&port](const std::string& path) { return directory_answer(path, port); });
  port = server.port();
  std::string file = write_temp("session_consensus.txt", consensus_doc(port, "bad\xff"));
  auto session = Session::create(server.endpoint(), file, 5000, false);
  expect_hydrated(*session);
  EXPECT_EQ(session->consensus().relays[0].nickname, "bad\xEF\xBF\xBD");  // U+FFFD
  for (const auto& path : server.paths()) EXPECT_NE(path, kConsensusPath);
  std::remove(file.c_str());
}

TEST(SessionCreate, ReportsEachFailure) {
  u16 port = 0;
  LoopbackHttpServer directory(
      [&port](const std::string& path) { return directory_answer(path, port); });
  port = directory.port();
  LoopbackHttpServer web([](const std::string&) { return LoopbackHttpServer::not_found(); });
  std::string no_hsdir = consensus_doc(port);
  for (std::size_t at; (at = no_hsdir.find(" HSDir")) != std::string::npos;) no_hsdir.erase(at, 6);
  std::string no_hsdir_file = write_temp("session_no_hsdir.txt", no_hsdir);
  std::string empty_file = write_temp("session_empty.txt", "");
  std::string missing = testing::TempDir() + "no/such/consensus";
  struct Case {
    const char* name;
    std::string bootstrap;
    std::string file;
    std::string message;
  } cases[] = {
      {"missing file", directory.endpoint(), missing, "failed to open " + missing},
      {"directory as file", directory.endpoint(), testing::TempDir(),
       "failed to open " + testing::TempDir()},
      {"bootstrap without port", "127.0.0.1", empty_file, "missing port"},
      {"404 directory", web.endpoint(), "", "HTTP request failed: HTTP/1.0 404 Not Found"},
      {"unreachable bootstrap", "127.0.0.1:1", "",
       "tcp connect failed to 127.0.0.1:1: Connection refused (os error 111)"},
      {"empty consensus file", directory.endpoint(), empty_file, "consensus missing valid-after"},
      {"no HSDir relay", directory.endpoint(), no_hsdir_file,
       "consensus has no microdescriptor digests to fetch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(failure_of([&] { Session::create(c.bootstrap, c.file, 2000, false); }), c.message);
  }
  EXPECT_TRUE(directory.paths().empty());  // no failure above reached the directory
  std::remove(no_hsdir_file.c_str());
  std::remove(empty_file.c_str());
}

TEST(GuardedConsensus, FailureInsideTheLockPoisonsItForGood) {
  directory::Consensus consensus;
  consensus.valid_after = 42;
  GuardedConsensus guarded(consensus), other(consensus);
  EXPECT_EQ(guarded.copy().valid_after, 42);
  EXPECT_THROW(guarded.with([](const directory::Consensus&) -> int { throw std::bad_alloc(); }),
               std::bad_alloc);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(failure_of([&] { guarded.copy(); }), "consensus lock poisoned");
  EXPECT_EQ(other.copy().valid_after, 42);
}

TEST(BuildSimpleHttpGet, ExactRequestText) {
  struct Case {
    const char* host;
    const char* path;
    const char* request;
  } cases[] = {
      {"ABCdef.ONION", "", "GET / HTTP/1.0\r\nHost: abcdef.onion\r\nConnection: close\r\n\r\n"},
      {"h", "index.html", "GET /index.html HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\r\n"},
      {"h", "/a b", "GET /a b HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\r\n"},
      {"h", "//x?y=%20", "GET //x?y=%20 HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\r\n"},
      {"\xC3\x89Z9", "/", "GET / HTTP/1.0\r\nHost: \xC3\x89z9\r\nConnection: close\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(text_of(build_simple_http_get(c.host, c.path)), c.request);
  }
}

}  // namespace
}  // namespace mistgrove_core
