#include "acl.h"

#include "hci_framing.h"
#include "l2cap_signal.h"
#include "serial_link.h"

// 02 | handle low | handle high + PB x 16 + BC x 64
Status acl_write_header(HostState& s) {
  auto flags = static_cast<std::uint8_t>(s.handle_high + s.pb_flag * 16 + s.bc_flag * 64);
  serial_write_byte(s, kIndicatorAcl);
  serial_write_byte(s, s.handle_low);
  serial_write_byte(s, flags);
  return kStatusOk;
}

// header | length + 4 | length | channel_id | payload
Status l2cap_send_data(HostState& s, const std::uint8_t* data, std::uint8_t length) {
  if (failed(acl_write_header(s))) return kStatusFail;
  write_u16_le(s, static_cast<std::uint16_t>(length + 4));
  write_u16_le(s, length);
  write_u16_le(s, s.channel_id);
  for (std::uint8_t i = 0; i < length; ++i) serial_write_byte(s, data[i]);
  return kStatusOk;
}

// After the indicator: handle low | handle high, PB, BC | total length | L2CAP length | CID | payload
Status acl_handle_inbound(HostState& s) {
  if (s.link_connected == 0) return kStatusFail;  // the rest stays in the input
  std::uint8_t byte = 0;
  if (failed(serial_read_byte(s, &byte)) || byte != s.handle_low) return kStatusFail;
  if (failed(serial_read_byte(s, &byte)) || (byte & 0x0F) != s.handle_high) return kStatusFail;
  s.pb_flag = (byte >> 4) & 0x03;
  s.bc_flag = (byte >> 6) & 0x03;
  std::uint16_t total_length = 0;
  std::uint16_t l2cap_length = 0;
  std::uint16_t cid = 0;
  if (failed(read_u16_le(s, &total_length)) || failed(read_u16_le(s, &l2cap_length)) ||
      failed(read_u16_le(s, &cid)))
    return kStatusFail;
  if (cid == kCidSignalling) return l2cap_handle_signal(s);
  if (cid >= kCidFirstDynamic) return l2cap_receive_payload(s, l2cap_length);
  return kStatusFail;  // null and reserved fixed channels: payload unread
}

Status l2cap_receive_payload(HostState& s, std::uint16_t length) {
  // Bytes past the buffer are still read, so the stream stays in step, but
  // the packet reports the overflow.
  Status result = kStatusOk;
  for (; length > 0; --length) {
    std::uint8_t byte = 0;
    if (failed(serial_read_byte(s, &byte))) return kStatusFail;
    if (failed(frame_append_byte(s, byte))) result = kStatusFail;
  }
  return result;
}

Status frame_append_byte(HostState& s, std::uint8_t byte) {
  if (s.frame_length < 0 || static_cast<std::size_t>(s.frame_length) >= s.frame_buffer.size())
    return kStatusFail;  // full: dropped, never written past the buffer
  s.frame_buffer[static_cast<std::size_t>(s.frame_length)] = byte;
  ++s.frame_length;
  return kStatusOk;
}

void l2cap_attach(HostState& s) {
  s.acl_inbound = acl_handle_inbound;
  s.link_went_down = clear_channel_state;
}
