#include "hci_link_control.h"

#include "hci_framing.h"
#include "hci_inbound.h"
#include "serial_link.h"
#include "wait_bounds.h"

namespace {
constexpr std::uint8_t kOcfCreateConnection = 0x05;
constexpr std::uint8_t kOcfDisconnect = 0x06;
constexpr std::uint8_t kOcfAcceptConnectionRequest = 0x09;
constexpr std::uint8_t kOcfRejectConnectionRequest = 0x0A;
constexpr std::uint16_t kPacketTypeDh1 = 0x0010;
constexpr std::uint16_t kClockOffsetValid = 0x8020;  // bit 15 marks the offset 0x0020 valid
constexpr std::uint8_t kReasonRemoteUserTerminated = 0x05;
constexpr std::uint8_t kDisconnectPackets = 3;

// Accept and Reject differ only in the opcode and the meaning of the last byte:
// 01 | OCF 04 | 07 | BD_ADDR (wire order) | role or reason
Status answer_connection_request(HostState& s, std::uint8_t ocf, const DeviceAddress& address,
                                 std::uint8_t last) {
  if (failed(hci_write_command_header(s, ocf, kOgfLinkControl))) return kStatusFail;
  if (failed(serial_write_byte(s, 7))) return kStatusFail;
  for (std::uint8_t byte : address)
    if (failed(serial_write_byte(s, byte))) return kStatusFail;
  if (failed(serial_write_byte(s, last))) return kStatusFail;
  return hci_wait_command_status(s, ocf, kOgfLinkControl);
}
}  // namespace

// 01 05 04 0D | BD_ADDR (wire order) | 10 00 | 00 | 00 | 20 80 | 00
Status hci_create_connection(HostState& s, const DeviceAddress& address) {
  if (failed(hci_write_command_header(s, kOcfCreateConnection, kOgfLinkControl))) return kStatusFail;
  if (failed(serial_write_byte(s, 13))) return kStatusFail;
  for (int i = 5; i >= 0; --i)
    if (failed(serial_write_byte(s, address[static_cast<std::size_t>(i)]))) return kStatusFail;
  write_u16_le(s, kPacketTypeDh1);
  if (failed(serial_write_byte(s, 0x00))) return kStatusFail;  // page scan repetition mode
  if (failed(serial_write_byte(s, 0x00))) return kStatusFail;  // page scan mode
  write_u16_le(s, kClockOffsetValid);
  if (failed(serial_write_byte(s, 0x00))) return kStatusFail;  // no role switch
  if (failed(hci_wait_command_status(s, kOcfCreateConnection, kOgfLinkControl))) return kStatusFail;
  s.remote_address = reversed_address(address);
  return hci_wait_connection_complete(s);
}

Status hci_wait_connection_complete(HostState& s) {
  // The controller reports a failed page itself after its page timeout.
  start_wait(s, wait_bounds::connection_complete_wait());
  std::uint8_t code = 0;
  std::uint8_t length = 0;
  if (failed(hci_read_answer_event_code(s, &code)) || failed(serial_read_byte(s, &length))) return kStatusFail;
  if (code != kEventConnectionComplete) {
    hci_discard_bytes(s, length);
    return kStatusFail;
  }
  if (length != 11) return kStatusFail;
  return hci_handle_connection_complete(s);
}

// 01 06 04 03 | handle low | handle high | 05, then the module's answers
Status hci_disconnect(HostState& s) {
  if (failed(hci_write_command_header(s, kOcfDisconnect, kOgfLinkControl))) return kStatusFail;
  if (failed(serial_write_byte(s, 3))) return kStatusFail;
  if (failed(serial_write_byte(s, s.handle_low))) return kStatusFail;
  if (failed(serial_write_byte(s, s.handle_high))) return kStatusFail;
  if (failed(serial_write_byte(s, kReasonRemoteUserTerminated))) return kStatusFail;
  // Command Status, Disconnection Complete and one more. Once the link is
  // down nothing more is expected, and once the line goes quiet nothing more
  // is coming: waiting out the rest would only stall every disconnect.
  std::uint8_t was_connected = s.link_connected;
  for (std::uint8_t i = 0; i < kDisconnectPackets; ++i) {
    Status packet = process_inbound_packet(s);
    if (was_connected != 0 && s.link_connected == 0) break;
    if (failed(packet) && link_went_quiet(s)) break;
  }
  return kStatusOk;
}

Status hci_accept_connection_request(HostState& s, const DeviceAddress& address, std::uint8_t role) {
  return answer_connection_request(s, kOcfAcceptConnectionRequest, address, role);
}

Status hci_reject_connection_request(HostState& s, const DeviceAddress& address, std::uint8_t reason) {
  return answer_connection_request(s, kOcfRejectConnectionRequest, address, reason);
}
