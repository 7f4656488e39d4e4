// Where the systems the core builds on differ (Linux with glibc, macOS): the
// base module's only platform-dependent pieces, each behind its own guard.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace mistgrove_core::portability {

// strerror_r's result, whichever form the C library declares: the GNU one
// (glibc under _GNU_SOURCE, which g++ always defines) returns the text, which
// may or may not be `buf`; the XSI one (macOS) fills `buf` and returns 0 or an
// error number.
inline const char* strerror_text(const char* text, const char*) { return text; }
inline const char* strerror_text(int rc, const char* buf) {
  return rc == 0 || buf[0] != '\0' ? buf : "Unknown error";
}

// A TCP socket that a process spawned by the host never inherits. Linux
// creates it close-on-exec at once; elsewhere fcntl follows straight after.
inline int open_stream_socket(int family) {
#if defined(SOCK_CLOEXEC)
  return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
  const int fd = ::socket(family, SOCK_STREAM, 0);
  if (fd >= 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    const int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
#endif
}

// A peer that hangs up must fail our write with EPIPE, never raise SIGPIPE in
// the host process. Linux says so on each send, macOS once on the socket.
#if defined(MSG_NOSIGNAL)
inline constexpr int kSendNoSigpipe = MSG_NOSIGNAL;
#else
inline constexpr int kSendNoSigpipe = 0;
#endif

// 0, or -1 with errno set.
inline int forbid_sigpipe([[maybe_unused]] int fd) {
#if defined(SO_NOSIGPIPE)
  const int one = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#else
  return 0;
#endif
}

}  // namespace mistgrove_core::portability
