#include "serial_link.h"

#include "wait_bounds.h"

namespace {
constexpr std::uint8_t kLowestPort = 1;
constexpr std::uint8_t kHighestPort = 9;
}  // namespace

Status serial_open(HostState& s, std::uint8_t port_number) {
  // An invalid number leaves the held port alone.
  if (port_number < kLowestPort || port_number > kHighestPort) return kStatusFail;
  if (s.serial == nullptr) return kStatusFail;
  // Reopening always releases the held port first, even if the new one fails.
  if (s.port_handle.held) s.serial->close_port(s.port_handle);
  s.port_handle = PortHandle{};
  return s.serial->open_port(port_number, s.port_handle);
}

Status serial_close(HostState& s) {
  if (!s.port_handle.held || s.serial == nullptr) return kStatusFail;
  s.serial->close_port(s.port_handle);
  s.port_handle = PortHandle{};
  return kStatusOk;
}

Status serial_write_byte(HostState& s, std::uint8_t byte) {
  if (!s.port_handle.held || s.serial == nullptr) return kStatusFail;
  auto deadline = std::chrono::steady_clock::now() + wait_bounds::kWriteByte;
  return s.serial->write_byte(s.port_handle, byte, deadline);
}

Status serial_read_byte(HostState& s, std::uint8_t* out) {
  std::uint8_t byte = 0;
  ReadEnd end = ReadEnd::port_error;
  if (s.port_handle.held && s.serial != nullptr)
    end = s.serial->read_byte(s.port_handle, byte, s.read_deadline, s.cancel_requested);
  s.last_read_end = end;
  *out = end == ReadEnd::byte ? byte : 0;
  return end == ReadEnd::byte ? kStatusOk : kStatusFail;
}

void start_wait(HostState& s, std::chrono::milliseconds bound) {
  s.read_deadline = std::chrono::steady_clock::now() + bound;
}

bool link_went_quiet(const HostState& s) { return s.last_read_end != ReadEnd::byte; }
