#include "l2cap_signal.h"

#include <initializer_list>

#include "acl.h"
#include "channel_ledger.h"
#include "hci_framing.h"
#include "hci_inbound.h"
#include "hci_security.h"
#include "wait_bounds.h"
#include "serial_link.h"

namespace {
constexpr std::uint16_t kCommandHeaderLength = 4;  // code, identifier, length

std::uint16_t u16_at(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// Odd codes are responses (Command Reject among them), even ones requests.
bool is_response(std::uint8_t code) { return (code & 0x01) != 0; }
}  // namespace

// ACL header | length + 8 | length + 4 | 0x0001 | code | signal_id | length
Status l2cap_write_signal_header(HostState& s, std::uint8_t code, std::uint16_t length) {
  if (failed(acl_write_header(s))) return kStatusFail;
  if (failed(write_u16_le(s, static_cast<std::uint16_t>(length + 8)))) return kStatusFail;
  if (failed(write_u16_le(s, static_cast<std::uint16_t>(length + 4)))) return kStatusFail;
  if (failed(write_u16_le(s, kCidSignalling))) return kStatusFail;
  if (failed(serial_write_byte(s, code))) return kStatusFail;
  std::uint8_t id = s.signal_id++;  // wraps 0xFF -> 0x00
  if (failed(serial_write_byte(s, id))) return kStatusFail;
  return write_u16_le(s, length);
}

namespace {
// Header, then each 16-bit field; stops at the first failed write.
Status send_signal(HostState& s, std::uint8_t code, std::initializer_list<std::uint16_t> fields) {
  if (failed(l2cap_write_signal_header(s, code, static_cast<std::uint16_t>(2 * fields.size()))))
    return kStatusFail;
  for (std::uint16_t field : fields)
    if (failed(write_u16_le(s, field))) return kStatusFail;
  return kStatusOk;
}
}  // namespace

// PSM 0x0000 | source CID
Status l2cap_send_connection_request(HostState& s, std::uint16_t source_cid) {
  return send_signal(s, kSignalConnectionRequest, {0x0000, source_cid});
}

// destination CID | source CID (both channel_id) | result | status
Status l2cap_send_connection_response(HostState& s, std::uint16_t result, std::uint16_t status) {
  return send_signal(s, kSignalConnectionResponse, {s.channel_id, s.channel_id, result, status});
}

// destination CID | source CID, both the given CID
Status l2cap_send_disconnection_request(HostState& s, std::uint16_t cid) {
  return send_signal(s, kSignalDisconnectionRequest, {cid, cid});
}

// destination CID | source CID, both channel_id
Status l2cap_send_disconnection_response(HostState& s) {
  return send_signal(s, kSignalDisconnectionResponse, {s.channel_id, s.channel_id});
}

// no data: the Core leaves echoing the request's data to the implementation
Status l2cap_send_echo_response(HostState& s) { return send_signal(s, kSignalEchoResponse, {}); }

// InfoType | Result 0x0001 (not supported)
Status l2cap_send_information_response(HostState& s, std::uint16_t info_type) {
  return send_signal(s, kSignalInformationResponse, {info_type, kInformationNotSupported});
}

// Reason 0x0000 (not understood); 0x0001 carries the signalling MTU the host takes
Status l2cap_send_command_reject(HostState& s, std::uint16_t reason) {
  if (reason == kRejectSignallingMtuExceeded)
    return send_signal(s, kSignalCommandReject, {reason, static_cast<std::uint16_t>(kSignalFrameSize)});
  return send_signal(s, kSignalCommandReject, {reason});
}

Status l2cap_open_channel(HostState& s) {
  s.channel_refusal = 0;
  s.peer_channel_id = 0;
  ledger_write_off_all(s);  // a new channel owes nothing
  if (failed(l2cap_send_connection_request(s, kHostChannelId))) return kStatusFail;
  // Open only once the peer answers success (l2cap_wait_channel_outcome).
  s.channel_id = kHostChannelId;
  s.channel_state = kChannelClosed;
  s.channel_opening = true;
  s.channel_pending = false;
  return kStatusOk;
}

namespace {
// The peer refused the channel (or, while pairing was tried, refused for
// security): the failure names its answer.
Status note_refusal(HostState& s) {
  constexpr std::uint16_t kResultSecurityBlock = 0x0003;
  if (s.channel_refusal == kResultSecurityBlock) {
    const std::uint8_t auth = s.pairing_tried.auth_status;
    if (auth != 0 ? hci_note_pairing_failure(s, auth) : hci_note_pairing_refusal(s, s.channel_refusal))
      return kStatusFail;
  }
  FailureReason reason;
  reason.point = FailurePoint::channel_refused;
  reason.l2cap_result = s.channel_refusal;
  note_failure(s, reason);
  return kStatusFail;
}

Status note_no_outcome(HostState& s, Deadline asked, std::chrono::nanoseconds bound) {
  s.channel_opening = false;  // given up: an answer that comes after is taken for nothing
  FailureReason reason;
  reason.point = FailurePoint::channel_unanswered;
  reason.detail = s.channel_pending ? 1 : 0;
  fill_read_end(s, reason);
  reason.bound_ms = static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(bound).count());
  reason.waited_ms = static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(link_now(s) - asked).count());
  note_failure(s, reason);
  return kStatusFail;
}

