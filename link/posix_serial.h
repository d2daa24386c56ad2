#pragma once
// The POSIX termios backend: a raw 8N1 line at the speed and flow control
// asked for, non-blocking descriptor, reads and writes bounded by poll().
// A held port is exclusive, as serial tools agree: TIOCEXCL and a
// non-blocking flock, so a second program is told "busy" instead of sharing
// the line.
#include <chrono>
#include <string>

#include "fd_port.h"
#include "port_path.h"
#include "serial_link.h"

struct PosixSerial final : SerialBackend {
  // The pause after opening, for the module to settle after the purge.
  std::chrono::milliseconds settle{500};
  // Why the last open failed (error 0 after one that succeeded).
  PortOpenError last_open_error;

  // COMn (its mapping) or a device path; a TCP address is not this
  // backend's.
  Status open_port(const PortName& port, const LineSettings& line, PortHandle& handle) override;
  void close_port(PortHandle& handle) override;
  Status write_byte(const PortHandle& handle, std::uint8_t byte, Deadline deadline) override;
  ReadEnd read_byte(const PortHandle& handle, std::uint8_t& out, Deadline deadline,
                    const std::atomic<bool>& cancel) override;
  // Sleeps until the bytes still missing can have come at the line's pace,
  // then takes them in one read: a paced packet costs a wake-up or two, not
  // one per byte.
  ReadEnd read_bytes(const PortHandle& handle, std::uint8_t* out, std::size_t n, Deadline deadline,
                     const std::atomic<bool>& cancel, std::size_t& got) override;

 private:
  FdPort io_;
};

// Puts a descriptor into the raw 8N1 line discipline the module speaks, at
// the line's speed, with RTS/CTS on or off as it says: no echo, no
// canonical processing, no CR/LF, parity or XON/XOFF translation, so every
// byte value arrives as itself. Shared with the virtual module, which sets
// up its side of the pseudo-terminal the same way.
bool make_raw_line(int fd, const LineSettings& line);

// termios2 (posix_line_speed.cpp): a speed that has no B constant, the rest
// of the line left as it is; and the speed and flow control a terminal is
// set to, whoever set them.
bool set_other_line_speed(int fd, std::uint32_t baud);
bool read_line_settings(int fd, LineSettings& line);
