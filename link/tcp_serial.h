#pragma once
// H4 over a TCP connection (tcp:HOST:PORT), for a module behind a raw TCP
// server such as ser2net, or an emulated controller that offers H4 over
// TCP. Connecting is bounded; Nagle's delay is off (TCP_NODELAY), so a
// command's bytes go out as they are written; a connection the other side
// closes ends reads and writes as an unplugged adapter does (port_error).
// The line's speed still sets the pace the reads expect and every bound
// taken from it: behind the server the module keeps its own line.
// tcp_serial_posix.cpp and tcp_serial_win32.cpp open and close; the reads
// and writes are FdPort's.
#include <chrono>
#include <string>

#include "fd_port.h"
#include "serial_link.h"

struct TcpSerial final : SerialBackend {
  // How long a connection may take to be accepted.
  std::chrono::milliseconds connect_bound{5000};
  // Why the last open failed, in words ("" after one that succeeded).
  std::string last_open_error;

  // tcp:HOST:PORT only; any other port fails with nothing held.
  Status open_port(const PortName& port, const LineSettings& line, PortHandle& handle) override;
  void close_port(PortHandle& handle) override;
  Status write_byte(const PortHandle& handle, std::uint8_t byte, Deadline deadline) override;
  ReadEnd read_byte(const PortHandle& handle, std::uint8_t& out, Deadline deadline,
                    const std::atomic<bool>& cancel) override;
  ReadEnd read_bytes(const PortHandle& handle, std::uint8_t* out, std::size_t n, Deadline deadline,
                     const std::atomic<bool>& cancel, std::size_t& got) override;

 private:
  FdPort io_;
};
