#pragma once
// The POSIX termios backend: a raw 57,600 baud 8N1 line, non-blocking
// descriptor, reads and writes bounded by poll(). A held port is exclusive,
// as serial tools agree: TIOCEXCL and a non-blocking flock, so a second
// program is told "busy" instead of sharing the line.
#include <array>
#include <chrono>
#include <string>

#include "port_path.h"
#include "serial_link.h"

struct PosixSerial final : SerialBackend {
  // The pause after opening, for the module to settle after the purge.
  std::chrono::milliseconds settle{500};
  // When set, every COMn opens this device instead of its mapping.
  std::string device_path;
  // Why the last open failed (error 0 after one that succeeded).
  PortOpenError last_open_error;

  Status open_port(std::uint8_t port_number, PortHandle& handle) override;
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
  // What one read() took from the port beyond the byte asked for, handed
  // out one byte per call all the same: a system call per byte would cost
  // the host several per cent of a core on a busy line.
  std::array<std::uint8_t, 1024> read_ahead_{};
  std::size_t read_ahead_next_ = 0;
  std::size_t read_ahead_end_ = 0;
};

// Puts a descriptor into the raw 57,600 baud 8N1 line discipline the module
// speaks: no echo, no canonical processing, no CR/LF, parity or flow-control
// translation, so every byte value arrives as itself. Shared with the
// virtual module, which sets up its side of the pseudo-terminal the same way.
bool make_raw_line(int fd);
