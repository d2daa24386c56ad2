#include "hci_link_control.h"

#include <algorithm>

#include "hci_framing.h"
#include "hci_inbound.h"
#include "hci_security.h"
#include "serial_link.h"
#include "wait_bounds.h"

namespace {
constexpr std::uint8_t kOcfCreateConnection = 0x05;
constexpr std::uint8_t kOcfDisconnect = 0x06;
constexpr std::uint8_t kOcfCreateConnectionCancel = 0x08;
constexpr std::uint8_t kOcfAcceptConnectionRequest = 0x09;
constexpr std::uint8_t kOcfRejectConnectionRequest = 0x0A;
constexpr std::uint16_t kPacketTypeDh1 = 0x0010;
constexpr std::uint16_t kClockOffsetValid = 0x8000;  // bit 15: the offset in bits 0 to 14 is valid
// A device paged by an address given by hand: page scan repetition mode R2,
// which every device can be found with, and no clock offset (as Linux does).
constexpr std::uint8_t kPageScanR2 = 0x02;
// The host ends its own links as a user who is done with them (0x13, remote
// user terminated connection): a peer takes any other reason for a fault.
constexpr std::uint8_t kDisconnectReason = 0x13;
constexpr std::uint8_t kUnwantedLinkReason = 0x13;
constexpr std::uint8_t kStatusUnknownConnection = 0x02;

// Accept and Reject differ only in the opcode and the meaning of the last byte:
// 01 | OCF 04 | 07 | BD_ADDR (wire order) | role or reason
Status answer_connection_request(HostState& s, std::uint8_t ocf, const DeviceAddress& address,
                                 std::uint8_t last) {
  if (failed(hci_write_command_header(s, ocf, kOgfLinkControl))) return kStatusFail;
  if (failed(serial_write_byte(s, 7))) return kStatusFail;
  for (std::uint8_t byte : address)
    if (failed(serial_write_byte(s, byte))) return kStatusFail;
  return serial_write_byte(s, last);
}

// A wait that ended because the port failed or the user cancelled, rather
// than because its deadline passed.
bool port_lost(const HostState& s) {
  return s.last_read_end == ReadEnd::port_error || s.last_read_end == ReadEnd::cancelled;
}
}  // namespace

// 01 05 04 0D | BD_ADDR (wire order) | 10 00 | PSRM | 00 | clock offset | 00
// A device the last inquiry found is paged as it reported (its page scan
// repetition mode, and its clock offset marked valid), which shortens the
// page on a real radio.
Status hci_create_connection(HostState& s, const DeviceAddress& address) {
  std::uint8_t repetition_mode = kPageScanR2;
  std::uint16_t clock_offset = 0x0000;
  for (std::size_t i = 0; i < s.inquiry_page_count; ++i)
    if (s.inquiry_pages[i].address == address) {
      repetition_mode = s.inquiry_pages[i].scan_repetition_mode;
      clock_offset = static_cast<std::uint16_t>(s.inquiry_pages[i].clock_offset | kClockOffsetValid);
    }
  if (failed(hci_wait_command_credit(s, hci_opcode(kOcfCreateConnection, kOgfLinkControl)))) return kStatusFail;
  if (failed(hci_write_command_header(s, kOcfCreateConnection, kOgfLinkControl))) return kStatusFail;
  if (failed(serial_write_byte(s, 13))) return kStatusFail;
  for (int i = 5; i >= 0; --i)
    if (failed(serial_write_byte(s, address[static_cast<std::size_t>(i)]))) return kStatusFail;
  if (failed(write_u16_le(s, kPacketTypeDh1))) return kStatusFail;
  if (failed(serial_write_byte(s, repetition_mode))) return kStatusFail;
  if (failed(serial_write_byte(s, 0x00))) return kStatusFail;  // reserved (page scan mode)
  if (failed(write_u16_le(s, clock_offset))) return kStatusFail;
  if (failed(serial_write_byte(s, 0x00))) return kStatusFail;  // no role switch
  if (failed(hci_wait_command_status(s, kOcfCreateConnection, kOgfLinkControl))) return kStatusFail;
  s.remote_address = reversed_address(address);
  // Only this page may bring a link up now: an accepted request that never
  // completed is forgotten, and whoever pages the host meanwhile is refused.
  s.page_under_way = true;
  s.accept_pending = false;
  report_progress(s, ProgressEvent::paging, 0, address);
  Status outcome = hci_wait_connection_complete(s);
  s.page_under_way = false;  // a completion that comes after this is dropped
  // A page the host gives up on is stopped, so the module does not go on
  // paging: a Connection Complete that still comes is handled as any late one.
  const bool none_came = failed(outcome) && link_went_quiet(s);
  if (none_came && s.last_read_end != ReadEnd::port_error && !s.module_failed) hci_cancel_page(s, address);
  return outcome;
}

// 01 08 04 06 | BD_ADDR (wire order) -> Command Complete (status, BD_ADDR)
Status hci_cancel_page(HostState& s, const DeviceAddress& address) {
  const std::uint16_t opcode = hci_opcode(kOcfCreateConnectionCancel, kOgfLinkControl);
  Status sent = hci_write_command_header(s, kOcfCreateConnectionCancel, kOgfLinkControl);
  if (!failed(sent)) sent = serial_write_byte(s, 6);
  for (int i = 5; i >= 0 && !failed(sent); --i) sent = serial_write_byte(s, address[static_cast<std::size_t>(i)]);
  // Its answer is waited for (a handshake's bound), so the page is over
  // before the host goes on; what it says changes nothing.
  if (!failed(sent)) {
    start_wait(s, wait_bounds::kCommandHandshake);
    CommandAnswer answer;
    hci_await_answer(s, opcode, answer, 0, nullptr);
  }
  return sent;
}