Status note_link_loss(HostState& s) {
  if (hci_note_pairing_failure(s, s.link_loss_reason)) return kStatusFail;
  FailureReason reason;
  reason.point = FailurePoint::link_lost;
  reason.detail = s.link_loss_reason;
  note_failure(s, reason);
  return kStatusFail;
}
}  // namespace

Status l2cap_wait_channel_outcome(HostState& s) {
  const Deadline asked = link_now(s);
  std::chrono::nanoseconds bound = wait_bounds::kInboundPacket;
  const auto user_before = s.waited_for_user;
  Deadline since = asked;
  while (s.channel_opening && s.link_connected != 0) {
    if (s.channel_pending && bound == std::chrono::nanoseconds(wait_bounds::kInboundPacket)) {
      bound = wait_bounds::kChannelPending;  // the final answer may follow a pairing
      since = link_now(s);
    }
    const Deadline by = since + bound + (s.waited_for_user - user_before);
    if (link_now(s) >= by) {
      s.last_read_end = ReadEnd::deadline;
      return note_no_outcome(s, asked, bound);
    }
    bool began = false;
    hci_read_packet_within(s, by, by, &began);
    if (!began && s.last_read_end != ReadEnd::deadline) return note_no_outcome(s, asked, bound);
  }
  if (s.link_connected == 0) return note_link_loss(s);
  if (s.channel_state == kChannelOpen) return kStatusOk;
  return note_refusal(s);
}

Status l2cap_close_channel(HostState& s) {
  if (failed(l2cap_send_disconnection_request(s, kHostChannelId))) return kStatusFail;
  s.channel_id = kHostChannelId;
  s.channel_state = kChannelClosed;
  return kStatusOk;
}

Status l2cap_wait_signal_answer(HostState& s) { return hci_read_until_counted(s, s.signal_answers); }

// code | identifier | length | data, as often as the frame holds
Status l2cap_handle_signal(HostState& s) {
  const std::uint8_t* frame = s.signal_frame.data();
  if (s.signal_frame_length > s.signal_frame.size()) {
    // Too long to hold: refused as the Core asks, naming the first request.
    if (is_response(frame[0])) return kStatusFail;
    s.signal_id = frame[1];
    l2cap_send_command_reject(s, kRejectSignallingMtuExceeded);
    return kStatusFail;
  }
  Status first = kStatusFail;
  for (std::uint16_t at = 0; at + kCommandHeaderLength <= s.signal_frame_length;) {
    const std::uint8_t code = frame[at];
    const std::uint16_t length = u16_at(frame + at + 2);
    if (at + kCommandHeaderLength + length > s.signal_frame_length) break;  // cut short: dropped
    s.signal_id = frame[at + 1];  // answers carry the request's identifier
    Status result = l2cap_handle_signal_command(s, code, frame + at + kCommandHeaderLength, length);
    if (at == 0) first = result;
    at = static_cast<std::uint16_t>(at + kCommandHeaderLength + length);
  }
  return first;
}

