#include "tcp_serial.h"

Status TcpSerial::write_byte(const PortHandle& handle, std::uint8_t byte, Deadline deadline) {
  return io_.write_byte(handle.native, byte, deadline);
}

ReadEnd TcpSerial::read_byte(const PortHandle& handle, std::uint8_t& out, Deadline deadline,
                             const std::atomic<bool>& cancel) {
  return io_.read_byte(handle.native, out, deadline, cancel);
}

ReadEnd TcpSerial::read_bytes(const PortHandle& handle, std::uint8_t* out, std::size_t n, Deadline deadline,
                              const std::atomic<bool>& cancel, std::size_t& got) {
  return io_.read_bytes(handle.native, out, n, deadline, cancel, got);
}
