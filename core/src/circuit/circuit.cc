// Circuit: CREATE_FAST, EXTEND2 with the client side of ntor, and relay cells
// layered through the hops of one link.
#include "mistgrove_core/circuit.h"

#include <fmt/format.h>

#include <chrono>
#include <optional>
#include <stdexcept>

#include "mistgrove_core/error.h"
#include "mistgrove_core/log.h"
#include "ntor.h"

namespace mistgrove_core::circuit {
namespace {

using crypto::RelayCrypto;
using crypto::Secret;
using error::err;
using util::concat;
using util::text_bytes;

constexpr std::string_view kLog = "mistgrove_core::circuit";

constexpr std::string_view kProtoId = "ntor-curve25519-sha256-1";
constexpr std::string_view kKeyExtract = "ntor-curve25519-sha256-1:key_extract";
constexpr std::string_view kVerify = "ntor-curve25519-sha256-1:verify";
constexpr std::string_view kMac = "ntor-curve25519-sha256-1:mac";
constexpr u16 kHtypeNtor = 2;
constexpr u16 kNtorOnionskinLen = 84;

using Clock = std::chrono::steady_clock;

// Every read of a wait starts and ends by its deadline: neither a peer that
// keeps sending cells nobody awaits (padding, other streams) nor one that
// sends a cell a byte at a time can hold the wait open.
tor::Cell read_cell_within(tor::TorChannel& channel, const Wait& wait) {
  std::optional<tor::Cell> cell;
  if (Clock::now() < wait.deadline) cell = channel.read_cell(wait.deadline);
  if (!cell) throw err(fmt::format("timed out waiting for {}", wait.awaited));
  return std::move(*cell);
}

Wait wait_of(std::string_view awaited, i32 timeout_ms) {
  return {awaited, Clock::now() + std::chrono::milliseconds(timeout_ms)};
}

bool all_zero(ByteView data) {
  u8 acc = 0;
  for (u8 b : data) acc |= b;
  return acc == 0;
}

}  // namespace

NtorState::~NtorState() {
  crypto::wipe(client_secret);
  crypto::wipe(secret_xb);
}

Circuit::Circuit(tor::TorChannel channel, RelayCrypto first_hop, u32 circ_id, i32 wait_timeout_ms)
    : channel_(std::move(channel)), circ_id_(circ_id), wait_timeout_ms_(wait_timeout_ms) {
  hops_.push_back(std::move(first_hop));
}

Circuit Circuit::create_fast(tor::TorChannel channel, i32 wait_timeout_ms) {
  // The link belongs to this circuit alone, so any id with the top bit set
  // (the client's half of the id space) is free.
  u32 circ_id = util::read_u32(crypto::random_bytes(4), 0) | 0x80000000u;
  log::info(kLog, "creating fast circuit {}", circ_id);

  Secret x(crypto::random_bytes(20));
  channel.write_cell(circ_id, tor::kCellCreateFast, x.bytes);
  const Wait wait = wait_of("CREATED_FAST", wait_timeout_ms);
  tor::Cell cell;
  do {
    cell = read_cell_within(channel, wait);
  } while (cell.circ_id != circ_id);
  if (cell.command == tor::kCellDestroy) throw err("CREATE_FAST was destroyed");
  if (cell.command != tor::kCellCreatedFast)
    throw err("unexpected cell while waiting for CREATED_FAST");

  ByteView reply(cell.body);
  Secret seed(concat({x.bytes, reply.first(20)}));
  Secret k(crypto::kdf_tor(seed.bytes, 92));
  if (!crypto::ct_equal(k.view(0, 20), reply.subspan(20, 20)))
    throw err("CREATE_FAST key hash mismatch");
  RelayCrypto hop(k.view(20, 20), k.view(40, 20), k.view(60, 16), k.view(76, 16), false);
  return Circuit(std::move(channel), std::move(hop), circ_id, wait_timeout_ms);
}

void Circuit::extend_ntor(const directory::Relay& relay) {
  log::info(kLog, "extending circuit to relay {} at {}:{}", relay.nickname, relay.address,
            relay.or_port);
  NtorState state;
  Bytes onionskin = build_ntor_onionskin(relay, state);
  util::ByteWriter extend2;
  extend2.put_bytes(directory::serialize_link_specifiers(directory::relay_link_specifiers(relay)));
  extend2.put_u16(kHtypeNtor);
  extend2.put_u16(kNtorOnionskinLen);
  extend2.put_bytes(onionskin);
  Bytes data = extend2.take();
  // RELAY_EARLY: relays refuse an EXTEND2 that arrives in a plain RELAY cell.
  send_relay_cell(tor::kCellRelayEarly, hops_.size() - 1, kRelayExtend2, 0, data);

  RelayCell reply = recv_command(kRelayExtended2, "EXTENDED2");
  if (reply.data.size() < 2) throw err("short EXTENDED2 body");
  u16 hlen = util::read_u16(reply.data, 0);
  if (reply.data.size() < std::size_t{hlen} + 2) throw err("truncated EXTENDED2 handshake");
  hops_.push_back(finish_ntor(state, ByteView(reply.data).subspan(2, hlen)));
}

void Circuit::send_relay_cell(u8 link_command, std::size_t hop, u8 relay_command, u16 stream_id,
                              ByteView data) {
  if (hop >= hops_.size()) throw err("bad hop index");
  Bytes body = hops_[hop].encrypt_relay(relay_command, stream_id, data);
  for (std::size_t i = hop; i-- > 0;) hops_[i].forward.apply_in_place(body);
  channel_.write_cell(circ_id_, link_command, body);
}

Wait Circuit::wait_for(std::string_view awaited) const {
  return wait_of(awaited, wait_timeout_ms_);
}

tor::Cell Circuit::next_relay_cell(const Wait& wait, const char* destroyed) {
  for (;;) {
    tor::Cell cell = read_cell_within(channel_, wait);
    if (cell.circ_id != circ_id_) continue;
    if (cell.command == tor::kCellDestroy) throw err(destroyed);
    if (cell.command == tor::kCellRelay) return cell;
  }
}

RelayCell Circuit::recv_relay(const Wait& wait) {
  for (;;) {
    tor::Cell cell = next_relay_cell(wait, "circuit destroyed");
    // Every hop the body reaches takes its layer off, recognized or not, so
    // that the keystreams stay in step with the relays.
    for (RelayCrypto& hop : hops_) {
      hop.backward.apply_in_place(cell.body);
      if (hop.recognize_decrypted(cell.body)) return parse_relay_body(cell.body);
    }
  }
}

RelayCell Circuit::recv_command(u8 command, std::string_view awaited) {
  const Wait wait = wait_for(awaited);
  for (;;) {
    RelayCell cell = recv_relay(wait);
    if (cell.command == command) return cell;
  }
}

void Circuit::send_raw_body(ByteView body) {
  if (body.size() != crypto::kRelayBodyLen) throw err("raw relay body must be one cell body");
  Bytes out(body.begin(), body.end());
  for (std::size_t i = hops_.size(); i-- > 0;) hops_[i].forward.apply_in_place(out);
  channel_.write_cell(circ_id_, tor::kCellRelay, out);
}

Bytes Circuit::recv_raw_body(const Wait& wait) {
  tor::Cell cell = next_relay_cell(wait, "rendezvous circuit destroyed");
  for (RelayCrypto& hop : hops_) hop.backward.apply_in_place(cell.body);
  return std::move(cell.body);
}

Bytes Circuit::backward_digest(std::size_t hop) const {
  if (hop >= hops_.size()) throw err("bad hop index");
  return hops_[hop].backward_digest.current();
}

Bytes Circuit::forward_digest(std::size_t hop) const {
  if (hop >= hops_.size()) throw err("bad hop index");
  return hops_[hop].forward_digest.current();
}

Bytes build_ntor_onionskin(const directory::Relay& relay, NtorState& state) {
  if (relay.rsa_identity.size() != 20) throw err("relay missing RSA identity for ntor");
  if (relay.ntor_onion_key.size() != 32) throw err("relay missing ntor key");
  state.client_secret = crypto::random_bytes(32);
  state.client_public = crypto::x25519_public_from_private(state.client_secret);
  state.relay_ntor_key = relay.ntor_onion_key.to_bytes();
  state.relay_identity = relay.rsa_identity.to_bytes();
  state.secret_xb = crypto::x25519_shared(state.client_secret, state.relay_ntor_key);
  return concat({state.relay_identity, state.relay_ntor_key, state.client_public});
}

RelayCrypto finish_ntor(const NtorState& state, ByteView hdata) {
  if (hdata.size() < 64) throw err("short ntor CREATED2 data");
  ByteView y = hdata.first(32);
  ByteView auth = hdata.subspan(32, 32);
  Secret secret_xy(crypto::x25519_shared(state.client_secret, y));
  // A small-order Y or B yields the all-zero point: such a peer would know
  // the "shared" secret without any private key.
  if (all_zero(secret_xy.bytes) | all_zero(state.secret_xb))
    throw err("ntor shared secret is all zero");

  Secret secret_input(concat({secret_xy.bytes, state.secret_xb, state.relay_identity,
                              state.relay_ntor_key, state.client_public, y, text_bytes(kProtoId)}));
  Secret key_seed(crypto::hmac_sha256(text_bytes(kKeyExtract), secret_input.bytes));
  Secret verify(crypto::hmac_sha256(text_bytes(kVerify), secret_input.bytes));

  Secret auth_input(concat({verify.bytes, state.relay_identity, state.relay_ntor_key, y,
                            state.client_public, text_bytes(kProtoId), text_bytes("Server")}));
  if (!crypto::ct_equal(crypto::hmac_sha256(text_bytes(kMac), auth_input.bytes), auth))
    throw err("ntor auth mismatch");

  Secret k(crypto::hkdf_sha256_expand(key_seed.bytes));
  return RelayCrypto(k.view(0, 20), k.view(20, 20), k.view(40, 16), k.view(56, 16), false);
}

Bytes sendme_v1_data(ByteView digest) {
  if (digest.size() < 20) throw std::invalid_argument("SENDME digest shorter than 20 bytes");
  util::ByteWriter w(23);
  w.put_u8(1);
  w.put_u16(20);
  w.put_bytes(digest.first(20));
  return w.take();
}

}  // namespace mistgrove_core::circuit
