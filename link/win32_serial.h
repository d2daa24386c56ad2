#pragma once
// The Win32 backend: kernel32's serial-port calls with the line settings,
// event mask and time-outs the module needs. Built only for Windows targets.
#include <chrono>

#include "serial_link.h"

struct Win32Serial final : SerialBackend {
  // COMn as \\.\COMn (any n), or a device path as given; a TCP address is
  // not this backend's. Every field of the line's DCB that matters is set.
  Status open_port(const PortName& port, const LineSettings& line, PortHandle& handle) override;
  void close_port(PortHandle& handle) override;
  Status write_byte(const PortHandle& handle, std::uint8_t byte, Deadline deadline) override;
  ReadEnd read_byte(const PortHandle& handle, std::uint8_t& out, Deadline deadline,
                    const std::atomic<bool>& cancel) override;
  // One ReadFile for as many bytes as are wanted (up to a slice of them): it
  // returns once they have all come, so a paced packet is one wake-up.
  ReadEnd read_bytes(const PortHandle& handle, std::uint8_t* out, std::size_t n, Deadline deadline,
                     const std::atomic<bool>& cancel, std::size_t& got) override;

 private:
  std::chrono::nanoseconds byte_time_{};  // of the line opened last
};
