#pragma once
// Reads and writes on a non-blocking descriptor, bounded by deadlines and
// cancel requests: the part a POSIX serial device and a TCP socket share.
// fd_port.cpp holds the rules; fd_port_posix.cpp (POSIX descriptors) and
// fd_port_win32.cpp (Windows sockets) the few calls below them.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "serial_link.h"

struct FdPort {
  // One byte's time on the line: a read sleeps until the bytes still
  // missing can have come, then takes them in one call.
  std::chrono::nanoseconds byte_time{};
  // A socket is written with send(), so that a peer gone away is an error
  // rather than a SIGPIPE.
  bool socket = false;

  // A freshly opened descriptor: nothing read ahead.
  void start(std::chrono::nanoseconds line_byte_time, bool is_socket);
  // Forgets whatever was read ahead.
  void forget() { read_ahead_next_ = read_ahead_end_ = 0; }
  Status write_byte(std::intptr_t fd, std::uint8_t byte, Deadline deadline);
  ReadEnd read_byte(std::intptr_t fd, std::uint8_t& out, Deadline deadline, const std::atomic<bool>& cancel);
  ReadEnd read_bytes(std::intptr_t fd, std::uint8_t* out, std::size_t n, Deadline deadline,
                     const std::atomic<bool>& cancel, std::size_t& got);

 private:
  // What one read() took beyond the byte asked for, handed out one byte per
  // call all the same: a system call per byte would cost the host several
  // per cent of a core on a busy line.
  std::array<std::uint8_t, 1024> read_ahead_{};
  std::size_t read_ahead_next_ = 0;
  std::size_t read_ahead_end_ = 0;
};

// The platform's part.
enum class FdReady { yes, timeout, error };
// Waits until `fd` can be read (or written), up to the deadline, in slices
// so that a cancel request (when given) is seen quickly.
FdReady fd_wait_ready(std::intptr_t fd, bool for_writing, Deadline deadline, const std::atomic<bool>* cancel);
// A cancel request, or on Windows a keystroke waiting in the console.
bool fd_cancelled(const std::atomic<bool>* cancel);
// How many bytes are waiting to be read (0 when it cannot tell).
std::size_t fd_waiting(std::intptr_t fd);
// Takes what is waiting, up to `n` bytes, without waiting: the count, 0
// when nothing is there yet, -1 when the other side hung up or the
// descriptor failed.
long fd_read_some(std::intptr_t fd, std::uint8_t* out, std::size_t n);
// Writes one byte without waiting: 1, 0 when it cannot go yet, -1 on an
// error (a socket's peer gone away is an error, never a signal).
int fd_write_one(std::intptr_t fd, std::uint8_t byte, bool socket);
