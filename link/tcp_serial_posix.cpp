#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tcp_serial.h"
#include "wait_bounds.h"

namespace {
// A connected, non-blocking socket to one of the host's addresses, or -1
// with errno and `why` telling what failed.
int connect_bounded(const PortName& port, std::chrono::milliseconds bound, std::string& why) {
  const Deadline deadline = std::chrono::steady_clock::now() + bound;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int lookup = ::getaddrinfo(port.text.c_str(), std::to_string(port.number).c_str(), &hints, &found);
  if (lookup != 0) {
    why = "cannot find " + port.text + " (" + ::gai_strerror(lookup) + ")";
    errno = EHOSTUNREACH;
    return -1;
  }
  int error = ETIMEDOUT;
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error = errno;
      continue;
    }
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      error = errno;
      if (error == EINPROGRESS) {
        // Accepted or refused within the bound, or given up at its end.
        socklen_t size = sizeof error;
        error = ETIMEDOUT;
        if (fd_wait_ready(fd, true, deadline, nullptr) == FdReady::yes)
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
      }
      if (error != 0) {
        ::close(fd);
        fd = -1;
      }
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) {
    char within[48];
    std::snprintf(within, sizeof within, "no answer within %.1f s", std::chrono::duration<double>(bound).count());
    why = error == ETIMEDOUT ? std::string(within) : std::string(std::strerror(error));
    errno = error;
  }
  return fd;
}
}  // namespace

Status TcpSerial::open_port(const PortName& port, const LineSettings& line, PortHandle& handle) {
  last_open_error.clear();
  if (port.kind != PortKind::tcp) {
    last_open_error = "not a TCP address";
    errno = EINVAL;
    return kStatusFail;
  }
  const int fd = connect_bounded(port, connect_bound, last_open_error);
  if (fd < 0) return kStatusFail;
  handle.held = true;
  handle.native = fd;
  io_.start(wait_bounds::byte_time(line.baud), true);
  // Each byte goes out as it is written: a command is never held back
  // waiting for more.
  const int on = 1;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    last_open_error = std::strerror(errno);
    return kStatusFail;
  }
  return kStatusOk;
}

void TcpSerial::close_port(PortHandle& handle) {
  io_.forget();
  if (handle.held) ::close(static_cast<int>(handle.native));
  handle = PortHandle{};
}
