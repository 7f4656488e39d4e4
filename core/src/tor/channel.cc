// TorChannel: the TLS link to a relay's OR port, the link handshake and cell
// framing.
#include <fmt/format.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/core_dispatch.h>
#include <openssl/err.h>
#include <openssl/provider.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "link.h"
#include "mistgrove_core/crypto.h"
#include "mistgrove_core/error.h"
#include "mistgrove_core/log.h"
#include "mistgrove_core/net.h"
#include "mistgrove_core/tor.h"

namespace mistgrove_core::crypto {

// The TLS handles' deleters (crypto.h), defined here with libssl.
void Free<SSL_CTX>::operator()(SSL_CTX* p) const noexcept { SSL_CTX_free(p); }
void Free<SSL>::operator()(SSL* p) const noexcept { SSL_free(p); }
void Free<BIO_METHOD>::operator()(BIO_METHOD* p) const noexcept { BIO_meth_free(p); }

}  // namespace mistgrove_core::crypto

namespace mistgrove_core::tor {
namespace {

using error::err;

constexpr std::string_view kLog = "mistgrove_core::tor";

// The same placeholder server name for every relay (RFC 6761 reserves
// ".invalid"): neither the address nor the relay's identity goes on the wire.
constexpr const char* kServerName = "relay.invalid";

constexpr const char* kTls13Suites =
    "TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* kTls12Suites =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kGroups = "X25519:P-256:P-384";
constexpr const char* kSigalgs =
    "ecdsa_secp384r1_sha384:ecdsa_secp256r1_sha256:ed25519:rsa_pss_rsae_sha512:"
    "rsa_pss_rsae_sha384:rsa_pss_rsae_sha256:rsa_pkcs1_sha512:rsa_pkcs1_sha384:"
    "rsa_pkcs1_sha256";

constexpr const char* kShortRead = "failed to fill whole buffer";
constexpr const char* kShortWrite = "failed to write whole buffer";

using SslCtxPtr = crypto::UniquePtr<SSL_CTX>;
using SslPtr = crypto::UniquePtr<SSL>;
using BioMethodPtr = crypto::UniquePtr<BIO_METHOD>;

// The description of the oldest queued OpenSSL failure, or `fallback`.
std::string tls_error_text(const char* fallback) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  if (const char* reason = ERR_reason_error_string(code)) return reason;
  char buf[256];
  ERR_error_string_n(code, buf, sizeof buf);
  return buf;
}

}  // namespace

// The TLS state over the socket. OpenSSL talks to the socket through a BIO of
// our own so that writes use send_no_sigpipe (a relay that hangs up must not
// raise SIGPIPE in the host process) and the errno of the failed call is kept.
struct TorChannel::Tls {
  net::TcpStream tcp;
  int io_errno = 0;
  SslPtr ssl;
  // Set while the link handshake runs or a cell is read by a deadline: no
  // receive or send starts after it, each waits for the socket only until
  // then, and one that meets it sets `timed_out`.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  bool timed_out = false;
  // refused_rsa_bits of the key for which verify_server_cert refused the
  // relay's certificate, or 0: the failed handshake reports it.
  int refused_bits = 0;

  bool past_deadline() const { return std::chrono::steady_clock::now() >= *deadline; }
  // Whether the socket reports `events` before the deadline. A relay dripping
  // one byte at a time cannot stretch a wait past it. A failed poll leaves
  // the verdict to the call that follows.
  bool ready_in_time(short events) { return net::poll_until(tcp.fd(), events, *deadline) != 0; }
  // The BIO's result for a receive or send that met the deadline.
  int time_out() {
    timed_out = true;
    io_errno = 0;
    return -1;
  }

