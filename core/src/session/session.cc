// Session creation: the options, the consensus from a file or the bootstrap
// directory, and the HSDir keys completed from microdescriptors.
#include "mistgrove_core/session.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>

#include "mistgrove_core/log.h"
#include "steps.h"

namespace mistgrove_core {
namespace {

constexpr std::string_view kTarget = "mistgrove_core";
constexpr const char* kConsensusPath = "/tor/status-vote/current/consensus-microdesc";

// The whole file, or nothing: any failure to open or read it. A path with a
// NUL names no file; open() would read only the part before it.
std::optional<Bytes> read_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::nullopt;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  Bytes data;
  u8 buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return data;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    data.insert(data.end(), buf, buf + n);
  }
}

directory::Consensus parse_and_count(ByteView document) {
  directory::Consensus consensus = directory::parse_consensus(util::to_string_lossy(document));
  log::info(kTarget, "loaded consensus with {} relays", consensus.relays.size());
  return consensus;
}

}  // namespace

directory::Consensus load_consensus(const Options& options) {
  if (!options.consensus_file.empty()) {
    log::info(kTarget, "loading microdescriptor consensus from {}", options.consensus_file);
    std::optional<Bytes> document = read_file(options.consensus_file);
    if (!document) throw error::err(fmt::format("failed to open {}", options.consensus_file));
    return parse_and_count(*document);
  }
  log::info(kTarget, "fetching microdescriptor consensus from {}:{}", options.bootstrap.host,
            options.bootstrap.port);
  Bytes document =
      directory::http_get_direct(options.bootstrap, kConsensusPath, options.timeout_ms);
  return parse_and_count(document);
}

std::shared_ptr<Session> Session::create(std::string_view bootstrap,
                                         std::string_view consensus_file, i32 timeout_ms,
                                         bool verbose) {
  Options options = Options::for_session(bootstrap, consensus_file, timeout_ms, verbose);
  log::info(kTarget, "initializing mistgrove session");
  directory::Consensus consensus = load_consensus(options);
  directory::hydrate_microdescriptors(consensus, options.bootstrap, options.timeout_ms);
  return std::make_shared<Session>(std::move(options), std::move(consensus));
}

Bytes build_simple_http_get(std::string_view host, std::string_view path) {
  // The path goes into the request line as it is: a CR or LF would end the
  // line and let the caller's text write headers or a second request.
  if (std::any_of(path.begin(), path.end(), util::is_ascii_control))
    throw error::err("HTTP path contains a control character");
  const std::string lower = util::ascii_lowercase(std::string(host));
  std::string_view slash = !path.empty() && path[0] == '/' ? "" : "/";
  return util::from_string(fmt::format("GET {}{} HTTP/1.0\r\nHost: {}\r\nConnection: close\r\n\r\n",
                                       slash, path, lower));
}

}  // namespace mistgrove_core
