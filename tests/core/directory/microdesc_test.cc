// Microdescriptors (the md records of directory_cases.txt) and the parallel
// download that completes relay keys, driven through its fetch seam.
#include "directory/microdesc.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <numeric>
#include <set>
#include <thread>

#include "base/test_support.h"
#include "mistgrove_core/crypto.h"
#include "mistgrove_core/directory.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::error_of;
using util::base64_encode_unpadded;
using util::HostPort;

Bytes range_bytes(u8 from) {
  Bytes b(32);
  std::iota(b.begin(), b.end(), from);
  return b;
}

// A microdescriptor with only an ntor key; distinct seeds give distinct digests.
std::string ntor_only(u8 seed) {
  return "onion-key\nntor-onion-key " + base64_encode_unpadded(range_bytes(seed)) + "\n";
}

// Ntor key 00..1f, ed25519 id 20..3f.
const std::string kMicrodesc =
    ntor_only(0) + "family $AAAA\nid ed25519 " + base64_encode_unpadded(range_bytes(32)) + "\n";

std::string digest_of(std::string_view text) {
  return base64_encode_unpadded(crypto::sha256(util::text_bytes(text)));
}

Relay hsdir(std::string digest, RelayFlags flags = {"HSDir", "Running", "Valid"},
            std::string address = "127.0.0.1", u16 dir_port = 0) {
  Relay r;
  r.address = std::move(address), r.or_port = 9001, r.dir_port = dir_port;
  r.microdesc_digest = std::move(digest), r.flags = std::move(flags);
  return r;
}

Relay dir_source(std::string address, u16 dir_port) {
  return hsdir("", {"Running", "V2Dir", "Valid"}, std::move(address), dir_port);
}

// The relays, then `numbered` HSDirs with digests "000", "001", ...
Consensus consensus_of(std::vector<Relay> relays, int numbered = 0) {
  Consensus c;
  c.relays = std::move(relays);
  for (int i = 0; i < numbered; ++i) c.relays.push_back(hsdir(fmt::format("{:03}", i)));
  return c;
}

const HostPort kBootstrap{"boot", 80};

// Records its calls ("host:port time-out path") and answers from a map of
// source host to body; a missing host fails.
struct ScriptedFetch {
  std::map<std::string, std::string> bodies;
  std::mutex mutex;
  std::vector<std::string> calls;

  MicrodescriptorFetch fn() {
    return [this](const HostPort& source, const std::string& path, i32 timeout_ms) {
      std::lock_guard lock(mutex);
      calls.push_back(fmt::format("{}:{} {} {}", source.host, source.port, timeout_ms, path));
      if (!bodies.contains(source.host)) throw error::err("down " + source.host);
      return util::from_string(bodies[source.host]);
    };
  }
};

TEST(Microdescriptors, FieldsAndIndex) {
  mistgrove_test::expect_answers("directory_cases.txt", "md", [](const auto& r) {
    const MicrodescriptorFields f = parse_microdescriptor_fields(r.text(1));
    return "id=" + base64_encode_unpadded(f.ed25519_id) +
           " ntor=" + base64_encode_unpadded(f.ntor_onion_key);
  });
  EXPECT_EQ(index_microdescriptors("header\n" + kMicrodesc + kMicrodesc),
            (MicrodescriptorIndex{
                {digest_of(kMicrodesc), MicrodescriptorFields{range_bytes(32), range_bytes(0)}}}));
}

TEST(HydrateMicrodescriptors, FailsWithoutDigestsBeforeFetching) {
  Consensus consensus = consensus_of({hsdir("")});
  ScriptedFetch fetch;
  EXPECT_EQ(
      error_of([&] { hydrate_microdescriptors_with(consensus, kBootstrap, 30000, fetch.fn()); }),
      "consensus has no microdescriptor digests to fetch");
  EXPECT_TRUE(fetch.calls.empty());
}

// Batches of ninety digests in digest order with a time-out capped at 3 s; a
// failed batch tries up to five sources, the bootstrap first, none twice.
TEST(HydrateMicrodescriptors, BatchesAndSources) {
  for (auto [digests, timeout_ms, capped_ms] : {std::tuple{90, 30000, 3000}, {91, 1000, 1000}}) {
    // Relays whose digests are not fetched, and "000" twice.
    Consensus consensus = consensus_of(
        {hsdir("d1", {"Running", "Valid"}), hsdir("d3", {"HSDir", "Valid"}),
         hsdir("d2", {"HSDir", "NoEdConsensus", "Running", "Valid"}), hsdir("d4"), hsdir("000")},
        digests);
    consensus.relays[3].or_port = 0;
    std::vector<std::string> calls;
    for (int i = 0; i < digests; ++i)
      i % 90 == 0 ? calls.push_back(fmt::format("boot:80 {} /tor/micro/d/{:03}", capped_ms, i))
                  : void(calls.back() += fmt::format("-{:03}", i));
    ScriptedFetch fetch;
    fetch.bodies["boot"] = "";
    hydrate_microdescriptors_with(consensus, kBootstrap, timeout_ms, fetch.fn());
    std::sort(fetch.calls.begin(), fetch.calls.end());  // batches run in parallel
    EXPECT_EQ(fetch.calls, calls);
  }
  for (auto [dir_relays, attempts] : {std::pair{0, 1u}, {4, 5u}, {9, 5u}}) {
    SCOPED_TRACE(dir_relays);
    Consensus consensus = consensus_of({hsdir("d1"), dir_source("10.1.0.0", 0)});  // no DirPort
    for (int i = 0; i < dir_relays; ++i)
      consensus.relays.push_back(dir_source(fmt::format("10.0.0.{}", i), 80));
    ScriptedFetch fetch;
    hydrate_microdescriptors_with(consensus, kBootstrap, 30000, fetch.fn());
    ASSERT_EQ(fetch.calls.size(), attempts);
    EXPECT_TRUE(fetch.calls[0].starts_with("boot:80 "));
    std::set<std::string> hosts;
    for (const auto& call : fetch.calls) hosts.insert(call.substr(0, call.find(' ')));
    EXPECT_EQ(hosts.size(), attempts);
    for (const auto& host : hosts) EXPECT_TRUE(host.ends_with(":80")) << host;  // DirPorts only
  }
}

