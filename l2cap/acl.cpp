#include "acl.h"

#include <algorithm>

#include "channel_ledger.h"
#include "hci_framing.h"
#include "l2cap_signal.h"
#include "serial_link.h"

namespace {
// Copies `count` bytes into a holding buffer after the `length` it holds;
// past its capacity they are counted, but not kept.
void hold_bytes(std::uint8_t* buffer, std::size_t capacity, std::uint16_t& length, const std::uint8_t* from,
                std::uint16_t count) {
  const std::size_t room = length < capacity ? capacity - length : 0;
  std::copy_n(from, std::min<std::size_t>(room, count), buffer + std::min<std::size_t>(length, capacity));
  length = static_cast<std::uint16_t>(std::min<std::size_t>(std::size_t{length} + count, UINT16_MAX));
}

constexpr std::uint16_t kBasicHeaderLength = 4;  // L2CAP length, CID

// `count` bytes of the frame under way go where its channel says; `excess`
// bytes past the frame's own length follow in the same packet and are dropped.
Status receive_frame_part(HostState& s, const std::uint8_t* data, std::uint16_t count, std::uint16_t excess) {
  const std::uint16_t cid = s.rx_frame_cid;
  if (cid == kCidSignalling)
    hold_bytes(s.signal_frame.data(), s.signal_frame.size(), s.signal_frame_length, data, count);
  else if (l2cap_is_channel_cid(s, cid))
    l2cap_receive_payload(s, data, count);
  if (excess > 0) ++s.stream_faults;  // a packet longer than its frame
  if (s.rx_frame_missing > 0) return kStatusOk;  // more to come
  if (cid == kCidSignalling) return l2cap_handle_signal(s);
  if (cid < kCidFirstDynamic) return kStatusFail;  // null and reserved fixed channels
  if (!l2cap_is_channel_cid(s, cid)) {
    ++s.ledger.foreign_frames;  // a channel the host never opened: nobody's answer
    return kStatusFail;
  }
  ++s.channel_frames;
  ledger_take_frame(s);
  return kStatusOk;
}

// L2CAP length | CID | the start of the payload
Status receive_start(HostState& s, const std::uint8_t* data, std::uint16_t total_length) {
  if (s.rx_frame_missing > 0) ++s.stream_faults;  // a frame still waiting for its continuations ends here, short
  s.rx_frame_missing = 0;
  if (total_length < kBasicHeaderLength) {
    ++s.stream_faults;
    return kStatusFail;
  }
  const auto l2cap_length = static_cast<std::uint16_t>(data[0] | data[1] << 8);
  s.rx_frame_cid = static_cast<std::uint16_t>(data[2] | data[3] << 8);
  s.rx_frame_began_at = s.rx_packet.began_at;
  const auto here = static_cast<std::uint16_t>(total_length - kBasicHeaderLength);
  const std::uint16_t taken = std::min(here, l2cap_length);
  s.rx_frame_missing = static_cast<std::uint16_t>(l2cap_length - taken);
  s.signal_frame_length = 0;
  s.rx_channel_length = 0;
  return receive_frame_part(s, data + kBasicHeaderLength, taken, static_cast<std::uint16_t>(here - taken));
}

// The next part of the frame under way.
Status receive_continuation(HostState& s, const std::uint8_t* data, std::uint16_t total_length) {
  if (s.rx_frame_missing == 0) {
    ++s.stream_faults;  // it continues nothing
    return kStatusFail;
  }
  const std::uint16_t taken = std::min(total_length, s.rx_frame_missing);
  s.rx_frame_missing = static_cast<std::uint16_t>(s.rx_frame_missing - taken);
  return receive_frame_part(s, data, taken, static_cast<std::uint16_t>(total_length - taken));
}
}  // namespace

bool l2cap_frame_under_way(const HostState& s) { return s.rx_frame_missing > 0; }

bool l2cap_is_channel_cid(const HostState& s, std::uint16_t cid) {
  if (cid < kCidFirstDynamic) return false;
  return cid == kHostChannelId || cid == s.channel_id || (s.peer_channel_id != 0 && cid == s.peer_channel_id);
}

// 02 | handle low | handle high + PB x 16 + BC x 64
Status acl_write_header(HostState& s) {
  auto flags = static_cast<std::uint8_t>(s.handle_high + s.pb_flag * 16 + s.bc_flag * 64);
  if (failed(serial_write_byte(s, kIndicatorAcl))) return kStatusFail;
  if (failed(serial_write_byte(s, s.handle_low))) return kStatusFail;
  return serial_write_byte(s, flags);
}

// header | length + 4 | length | channel_id | payload
Status l2cap_send_data(HostState& s, const std::uint8_t* data, std::uint8_t length) {
  if (failed(acl_write_header(s))) return kStatusFail;
  if (failed(write_u16_le(s, static_cast<std::uint16_t>(length + 4)))) return kStatusFail;
  if (failed(write_u16_le(s, length))) return kStatusFail;
  if (failed(write_u16_le(s, s.channel_id))) return kStatusFail;
  for (std::uint8_t i = 0; i < length; ++i)
    if (failed(serial_write_byte(s, data[i]))) return kStatusFail;
  return kStatusOk;
}

// The packet held whole after its indicator:
// handle low | handle high, PB, BC | Data_Total_Length | data
Status acl_handle_inbound(HostState& s) {
  const std::uint8_t* packet = s.rx_packet.bytes.data();
  const std::uint8_t low = packet[0];
  const std::uint8_t high = packet[1];
  const auto total_length = static_cast<std::uint16_t>(packet[2] | packet[3] << 8);
  if (s.link_connected == 0 || low != s.handle_low || (high & 0x0F) != s.handle_high)
    return kStatusFail;  // another link's data
  const std::uint8_t* data = packet + 4;
  const auto pb = static_cast<std::uint8_t>((high >> 4) & 0x03);
  if (pb == kPbContinuing) return receive_continuation(s, data, total_length);
  // The flags of a frame's first packet are kept for the next send; a
  // continuation's never are, so no outgoing packet claims to continue one.
  s.pb_flag = pb;
  s.bc_flag = (high >> 6) & 0x03;
  return receive_start(s, data, total_length);
}

void l2cap_receive_payload(HostState& s, const std::uint8_t* data, std::uint16_t length) {
  // The frame is held until it is whole; bytes past the holding buffer are
  // counted, so its length is known.
  hold_bytes(s.rx_channel_frame.data(), s.rx_channel_frame.size(), s.rx_channel_length, data, length);
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
