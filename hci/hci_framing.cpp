#include "hci_framing.h"

#include "serial_link.h"
#include "wait_bounds.h"

namespace {
Status read_byte(HostState& s, std::uint8_t& out) { return serial_read_byte(s, &out); }

// Reads one byte and checks it; a mismatch ends the wait right after it.
Status expect_byte(HostState& s, std::uint8_t wanted) {
  std::uint8_t got = 0;
  if (failed(read_byte(s, got)) || got != wanted) return kStatusFail;
  return kStatusOk;
}
}  // namespace

// 01 | opcode low | opcode high; the caller writes the parameter length next.
Status hci_write_command_header(HostState& s, std::uint8_t ocf, std::uint8_t ogf) {
  std::uint16_t opcode = hci_opcode(ocf, ogf);
  if (failed(serial_write_byte(s, kIndicatorCommand))) return kStatusFail;
  if (failed(serial_write_byte(s, static_cast<std::uint8_t>(opcode & 0xFF)))) return kStatusFail;
  if (failed(serial_write_byte(s, static_cast<std::uint8_t>(opcode >> 8)))) return kStatusFail;
  return kStatusOk;
}

Status hci_skip_to_event(HostState& s) {
  std::uint8_t byte = 0;
  do {
    if (failed(read_byte(s, byte))) return kStatusFail;
  } while (byte != kIndicatorEvent);
  return kStatusOk;
}

Status hci_skip_event_parameters(HostState& s) {
  std::uint8_t length = 0;
  if (failed(read_byte(s, length))) return kStatusFail;
  return hci_discard_bytes(s, length);
}

Status hci_read_event_code(HostState& s, std::uint8_t* code) {
  for (;;) {
    if (failed(hci_skip_to_event(s)) || failed(read_byte(s, *code))) return kStatusFail;
    if (*code != kEventNumberOfCompletedPackets) return kStatusOk;
    if (failed(hci_skip_event_parameters(s))) return kStatusFail;
  }
}

Status hci_read_answer_event_code(HostState& s, std::uint8_t* code) {
  for (;;) {
    if (failed(hci_read_event_code(s, code))) return kStatusFail;
    if (*code != kEventInquiryComplete) return kStatusOk;
    if (failed(hci_skip_event_parameters(s))) return kStatusFail;
  }
}

Status hci_discard_bytes(HostState& s, unsigned count) {
  std::uint8_t ignored = 0;
  for (unsigned i = 0; i < count; ++i)
    if (failed(read_byte(s, ignored))) return kStatusFail;
  return kStatusOk;
}

// 04 | 0E | n+4 | 01 (credits) | opcode low | opcode high | 00 (status) | n return bytes
Status hci_wait_command_complete(HostState& s, std::uint8_t ocf, std::uint8_t ogf, std::uint8_t n,
                                 std::uint8_t* dest) {
  start_wait(s, wait_bounds::kCommandHandshake);
  std::uint16_t opcode = hci_opcode(ocf, ogf);
  std::uint8_t code = 0;
  if (failed(hci_read_answer_event_code(s, &code)) || code != kEventCommandComplete) return kStatusFail;
  // n + 4 without 8-bit wrap: n = 252 and above can never match a length byte.
  std::uint8_t length = 0;
  if (failed(read_byte(s, length)) || length != n + 4u) return kStatusFail;
  if (failed(expect_byte(s, 1))) return kStatusFail;
  if (failed(expect_byte(s, static_cast<std::uint8_t>(opcode & 0xFF)))) return kStatusFail;
  if (failed(expect_byte(s, static_cast<std::uint8_t>(opcode >> 8)))) return kStatusFail;
  if (failed(expect_byte(s, 0x00))) return kStatusFail;
  if (dest == nullptr) return kStatusOk;
  for (std::uint8_t i = 0; i < n; ++i)
    if (failed(read_byte(s, dest[i]))) return kStatusFail;
  return kStatusOk;
}

// 04 | 0F | 04 | 00 (status) | 01 (credits) | opcode low | opcode high
Status hci_wait_command_status(HostState& s, std::uint8_t ocf, std::uint8_t ogf) {
  start_wait(s, wait_bounds::kCommandHandshake);
  std::uint16_t opcode = hci_opcode(ocf, ogf);
  std::uint8_t code = 0;
  if (failed(hci_read_answer_event_code(s, &code)) || code != kEventCommandStatus) return kStatusFail;
  if (failed(expect_byte(s, 4))) return kStatusFail;
  if (failed(expect_byte(s, 0x00))) return kStatusFail;
  if (failed(expect_byte(s, 1))) return kStatusFail;
  if (failed(expect_byte(s, static_cast<std::uint8_t>(opcode & 0xFF)))) return kStatusFail;
  if (failed(expect_byte(s, static_cast<std::uint8_t>(opcode >> 8)))) return kStatusFail;
  return kStatusOk;
}

Status write_u16_le(HostState& s, std::uint16_t value) {
  serial_write_byte(s, static_cast<std::uint8_t>(value & 0xFF));
  serial_write_byte(s, static_cast<std::uint8_t>(value >> 8));
  return kStatusOk;
}

Status read_u16_le(HostState& s, std::uint16_t* value) {
  std::uint8_t low = 0;
  std::uint8_t high = 0;
  if (failed(read_byte(s, low)) || failed(read_byte(s, high))) return kStatusFail;
  *value = static_cast<std::uint16_t>(high * 256 + low);
  return kStatusOk;
}