TEST(HydrateMicrodescriptors, CompletesMissingKeysOnly) {
  const std::string ntor_md = ntor_only(100), empty_md = "onion-key\nfamily x\n";
  const std::string bad_utf8_md = ntor_only(0) + "# \xff\n";
  Relay preset = hsdir(digest_of(kMicrodesc));
  preset.ed25519_id = range_bytes(200);
  Consensus consensus = consensus_of({preset, hsdir(digest_of(kMicrodesc)),
                                      hsdir(digest_of(ntor_md), {"Running", "Valid"}),
                                      hsdir(digest_of(ntor_md)), hsdir(digest_of(empty_md)),
                                      hsdir(digest_of(bad_utf8_md)),  // the digest of the raw bytes
                                      hsdir(digest_of(ntor_only(7))), dir_source("10.0.0.1", 80)});
  ScriptedFetch fetch;
  // The bootstrap's answer does not parse: the next source's does.
  fetch.bodies["boot"] = "onion-key\nntor-onion-key !!!!\n" + kMicrodesc;
  fetch.bodies["10.0.0.1"] = kMicrodesc + ntor_md + empty_md + bad_utf8_md;
  hydrate_microdescriptors_with(consensus, kBootstrap, 30000, fetch.fn());
  std::string keys;  // "ed25519/ntor" per relay, a key named by its first byte
  for (const Relay& r : consensus.relays)
    for (const Bytes& key : {r.ed25519_id.to_bytes(), r.ntor_onion_key.to_bytes()})
      keys += key.empty() ? "- " : key == range_bytes(key[0]) ? std::to_string(key[0]) + " " : "? ";
  // The consensus id wins; a digest twice; not HSDir but fetched; ntor only;
  // neither line; invalid UTF-8 matches no relay; not in the response.
  EXPECT_EQ(keys, "200 0 32 0 - 100 - 100 - - - - - - - - ");
  EXPECT_EQ(fetch.calls.size(), 2u);
}

// Each fetch waits (boundedly) until as many fetches as expected workers
// overlap, so a missing worker shows as a lower maximum.
TEST(HydrateMicrodescriptors, StartsOneWorkerPerBatchUpToEight) {
  for (auto [batches, workers] : {std::pair{1, 1}, {2, 2}, {20, 8}}) {
    SCOPED_TRACE(batches);
    std::mutex mutex;
    std::condition_variable cv;
    int in_flight = 0, most = 0;
    std::set<std::thread::id> threads;
    Consensus consensus = consensus_of({}, batches * 90);
    hydrate_microdescriptors_with(consensus, kBootstrap, 30000, [&](auto&&...) {
      std::unique_lock lock(mutex);
      threads.insert(std::this_thread::get_id());
      most = std::max(most, ++in_flight);
      cv.notify_all();
      cv.wait_for(lock, std::chrono::seconds(2), [&] { return most >= workers; });
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      lock.lock();
      --in_flight;
      return Bytes{};
    });
    EXPECT_EQ(most, workers);
    EXPECT_EQ(threads.size(), static_cast<std::size_t>(workers));
  }
}

// Batch 2 (digests 90-179) ends its worker with a fault that is no Error; the
// others would complete a relay. The test awaits the end of every copy of
// `fetch` (the sentinel's) before the process may exit.
TEST(HydrateMicrodescriptors, AbnormalWorkerEndFailsTheCall) {
  Consensus consensus = consensus_of({}, 180);
  consensus.relays.push_back(hsdir(digest_of(kMicrodesc)));
  auto sentinel = std::make_shared<int>(0);
  std::weak_ptr<int> alive = sentinel;
  auto fetch = [sentinel](const HostPort&, const std::string& path, i32) -> Bytes {
    if (path.find("/090-") != std::string::npos) throw std::logic_error("fault");
    return util::from_string(kMicrodesc);
  };
  sentinel.reset();
  EXPECT_EQ(error_of([&] {
              hydrate_microdescriptors_with(consensus, kBootstrap, 30000, std::move(fetch));
            }),
            "microdescriptor worker panicked");
  EXPECT_TRUE(consensus.relays.back().ntor_onion_key.empty());
  for (int i = 0; i < 500 && !alive.expired(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(alive.expired());
}

}  // namespace
}  // namespace mistgrove_core::directory