Status l2cap_handle_signal_command(HostState& s, std::uint8_t code, const std::uint8_t* data,
                                   std::uint16_t length) {
  switch (code) {
    case kSignalConnectionRequest:
      if (length == 4) return l2cap_handle_connection_request(s, data);
      break;
    case kSignalConnectionResponse:
      if (length != 8) return kStatusFail;
      ++s.signal_answers;
      return l2cap_handle_connection_response(s, data);
    case kSignalDisconnectionRequest:
      if (length == 4) return l2cap_handle_disconnection_request(s, data);
      break;
    case kSignalDisconnectionResponse:
      if (length != 4) return kStatusFail;
      ++s.signal_answers;
      return l2cap_handle_disconnection_response(s, data);
    case kSignalCommandReject:
      ++s.signal_answers;  // the peer refused what the host asked
      return kStatusFail;
    case kSignalEchoRequest:
      return l2cap_send_echo_response(s);
    case kSignalInformationRequest:
      if (length == 2) return l2cap_send_information_response(s, u16_at(data));
      break;
    default:
      break;
  }
  // A response to nothing the host asked is dropped; a request the host
  // cannot serve is refused, as the Core requires an answer to every request.
  if (!is_response(code)) l2cap_send_command_reject(s, kRejectNotUnderstood);
  return kStatusFail;
}

// PSM | source CID
Status l2cap_handle_connection_request(HostState& s, const std::uint8_t* data) {
  if (s.channel_state != kChannelClosed)  // one channel only
    return l2cap_send_connection_response(s, kResultNoResources, 0x0000);
  s.remote_psm = u16_at(data);
  s.channel_id = u16_at(data + 2);
  s.peer_channel_id = 0;  // the peer's CID is the channel's
  s.channel_refusal = 0;
  s.channel_state = kChannelOpen;
  return l2cap_send_connection_response(s, kResultSuccess, 0x0000);
}

// destination CID | source CID | result | status. Success opens the host's
// channel; "pending" (0x0001) says a final answer follows; anything else
// refuses it. An answer to no request of the host's changes nothing.
Status l2cap_handle_connection_response(HostState& s, const std::uint8_t* data) {
  constexpr std::uint16_t kResultPending = 0x0001;
  const std::uint16_t result = u16_at(data + 4);
  if (!s.channel_opening) return kStatusFail;
  if (result == kResultPending) {
    s.channel_pending = true;
    return kStatusOk;
  }
  s.channel_opening = false;
  s.channel_pending = false;
  if (result != kResultSuccess) {
    s.channel_refusal = result;
    return kStatusFail;
  }
  s.channel_refusal = 0;
  s.peer_channel_id = u16_at(data);
  s.channel_state = kChannelOpen;
  return kStatusOk;
}

// destination CID | source CID
Status l2cap_handle_disconnection_request(HostState& s, const std::uint8_t* data) {
  if (u16_at(data) != s.channel_id || u16_at(data + 2) != s.channel_id || s.channel_state != kChannelOpen)
    return kStatusFail;
  clear_channel_state(s);
  return l2cap_send_disconnection_response(s);
}

// destination CID | source CID, not compared
Status l2cap_handle_disconnection_response(HostState& s, const std::uint8_t*) {
  s.channel_state = kChannelClosed;
  return kStatusOk;
}

Status clear_channel_state(HostState& s) {
  s.channel_state = kChannelClosed;
  s.channel_opening = false;
  s.channel_pending = false;
  s.channel_refusal = 0;
  s.peer_channel_id = 0;
  ledger_channel_gone(s);
  return kStatusOk;
}
