// Microdescriptors: cutting and indexing microdescriptor documents, and the
// parallel download that completes the HSDir relays' keys at session creation.
#include "microdesc.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "http.h"
#include "mistgrove_core/crypto.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"
#include "mistgrove_core/guarded.h"
#include "mistgrove_core/log.h"
#include "ring.h"

namespace mistgrove_core::directory {
namespace {

constexpr std::string_view kTarget = "mistgrove_core::directory";
constexpr std::size_t kBatchSize = 90;
constexpr std::size_t kMaxWorkers = 8;
constexpr std::size_t kMaxAttempts = 5;
constexpr i32 kFetchTimeoutCapMs = 3000;

struct Batch {
  std::string path;
  std::size_t first = 0;  // 1-based number of the batch's first digest
  std::size_t last = 0;   // 1-based, inclusive
};

// What the coordinator and every worker share. Workers left running after a
// failed call keep it alive through their own handle.
struct SharedState {
  std::vector<Batch> batches;           // read-only once workers start
  std::vector<util::HostPort> sources;  // read-only once workers start
  MicrodescriptorFetch fetch;
  std::atomic<std::size_t> next_batch{0};
  std::vector<char> ended_abnormally;  // one slot per worker, written by that worker only

  util::Guarded<MicrodescriptorIndex> merged{{}, "microdescriptor fields lock poisoned"};
};

std::vector<std::string> hsdir_digests(const Consensus& consensus) {
  std::vector<std::string> digests;
  std::set<std::string_view> seen;
  for (const Relay& relay : consensus.relays) {
    if (!relay_usable_dir(relay) || relay.microdesc_digest.empty() ||
        !relay.flags.has(RelayFlag::HSDir) || relay.flags.has(RelayFlag::NoEdConsensus))
      continue;
    if (seen.insert(relay.microdesc_digest).second) digests.push_back(relay.microdesc_digest.str());
  }
  return digests;
}

// The bootstrap first, then every directory relay's DirPort in random order.
std::vector<util::HostPort> directory_sources(const Consensus& consensus,
                                              const util::HostPort& bootstrap) {
  std::vector<util::HostPort> sources{bootstrap};
  for (const Relay& relay : consensus.relays) {
    if (relay_usable_dir(relay) && relay.dir_port != 0 && relay.flags.has(RelayFlag::V2Dir))
      sources.push_back({relay.address, relay.dir_port});
  }
  auto& rng = crypto::thread_rng();
  for (std::size_t i = sources.size() - 1; i >= 2; --i) {
    std::size_t j = 1 + std::uniform_int_distribution<std::size_t>(0, i - 1)(rng);
    std::swap(sources[i], sources[j]);
  }
  return sources;
}

std::vector<Batch> make_batches(const std::vector<std::string>& digests) {
  std::vector<Batch> batches;
  for (std::size_t start = 0; start < digests.size(); start += kBatchSize) {
    std::size_t end = std::min(start + kBatchSize, digests.size());
    Batch batch{"/tor/micro/d/", start + 1, end};
    for (std::size_t i = start; i < end; ++i) {
      if (i != start) batch.path += '-';
      batch.path += digests[i];
    }
    batches.push_back(std::move(batch));
  }
  return batches;
}

void merge_fields(SharedState& shared, MicrodescriptorIndex&& index) {
  shared.merged.with([&](MicrodescriptorIndex& merged) {
    for (auto& [key, fields] : index) merged.insert_or_assign(key, std::move(fields));
  });
}

void run_worker(SharedState& shared, std::size_t digest_count, u64 worker, i32 fetch_timeout) {
  const u64 source_count = shared.sources.size();
  const std::size_t attempts = std::min<std::size_t>(source_count, kMaxAttempts);
  for (;;) {
    const u64 b = shared.next_batch.fetch_add(1);
    if (b >= shared.batches.size()) return;
    const Batch& batch = shared.batches[b];
    log::info(kTarget, "fetching HSDir microdescriptors {}-{} of {}", batch.first, batch.last,
              digest_count);
    std::string last_failure;
    bool done = false;
    for (u64 a = 0; a < attempts && !done; ++a) {
      const util::HostPort& source = shared.sources[(13 * worker + 7 * b + a) % source_count];
      MicrodescriptorIndex index;
      try {
        Bytes body = shared.fetch(source, batch.path, fetch_timeout);
        index = index_microdescriptors(util::to_string_lossy(body));
      } catch (const error::Error& e) {
        last_failure = e.message();
        continue;
      }
      merge_fields(shared, std::move(index));
      done = true;
    }
    if (!done)
      log::warn(kTarget, "microdescriptor batch {}-{} failed after {} sources: {}", batch.first,
                batch.last, attempts, last_failure);
  }
}

// Threads still joinable when this goes (a failed join order, or a thread
// that could not be started) are left to finish on their own.
struct WorkerThreads {
  std::vector<std::thread> threads;
  ~WorkerThreads() {
    for (auto& t : threads)
      if (t.joinable()) t.detach();
  }
};

}  // namespace

std::vector<std::string> split_microdescriptors(std::string_view text) {
  std::vector<std::string> pieces;
  std::size_t start = text.find("onion-key\n");
  if (start == std::string_view::npos) return pieces;
  for (;;) {
    std::size_t lf = text.find("\nonion-key\n", start + 1);
    if (lf == std::string_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, lf + 1 - start));
    start = lf + 1;
  }
}

