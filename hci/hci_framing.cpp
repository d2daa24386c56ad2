#include "hci_framing.h"

#include "hci_inbound.h"
#include "serial_link.h"
#include "wait_bounds.h"

namespace {
constexpr std::uint8_t kCompleteHeaderLength = 4;  // credits, opcode (2), status
constexpr std::uint8_t kStatusEventLength = 4;     // status, credits, opcode (2)

std::uint16_t opcode_at(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
}  // namespace

// 01 | opcode low | opcode high; the caller writes the parameter length next.
Status hci_write_command_header(HostState& s, std::uint8_t ocf, std::uint8_t ogf) {
  std::uint16_t opcode = hci_opcode(ocf, ogf);
  if (s.command_credits > 0) --s.command_credits;
  if (failed(serial_write_byte(s, kIndicatorCommand))) return kStatusFail;
  return write_u16_le(s, opcode);
}

// Command Complete: 0E | length | credits | opcode low | opcode high | status | return bytes
// Command Status:   0F | 04 | status | credits | opcode low | opcode high
// The credit count is not judged: a controller may offer more than one.
Status hci_await_answer(HostState& s, std::uint16_t opcode, CommandAnswer& answer, std::uint8_t n,
                        std::uint8_t* dest) {
  std::uint8_t code = 0;
  std::uint8_t length = 0;
  std::uint8_t p[kEventParametersMax];
  for (;;) {
    if (failed(hci_next_event(s, &code, &length, p))) return kStatusFail;
    if (code == kEventCommandComplete && length >= kCompleteHeaderLength && opcode_at(p + 1) == opcode) {
      answer = {true, code, p[3], length};
      // Return bytes only from an answer that succeeded.
      for (std::uint8_t i = 0; dest != nullptr && p[3] == 0x00 && i < n && kCompleteHeaderLength + i < length; ++i)
        dest[i] = p[kCompleteHeaderLength + i];
      return kStatusOk;
    }
    if (code == kEventCommandStatus && length == kStatusEventLength && opcode_at(p + 2) == opcode) {
      answer = {true, code, p[0], length};
      return kStatusOk;
    }
    // Anything else, an answer to an earlier command included, is handled as
    // it comes; the wait goes on until its deadline.
    hci_handle_event(s, code, length, p);
  }
}

Status hci_wait_command_complete(HostState& s, std::uint8_t ocf, std::uint8_t ogf, std::uint8_t n,
                                 std::uint8_t* dest) {
  start_wait(s, wait_bounds::kCommandHandshake);
  CommandAnswer answer;
  const std::uint16_t opcode = hci_opcode(ocf, ogf);
  if (failed(hci_await_answer(s, opcode, answer, n, dest))) {
    note_wait_failure(s, FailurePoint::command, opcode, kEventCommandComplete);
    return kStatusFail;
  }
  // n + 4 without 8-bit wrap: n = 252 and above can never match a length byte.
  bool accepted = answer.event == kEventCommandComplete && answer.status == 0x00 &&
                  answer.length == n + unsigned{kCompleteHeaderLength};
  if (accepted) return kStatusOk;
  note_answer_failure(s, FailurePoint::command, opcode, answer.event, answer.status, answer.length);
  return kStatusFail;
}

Status hci_wait_command_status(HostState& s, std::uint8_t ocf, std::uint8_t ogf) {
  start_wait(s, wait_bounds::kCommandHandshake);
  CommandAnswer answer;
  const std::uint16_t opcode = hci_opcode(ocf, ogf);
  if (failed(hci_await_answer(s, opcode, answer, 0, nullptr))) {
    note_wait_failure(s, FailurePoint::command, opcode, kEventCommandStatus);
    return kStatusFail;
  }
  if (answer.event == kEventCommandStatus && answer.status == 0x00) return kStatusOk;
  note_answer_failure(s, FailurePoint::command, opcode, answer.event, answer.status, answer.length);
  return kStatusFail;
}

// Command Complete: credits | opcode (2) | ...; Command Status: status | credits | opcode (2)
void hci_note_credits(HostState& s, std::uint8_t code, std::uint8_t length, const std::uint8_t* p) {
  if (code == kEventCommandComplete && length >= 3) s.command_credits = p[0];
  if (code == kEventCommandStatus && length == kStatusEventLength) s.command_credits = p[1];
}

Status hci_wait_command_credit(HostState& s, std::uint16_t opcode) {
  if (s.command_credits > 0) return kStatusOk;
  start_wait(s, wait_bounds::kCommandHandshake);
  std::uint8_t code = 0;
  std::uint8_t length = 0;
  std::uint8_t p[kEventParametersMax];
  while (s.command_credits == 0) {
    if (failed(hci_next_event(s, &code, &length, p))) {
      note_wait_failure(s, FailurePoint::no_credit, opcode, kEventCommandComplete);
      return kStatusFail;
    }
    hci_handle_event(s, code, length, p);
  }
  return kStatusOk;
}

Status hci_module_usable(HostState& s) {
  if (!s.module_failed) return kStatusOk;
  FailureReason reason;
  reason.point = FailurePoint::module_failed;
  reason.hci_status = s.module_error_code;
  note_failure(s, reason);
  return kStatusFail;
}

Status write_u16_le(HostState& s, std::uint16_t value) {
  if (failed(serial_write_byte(s, static_cast<std::uint8_t>(value & 0xFF)))) return kStatusFail;
  return serial_write_byte(s, static_cast<std::uint8_t>(value >> 8));
}

Status read_u16_le(HostState& s, std::uint16_t* value) {
  std::uint8_t low = 0;
  std::uint8_t high = 0;
  if (failed(serial_read_byte(s, &low)) || failed(serial_read_byte(s, &high))) return kStatusFail;
  *value = static_cast<std::uint16_t>(high * 256 + low);
  return kStatusOk;
}

Status hci_discard_bytes(HostState& s, unsigned count) { return serial_read_bytes(s, nullptr, count); }
