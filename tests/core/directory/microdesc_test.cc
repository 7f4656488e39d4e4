// Microdescriptor documents (cutting, fields, index) and the parallel
// download that completes relay keys, driven through its fetch seam.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"
#include "mistgrove_core/log.h"

namespace mistgrove_core::directory {
namespace {

using error::Error;
using util::HostPort;

// Keys 00..1f and 20..3f; the digest was computed with Python's hashlib.
const std::string kNtorB64 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";
const std::string kEdB64 = "ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9Pj8";
const std::string kMicrodesc =
    "onion-key\n-----BEGIN RSA PUBLIC KEY-----\nMIGJAoGBAMtp\n-----END RSA PUBLIC KEY-----\n"
    "ntor-onion-key " + kNtorB64 + "\nfamily $AAAA\nid ed25519 " + kEdB64 + "\n";
const std::string kMicrodescDigest = "+hLrvIzIqbLNPgWJ/SMwVmGyR9E/CxdDRP1oJ0ceDjc";

Bytes range_bytes(u8 from) {
  Bytes b(32);
  for (int i = 0; i < 32; ++i) b[i] = static_cast<u8>(from + i);
  return b;
}

std::string digest_of(std::string_view text) {
  return util::base64_encode_unpadded(crypto::sha256(util::from_string(text)));
}

// A microdescriptor with only an ntor key; distinct seeds give distinct digests.
std::string ntor_only(u8 seed) {
  return "onion-key\nntor-onion-key " + util::base64_encode_unpadded(range_bytes(seed)) + "\n";
}

Relay hsdir(std::string digest, std::set<std::string> flags = {"HSDir", "Running", "Valid"}) {
  Relay r;
  r.nickname = "r" + digest.substr(0, 4);
  r.address = "127.0.0.1";
  r.or_port = 9001;
  r.microdesc_digest = std::move(digest);
  r.flags = std::move(flags);
  return r;
}

Relay dir_source(std::string address, u16 dir_port) {
  Relay r = hsdir("", {"Running", "V2Dir", "Valid"});
  r.address = std::move(address);
  r.dir_port = dir_port;
  return r;
}

const HostPort kBootstrap{"boot", 80};

// Records log lines while alive.
class LogCapture {
 public:
  LogCapture() {
    log::set_level(log::Level::Info);
    log::set_sink([this](log::Level level, std::string_view, std::string_view message) {
      std::string prefix = level == log::Level::Warn ? "WARN " : "INFO ";
      lines_.push_back(prefix + std::string(message));
    });
  }
  ~LogCapture() {
    log::set_level(log::Level::Off);
    log::set_sink(nullptr);
  }
  bool has(const std::string& line) const {
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;  // written under the facade's sink lock
};

struct Call {
  HostPort source;
  std::string path;
  i32 timeout_ms;
};

// A fetch that records its calls and answers from a map of source host to
// body; a missing host fails with "down <host>".
struct ScriptedFetch {
  std::map<std::string, std::string> bodies;
  std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();
  std::shared_ptr<std::vector<Call>> calls = std::make_shared<std::vector<Call>>();

