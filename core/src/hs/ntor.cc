// The client half of the hs-ntor handshake: the INTRODUCE1 body with its
// enciphered plaintext, and the end-to-end hop's keys from RENDEZVOUS2.
#include "ntor.h"

#include <array>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/error.h"
#include "mistgrove_core/hs.h"

namespace mistgrove_core::hs {
namespace {

using crypto::Secret;
using error::ensure;
using util::concat;
using util::text_bytes;

constexpr std::string_view kProtoId = "tor-hs-ntor-curve25519-sha3-256-1";
constexpr std::string_view kTHsEnc = "tor-hs-ntor-curve25519-sha3-256-1:hs_key_extract";
constexpr std::string_view kTHsVerify = "tor-hs-ntor-curve25519-sha3-256-1:hs_verify";
constexpr std::string_view kTHsMac = "tor-hs-ntor-curve25519-sha3-256-1:hs_mac";
constexpr std::string_view kMHsExpand = "tor-hs-ntor-curve25519-sha3-256-1:hs_key_expand";
constexpr std::string_view kServerLabel = "Server";

constexpr std::size_t kKeyLen = 32;
// Every plaintext is padded to this length so that INTRODUCE1 sizes say
// nothing about the rendezvous point.
constexpr std::size_t kPaddedPlaintextLen = 246;

// INTRODUCE1 header: LEGACY_KEY_ID (zeros), AUTH_KEY_TYPE Ed25519 and
// AUTH_KEY_LEN 32, then after the key N_EXTENSIONS 0.
constexpr std::array<u8, 20> kLegacyKeyId{};
constexpr std::array<u8, 3> kAuthKeyTypeAndLen{0x02, 0x00, 0x20};
constexpr std::array<u8, 1> kNoExtensions{0x00};
// Plaintext after the cookie: N_EXTENSIONS 0, ONION_KEY_TYPE ntor, ONION_KEY_LEN 32.
constexpr std::array<u8, 4> kOnionKeyPreamble{0x00, 0x01, 0x00, 0x20};

// EXP(P, x). An all-zero result means the peer chose a small-order point,
// which would make every derived key public.
Bytes exp_nonzero(ByteView secret, ByteView point) {
  static constexpr std::array<u8, kKeyLen> kZero{};
  Bytes shared = crypto::x25519_shared(secret, point);
  ensure(!crypto::ct_equal(shared, kZero), "hs-ntor shared secret is all zero");
  return shared;
}

}  // namespace

HsNtorState::~HsNtorState() {
  crypto::wipe(client_secret);
  crypto::wipe(secret_xb);
  crypto::wipe(key_seed);
}

Introduce1 encrypt_introduce1(const IntroductionPoint& point, ByteView plaintext,
                              ByteView subcredential, ByteView client_secret) {
  Bytes header = concat({kLegacyKeyId, kAuthKeyTypeAndLen, point.auth_key, kNoExtensions});

  HsNtorState state;
  state.client_secret.assign(client_secret.begin(), client_secret.end());
  state.client_public = crypto::x25519_public_from_private(client_secret);
  state.enc_key = point.enc_key;
  state.auth_key = point.auth_key;
  state.secret_xb = exp_nonzero(client_secret, state.enc_key);

  Secret intro_secret_hs_input(concat(
      {state.secret_xb, state.auth_key, state.client_public, state.enc_key, text_bytes(kProtoId)}));
  Secret kdf_input(concat(
      {intro_secret_hs_input.bytes, text_bytes(kTHsEnc), text_bytes(kMHsExpand), subcredential}));
  // ENC_KEY (32) | MAC_KEY (32)
  Secret hs_keys(crypto::shake256(kdf_input.bytes, 2 * kKeyLen));

  Bytes body = concat(
      {header, state.client_public, crypto::aes_ctr_crypt(hs_keys.view(0, kKeyLen), plaintext)});
  Bytes mac = crypto::tor_mac(hs_keys.view(kKeyLen, kKeyLen), body);
  body.insert(body.end(), mac.begin(), mac.end());
  return Introduce1{std::move(body), std::move(state)};
}

Introduce1 build_introduce1(const IntroductionPoint& point, const directory::Relay& rendezvous,
                            ByteView cookie, const directory::HsPeriodKeys& keys) {
  ensure(cookie.size() == kRendezvousCookieLen, "bad rendezvous cookie");
  ensure(rendezvous.ntor_onion_key.size() == kKeyLen, "rendezvous relay missing ntor key");
  Bytes link_specifiers =
      directory::serialize_link_specifiers(directory::relay_link_specifiers(rendezvous));
  Bytes plaintext = concat({cookie, kOnionKeyPreamble, rendezvous.ntor_onion_key, link_specifiers});
  if (plaintext.size() < kPaddedPlaintextLen) plaintext.resize(kPaddedPlaintextLen, 0);

  Secret client_secret(crypto::random_bytes(kKeyLen));
  return encrypt_introduce1(point, plaintext, keys.subcredential, client_secret.bytes);
}

crypto::RelayCrypto finish_hs_ntor(HsNtorState& state, ByteView handshake) {
  ensure(handshake.size() >= 2 * kKeyLen, "RENDEZVOUS2 handshake too short");
  ByteView server_public = handshake.first(kKeyLen);  // Y
  ByteView auth = handshake.subspan(kKeyLen, kKeyLen);

  Secret secret_xy(exp_nonzero(state.client_secret, server_public));
  Secret rend_secret_hs_input(
      concat({secret_xy.bytes, state.secret_xb, state.auth_key, state.enc_key, state.client_public,
              server_public, text_bytes(kProtoId)}));
  Secret ntor_key_seed(crypto::tor_mac(rend_secret_hs_input.bytes, text_bytes(kTHsEnc)));
  Secret verify(crypto::tor_mac(rend_secret_hs_input.bytes, text_bytes(kTHsVerify)));
  Secret auth_input(concat({verify.bytes, state.auth_key, state.enc_key, server_public,
                            state.client_public, text_bytes(kProtoId), text_bytes(kServerLabel)}));
  Bytes auth_input_mac = crypto::tor_mac(auth_input.bytes, text_bytes(kTHsMac));
  ensure(crypto::ct_equal(auth_input_mac, auth), "RENDEZVOUS2 hs-ntor auth mismatch");

  state.key_seed = ntor_key_seed.bytes;
  // Df (32) | Db (32) | Kf (32) | Kb (32)
  Secret expand_input(concat({ntor_key_seed.bytes, text_bytes(kMHsExpand)}));
  Secret keys(crypto::shake256(expand_input.bytes, 4 * kKeyLen));
  return crypto::RelayCrypto(keys.view(0, kKeyLen), keys.view(kKeyLen, kKeyLen),
                             keys.view(2 * kKeyLen, kKeyLen), keys.view(3 * kKeyLen, kKeyLen),
                             /*sha3=*/true);
}

}  // namespace mistgrove_core::hs