  // Throws the failure of the SSL call that returned `ret`: the OpenSSL
  // description, the socket's errno (a time-out reads as EAGAIN), or the
  // end-of-stream text.
  [[noreturn]] void fail(int ret, const char* eof_text) {
    if (refused_bits != 0) {
      ERR_clear_error();
      throw err(refused_key_text(refused_bits));
    }
    int code = SSL_get_error(ssl.get(), ret);
    const char* eof = SSL_is_init_finished(ssl.get()) ? eof_text : "tls handshake eof";
    if (code == SSL_ERROR_SSL) {
      unsigned long e = ERR_peek_error();
      bool is_eof =
          ERR_GET_LIB(e) == ERR_LIB_SSL && ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
      if (!is_eof) throw err(tls_error_text("tls failure"));
    }
    ERR_clear_error();
    if (code == SSL_ERROR_SYSCALL && io_errno != 0) throw error::os_error(io_errno);
    throw err(eof);
  }
};

namespace {

// A signal handled on this thread must not fail the link.
ssize_t send_retrying(int fd, const char* data, int len, int flags) {
  ssize_t n;
  do n = net::send_no_sigpipe(fd, data, static_cast<size_t>(len), flags);
  while (n < 0 && errno == EINTR);
  return n;
}

ssize_t recv_retrying(int fd, char* data, int len, int flags) {
  ssize_t n;
  do n = ::recv(fd, data, static_cast<size_t>(len), flags);
  while (n < 0 && errno == EINTR);
  return n;
}

bool would_block() { return errno == EAGAIN || errno == EWOULDBLOCK; }

int bio_write(BIO* bio, const char* data, int len) {
  auto* tls = static_cast<TorChannel::Tls*>(BIO_get_data(bio));
  const int fd = tls->tcp.fd();
  ssize_t n;
  if (tls->deadline) {
    // Never a blocking send: it would wait for room in the relay's receive
    // window up to the send time-out, and anew after each bit of progress.
    // OpenSSL sends the rest of a partly sent record by calling again.
    for (;;) {
      if (tls->past_deadline()) return tls->time_out();
      n = send_retrying(fd, data, len, MSG_DONTWAIT);
      if (n >= 0 || !would_block()) break;
      if (!tls->ready_in_time(POLLOUT)) return tls->time_out();
    }
  } else {
    n = send_retrying(fd, data, len, 0);
  }
  tls->io_errno = n < 0 ? errno : 0;
  return static_cast<int>(n);
}

int bio_read(BIO* bio, char* data, int len) {
  auto* tls = static_cast<TorChannel::Tls*>(BIO_get_data(bio));
  const int fd = tls->tcp.fd();
  ssize_t n;
  if (tls->deadline) {
    // The deadline is met before every receive, not only by an empty socket:
    // within one SSL_read OpenSSL reads on through records that carry no
    // application data (session tickets, key updates), and a relay can send
    // those faster than they are taken. What has already arrived is taken
    // without a wait; only an empty socket costs the poll.
    if (tls->past_deadline()) return tls->time_out();
    n = recv_retrying(fd, data, len, MSG_DONTWAIT);
    if (n < 0 && would_block()) {
      if (!tls->ready_in_time(POLLIN)) return tls->time_out();
      n = recv_retrying(fd, data, len, 0);
    }
  } else {
    n = recv_retrying(fd, data, len, 0);
  }
  tls->io_errno = n < 0 ? errno : 0;
  return static_cast<int>(n);
}

long bio_ctrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int bio_create(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* socket_bio_method() {
  static const BioMethodPtr method = [] {
    BioMethodPtr m(BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "mistgrove socket"));
    if (!m || !BIO_meth_set_write(m.get(), bio_write) || !BIO_meth_set_read(m.get(), bio_read) ||
        !BIO_meth_set_ctrl(m.get(), bio_ctrl) || !BIO_meth_set_create(m.get(), bio_create))
      throw std::bad_alloc();
    return m;
  }();
  return method.get();
}

// Runs `step` with every receive and send of the link bounded by `deadline`.
// False when the deadline ended it; any other failure is thrown on.
template <typename F>
bool within(TorChannel::Tls& tls, std::chrono::steady_clock::time_point deadline, F&& step) {
  tls.deadline = deadline;
  tls.timed_out = false;
  struct Clear {
    TorChannel::Tls& tls;
    ~Clear() { tls.deadline.reset(); }
  } clear{tls};
  try {
    step();
    return true;
  } catch (const error::Error&) {
    if (tls.timed_out) return false;
    throw;
  }
}

// A latency hint only: failure to set it changes nothing else.
void set_tcp_flag(int fd, int option) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, option, &one, sizeof one);
}

