// The onion-service client: descriptors and their two encrypted layers, the
// hs-ntor introduction handshake, and the steps that carry them over circuits.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mistgrove_core/circuit.h"
#include "mistgrove_core/crypto.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/options.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::hs {

// ===========================================================================
// Descriptors (descriptor.cc)
// ===========================================================================

// One introduction point of a service as its descriptor lists it. A kept
// record has three 32-byte keys and an IPv4 link specifier (type 0, 6 bytes).
struct IntroductionPoint {
  // As the "introduction-point" line gives them, in wire order.
  std::vector<directory::LinkSpecifier> link_specifiers;
  Bytes onion_key;  // the point's ntor onion key
  Bytes auth_key;   // certified key of the auth-key certificate
  Bytes enc_key;    // the service's ntor encryption key for this point
};

// The usable content of one decrypted descriptor; intro_points is never empty.
struct HiddenServiceDescriptor {
  std::vector<IntroductionPoint> intro_points;  // document order
};

// Verifies the outer document's authenticity at `now` (seconds since the
// epoch), then decrypts both layers with keys made from `keys` (blinded key
// and subcredential) and the document's revision counter, and parses the
// introduction points.
HiddenServiceDescriptor decrypt_hs_descriptor(std::string_view outer,
                                              const directory::HsPeriodKeys& keys, u64 now);

// One encrypted layer (SALT | ENCRYPTED | MAC); the MAC is checked before
// decryption, and trailing zero padding is removed from the plaintext.
Bytes decrypt_descriptor_layer(ByteView blob, ByteView blinded_key, ByteView subcredential,
                               u64 revision_counter, std::string_view layer_constant);

HiddenServiceDescriptor parse_inner_descriptor(std::string_view inner);

// The certified key (bytes 7 to 38) of the first ED25519 CERT block of `text`;
// only the version and the length are examined.
Bytes parse_ed25519_cert_subject(std::string_view text);

// The body lines between the first `begin` marker's line and the `end` marker.
std::string extract_pem_message(std::string_view text, std::string_view begin,
                                std::string_view end);

// Checks that the outer document was written by the holder of the blinded key:
// its signing-key certificate, unexpired at `now` (seconds since the epoch),
// and its final signature. Returns the certified descriptor signing key.
Bytes verify_hs_descriptor(std::string_view outer, ByteView blinded_key, u64 now);

// A binary descriptor-signing-key certificate (version 1, type 08, Ed25519
// certified key) signed by `blinded_key` and naming it in its signed-with-key
// extension, whose expiration (whole hours since the epoch) is not before
// `now` (seconds since the epoch). Returns the certified key.
Bytes verify_descriptor_signing_cert(ByteView cert, ByteView blinded_key, u64 now);

// ===========================================================================
// hs-ntor handshake and INTRODUCE1 (ntor.cc)
// ===========================================================================

// The client's hs-ntor state for one INTRODUCE1, held by the rendezvous
// attempt until the service answers. Move-only; the secrets are overwritten
// when the state is dropped.
struct HsNtorState {
  Bytes client_secret;  // x
  Bytes client_public;  // X
  Bytes enc_key;        // B
  Bytes auth_key;       // AUTH_KEY
  Bytes secret_xb;      // EXP(B, x)
  Bytes key_seed;       // empty until finish_hs_ntor succeeds

  HsNtorState() = default;
  HsNtorState(HsNtorState&&) = default;
  HsNtorState& operator=(HsNtorState&&) = default;
  HsNtorState(const HsNtorState&) = delete;
  HsNtorState& operator=(const HsNtorState&) = delete;
  ~HsNtorState();
};

// The body of one INTRODUCE1 relay cell and the handshake state it commits to.
struct Introduce1 {
  Bytes body;
  HsNtorState state;
};

// INTRODUCE1 for `point`, asking the service to meet us at `rendezvous` with
// the 20-byte `cookie`; only the subcredential of `keys` is used.
Introduce1 build_introduce1(const IntroductionPoint& point, const directory::Relay& rendezvous,
                            ByteView cookie, const directory::HsPeriodKeys& keys);

// The handshake half of build_introduce1 with a given ephemeral secret x and an
// already padded plaintext: header, X, the enciphered plaintext and the MAC.
// build_introduce1 calls it with a fresh secret; known-answer tests call it
// with a fixed one.
Introduce1 encrypt_introduce1(const IntroductionPoint& point, ByteView plaintext,
                              ByteView subcredential, ByteView client_secret);