  MicrodescriptorFetch fn() const {
    return [bodies = bodies, mutex = mutex, calls = calls](const HostPort& source,
                                                           const std::string& path, i32 t) {
      {
        std::lock_guard lock(*mutex);
        calls->push_back({source, path, t});
      }
      auto it = bodies.find(source.host);
      if (it == bodies.end()) throw error::err("down " + source.host);
      return util::from_string(it->second);
    };
  }
};

TEST(SplitMicrodescriptors, CutsAtOnionKeyLines) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> pieces;
  } cases[] = {
      {"two", "onion-key\nA\nonion-key\nB\n", {"onion-key\nA\n", "onion-key\nB\n"}},
      {"leading text dropped", "junk\nonion-key\nA\n", {"onion-key\nA\n"}},
      {"no marker", "ntor-onion-key x\n", {}},
      {"empty", "", {}},
      {"last keeps its tail", "onion-key\nA\nonion-key\nB", {"onion-key\nA\n", "onion-key\nB"}},
      {"crlf lines are not cut", "onion-key\nA\r\nonion-key\r\nB\r\n",
       {"onion-key\nA\r\nonion-key\r\nB\r\n"}},
      {"crlf document has no marker", "onion-key\r\nA\r\n", {}},
      {"marker inside a word", "onion-key\nx-onion-key\nB\n", {"onion-key\nx-onion-key\nB\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(split_microdescriptors(c.text), c.pieces);
  }
}

TEST(ParseMicrodescriptorFields, TakesIdAndNtorLines) {
  const Bytes k0 = range_bytes(0), k1 = range_bytes(32);
  const std::string b0 = kNtorB64, b1 = kEdB64;
  struct Case {
    const char* name;
    std::string text;
    Bytes ed25519_id;
    Bytes ntor;
  } cases[] = {
      {"both", kMicrodesc, k1, k0},
      {"neither", "onion-key\nfamily x\n", {}, {}},
      {"second ntor line wins", "ntor-onion-key " + b0 + "\nntor-onion-key " + b1 + "\n", {}, k1},
      {"id of another kind ignored", "id rsa1024 " + b0 + "\n", {}, {}},
      {"id with two words ignored", "id ed25519\n", {}, {}},
      {"extra words ignored", "id ed25519 " + b0 + " more\nntor-onion-key " + b1 + " x\n", k0, k1},
      {"crlf and padding", "ntor-onion-key " + b0 + "=\r\n\r\n", {}, k0},
      {"no final line feed", "ntor-onion-key " + b1, {}, k1},
      {"short key kept as is", "ntor-onion-key AAAA\n", {}, Bytes{0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MicrodescriptorFields f = parse_microdescriptor_fields(c.text);
    EXPECT_EQ(f.ed25519_id, c.ed25519_id);
    EXPECT_EQ(f.ntor_onion_key, c.ntor);
  }
}

TEST(ParseMicrodescriptorFields, BadBase64FailsTheParse) {
  for (std::string text : {"ntor-onion-key !!!!\n", "id ed25519 !!!!\n"}) {
    SCOPED_TRACE(text);
    try {
      parse_microdescriptor_fields(text);
      FAIL() << "no error";
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), "base64 decode failed: Invalid symbol 33, offset 0.");
    }
  }
}

TEST(IndexMicrodescriptors, KeysAreDigestsOfTheExactText) {
  MicrodescriptorIndex index = index_microdescriptors("header\n" + kMicrodesc + kMicrodesc);
  ASSERT_EQ(index.size(), 1u);  // two identical microdescriptors, one entry
  EXPECT_EQ(index.begin()->first, kMicrodescDigest);
  EXPECT_EQ(index.begin()->second, (MicrodescriptorFields{range_bytes(32), range_bytes(0)}));

  EXPECT_TRUE(index_microdescriptors("no microdescriptors here\n").empty());
  EXPECT_EQ(index_microdescriptors(ntor_only(1) + ntor_only(2)).size(), 2u);
}

TEST(IndexMicrodescriptors, OneBadMicrodescriptorFailsTheWhole) {
  EXPECT_THROW(index_microdescriptors(kMicrodesc + "onion-key\nntor-onion-key *\n"), Error);
}

TEST(HydrateMicrodescriptors, FailsWithoutDigestsBeforeFetching) {
  Relay not_hsdir = hsdir("d1", {"Running", "Valid"});
  Relay no_ed_consensus = hsdir("d2", {"HSDir", "NoEdConsensus", "Running", "Valid"});
  Relay not_running = hsdir("d3", {"HSDir", "Valid"});
  Relay no_or_port = hsdir("d4");
  no_or_port.or_port = 0;
  Relay no_digest = hsdir("");
  struct Case {
    const char* name;
    std::vector<Relay> relays;
  } cases[] = {
      {"no relays", {}},
      {"none qualifies", {not_hsdir, no_ed_consensus, not_running, no_or_port, no_digest}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Consensus consensus;
    consensus.relays = c.relays;
    ScriptedFetch fetch;
    try {
      hydrate_microdescriptors_with(consensus, kBootstrap, 30000, fetch.fn());
      FAIL() << "no error";
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), "consensus has no microdescriptor digests to fetch");
    }
    EXPECT_TRUE(fetch.calls->empty());
  }
}

TEST(HydrateMicrodescriptors, BatchesOfNinetyInDigestOrder) {
  struct Case {
    int digests;
    std::vector<std::string> progress;  // one Info line per batch
  } cases[] = {
      {90, {"fetching HSDir microdescriptors 1-90 of 90"}},
      {91,
       {"fetching HSDir microdescriptors 1-90 of 91", "fetching HSDir microdescriptors 91-91 of 91"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.digests);
    Consensus consensus;
    std::vector<std::string> paths(1, "/tor/micro/d/");
    for (int i = 0; i < c.digests; ++i) {
      std::string digest = fmt::format("d{:03}", i);
      consensus.relays.push_back(hsdir(digest));
      consensus.relays.push_back(hsdir(digest));  // a second relay, no second fetch
      if (i == 90) paths.push_back("/tor/micro/d/");
      std::string& path = paths.back();
      path += (path.back() == '/' ? "" : "-") + digest;
    }
    ScriptedFetch fetch;
    fetch.bodies["boot"] = "";
    LogCapture logs;
    hydrate_microdescriptors_with(consensus, kBootstrap, 30000, fetch.fn());
    std::vector<std::string> fetched;
    for (const Call& call : *fetch.calls) fetched.push_back(call.path);
    std::sort(fetched.begin(), fetched.end());
    EXPECT_EQ(fetched, paths);
    for (const auto& line : c.progress) EXPECT_TRUE(logs.has("INFO " + line)) << line;
    EXPECT_EQ(logs.lines().front(),
              fmt::format("INFO fetching {} HSDir microdescriptor batches from 1 directory sources",
                          c.progress.size()));
    EXPECT_EQ(logs.lines().back(), "INFO hydrated 0 relays from microdescriptors");
  }
}

TEST(HydrateMicrodescriptors, FetchTimeoutIsCappedAtThreeSeconds) {
  struct Case {
    i32 timeout_ms;
    i32 fetch_timeout_ms;
  } cases[] = {{30000, 3000}, {3000, 3000}, {1000, 1000}, {0, 0}, {-5, -5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.timeout_ms);
    Consensus consensus;
    consensus.relays = {hsdir("d1")};
    ScriptedFetch fetch;
    hydrate_microdescriptors_with(consensus, kBootstrap, c.timeout_ms, fetch.fn());
    ASSERT_EQ(fetch.calls->size(), 1u);
    EXPECT_EQ(fetch.calls->front().timeout_ms, c.fetch_timeout_ms);
  }
}

TEST(HydrateMicrodescriptors, FailedBatchTriesUpToFiveSourcesBootstrapFirst) {
  struct Case {
    int dir_relays;
    std::size_t attempts;
  } cases[] = {{0, 1}, {2, 3}, {4, 5}, {9, 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir_relays);
    Consensus consensus;
    consensus.relays = {hsdir("d1")};
    for (int i = 0; i < c.dir_relays; ++i)
      consensus.relays.push_back(dir_source(fmt::format("10.0.0.{}", i), 80));
    consensus.relays.push_back(dir_source("10.1.0.0", 0));  // no DirPort: never a source
    ScriptedFetch fetch;
    LogCapture logs;
    hydrate_microdescriptors_with(consensus, kBootstrap, 30000, fetch.fn());
    ASSERT_EQ(fetch.calls->size(), c.attempts);
    EXPECT_EQ(fetch.calls->front().source, kBootstrap);
    std::set<std::string> hosts;
    for (const Call& call : *fetch.calls) hosts.insert(call.source.host);
    EXPECT_EQ(hosts.size(), c.attempts);  // consecutive sources, none twice
    EXPECT_FALSE(hosts.count("10.1.0.0"));
    EXPECT_TRUE(logs.has(fmt::format("WARN microdescriptor batch 1-1 failed after {} sources: down {}",
                                     c.attempts, fetch.calls->back().source.host)));
    EXPECT_EQ(logs.lines().back(), "INFO hydrated 0 relays from microdescriptors");
  }
}

TEST(HydrateMicrodescriptors, BadResponseMovesToTheNextSource) {
  Consensus consensus;
  consensus.relays = {hsdir(kMicrodescDigest), dir_source("10.0.0.1", 80)};
  ScriptedFetch fetch;
  fetch.bodies["boot"] = "onion-key\nntor-onion-key !!!!\n" + kMicrodesc;
  fetch.bodies["10.0.0.1"] = kMicrodesc;
  hydrate_microdescriptors_with(consensus, kBootstrap, 30000, fetch.fn());
  EXPECT_EQ(fetch.calls->size(), 2u);
  EXPECT_EQ(consensus.relays[0].ntor_onion_key, range_bytes(0));
  EXPECT_EQ(consensus.relays[0].ed25519_id, range_bytes(32));
}

TEST(HydrateMicrodescriptors, CompletesMissingKeysOnly) {
  const std::string ntor_md = ntor_only(100);
  const std::string empty_md = "onion-key\nfamily x\n";
  const std::string bad_utf8_md = "onion-key\nntor-onion-key " + kNtorB64 + "\n# \xff\n";
  Relay preset = hsdir(kMicrodescDigest);
  preset.ed25519_id = range_bytes(200);
  Relay twin = hsdir(kMicrodescDigest);
  Relay not_hsdir_same_digest = hsdir(digest_of(ntor_md), {"Running", "Valid"});
  Relay ntor_relay = hsdir(digest_of(ntor_md));
  Relay empty_relay = hsdir(digest_of(empty_md));
  Relay bad_utf8 = hsdir(digest_of(bad_utf8_md));  // digest of the raw bytes
  Relay unfetched = hsdir(digest_of(ntor_only(7)));
  Consensus consensus;
  consensus.relays = {preset, twin, not_hsdir_same_digest, ntor_relay, empty_relay, bad_utf8,
                      unfetched};
  ScriptedFetch fetch;
  fetch.bodies["boot"] = kMicrodesc + ntor_md + empty_md + bad_utf8_md;
  LogCapture logs;
  hydrate_microdescriptors_with(consensus, kBootstrap, 30000, fetch.fn());

  struct Expect {
    const char* name;
    Bytes ed25519_id;
    Bytes ntor;
  } expect[] = {
      {"consensus id wins", range_bytes(200), range_bytes(0)},
      {"same digest twice", range_bytes(32), range_bytes(0)},
      {"not HSDir but fetched", {}, range_bytes(100)},
      {"ntor only", {}, range_bytes(100)},
      {"neither line", {}, {}},
      {"invalid utf-8 matches no relay", {}, {}},
      {"not in the response", {}, {}},
  };
  ASSERT_EQ(consensus.relays.size(), std::size(expect));
  for (std::size_t i = 0; i < std::size(expect); ++i) {
    SCOPED_TRACE(expect[i].name);
    EXPECT_EQ(consensus.relays[i].ed25519_id, expect[i].ed25519_id);
    EXPECT_EQ(consensus.relays[i].ntor_onion_key, expect[i].ntor);
  }
  EXPECT_EQ(logs.lines().back(), "INFO hydrated 4 relays from microdescriptors");
}

TEST(HydrateMicrodescriptors, StartsOneWorkerPerBatchUpToEight) {
  struct Case {
    int batches;
    int workers;
  } cases[] = {{1, 1}, {2, 2}, {20, 8}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.batches);
    Consensus consensus;
    for (int i = 0; i < c.batches * 90; ++i) consensus.relays.push_back(hsdir(fmt::format("{}", i)));
    struct Seen {
      std::mutex mutex;
      std::condition_variable cv;
      int in_flight = 0, most = 0;
      std::set<std::thread::id> threads;
    };
    auto seen = std::make_shared<Seen>();
    const int target = c.workers;
    // Each fetch waits (boundedly) until as many fetches as expected workers
    // overlap, so a missing worker shows as a lower maximum.
    auto fetch = [seen, target](const HostPort&, const std::string&, i32) {
      std::unique_lock lock(seen->mutex);
      seen->threads.insert(std::this_thread::get_id());
      seen->most = std::max(seen->most, ++seen->in_flight);
      seen->cv.notify_all();
      seen->cv.wait_for(lock, std::chrono::seconds(2), [&] { return seen->most >= target; });
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      lock.lock();
      --seen->in_flight;
      return Bytes{};
    };
    hydrate_microdescriptors_with(consensus, kBootstrap, 30000, fetch);
    EXPECT_EQ(seen->most, c.workers);
    EXPECT_EQ(seen->threads.size(), static_cast<std::size_t>(c.workers));
  }
}

TEST(HydrateMicrodescriptors, AbnormalWorkerEndFailsTheCall) {
  Consensus consensus;
  for (int i = 0; i < 180; ++i) consensus.relays.push_back(hsdir(fmt::format("{}", i)));
  consensus.relays.push_back(hsdir(kMicrodescDigest));
  const Consensus before = consensus;
  // Batch 2 (digests 91-180) ends its worker with a fault that is no Error;
  // the other batches answer with a microdescriptor that would complete a relay.
  // The last worker is left running; every copy of `fetch` (and so of the
  // sentinel) is gone once it has ended, which the test awaits before the
  // process may exit.
  auto sentinel = std::make_shared<int>(0);
  std::weak_ptr<int> alive = sentinel;
  auto fetch = [sentinel](const HostPort&, const std::string& path, i32) -> Bytes {
    if (path.find("/90-") != std::string::npos) throw std::logic_error("fault");
    return util::from_string(kMicrodesc);
  };
  sentinel.reset();
  try {
    hydrate_microdescriptors_with(consensus, kBootstrap, 30000, std::move(fetch));
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "microdescriptor worker panicked");
  }
  EXPECT_EQ(consensus.relays.back().ntor_onion_key, before.relays.back().ntor_onion_key);
  for (int i = 0; i < 500 && !alive.expired(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(alive.expired());
}

}  // namespace
}  // namespace mistgrove_core::directory