// The ACK at once that Linux can be asked for; elsewhere the kernel's own
// delayed-ACK timing stays.
void quick_ack([[maybe_unused]] int fd) {
#if defined(TCP_QUICKACK)
  set_tcp_flag(fd, TCP_QUICKACK);
#endif
}

// The links' own library context. Each handshake decodes the relay's
// certificate, and OpenSSL 3.0 decodes its public key by gathering every key
// decoder its library context offers and chaining them anew: about a million
// instructions a link with the default provider's forty. The links' context
// holds one provider that passes every operation through to the default
// provider (loaded into a private context of its own), except that its key
// decoders are only those that read a DER SubjectPublicKeyInfo, the one form
// a certificate carries. Every key the default context would decode from a
// certificate decodes the same way; ciphers, groups, signatures and the key
// exchange are the default provider's own, so the handshake is unchanged.
struct LinkProvider {
  OSSL_PROVIDER* inner = nullptr;
  std::vector<OSSL_ALGORITHM> decoders;
};

LinkProvider& link_provider() {
  static LinkProvider provider;
  return provider;
}

const OSSL_ALGORITHM* link_query_operation(void*, int operation, int* no_store) {
  LinkProvider& p = link_provider();
  if (operation == OSSL_OP_DECODER) {
    *no_store = 0;
    return p.decoders.data();
  }
  return OSSL_PROVIDER_query_operation(p.inner, operation, no_store);
}

int link_get_capabilities(void*, const char* capability, OSSL_CALLBACK* cb, void* arg) {
  return OSSL_PROVIDER_get_capabilities(link_provider().inner, capability, cb, arg);
}

const OSSL_PARAM* link_gettable_params(void*) {
  return OSSL_PROVIDER_gettable_params(link_provider().inner);
}

int link_get_params(void*, OSSL_PARAM params[]) {
  return OSSL_PROVIDER_get_params(link_provider().inner, params);
}

using Fn = void (*)();
const OSSL_DISPATCH kLinkProviderDispatch[] = {
    {OSSL_FUNC_PROVIDER_QUERY_OPERATION, reinterpret_cast<Fn>(link_query_operation)},
    {OSSL_FUNC_PROVIDER_GET_CAPABILITIES, reinterpret_cast<Fn>(link_get_capabilities)},
    {OSSL_FUNC_PROVIDER_GETTABLE_PARAMS, reinterpret_cast<Fn>(link_gettable_params)},
    {OSSL_FUNC_PROVIDER_GET_PARAMS, reinterpret_cast<Fn>(link_get_params)},
    {0, nullptr}};

int link_provider_init(const OSSL_CORE_HANDLE*, const OSSL_DISPATCH*, const OSSL_DISPATCH** out,
                       void** provctx) {
  // The default provider's algorithms run on its own context object, which
  // is why its handle, not one of ours, is what they are given.
  *out = kLinkProviderDispatch;
  *provctx = OSSL_PROVIDER_get0_provider_ctx(link_provider().inner);
  return 1;
}

bool spki_decoder(const OSSL_ALGORITHM& a) {
  const char* p = a.property_definition;
  return p && std::strstr(p, "input=der") && std::strstr(p, "structure=SubjectPublicKeyInfo");
}

