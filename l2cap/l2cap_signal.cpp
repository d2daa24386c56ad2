#include "l2cap_signal.h"

#include "acl.h"
#include "hci_framing.h"
#include "serial_link.h"

// ACL header | length + 8 | length + 4 | 0x0001 | code | signal_id | length
Status l2cap_write_signal_header(HostState& s, std::uint8_t code, std::uint16_t length) {
  if (failed(acl_write_header(s))) return kStatusFail;
  write_u16_le(s, static_cast<std::uint16_t>(length + 8));
  write_u16_le(s, static_cast<std::uint16_t>(length + 4));
  write_u16_le(s, kCidSignalling);
  serial_write_byte(s, code);
  serial_write_byte(s, s.signal_id);
  ++s.signal_id;  // wraps 0xFF -> 0x00
  write_u16_le(s, length);
  return kStatusOk;
}

// PSM 0x0000 | source CID
Status l2cap_send_connection_request(HostState& s, std::uint16_t source_cid) {
  l2cap_write_signal_header(s, kSignalConnectionRequest, 4);
  write_u16_le(s, 0x0000);
  write_u16_le(s, source_cid);
  return kStatusOk;
}

// destination CID | source CID (both channel_id) | result | status
Status l2cap_send_connection_response(HostState& s, std::uint16_t result, std::uint16_t status) {
  l2cap_write_signal_header(s, kSignalConnectionResponse, 8);
  write_u16_le(s, s.channel_id);
  write_u16_le(s, s.channel_id);
  write_u16_le(s, result);
  write_u16_le(s, status);
  return kStatusOk;
}

// destination CID | source CID, both the given CID
Status l2cap_send_disconnection_request(HostState& s, std::uint16_t cid) {
  l2cap_write_signal_header(s, kSignalDisconnectionRequest, 4);
  write_u16_le(s, cid);
  write_u16_le(s, cid);
  return kStatusOk;
}

// destination CID | source CID, both channel_id
Status l2cap_send_disconnection_response(HostState& s) {
  l2cap_write_signal_header(s, kSignalDisconnectionResponse, 4);
  write_u16_le(s, s.channel_id);
  write_u16_le(s, s.channel_id);
  return kStatusOk;
}

Status l2cap_open_channel(HostState& s) {
  if (failed(l2cap_send_connection_request(s, kHostChannelId))) return kStatusFail;
  // Open at once: the peer's answer is read by whoever processes the next packet.
  s.channel_id = kHostChannelId;
  s.channel_state = kChannelOpen;
  return kStatusOk;
}

Status l2cap_close_channel(HostState& s) {
  if (failed(l2cap_send_disconnection_request(s, kHostChannelId))) return kStatusFail;
  s.channel_id = kHostChannelId;
  s.channel_state = kChannelClosed;
  return kStatusOk;
}

// code | identifier | length | data; only the first command of a packet is read
Status l2cap_handle_signal(HostState& s) {
  std::uint8_t code = 0;
  std::uint16_t length = 0;
  if (failed(serial_read_byte(s, &code)) || failed(serial_read_byte(s, &s.signal_id)) ||
      failed(read_u16_le(s, &length)))
    return kStatusFail;
  if (code == kSignalConnectionRequest && length == 4) return l2cap_handle_connection_request(s);
  if (code == kSignalConnectionResponse && length == 8) return l2cap_handle_connection_response(s);
  if (code == kSignalDisconnectionRequest && length == 4) return l2cap_handle_disconnection_request(s);
  if (code == kSignalDisconnectionResponse && length == 4) return l2cap_handle_disconnection_response(s);
  return kStatusFail;  // unsupported: its data stays unread, no Command Reject
}

// PSM | source CID
Status l2cap_handle_connection_request(HostState& s) {
  std::uint16_t psm = 0;
  std::uint16_t source_cid = 0;
  if (failed(read_u16_le(s, &psm)) || failed(read_u16_le(s, &source_cid))) return kStatusFail;
  if (s.channel_state != kChannelClosed)  // one channel only
    return l2cap_send_connection_response(s, kResultNoResources, 0x0000);
  s.remote_psm = psm;
  s.channel_id = source_cid;
  s.channel_state = kChannelOpen;
  return l2cap_send_connection_response(s, kResultSuccess, 0x0000);
}

// destination CID | source CID | result | status
Status l2cap_handle_connection_response(HostState& s) {
  std::uint16_t destination = 0;
  std::uint16_t source = 0;
  std::uint16_t result = 0;
  std::uint16_t status = 0;
  if (failed(read_u16_le(s, &destination)) || failed(read_u16_le(s, &source)) ||
      failed(read_u16_le(s, &result)) || failed(read_u16_le(s, &status)))
    return kStatusFail;
  if (result != kResultSuccess || status != 0) return kStatusFail;
  s.channel_state = kChannelOpen;
  return kStatusOk;
}

// destination CID | source CID
Status l2cap_handle_disconnection_request(HostState& s) {
  std::uint16_t destination = 0;
  std::uint16_t source = 0;
  if (failed(read_u16_le(s, &destination)) || failed(read_u16_le(s, &source))) return kStatusFail;
  if (destination != s.channel_id || source != s.channel_id || s.channel_state != kChannelOpen)
    return kStatusFail;
  clear_channel_state(s);
  return l2cap_send_disconnection_response(s);
}

// destination CID | source CID, not compared
Status l2cap_handle_disconnection_response(HostState& s) {
  std::uint16_t destination = 0;
  std::uint16_t source = 0;
  if (failed(read_u16_le(s, &destination)) || failed(read_u16_le(s, &source))) return kStatusFail;
  s.channel_state = kChannelClosed;
  return kStatusOk;
}

Status clear_channel_state(HostState& s) {
  s.channel_state = kChannelClosed;
  return kStatusOk;
}
