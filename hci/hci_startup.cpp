#include "hci_startup.h"

#include <cstring>

#include "hci_framing.h"
#include "serial_link.h"
#include "wait_bounds.h"

namespace {
constexpr std::uint8_t kOcfReset = 0x03;
constexpr std::uint8_t kOcfReadBdAddr = 0x09;
constexpr std::uint8_t kOcfWriteLocalName = 0x13;
constexpr std::uint8_t kOcfWriteScanEnable = 0x1A;

// Header and an empty parameter list, whatever the module's credits: a
// Reset is how a host learns them.
Status begin_command_unchecked(HostState& s, std::uint8_t ocf, std::uint8_t ogf) {
  if (failed(hci_write_command_header(s, ocf, ogf))) return kStatusFail;
  return serial_write_byte(s, 0);
}

// Header and parameter length of a command, once the module takes one; the
// parameters follow.
Status begin_command(HostState& s, std::uint8_t ocf, std::uint8_t ogf, std::uint8_t length) {
  if (failed(hci_wait_command_credit(s, hci_opcode(ocf, ogf)))) return kStatusFail;
  if (failed(hci_write_command_header(s, ocf, ogf))) return kStatusFail;
  return serial_write_byte(s, length);
}

// A module left transmitting by an earlier run may still be sending when
// HCI_Reset goes out, and any of its bytes can look like a packet start with
// a length that would swallow the answer. So the answer is looked for as a
// whole in the raw stream: 04 0E 04 | credits (any) | 03 0C | status.
constexpr std::uint8_t kResetAnswer[] = {kIndicatorEvent, kEventCommandComplete, 0x04, 0x00, 0x03, 0x0C};
constexpr std::size_t kCreditsAt = 3;

constexpr std::uint16_t kResetOpcode = 0x0C03;

enum class ResetAnswer { ok, refused, none };

// Looks for the answer until `deadline`; a refusal is noted.
ResetAnswer find_reset_answer(HostState& s, Deadline deadline) {
  start_wait_until(s, deadline);
  std::uint8_t window[sizeof kResetAnswer] = {};  // the last bytes read, oldest first
  std::size_t filled = 0;
  for (;;) {
    std::uint8_t byte = 0;
    if (failed(serial_read_byte(s, &byte))) return ResetAnswer::none;
    if (filled == sizeof window) std::memmove(window, window + 1, sizeof window - 1);
    window[filled == sizeof window ? filled - 1 : filled++] = byte;
    bool match = filled == sizeof window;
    for (std::size_t i = 0; match && i < sizeof window; ++i) match = i == kCreditsAt || window[i] == kResetAnswer[i];
    if (!match) continue;
    std::uint8_t status = 0xFF;
    if (failed(serial_read_byte(s, &status))) return ResetAnswer::none;
    s.command_credits = window[kCreditsAt];
    if (status == 0x00) return ResetAnswer::ok;
    note_answer_failure(s, FailurePoint::command, kResetOpcode, kEventCommandComplete, status, kResetAnswer[2]);
    return ResetAnswer::refused;
  }
}

Status write_reset(HostState& s) { return begin_command_unchecked(s, kOcfReset, kOgfControllerBaseband); }

// Reset gets no answer in all the start-up time: nothing came back at all
// (a module at another speed or flow control hears only garbage, and says
// nothing), or bytes that held no answer.
Status note_no_reset_answer(HostState& s, std::uint64_t heard_before, Deadline began) {
  if (s.last_read_end != ReadEnd::deadline || s.bytes_heard != heard_before) {
    note_wait_failure(s, FailurePoint::command, kResetOpcode, kEventCommandComplete);
    s.last_failure.bound_ms = static_cast<std::uint32_t>(wait_bounds::kStartUp.count());
  } else {
    FailureReason reason;
    reason.point = FailurePoint::module_silent;
    reason.opcode = kResetOpcode;
    reason.bound_ms = static_cast<std::uint32_t>(wait_bounds::kStartUp.count());
    reason.waited_ms = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(link_now(s) - began).count());
    reason.line = s.line;
    note_failure(s, reason);
  }
  return kStatusFail;
}
}  // namespace

// 01 03 0C 00 -> Command Complete 04 0E 04 01 03 0C 00. A module still
// starting up may not hear it: it is sent again after each handshake bound
// without an answer, for the start-up time in all. Its answer says nothing
// of which Reset it answers, so once one came, the answers to the others
// are waited for too (the handshake bound each): the commands that follow
// must reach a module whose last reset is over.
Status hci_reset(HostState& s) {
  constexpr int kAttempts = static_cast<int>(wait_bounds::kStartUp / wait_bounds::kCommandHandshake);
  const Deadline began = link_now(s);
  const std::uint64_t heard_before = s.bytes_heard;
  int sent = 0;
  for (;;) {
    if (failed(write_reset(s))) return kStatusFail;
    ++sent;
    const ResetAnswer answer = find_reset_answer(s, link_now(s) + wait_bounds::kCommandHandshake);
    if (answer == ResetAnswer::ok) break;
    if (answer == ResetAnswer::refused) return kStatusFail;
    if (s.last_read_end != ReadEnd::deadline || sent == kAttempts) return note_no_reset_answer(s, heard_before, began);
  }
  for (int answered = 1; answered < sent; ++answered)
    if (find_reset_answer(s, link_now(s) + wait_bounds::kCommandHandshake) != ResetAnswer::ok) break;
  return kStatusOk;
}

// 01 09 10 00 -> 04 0E 0A 01 09 10 00 + BD_ADDR (wire order, stored as received)
Status hci_read_bd_addr(HostState& s, std::uint8_t* dest) {
  if (failed(begin_command(s, kOcfReadBdAddr, kOgfInformational, 0))) return kStatusFail;
  return hci_wait_command_complete(s, kOcfReadBdAddr, kOgfInformational, 6, dest);
}

// 01 13 0C F8 + the name + zeros up to 248 bytes
Status hci_write_local_name(HostState& s, const char* name) {
  const void* terminator = std::memchr(name, '\0', kLocalNameSize);
  if (terminator == nullptr) return kStatusFail;  // no room for the zero: send nothing
  auto length = static_cast<std::size_t>(static_cast<const char*>(terminator) - name);
  if (failed(begin_command(s, kOcfWriteLocalName, kOgfControllerBaseband,
                           static_cast<std::uint8_t>(kLocalNameSize))))
    return kStatusFail;
  for (std::size_t i = 0; i < kLocalNameSize; ++i) {
    auto byte = static_cast<std::uint8_t>(i < length ? name[i] : 0);
    if (failed(serial_write_byte(s, byte))) return kStatusFail;
  }
  return hci_wait_command_complete(s, kOcfWriteLocalName, kOgfControllerBaseband, 0, nullptr);
}

// 01 1A 0C 01 value
Status hci_write_scan_enable(HostState& s, std::uint8_t value) {
  if (failed(begin_command(s, kOcfWriteScanEnable, kOgfControllerBaseband, 1))) return kStatusFail;
  if (failed(serial_write_byte(s, value))) return kStatusFail;
  return hci_wait_command_complete(s, kOcfWriteScanEnable, kOgfControllerBaseband, 0, nullptr);
}

Status module_start_up(HostState& s, const char* name) {
  if (failed(hci_reset(s))) return kStatusFail;
  if (failed(hci_read_bd_addr(s, s.local_address.data()))) return kStatusFail;
  if (failed(hci_write_local_name(s, name))) return kStatusFail;
  return hci_write_scan_enable(s, kScanInquiryAndPage);
}
