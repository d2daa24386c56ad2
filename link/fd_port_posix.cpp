// FdPort's calls on a POSIX descriptor: poll(), FIONREAD, read(), and
// write() or, for a socket, send() without SIGPIPE.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "fd_port.h"

namespace {
// A wait polls in slices this long so that a cancel request is seen quickly.
constexpr std::chrono::milliseconds kCancelSlice{20};

// Milliseconds to the deadline, capped to one slice; 0 once it has passed.
int slice_until(Deadline deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min(left, kCancelSlice).count());
}
}  // namespace

FdReady fd_wait_ready(std::intptr_t descriptor, bool for_writing, Deadline deadline, const std::atomic<bool>* cancel) {
  const int fd = static_cast<int>(descriptor);
  const short events = for_writing ? POLLOUT : POLLIN;
  for (;;) {
    if (fd_cancelled(cancel)) return FdReady::timeout;
    int slice = slice_until(deadline);
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, slice);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FdReady::error;
    if (n > 0) {
      if (p.revents & events) return FdReady::yes;
      return FdReady::error;  // POLLHUP, POLLERR, POLLNVAL: the port is gone
    }
    if (slice == 0) return FdReady::timeout;
  }
}

bool fd_cancelled(const std::atomic<bool>* cancel) { return cancel != nullptr && cancel->load(); }

std::size_t fd_waiting(std::intptr_t fd) {
  int waiting = 0;
  return ::ioctl(static_cast<int>(fd), FIONREAD, &waiting) == 0 && waiting > 0 ? static_cast<std::size_t>(waiting) : 0;
}

long fd_read_some(std::intptr_t fd, std::uint8_t* out, std::size_t n) {
  for (;;) {
    const ssize_t count = ::read(static_cast<int>(fd), out, n);
    if (count > 0) return static_cast<long>(count);
    if (count == 0) return -1;  // end of file: the other side hung up
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

int fd_write_one(std::intptr_t fd, std::uint8_t byte, bool socket) {
  for (;;) {
    const ssize_t n = socket ? ::send(static_cast<int>(fd), &byte, 1, MSG_NOSIGNAL) : ::write(static_cast<int>(fd), &byte, 1);
    if (n == 1) return 1;
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK ? -1 : 0;
  }
}
