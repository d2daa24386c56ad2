#pragma once
// The serial link: four operations that move single bytes between the host
// and the module, over whichever backend the HostState was given.
#include <atomic>
#include <chrono>
#include <cstdint>

#include "host_state.h"
#include "line_settings.h"
#include "port_name.h"

using Deadline = std::chrono::steady_clock::time_point;

// The seam between the link operations and a platform's serial port. A
// backend does only what the platform must do; the rules every port shares
// (valid numbers, releasing the held port, deadlines) live in serial_link.cpp.
struct SerialBackend {
  virtual ~SerialBackend() = default;
  // Opens the port and sets its line (speed, flow control, 8N1, raw).
  // Sets handle.held as soon as the device itself is open: a configuration
  // step failing after that returns -1 with the new handle still held. A
  // port of a kind the backend does not serve fails with nothing held.
  virtual Status open_port(const PortName& port, const LineSettings& line, PortHandle& handle) = 0;
  virtual void close_port(PortHandle& handle) = 0;
  virtual Status write_byte(const PortHandle& handle, std::uint8_t byte, Deadline deadline) = 0;
  // Waits for one byte until the deadline or a cancel request. Once the
  // deadline has passed it reports the deadline, even with bytes waiting.
  virtual ReadEnd read_byte(const PortHandle& handle, std::uint8_t& out, Deadline deadline,
                            const std::atomic<bool>& cancel) = 0;
  // Waits for `n` bytes until the deadline or a cancel request; `got` says
  // how many came. A backend that can wait for them all at once overrides
  // this, so that a paced line wakes the host once a packet, not once a byte.
  virtual ReadEnd read_bytes(const PortHandle& handle, std::uint8_t* out, std::size_t n, Deadline deadline,
                             const std::atomic<bool>& cancel, std::size_t& got) {
    for (got = 0; got < n; ++got) {
      const ReadEnd end = read_byte(handle, out[got], deadline, cancel);
      if (end != ReadEnd::byte) return end;
    }
    return ReadEnd::byte;
  }
  // The line's clock, from which every deadline is taken. A scripted line
  // keeps one of its own, so that waits of seconds run in no time in tests.
  virtual Deadline now() const { return std::chrono::steady_clock::now(); }
};

// Opens the port with the line given, which becomes s.line. A name that is
// no port (COM0, an empty path or host) leaves the held port alone.
Status serial_open(HostState& s, const PortName& port, const LineSettings& line);
// COMn at the default line: 57,600 baud, no flow control.
Status serial_open(HostState& s, std::uint8_t port_number);
Status serial_close(HostState& s);
Status serial_write_byte(HostState& s, std::uint8_t byte);
// 0 with the byte, or -1 with 0 stored when the wait ends without one
// (deadline, cancel, port error); s.last_read_end tells which.
Status serial_read_byte(HostState& s, std::uint8_t* out);
// `n` bytes into out (nullptr: read and dropped); 0 when all came, else -1
// with s.last_read_end telling why.
Status serial_read_bytes(HostState& s, std::uint8_t* out, std::size_t n);
// The same, telling in `got` how many came before the wait ended, so that a
// reader cut off inside a packet knows how much of it it has.
Status serial_read_some(HostState& s, std::uint8_t* out, std::size_t n, std::size_t& got);

// The time on the line's clock (the steady clock when no line is attached).
Deadline link_now(const HostState& s);
// Starts a wait: every read until the next start_wait ends at now + bound.
void start_wait(HostState& s, std::chrono::milliseconds bound);
// The same, to a deadline already worked out.
void start_wait_until(HostState& s, Deadline deadline);
// True when the last read ended without a byte because nothing more can come
// in this wait (deadline, cancel, port error), as opposed to a byte that
// arrived and was refused by the reader.
bool link_went_quiet(const HostState& s);

// How the last read ended, into a failure: the port's error, or the
// module's hardware error code.
void fill_read_end(const HostState& s, FailureReason& reason);

// Why the current operation failed (HostState::last_failure). The first
// failure noted since clear_failure wins: what fails after it follows from it.
void clear_failure(HostState& s);
void note_failure(HostState& s, FailureReason reason);
// A wait that ended without what it waited for: how it ended, its bound, the
// time waited and the port's error are taken from the link.
void note_wait_failure(HostState& s, FailurePoint point, std::uint16_t opcode, std::uint8_t awaited_event,
                       std::uint16_t detail = 0);
// An answer that came and was refused, with the time waited for it.
void note_answer_failure(HostState& s, FailurePoint point, std::uint16_t opcode, std::uint8_t event,
                         std::uint8_t status, std::uint8_t length);