// Checks the service's proof in a RENDEZVOUS2 body (Y | AUTH, longer data
// ignored) and returns the end-to-end hop's keys (SHA3-256, AES-256).
crypto::RelayCrypto finish_hs_ntor(HsNtorState& state, ByteView handshake);


// ===========================================================================
// Descriptor fetch, rendezvous and the end-to-end stream (fetch.cc,
// rendezvous.cc, stream.cc)
// ===========================================================================

// The deliver windows of one stream exchange reading the far end's DATA:
// circuit window 1000 with a circuit-level SENDME whenever it falls to 900,
// stream window 500 with a stream-level SENDME whenever it falls to 450.
// Only DATA cells of the stream being read count.
class SendmeWindows {
 public:
  struct Due {
    bool circuit = false;  // send first
    bool stream = false;
  };
  // Counts one DATA cell and opens the windows again for the SENDMEs it makes
  // due; the caller sends them in that order.
  Due count_data_cell();

 private:
  i32 circuit_ = 1000;
  i32 stream_ = 500;
};

// What a stream exchange needs from the circuit it runs on: a wait on it, the
// next relay cell recognized at the far end of the stream within a wait, a
// relay cell to that hop, and that hop's running backward and forward
// digests as they stand now.
struct StreamIo {
  std::function<circuit::Wait(std::string_view awaited)> wait_for;
  std::function<circuit::RelayCell(const circuit::Wait&)> recv;
  std::function<void(u8 command, u16 stream_id, ByteView data)> send;
  std::function<Bytes()> backward_digest;
  std::function<Bytes()> forward_digest;
};

// Sends `payload` on `stream_id` as DATA cells of at most 498 bytes, then
// collects the stream's DATA until its END.
//
// Sending counts every DATA cell against a circuit package window (1000,
// +100 per circuit-level SENDME) and a stream package window (500, +50 per
// SENDME of the stream); while either is 0 the far end's cells are read
// within a wait for "SENDME". A circuit-level SENDME of version 1 must carry
// the forward digest as it stood right after the 100th, 200th, ... DATA cell
// sent ("circuit SENDME digest mismatch"); version 0 is taken as it is.
//
// Reading, in either phase, follows the SENDME window rule: our circuit-level
// SENDMEs are authenticated (version 1, the backward digest right after the
// DATA cell that made them due), stream-level ones are empty. Once the
// SENDMEs of a cell are sent, more than `limit` bytes fail with `too_large`.
// Each DATA cell that carries bytes starts a new wait, so a long transfer is
// bounded per cell; a `wait_for` that keeps one deadline bounds it as a
// whole. END ends the exchange, a sending one too: with no reason or reason
// 6 (DONE) with the data collected, with another reason as a failure "onion
// service stream ended with reason {reason}". Other streams' cells and other
// commands are skipped.
Bytes exchange_on_stream(const StreamIo& io, u16 stream_id, ByteView payload, u64 limit,
                         std::string_view too_large);

// A stream to the onion service on a completed rendezvous circuit; one
// request on one thread. Dropping it closes the link; no END is sent.
class RendezvousStream {
 public:
  RendezvousStream(circuit::Circuit circuit, crypto::RelayCrypto hs_crypto)
      : circuit(std::move(circuit)), hs_crypto(std::move(hs_crypto)) {}

  // BEGIN ":port" and the wait for CONNECTED; END first fails "onion service
  // stream ended before CONNECTED".
  void begin(u16 stream_id, u16 port);
  // The next cell the service sent within `wait`; bodies the end-to-end hop
  // does not recognize are skipped.
  circuit::RelayCell recv_hs(const circuit::Wait& wait);
  // exchange_on_stream with the service: `payload` sent within the package
  // windows, then the stream's data until END; beyond `limit` bytes "stream
  // response too large". Empty payload sends nothing.
  Bytes exchange(u16 stream_id, ByteView payload, u64 limit);

  circuit::Circuit circuit;        // guard, then rendezvous point unless the same
  crypto::RelayCrypto hs_crypto;   // the end-to-end hop (SHA3-256, AES-256)

 private:
  void send_hs(u8 command, u16 stream_id, ByteView data);
};

// A decrypted descriptor and the guard whose circuit fetched it.
struct FetchedDescriptor {
  HiddenServiceDescriptor descriptor;
  directory::Relay guard;
};

