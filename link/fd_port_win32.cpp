// FdPort's calls on a Windows socket (winsock): select() for poll(),
// FIONREAD through ioctlsocket(), recv() and send(). A keystroke waiting in
// the console abandons a wait, as on the serial port.
#include <winsock2.h>
#include <conio.h>

#include <algorithm>

#include "fd_port.h"

namespace {
constexpr std::chrono::milliseconds kCancelSlice{20};

SOCKET socket_of(std::intptr_t fd) { return static_cast<SOCKET>(fd); }

bool would_block() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }
}  // namespace

FdReady fd_wait_ready(std::intptr_t fd, bool for_writing, Deadline deadline, const std::atomic<bool>* cancel) {
  for (;;) {
    if (fd_cancelled(cancel)) return FdReady::timeout;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const long slice = static_cast<long>(std::max<long long>(0, std::min(left, kCancelSlice).count()));
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket_of(fd), &ready);
    FD_SET(socket_of(fd), &failed);
    timeval wait{0, slice * 1000};
    const int n = ::select(0, for_writing ? nullptr : &ready, for_writing ? &ready : nullptr, &failed, &wait);
    if (n < 0 || FD_ISSET(socket_of(fd), &failed)) return FdReady::error;
    if (n > 0) return FdReady::yes;
    if (slice == 0) return FdReady::timeout;
  }
}

bool fd_cancelled(const std::atomic<bool>* cancel) { return ::_kbhit() != 0 || (cancel != nullptr && cancel->load()); }

std::size_t fd_waiting(std::intptr_t fd) {
  u_long waiting = 0;
  return ::ioctlsocket(socket_of(fd), FIONREAD, &waiting) == 0 ? static_cast<std::size_t>(waiting) : 0;
}

long fd_read_some(std::intptr_t fd, std::uint8_t* out, std::size_t n) {
  const int count = ::recv(socket_of(fd), reinterpret_cast<char*>(out), static_cast<int>(n), 0);
  if (count > 0) return count;
  if (count == 0) return -1;  // the other side closed the connection
  return would_block() ? 0 : -1;
}

int fd_write_one(std::intptr_t fd, std::uint8_t byte, bool) {
  const int n = ::send(socket_of(fd), reinterpret_cast<const char*>(&byte), 1, 0);
  if (n == 1) return 1;
  return n < 0 && !would_block() ? -1 : 0;
}
