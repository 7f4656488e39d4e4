// Directory figures on a synthetic 7,000-relay microdescriptor consensus:
// parse time, the deep copy every request makes, the memory one parsed
// consensus holds, and HSDir selection. Make the document first with
//   python3 tools/gen_consensus.py --out build/consensus-7000.txt
// and pass another path with --consensus=PATH.
#include <malloc.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "bench.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"

namespace mistgrove_bench {
namespace {

using namespace mistgrove_core;
using directory::Consensus;

std::string consensus_text(const Args& args) {
  const std::string path = args.get("consensus", "build/consensus-7000.txt");
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw error::err("cannot read " + path +
                     "; make it with: python3 tools/gen_consensus.py --out " + path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// What session creation leaves behind: the HSDir relays carry the Ed25519
// identity and ntor key of their microdescriptors.
Consensus completed_consensus(const Args& args) {
  Consensus consensus = directory::parse_consensus(consensus_text(args));
  u8 n = 0;
  for (directory::Relay& relay : consensus.relays) {
    if (!relay.flags.has(directory::RelayFlag::HSDir)) continue;
    ++n;
    Bytes ed25519_id(32, n);
    ed25519_id[0] = relay.rsa_identity[0];
    ed25519_id[1] = relay.rsa_identity[1];
    relay.ed25519_id = ed25519_id;
    relay.ntor_onion_key = Bytes(32, static_cast<u8>(n + 1));
  }
  return consensus;
}

std::size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;  // small chunks plus mmapped blocks
}

void print_ms(const char* what, double seconds, double limit_ms) {
  std::printf("   %-44s %8.3f ms  (limit %.0f ms)\n", what, seconds * 1e3, limit_ms);
}

MG_BENCH("directory/parse_consensus") {
  const std::string text = consensus_text(args);
  std::size_t relays = 0;
  const double s =
      best_seconds(5, 4, [&] { relays = directory::parse_consensus(text).relays.size(); });
  std::printf("   document: %zu bytes, %zu relays\n", text.size(), relays);
  print_ms("parse_consensus", s, 20);
}

MG_BENCH("directory/copy_consensus") {
  const Consensus consensus = completed_consensus(args);
  // The copy alone is timed; freeing it is reported apart.
  double copy_s = 1e300, free_s = 1e300;
  for (int round = 0; round < 20; ++round) {
    auto start = std::chrono::steady_clock::now();
    auto copy = std::make_unique<Consensus>(consensus);
    auto copied = std::chrono::steady_clock::now();
    copy.reset();
    auto freed = std::chrono::steady_clock::now();
    copy_s = std::min(copy_s, std::chrono::duration<double>(copied - start).count());
    free_s = std::min(free_s, std::chrono::duration<double>(freed - copied).count());
  }
  print_ms("deep copy of the completed consensus", copy_s, 3);
  std::printf("   %-44s %8.3f ms\n", "freeing that copy", free_s * 1e3);
}

MG_BENCH("directory/consensus_memory") {
  const std::string text = consensus_text(args);
  const std::size_t before = heap_in_use();
  Consensus consensus = directory::parse_consensus(text);
  const std::size_t parsed = heap_in_use();
  std::printf("   held by the parsed consensus:    %6.2f MB (%zu relays, %.0f bytes each)\n",
              (parsed - before) / 1e6, consensus.relays.size(),
              double(parsed - before) / consensus.relays.size());
  const Consensus completed = completed_consensus(args);
  const std::size_t before_copy = heap_in_use();
  const Consensus copy = completed;
  std::printf("   held by a completed consensus:   %6.2f MB (aim < 8 MB)\n",
              (heap_in_use() - before_copy) / 1e6);
}

MG_BENCH("directory/select_hsdirs") {
  const Consensus consensus = completed_consensus(args);
  std::size_t ring = 0;
  for (const directory::Relay& relay : consensus.relays)
    ring += directory::relay_usable_hsdir(relay);
  const Bytes blinded_key(32, 0x42);
  std::size_t chosen = 0;
  const double s = best_seconds(5, 10, [&] {
    chosen =
        directory::select_hsdirs(consensus, blinded_key, consensus.srv_current, 20792, 1440).size();
  });
  std::printf("   ring of %zu HSDirs, %zu chosen\n", ring, chosen);
  print_ms("select_hsdirs", s, 5);
}

}  // namespace
}  // namespace mistgrove_bench