MicrodescriptorFields parse_microdescriptor_fields(std::string_view text) {
  MicrodescriptorFields fields;
  while (!text.empty()) {
    std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    auto words = util::split_ws(line);
    if (words.empty()) continue;
    if (words[0] == "id" && words.size() >= 3 && words[1] == "ed25519")
      fields.ed25519_id = util::base64_decode(words[2]);
    else if (words[0] == "ntor-onion-key" && words.size() >= 2)
      fields.ntor_onion_key = util::base64_decode(words[1]);
  }
  return fields;
}

MicrodescriptorIndex index_microdescriptors(std::string_view text) {
  MicrodescriptorIndex index;
  for (const std::string& piece : split_microdescriptors(text)) {
    std::string key = util::base64_encode_unpadded(crypto::sha256(util::text_bytes(piece)));
    index.insert_or_assign(std::move(key), parse_microdescriptor_fields(piece));
  }
  return index;
}

void hydrate_microdescriptors(Consensus& consensus, const util::HostPort& bootstrap,
                              i32 timeout_ms) {
  hydrate_microdescriptors_with(
      consensus, bootstrap, timeout_ms,
      [](const util::HostPort& source, const std::string& path, i32 timeout) {
        return http_get_direct_within(source, path, timeout);
      });
}

void hydrate_microdescriptors_with(Consensus& consensus, const util::HostPort& bootstrap,
                                   i32 timeout_ms, MicrodescriptorFetch fetch) {
  std::vector<std::string> digests = hsdir_digests(consensus);
  if (digests.empty()) throw error::err("consensus has no microdescriptor digests to fetch");

  auto shared = std::make_shared<SharedState>();
  shared->sources = directory_sources(consensus, bootstrap);
  shared->batches = make_batches(digests);
  shared->fetch = std::move(fetch);
  const std::size_t worker_count = std::min(shared->batches.size(), kMaxWorkers);
  shared->ended_abnormally.assign(worker_count, 0);
  const i32 fetch_timeout = std::min(timeout_ms, kFetchTimeoutCapMs);
  const std::size_t digest_count = digests.size();
  log::info(kTarget, "fetching {} HSDir microdescriptor batches from {} directory sources",
            shared->batches.size(), shared->sources.size());

  WorkerThreads workers;
  for (std::size_t w = 0; w < worker_count; ++w) {
    workers.threads.emplace_back([shared, digest_count, w, fetch_timeout] {
      try {
        run_worker(*shared, digest_count, w, fetch_timeout);
      } catch (...) {
        shared->ended_abnormally[w] = 1;
      }
    });
  }
  for (std::size_t w = 0; w < worker_count; ++w) {
    workers.threads[w].join();
    if (shared->ended_abnormally[w]) throw error::err("microdescriptor worker panicked");
  }

  const std::size_t completed = shared->merged.with([&](const MicrodescriptorIndex& merged) {
    std::size_t count = 0;
    if (merged.empty()) return count;
    for (Relay& relay : consensus.relays) {
      auto it = merged.find(relay.microdesc_digest.view());
      if (it == merged.end()) continue;
      // A key the consensus already gave is never replaced.
      if (relay.ed25519_id.empty()) relay.ed25519_id = it->second.ed25519_id;
      if (relay.ntor_onion_key.empty()) relay.ntor_onion_key = it->second.ntor_onion_key;
      if (relay.ed25519_id.size() == 32 || relay.ntor_onion_key.size() == 32) ++count;
    }
    return count;
  });
  log::info(kTarget, "hydrated {} relays from microdescriptors", completed);
}

}  // namespace mistgrove_core::directory
