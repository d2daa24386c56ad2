#include "trace_serial.h"

namespace {
constexpr std::uint8_t kH4Command = 0x01;
constexpr std::uint8_t kH4Acl = 0x02;
constexpr std::uint8_t kH4Sco = 0x03;
constexpr std::uint8_t kH4Event = 0x04;

// The payload length announced by a complete header, bytes[0] the indicator:
//   command 01 opcode(2) length(1)
//   ACL     02 handle+flags(2) length(2, LE)
//   SCO     03 handle+flags(2) length(1)
//   event   04 code(1) length(1)
std::size_t h4_payload_length(const std::uint8_t* bytes) {
  switch (bytes[0]) {
    case kH4Command:
    case kH4Sco:
      return bytes[3];
    case kH4Acl:
      return static_cast<std::size_t>(bytes[3]) | static_cast<std::size_t>(bytes[4]) << 8;
    case kH4Event:
      return bytes[2];
    default:
      return 0;
  }
}
}  // namespace

std::size_t h4_header_length(std::uint8_t indicator) {
  switch (indicator) {
    case kH4Command:
      return 3;
    case kH4Acl:
      return 4;
    case kH4Sco:
      return 3;
    case kH4Event:
      return 2;
    default:
      return 0;
  }
}

bool H4PacketTracker::take(std::uint8_t byte) {
  if (complete_) drop_partial();
  if (filled_ == 0 && h4_header_length(byte) == 0) return false;
  bytes_[filled_++] = byte;
  if (total_ == 0 && filled_ == 1 + h4_header_length(bytes_[0]))
    total_ = filled_ + h4_payload_length(bytes_.data());
  complete_ = total_ != 0 && filled_ == total_;
  return complete_;
}

void H4PacketTracker::drop_partial() {
  filled_ = 0;
  total_ = 0;
  complete_ = false;
}

void TraceSerial::drop_partial_packets() {
  sent_.drop_partial();
  received_.drop_partial();
}

Status TraceSerial::open_port(const PortName& port, const LineSettings& line, PortHandle& handle) {
  drop_partial_packets();
  return inner_.open_port(port, line, handle);
}

void TraceSerial::close_port(PortHandle& handle) {
  drop_partial_packets();
  inner_.close_port(handle);
}

Status TraceSerial::write_byte(const PortHandle& handle, std::uint8_t byte, Deadline deadline) {
  Status status = inner_.write_byte(handle, byte, deadline);
  // A trace that cannot be written must not disturb the link: its result is
  // not passed on.
  if (status == kStatusOk && sent_.take(byte)) out_.write_packet(sent_.packet(), sent_.length(), false);
  return status;
}

ReadEnd TraceSerial::read_byte(const PortHandle& handle, std::uint8_t& out, Deadline deadline,
                               const std::atomic<bool>& cancel) {
  ReadEnd end = inner_.read_byte(handle, out, deadline, cancel);
  if (end == ReadEnd::byte && received_.take(out))
    out_.write_packet(received_.packet(), received_.length(), true);
  return end;
}

ReadEnd TraceSerial::read_bytes(const PortHandle& handle, std::uint8_t* out, std::size_t n, Deadline deadline,
                                const std::atomic<bool>& cancel, std::size_t& got) {
  ReadEnd end = inner_.read_bytes(handle, out, n, deadline, cancel, got);
  for (std::size_t i = 0; i < got; ++i)
    if (received_.take(out[i])) out_.write_packet(received_.packet(), received_.length(), true);
  return end;
}