std::vector<OSSL_ALGORITHM> inner_algorithms(int operation, bool (*keep)(const OSSL_ALGORITHM&)) {
  std::vector<OSSL_ALGORITHM> kept;
  int no_store = 0;
  for (const OSSL_ALGORITHM* a =
           OSSL_PROVIDER_query_operation(link_provider().inner, operation, &no_store);
       a && a->algorithm_names; ++a)
    if (keep(*a)) kept.push_back(*a);
  kept.push_back({nullptr, nullptr, nullptr, nullptr});
  return kept;
}

// Null when OpenSSL cannot build it: the links then use the default context.
OSSL_LIB_CTX* make_link_libctx() {
  LinkProvider& p = link_provider();
  OSSL_LIB_CTX* inner_ctx = OSSL_LIB_CTX_new();
  if (!inner_ctx) return nullptr;
  p.inner = OSSL_PROVIDER_load(inner_ctx, "default");
  if (!p.inner) {
    OSSL_LIB_CTX_free(inner_ctx);
    return nullptr;
  }
  p.decoders = inner_algorithms(OSSL_OP_DECODER, spki_decoder);
  OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
  if (!ctx) return nullptr;
  if (!OSSL_PROVIDER_add_builtin(ctx, "mistgrove-link", link_provider_init) ||
      !OSSL_PROVIDER_load(ctx, "mistgrove-link")) {
    OSSL_LIB_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

SslCtxPtr make_ssl_ctx() {
  ERR_clear_error();
  static OSSL_LIB_CTX* const libctx = make_link_libctx();
  ERR_clear_error();
  SslCtxPtr ctx(SSL_CTX_new_ex(libctx, nullptr, TLS_client_method()));
  if (!ctx) throw err(tls_error_text("tls context creation failed"));
  SSL_CTX* c = ctx.get();
  if (!SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION) ||
      !SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION) ||
      !SSL_CTX_set_ciphersuites(c, kTls13Suites) || !SSL_CTX_set_cipher_list(c, kTls12Suites) ||
      !SSL_CTX_set1_groups_list(c, kGroups) || !SSL_CTX_set1_sigalgs_list(c, kSigalgs) ||
      !SSL_CTX_enable_ct(c, SSL_CT_VALIDATION_PERMISSIVE))
    throw err(tls_error_text("tls configuration failed"));
  // The callback replaces all of OpenSSL's certificate checks; SSL_VERIFY_PEER
  // only makes its refusal end the handshake.
  SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_cert_verify_callback(c, NoCertificateVerification::verify_server_cert, nullptr);
  SSL_CTX_set_mode(c, SSL_MODE_AUTO_RETRY);
  // Each receive takes whatever has arrived, several records at once, where
  // OpenSSL would otherwise ask for a record's header and body separately.
  SSL_CTX_set_read_ahead(c, 1);
  return ctx;
}

// One client context for every link of the process: building one parses the
// cipher, group and signature lists and fetches their algorithms, which cost
// more than the rest of a handshake's set-up. Links share nothing through it
// but this configuration: a client caches no sessions by default, so every
// handshake is a full one, as before. SSL_new on a shared context is safe
// from any thread.
SSL_CTX* client_ssl_ctx() {
  static const SslCtxPtr ctx = make_ssl_ctx();
  return ctx.get();
}

}  // namespace

// Relays present RSA-2048 keys. OpenSSL's security level does not bound the
// relay's key here, so the link does: a short RSA key is weak, and a long one
// only costs us time to check its signature.
int refused_rsa_bits(const EVP_PKEY* key) {
  const int type = EVP_PKEY_get_base_id(key);
  if (type != EVP_PKEY_RSA && type != EVP_PKEY_RSA_PSS) return 0;
  const int bits = EVP_PKEY_get_bits(key);
  // A size that cannot be read is no evidence that the key is in bounds.
  if (bits <= 0) return -1;
  return bits >= 2048 && bits <= 8192 ? 0 : bits;
}