Status hci_wait_connection_complete(HostState& s) {
  // The controller reports a failed page itself after its page timeout.
  start_wait(s, wait_bounds::connection_complete_wait());
  std::uint8_t code = 0;
  std::uint8_t length = 0;
  std::uint8_t p[kEventParametersMax];
  const std::uint16_t opcode = hci_opcode(kOcfCreateConnection, kOgfLinkControl);
  for (;;) {
    if (failed(hci_next_event(s, &code, &length, p))) {
      note_wait_failure(s, FailurePoint::connection_complete, opcode, kEventConnectionComplete);
      return kStatusFail;
    }
    // The completion of another link (a third device's, rejected) is not
    // ours: it is handled as any event and the wait goes on.
    bool ours = code == kEventConnectionComplete && length == 11 &&
                std::equal(s.remote_address.begin(), s.remote_address.end(), p + 3);
    Status result = hci_handle_event(s, code, length, p);
    // length holds the link type here: a refusal with status 0 was no ACL link.
    if (ours && failed(result) && !hci_note_pairing_failure(s, p[0]))
      note_answer_failure(s, FailurePoint::connection_complete, opcode, code, p[0], p[9]);
    if (ours) return result;
  }
}

namespace {
// 01 06 04 03 | handle low | handle high | reason
Status write_disconnect(HostState& s, std::uint8_t handle_low, std::uint8_t handle_high, std::uint8_t reason) {
  if (failed(hci_write_command_header(s, kOcfDisconnect, kOgfLinkControl))) return kStatusFail;
  if (failed(serial_write_byte(s, 3))) return kStatusFail;
  if (failed(serial_write_byte(s, handle_low))) return kStatusFail;
  if (failed(serial_write_byte(s, handle_high))) return kStatusFail;
  return serial_write_byte(s, reason);
}

// The link is gone: the channel with it.
void take_link_down(HostState& s) {
  s.link_connected = 0;
  if (s.link_went_down != nullptr) s.link_went_down(s);
}
}  // namespace

Status hci_disconnect_unwanted(HostState& s, std::uint8_t handle_low, std::uint8_t handle_high) {
  return write_disconnect(s, handle_low, handle_high, kUnwantedLinkReason);
}

// Disconnect for the link's handle, then the module's answers: its Command
// Status, then the Disconnection Complete that takes the link down.
Status hci_disconnect(HostState& s) {
  if (failed(hci_wait_command_credit(s, hci_opcode(kOcfDisconnect, kOgfLinkControl)))) return kStatusFail;
  if (failed(write_disconnect(s, s.handle_low, s.handle_high, kDisconnectReason))) return kStatusFail;

  start_wait(s, wait_bounds::kCommandHandshake);
  CommandAnswer answer;
  const std::uint16_t opcode = hci_opcode(kOcfDisconnect, kOgfLinkControl);
  auto lost = [&](std::uint8_t awaited) {
    note_wait_failure(s, FailurePoint::command, opcode, awaited);
    return kStatusFail;
  };
  // No Command Status at all: the module may not have had the command, and
  // the link is as it was.
  if (failed(hci_await_answer(s, opcode, answer, 0, nullptr))) return lost(kEventCommandStatus);
  // A link the module no longer knows is down already; any other refusal
  // leaves the link up, and that is no success.
  if (answer.status == kStatusUnknownConnection) {
    take_link_down(s);
    return kStatusOk;
  }
  if (answer.event != kEventCommandStatus || answer.status != 0x00) {
    note_answer_failure(s, FailurePoint::command, opcode, answer.event, answer.status, answer.length);
    return kStatusFail;
  }

  // A module that never confirms still had the command; a lost port fails,
  // and so does a Disconnection Complete that refuses (the link stays up).
  start_wait(s, wait_bounds::kInboundPacket);
  std::uint8_t code = 0;
  std::uint8_t length = 0;
  std::uint8_t p[kEventParametersMax];
  while (s.link_connected != 0) {
    if (failed(hci_next_event(s, &code, &length, p))) return port_lost(s) ? lost(kEventDisconnectionComplete) : kStatusOk;
    const bool refused = code == kEventDisconnectionComplete && length == 4 && p[0] != 0x00 &&
                         p[1] == s.handle_low && p[2] == s.handle_high;
    if (refused) {
      note_answer_failure(s, FailurePoint::command, opcode, code, p[0], length);
      return kStatusFail;
    }
    hci_handle_event(s, code, length, p);
  }
  return kStatusOk;
}

// The answer goes out alone: its Command Status is read by whichever wait
// comes next, like any other event.
Status hci_accept_connection_request(HostState& s, const DeviceAddress& address, std::uint8_t role) {
  return answer_connection_request(s, kOcfAcceptConnectionRequest, address, role);
}

Status hci_reject_connection_request(HostState& s, const DeviceAddress& address, std::uint8_t reason) {
  return answer_connection_request(s, kOcfRejectConnectionRequest, address, reason);
}
