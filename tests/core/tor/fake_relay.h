// An in-process peer on a loopback socket for link and circuit tests: it
// accepts one connection (TLS with a throwaway RSA certificate, or plain TCP)
// and runs a script on its own thread.
#pragma once

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/test_support.h"
#include "mistgrove_core/tor.h"

namespace fake_relay {

using mistgrove_core::Bytes;
using mistgrove_core::ByteView;
using mistgrove_core::u16;
using mistgrove_core::u32;
using mistgrove_core::u8;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX, SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, Deleter<SSL, SSL_free>>;

// A server context with a self-signed certificate of a throwaway RSA-2048
// key, made once per test program.
inline SSL_CTX* server_ctx() {
  static SslCtxPtr ctx;
  if (ctx) return ctx.get();
  PkeyPtr key(EVP_RSA_gen(2048));
  X509Ptr cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("www.fake.net"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  X509_sign(cert.get(), key.get(), EVP_sha256());
  ctx.reset(SSL_CTX_new(TLS_server_method()));
  if (!SSL_CTX_use_certificate(ctx.get(), cert.get()) ||
      !SSL_CTX_use_PrivateKey(ctx.get(), key.get()))
    throw std::runtime_error("test certificate set-up failed");
  return ctx.get();
}

// The peer's end of the accepted connection. Failures throw
// std::runtime_error, which ends the script quietly.
class Conn {
 public:
  Conn(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}

  void write(ByteView data) {
    int n = ssl_ ? SSL_write(ssl_, data.data(), static_cast<int>(data.size()))
                 : static_cast<int>(::send(fd_, data.data(), data.size(), MSG_NOSIGNAL));
    if (n != static_cast<int>(data.size())) throw std::runtime_error("peer write failed");
  }
  Bytes read(std::size_t n) {
    Bytes out(n);
    for (std::size_t done = 0; done < n;) {
      int r = ssl_ ? SSL_read(ssl_, out.data() + done, static_cast<int>(n - done))
                   : static_cast<int>(::recv(fd_, out.data() + done, n - done, 0));
      if (r <= 0) throw std::runtime_error("peer read failed");
      done += static_cast<std::size_t>(r);
    }
    return out;
  }
  // Sends FIN: the client reads an end of stream.
  void hang_up() { ::shutdown(fd_, SHUT_WR); }
  // Blocks until the client hangs up (or the peer's time-out).
  void wait_closed() {
    try {
      for (;;) read(1);
    } catch (const std::runtime_error&) {
    }
  }

  mistgrove_core::tor::Cell read_cell() {
    Bytes head = read(5);
    mistgrove_core::tor::Cell cell;
    cell.circ_id = mistgrove_core::util::read_u32(head, 0);
    cell.command = head[4];
    std::size_t len = mistgrove_core::tor::kCellBodyLen;
    if (mistgrove_core::tor::is_var_cell(cell.command))
      len = mistgrove_core::util::read_u16(read(2), 0);
    cell.body = read(len);
    return cell;
  }
  // A cell with a 4-byte circuit id; fixed-length bodies are zero-filled.
  void write_cell(u32 circ_id, u8 command, ByteView body) {
    mistgrove_core::util::ByteWriter w;
    w.put_u32(circ_id);
    w.put_u8(command);
    bool var = mistgrove_core::tor::is_var_cell(command);
    if (var) w.put_u16(static_cast<u16>(body.size()));
    w.put_bytes(body);
    Bytes frame = w.take();
    if (!var) frame.resize(5 + mistgrove_core::tor::kCellBodyLen, 0);
    write(frame);
  }
  // The relay's side of a normal link handshake: reads the client's
  // VERSIONS, answers 3, 4, 5, CERTS, AUTH_CHALLENGE, NETINFO, and reads the
  // client's NETINFO.
  void link_handshake() {
    read(9);
    write(Bytes{0, 0, 7, 0, 6, 0, 3, 0, 4, 0, 5});
    write_cell(0, 129, Bytes(10, 1));
    write_cell(0, 130, Bytes(36, 2));
    write_cell(0, 8, {});
    read_cell();
  }

 private:
  int fd_;
  SSL* ssl_;
};

using Script = std::function<void(Conn&)>;

// Listens on 127.0.0.1 at once; its thread accepts one client and runs the
// script. The destructor joins the thread (the peer gives up after 10 s).
class Peer {
 public:
  enum class Mode { kTls, kPlain };
  explicit Peer(Script script, Mode mode = Mode::kTls) {
    // The peer's OpenSSL writes with write(2): a client that hung up must not
    // kill the test program.
    ::signal(SIGPIPE, SIG_IGN);
    SSL_CTX* ctx = mode == Mode::kTls ? server_ctx() : nullptr;
    listen_fd_ = mistgrove_test::bind_loopback(port_, 1);
    timeval tv{10, 0};
    setsockopt(listen_fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    thread_ = std::thread([this, ctx, script = std::move(script)] {
      int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      timeval t{10, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
      SslPtr ssl(ctx ? SSL_new(ctx) : nullptr);
      try {
        if (ssl) {
          SSL_set_fd(ssl.get(), fd);
          if (SSL_accept(ssl.get()) != 1) throw std::runtime_error("peer TLS accept failed");
        }
        Conn conn(fd, ssl.get());
        script(conn);
      } catch (const std::exception&) {
        // The client gave up first; its side of the test reports what matters.
      }
      ::close(fd);
    });
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  ~Peer() {
    thread_.join();
    ::close(listen_fd_);
  }

  u16 port() const { return port_; }

 private:
  int listen_fd_ = -1;
  u16 port_ = 0;
  std::thread thread_;
};

}  // namespace fake_relay