std::string refused_key_text(int bits) {
  if (bits < 0) return "relay RSA key of unreadable size";
  return fmt::format("relay RSA key of {} bits is outside 2048 to 8192 bits", bits);
}

int NoCertificateVerification::verify_server_cert(x509_store_ctx_st* store, void*) {
  // The leaf: its key is the one the handshake signature is checked with.
  // Any further certificates are the relay's to send and are not looked at.
  const X509* cert = X509_STORE_CTX_get0_cert(store);
  const EVP_PKEY* key = cert ? X509_get0_pubkey(cert) : nullptr;
  const int bits = key ? refused_rsa_bits(key) : 0;
  if (bits == 0) return 1;  // OpenSSL fails a certificate without a usable key itself
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (auto* tls = static_cast<TorChannel::Tls*>(SSL_get_app_data(ssl))) tls->refused_bits = bits;
  X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
  return 0;
}

TorChannel::TorChannel(std::unique_ptr<Tls> tls) : tls_(std::move(tls)) {}
TorChannel::TorChannel(TorChannel&&) noexcept = default;
TorChannel& TorChannel::operator=(TorChannel&&) noexcept = default;
TorChannel::~TorChannel() = default;

TorChannel TorChannel::open(std::string host, u16 port, i32 timeout_ms) {
  log::info(kLog, "opening Tor TLS channel to {}:{}", host, port);
  auto tls = std::make_unique<Tls>();
  tls->tcp = connect_tcp(host, port, timeout_ms);
  // The connect has had its own bound. TLS and the link cells share one, so
  // a relay sending its part a record or a byte at a time cannot stretch them.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  // Every cell is one small write awaiting an answer; Nagle's algorithm would
  // hold the second of two cells (NETINFO, CREATE_FAST) for a delayed ACK.
  set_tcp_flag(tls->tcp.fd(), TCP_NODELAY);
  SSL_CTX* ctx = client_ssl_ctx();
  ERR_clear_error();
  tls->ssl.reset(SSL_new(ctx));
  if (!tls->ssl) throw err(tls_error_text("tls session creation failed"));
  BIO* bio = BIO_new(socket_bio_method());
  if (!bio) throw err(tls_error_text("tls session creation failed"));
  BIO_set_data(bio, tls.get());
  SSL_set_app_data(tls->ssl.get(), tls.get());  // for verify_server_cert
  SSL_set_bio(tls->ssl.get(), bio, bio);        // the SSL owns the BIO from here
  if (!SSL_set_tlsext_host_name(tls->ssl.get(), kServerName))
    throw err(tls_error_text("tls session creation failed"));
  SSL_set_connect_state(tls->ssl.get());
  TorChannel channel(std::move(tls));
  if (!within(*channel.tls_, deadline, [&] { channel.negotiate(); }))
    throw err("timed out waiting for link handshake");
  return channel;
}

void TorChannel::write_all(ByteView data) {
  // Blocking SSL_write sends everything or fails; the TLS handshake runs
  // inside the first call.
  ERR_clear_error();
  int ret = SSL_write(tls_->ssl.get(), data.data(), static_cast<int>(data.size()));
  if (ret <= 0) tls_->fail(ret, kShortWrite);
}

void TorChannel::read_exact(std::span<u8> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    ERR_clear_error();
    int ret = SSL_read(tls_->ssl.get(), out.data() + done, static_cast<int>(out.size() - done));
    if (ret <= 0) tls_->fail(ret, kShortRead);
    done += static_cast<std::size_t>(ret);
  }
}

