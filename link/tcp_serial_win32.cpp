#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>

#include "tcp_serial.h"
#include "wait_bounds.h"

namespace {

std::string error_text(int error) {
  char text[256] = {};
  ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(error), 0,
                   text, sizeof text, nullptr);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(error) : message;
}

// A connected, non-blocking socket to one of the host's addresses, or
// INVALID_SOCKET with `why` telling what failed.
SOCKET connect_bounded(const PortName& port, std::chrono::milliseconds bound, std::string& why) {
  const Deadline deadline = std::chrono::steady_clock::now() + bound;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(port.text.c_str(), std::to_string(port.number).c_str(), &hints, &found) != 0) {
    why = "cannot find " + port.text + " (" + error_text(::WSAGetLastError()) + ")";
    return INVALID_SOCKET;
  }
  int error = WSAETIMEDOUT;
  SOCKET s = INVALID_SOCKET;
  for (addrinfo* a = found; a != nullptr && s == INVALID_SOCKET; a = a->ai_next) {
    s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      error = ::WSAGetLastError();
      continue;
    }
    u_long non_blocking = 1;
    ::ioctlsocket(s, FIONBIO, &non_blocking);
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      error = ::WSAGetLastError();
      if (error == WSAEWOULDBLOCK) {
        // Accepted or refused within the bound, or given up at its end.
        error = WSAETIMEDOUT;
        const FdReady ready = fd_wait_ready(static_cast<std::intptr_t>(s), true, deadline, nullptr);
        int size = sizeof error;
        if (ready != FdReady::timeout) ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
      }
      if (error != 0) {
        ::closesocket(s);
        s = INVALID_SOCKET;
      }
    }
  }
  ::freeaddrinfo(found);
  if (s == INVALID_SOCKET) {
    char within[48];
    std::snprintf(within, sizeof within, "no answer within %.1f s", std::chrono::duration<double>(bound).count());
    why = error == WSAETIMEDOUT ? std::string(within) : error_text(error);
  }
  return s;
}
}  // namespace

Status TcpSerial::open_port(const PortName& port, const LineSettings& line, PortHandle& handle) {
  last_open_error.clear();
  if (port.kind != PortKind::tcp) {
    last_open_error = "not a TCP address";
    return kStatusFail;
  }
  // Winsock counts its starts: each connection holds one until it closes.
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    last_open_error = "Winsock did not start";
    return kStatusFail;
  }
  const SOCKET s = connect_bounded(port, connect_bound, last_open_error);
  if (s == INVALID_SOCKET) {
    ::WSACleanup();
    return kStatusFail;
  }
  handle.held = true;
  handle.native = static_cast<std::intptr_t>(s);
  io_.start(wait_bounds::byte_time(line.baud), true);
  // Each byte goes out as it is written: a command is never held back
  // waiting for more.
  const BOOL on = TRUE;
  if (::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    last_open_error = error_text(::WSAGetLastError());
    return kStatusFail;
  }
  return kStatusOk;
}

void TcpSerial::close_port(PortHandle& handle) {
  io_.forget();
  if (handle.held) {
    ::closesocket(static_cast<SOCKET>(handle.native));
    ::WSACleanup();
  }
  handle = PortHandle{};
}
