#include "fd_port.h"

#include <algorithm>
#include <thread>

namespace {
// A sleep for bytes still to come never outlasts this, so that a cancel
// request is seen.
constexpr std::chrono::milliseconds kLongestSleep{100};
// A sleep for the bytes still missing lasts this much longer than their line
// time: the system and the adapter hand bytes on in small batches, and a
// wake-up just before the last of them would cost a second one.
constexpr std::chrono::microseconds kBatchSlack{100};

ReadEnd wait_end(FdReady ready, const std::atomic<bool>& cancel) {
  if (ready == FdReady::error) return ReadEnd::port_error;
  return fd_cancelled(&cancel) ? ReadEnd::cancelled : ReadEnd::deadline;
}
}  // namespace

void FdPort::start(std::chrono::nanoseconds line_byte_time, bool is_socket) {
  byte_time = line_byte_time;
  socket = is_socket;
  forget();
}

Status FdPort::write_byte(std::intptr_t fd, std::uint8_t byte, Deadline deadline) {
  for (;;) {
    const int written = fd_write_one(fd, byte, socket);
    if (written == 1) return kStatusOk;
    if (written < 0) return kStatusFail;
    if (fd_wait_ready(fd, true, deadline, nullptr) != FdReady::yes) return kStatusFail;
  }
}

ReadEnd FdPort::read_byte(std::intptr_t fd, std::uint8_t& out, Deadline deadline, const std::atomic<bool>& cancel) {
  // A wait whose deadline has passed is over, even on a line that never stops
  // talking (noise, a wrong baud rate): no skipping loop can outlast it.
  if (std::chrono::steady_clock::now() >= deadline) return ReadEnd::deadline;
  if (read_ahead_next_ == read_ahead_end_) {
    // What is there already is taken without a wait.
    const long count = fd_read_some(fd, read_ahead_.data(), read_ahead_.size());
    if (count < 0) return ReadEnd::port_error;
    read_ahead_next_ = 0;
    read_ahead_end_ = static_cast<std::size_t>(count);
  }
  std::size_t got = 0;
  return read_bytes(fd, &out, 1, deadline, cancel, got);
}

ReadEnd FdPort::read_bytes(std::intptr_t fd, std::uint8_t* out, std::size_t n, Deadline deadline,
                           const std::atomic<bool>& cancel, std::size_t& got) {
  got = 0;
  for (;;) {
    const std::size_t held = std::min(n - got, read_ahead_end_ - read_ahead_next_);
    std::copy_n(read_ahead_.begin() + static_cast<std::ptrdiff_t>(read_ahead_next_), held, out + got);
    read_ahead_next_ += held;
    got += held;
    if (got == n) return ReadEnd::byte;
    if (std::chrono::steady_clock::now() >= deadline) return ReadEnd::deadline;
    const FdReady ready = fd_wait_ready(fd, false, deadline, &cancel);
    if (ready != FdReady::yes) return wait_end(ready, cancel);
    // Bytes have begun to come. The rest cannot come faster than the line
    // runs: wait that long (never past the deadline) and take them all in
    // one read, rather than wake up for each byte. The wait only delays the
    // read; what the bytes mean does not depend on it.
    const std::size_t waiting = fd_waiting(fd);
    const std::size_t missing = n - got;
    if (waiting < missing) {
      const auto now = std::chrono::steady_clock::now();
      std::this_thread::sleep_for(
          std::min<Deadline::duration>(byte_time * static_cast<long>(missing - waiting) + kBatchSlack,
                                       std::min<Deadline::duration>(deadline - now, kLongestSleep)));
    }
    const long count = fd_read_some(fd, read_ahead_.data(), read_ahead_.size());
    if (count < 0) return ReadEnd::port_error;
    read_ahead_next_ = 0;
    read_ahead_end_ = static_cast<std::size_t>(count);
    if (fd_cancelled(&cancel)) return ReadEnd::cancelled;
  }
}