void TorChannel::write_cell(u32 circ_id, u8 command, ByteView body) {
  if (!is_var_cell(command)) {
    // The cells of a circuit: one fixed 514-byte frame on the stack, zero
    // filled past the body.
    if (body.size() > kCellBodyLen) throw err("fixed cell body too large");
    std::array<u8, 5 + kCellBodyLen> frame{};
    frame[0] = static_cast<u8>(circ_id >> 24);
    frame[1] = static_cast<u8>(circ_id >> 16);
    frame[2] = static_cast<u8>(circ_id >> 8);
    frame[3] = static_cast<u8>(circ_id);
    frame[4] = command;
    std::copy(body.begin(), body.end(), frame.begin() + 5);
    write_all(frame);
    return;
  }
  util::ByteWriter w(7 + body.size());
  if (command == kCellVersions) {
    w.put_u16(0);
  } else {
    w.put_u32(circ_id);
  }
  w.put_u8(command);
  w.put_u16(static_cast<u16>(body.size()));
  w.put_bytes(body);
  write_all(w.take());
}

Cell TorChannel::read_cell_with_circ_len(int width) {
  const std::size_t id_len = width == 2 ? 2 : 4;
  u8 header[5];
  std::span<u8> head(header, id_len + 1);
  read_exact(head);
  Cell cell;
  cell.circ_id = id_len == 2 ? util::read_u16(head, 0) : util::read_u32(head, 0);
  cell.command = head.back();
  std::size_t len = kCellBodyLen;
  if (is_var_cell(cell.command)) {
    u8 len_bytes[2];
    read_exact(len_bytes);
    len = util::read_u16(len_bytes, 0);
  }
  cell.body.resize(len);
  read_exact(cell.body);
  return cell;
}

std::optional<Cell> TorChannel::read_cell(std::chrono::steady_clock::time_point deadline) {
  // Bytes OpenSSL already holds (SSL_pending) are returned without a receive,
  // so only a read that needs the socket meets the deadline.
  std::optional<Cell> cell;
  within(*tls_, deadline, [&] { cell = read_cell_with_circ_len(4); });
  return cell;
}

Bytes netinfo_body(i64 now) {
  // OTHERADDR is IPv4 0.0.0.0: the relay's address is not reported, and we
  // list no addresses of our own.
  util::ByteWriter w(kCellBodyLen);
  w.put_u32(now < 0 ? 0 : static_cast<u32>(now));
  w.put_u8(4);
  w.put_u8(4);
  w.put_u32(0);
  w.put_u8(0);
  Bytes body = w.take();
  body.resize(kCellBodyLen, 0);
  return body;
}

void TorChannel::send_netinfo() { write_cell(0, kCellNetinfo, netinfo_body(std::time(nullptr))); }

void TorChannel::negotiate() {
  static constexpr u8 kVersionsBody[] = {0, 4, 0, 5};
  write_cell(0, kCellVersions, kVersionsBody);
  // The relay sends its TLS session tickets, then its link cells; its Nagle
  // holds the cells until the tickets are acknowledged, so ACK at once
  // instead of after the kernel's delayed-ACK pause (about 40 ms).
  quick_ack(tls_->tcp.fd());

  Cell versions = read_cell_with_circ_len(2);
  if (versions.command != kCellVersions) throw err("first Tor cell was not VERSIONS");
  i32 chosen = 0;
  for (std::size_t i = 0; i + 1 < versions.body.size(); i += 2) {
    u16 v = util::read_u16(versions.body, i);
    if ((v == 4 || v == 5) && v > chosen) chosen = v;
  }
  if (chosen == 0) throw err("relay does not support link protocol 4+");
  link_version_ = chosen;
  log::info(kLog, "negotiated Tor link protocol v{}", chosen);

  // CERTS, AUTH_CHALLENGE and padding come before the relay's NETINFO; none
  // of them is read, since the link does not authenticate the relay.
  bool netinfo = false;
  for (int i = 0; i < 16 && !netinfo; ++i)
    netinfo = read_cell_with_circ_len(4).command == kCellNetinfo;
  if (!netinfo) throw err("relay did not send NETINFO");
  send_netinfo();
}

}  // namespace mistgrove_core::tor