// The service's descriptor for the period of `keys`: for the current, then the
// previous shared random value, each responsible HSDir in random order over a
// fresh two-hop circuit (guard, HSDir) until one answer decrypts. Every link
// waits at most timeout_ms per connect, read and write, and every wait for a
// cell at most timeout_ms in all.
FetchedDescriptor fetch_hidden_service_descriptor(const directory::Consensus& consensus,
                                                  const directory::HsPeriodKeys& keys,
                                                  i32 timeout_ms);

// Test seam: the fetch with the exchange with one HSDir (the real one is
// fetch_from_hsdir) replaced. It returns the descriptor document, judged at
// `now` (seconds since the epoch), or when absent at the time it arrived.
using HsdirFetch = std::function<Bytes(const directory::Relay& hsdir,
                                       const directory::Relay& guard, std::string_view path,
                                       i32 timeout_ms)>;
FetchedDescriptor fetch_hidden_service_descriptor_with(const directory::Consensus& consensus,
                                                       const directory::HsPeriodKeys& keys,
                                                       i32 timeout_ms, const HsdirFetch& fetch,
                                                       std::optional<u64> now = std::nullopt);

// The guard for the next HSDir: the first of guards[counter mod n],
// guards[counter + 1 mod n], ... that is not the HSDir itself (by Ed25519
// identity); the counter moves past it. Nothing when every guard is the
// HSDir; the counter then stays.
const directory::Relay* choose_hsdir_guard(const std::vector<directory::Relay>& guards,
                                           const directory::Relay& hsdir, std::size_t& counter);

// A BEGIN_DIR stream (id 1) to the circuit's last hop carrying a GET of
// `path`: the body of the 200 answer, at most 8 MiB before decoding. The
// whole exchange, BEGIN_DIR to END, lasts at most one wait of the circuit
// ("timed out waiting for CONNECTED", then "... for DATA").
Bytes begin_dir_get(circuit::Circuit& circuit, const directory::Relay& hsdir,
                    std::string_view path);

// One descriptor request: a new link to the guard, CREATE_FAST, extension to
// the HSDir, then begin_dir_get. The link is closed on return.
Bytes fetch_from_hsdir(const directory::Relay& hsdir, const directory::Relay& guard,
                       std::string_view path, i32 timeout_ms);

// One rendezvous attempt at `rendezvous` through `guard`: cookie registered,
// introductions tried in random order until one is acknowledged, RENDEZVOUS2
// completes hs-ntor. An introduction point that is the guard fails at once
// ("intro point is the guard"): relays refuse INTRODUCE1 on one-hop circuits.
// Only options.timeout_ms is read; it also bounds each wait for a cell, so a
// service that never reaches the rendezvous point ends the attempt.
RendezvousStream connect_onion_service(const Options& options,
                                       const HiddenServiceDescriptor& descriptor,
                                       const directory::HsPeriodKeys& keys,
                                       const directory::Relay& rendezvous,
                                       const directory::Relay& guard);

// Up to 12 rendezvous points with up to 3 guards each, the preferred guards
// (those usable) first in the guard list; the first stream that works.
RendezvousStream connect_onion_service_with_retries(
    const Options& options, const directory::Consensus& consensus,
    const HiddenServiceDescriptor& descriptor, const directory::HsPeriodKeys& keys,
    const std::vector<directory::Relay>& preferred_guards);

// The driver's guard list: the usable preferred guards in order, then the
// rendezvous candidates, each relay once (same_relay; the first stays).
std::vector<directory::Relay> rendezvous_guard_list(
    const std::vector<directory::Relay>& preferred_guards,
    const std::vector<directory::Relay>& rendezvous);

// The driver's attempts in order as (rendezvous index, guard index): at most
// 12 points, at most 3 guards each, starting at the guard of the point's own
// index; a point is not its own guard unless there is only one guard.
std::vector<std::pair<std::size_t, std::size_t>> rendezvous_attempt_plan(
    const std::vector<directory::Relay>& rendezvous,
    const std::vector<directory::Relay>& guards);

// The relay record an introduction circuit extends to: IPv4 address and port
// (first 6-byte type 0 specifier), RSA identity (last 20-byte type 2),
// Ed25519 identity (last 32-byte type 3) and the point's ntor onion key.
directory::Relay intro_point_relay(const IntroductionPoint& point);

// Accepts INTRODUCE_ACK data with status 0; fails "short INTRODUCE_ACK" or
// "INTRODUCE_ACK status {}" otherwise.
void check_introduce_ack(ByteView data);

}  // namespace mistgrove_core::hs
