// Directory documents over HTTP/1.0: the GET request text, one fetch over its
// own TCP connection, and the decoding of a complete response into its body.
#include "http.h"

#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"
#include "mistgrove_core/net.h"

namespace mistgrove_core::directory {
namespace {

using error::err;
using Clock = std::chrono::steady_clock;
// Of a fetch bounded as a whole; with none, each operation waits at most the
// socket time-outs.
using Deadline = std::optional<Clock::time_point>;

constexpr std::size_t kReadSize = 8192;
// Reading stops once this much has arrived; the last read may pass it.
constexpr std::size_t kResponseCap = 8388608;

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";

// First occurrence of `needle` in data[from..], or data.size().
std::size_t find(ByteView data, std::string_view needle, std::size_t from = 0) {
  const auto it =
      std::search(data.begin() + static_cast<std::ptrdiff_t>(from), data.end(), needle.begin(),
                  needle.end(), [](u8 a, char b) { return a == static_cast<u8>(b); });
  return static_cast<std::size_t>(it - data.begin());
}

// Waits until `fd` is ready for `events`, or throws at the deadline. A failed
// poll leaves the verdict to the send or receive that follows.
void wait_ready(int fd, short events, const Deadline& deadline) {
  if (deadline && net::poll_until(fd, events, *deadline) == 0)
    throw err("directory fetch timed out");
}

void write_all(int fd, ByteView data, const Deadline& deadline) {
  // Under a deadline never a blocking send: after partial progress it would
  // wait for room up to the socket time-out, past the deadline.
  const int flags = deadline ? MSG_DONTWAIT : 0;
  while (!data.empty()) {
    wait_ready(fd, POLLOUT, deadline);
    const ssize_t sent = net::send_no_sigpipe(fd, data.data(), data.size(), flags);
    if (sent < 0) {
      const int e = errno;
      if (e == EINTR || (deadline && (e == EAGAIN || e == EWOULDBLOCK))) continue;
      throw error::os_error(e);
    }
    if (sent == 0) throw err("failed to write whole buffer");
    data = data.subspan(static_cast<std::size_t>(sent));
  }
}

// Reads until the peer closes or the cap is reached. Any read failure ends
// the fetch, an interrupted read or a time-out included.
Bytes read_response(int fd, const Deadline& deadline) {
  Bytes response;
  u8 buffer[kReadSize];
  while (response.size() < kResponseCap) {
    wait_ready(fd, POLLIN, deadline);
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0) throw error::os_error(errno);
    if (got == 0) break;
    response.insert(response.end(), buffer, buffer + got);
  }
  return response;
}

// The text between the first and last non-whitespace characters (Unicode
// whitespace, as util::split_ws knows it).
std::string_view trim_ws(std::string_view text) {
  const auto words = util::split_ws(text);
  if (words.empty()) return {};
  const char* begin = words.front().data();
  const char* end = words.back().data() + words.back().size();
  return {begin, static_cast<std::size_t>(end - begin)};
}

}  // namespace

std::string directory_request_text(std::string_view path, std::string_view host) {
  return fmt::format(
      "GET {} HTTP/1.0\r\nHost: {}\r\nUser-Agent: mistgrove/0\r\n"
      "Accept-Encoding: identity\r\nConnection: close\r\n\r\n",
      path, host);
}

namespace {

// One fetch; the connection is closed before the body is decoded.
Bytes fetch(const util::HostPort& endpoint, std::string_view path, i32 timeout_ms,
            const Deadline& deadline) {
  Bytes response;
  {
    const net::TcpStream stream = net::connect_tcp(endpoint.host, endpoint.port, timeout_ms);
    write_all(stream.fd(), util::text_bytes(directory_request_text(path, endpoint.host)), deadline);
    response = read_response(stream.fd(), deadline);
  }
  return decode_http_body(response);
}

}  // namespace

Bytes http_get_direct(const util::HostPort& endpoint, std::string_view path, i32 timeout_ms) {
  return fetch(endpoint, path, timeout_ms, std::nullopt);
}

Bytes http_get_direct_within(const util::HostPort& endpoint, std::string_view path,
                             i32 timeout_ms) {
  const Deadline deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  return fetch(endpoint, path, timeout_ms, deadline);
}

Bytes decode_http_body(ByteView response) {
  const std::size_t head_len = find(response, kHeadEnd);
  if (head_len == response.size()) throw err("malformed HTTP response");
  std::string head = util::to_string_lossy(response.first(head_len));
  const ByteView body = response.subspan(head_len + kHeadEnd.size());

  // Only " 200 " somewhere in the head is checked, as directories answer it.
  if (head.find(" 200 ") == std::string::npos) {
    throw err(fmt::format("HTTP request failed: {}", head.substr(0, head.find(kLineEnd))));
  }
  head = util::ascii_lowercase(std::move(head));
  if (head.find("transfer-encoding: chunked") != std::string::npos)
    return decode_chunked_body(body);
  return Bytes(body.begin(), body.end());
}

Bytes decode_chunked_body(ByteView body) {
  const std::size_t len = body.size();
  Bytes out;
  if (len == 0) return out;
  std::size_t pos = 0;
  for (;;) {
    if (pos + 1 >= len) throw err("bad chunked response");
    const std::size_t line_end = find(body, kLineEnd, pos);
    if (line_end == len) throw err("bad chunked response");

    std::string_view size_line = util::utf8_text(body.subspan(pos, line_end - pos));
    size_line = size_line.substr(0, size_line.find(';'));  // drop chunk extensions
    const u64 size = util::parse_hex_u64(trim_ws(size_line));
    if (size == 0) return out;  // trailers are not read

    const std::size_t data = line_end + kLineEnd.size();
    if (size > len - data) throw err("truncated chunk");
    out.insert(out.end(), body.begin() + static_cast<std::ptrdiff_t>(data),
               body.begin() + static_cast<std::ptrdiff_t>(data + size));
    // The two bytes after the data (CR LF when well-formed) are skipped unread.
    pos = data + size + 2;
    if (pos >= len) return out;
  }
}

}  // namespace mistgrove_core::directory
