#include "hci_inbound.h"

#include <algorithm>

#include "hci_framing.h"
#include "hci_link_control.h"
#include "hci_security.h"
#include "serial_link.h"
#include "wait_bounds.h"

namespace {
constexpr std::uint8_t kConnectionCompleteLength = 11;
constexpr std::uint8_t kConnectionRequestLength = 10;
constexpr std::uint8_t kDisconnectionCompleteLength = 4;
constexpr std::uint8_t kLinkTypeAcl = 0x01;
constexpr std::uint8_t kRoleSlave = 0x01;
// Limited resources: one of the reasons the Core allows for a rejected
// connection, and the truth: the host keeps one link.
constexpr std::uint8_t kRejectReason = 0x0D;
// No BR/EDR controller sends ACL packets longer than this (the usual
// ACL_Data_Packet_Length of modules is 310 or 1021): a longer length read
// from the line is a sign of lost or added bytes.
constexpr std::uint32_t kAclPlausibleLength = 1021;

constexpr std::uint32_t kEventHeader = 2;  // code, parameter length
constexpr std::uint32_t kAclHeader = 4;    // handle and flags, data length

bool acl_welcome(const HostState& s) { return s.link_connected != 0 && s.acl_inbound != nullptr; }

// A byte that may open a packet: an event, or ACL data while a link is up
// (no ACL data can be meant for the host then, and a false length must not
// swallow what follows).
bool opens_packet(const HostState& s, std::uint8_t indicator) {
  return indicator == kIndicatorEvent || (indicator == kIndicatorAcl && acl_welcome(s));
}

std::uint32_t header_size(const InboundPacket& p) { return p.indicator == kIndicatorEvent ? kEventHeader : kAclHeader; }

// The whole packet after its indicator, as its header tells: the header
// alone until that has come.
std::uint32_t packet_size(const InboundPacket& p) {
  const std::uint32_t header = header_size(p);
  if (p.have < header) return header;
  if (p.indicator == kIndicatorEvent) return header + p.bytes[1];
  return header + static_cast<std::uint32_t>(p.bytes[2] | p.bytes[3] << 8);
}

// Reads up to `count` more bytes of the packet under way, never past its
// end; bytes past the holding buffer are read and not kept.
Status read_packet_part(HostState& s, std::uint32_t count) {
  InboundPacket& p = s.rx_packet;
  while (count > 0 && p.have < packet_size(p)) {
    const std::uint32_t header_before = p.have;
    std::uint32_t want = std::min(count, packet_size(p) - p.have);
    std::uint8_t* into = nullptr;
    if (p.have < p.bytes.size()) {
      into = p.bytes.data() + p.have;
      want = std::min<std::uint32_t>(want, static_cast<std::uint32_t>(p.bytes.size()) - p.have);
    }
    std::size_t got = 0;
    const Status read = serial_read_some(s, into, want, got);
    p.have += static_cast<std::uint32_t>(got);
    count -= static_cast<std::uint32_t>(got);
    // The length is judged once, as soon as the header is whole.
    if (p.indicator == kIndicatorAcl && header_before < kAclHeader && p.have >= kAclHeader &&
        packet_size(p) - kAclHeader > kAclPlausibleLength)
      ++s.stream_faults;
    if (failed(read)) return kStatusFail;
  }
  return kStatusOk;
}

// Takes in one byte: the indicator of a new packet, or the next byte of the
// packet under way. A byte that opens no packet is consumed alone and fails
// (a stream fault).
Status take_first_byte(HostState& s) {
  InboundPacket& p = s.rx_packet;
  if (p.indicator != 0) return read_packet_part(s, 1);
  std::uint8_t indicator = 0;
  if (failed(serial_read_byte(s, &indicator))) return kStatusFail;
  if (!opens_packet(s, indicator)) {
    ++s.stream_faults;  // SCO, 0x02 with no link, anything else: the byte alone
    return kStatusFail;
  }
  p.indicator = indicator;
  p.have = 0;
  p.began_at = link_now(s);
  return kStatusOk;
}

// The parameter sizes of the events whose size is fixed, or grows by a fixed
// step per response (after a one-byte count). An event of another size is a
// sign the line lost or gained bytes; events not listed are not judged.
struct EventSize {
  std::uint8_t code;
  std::uint8_t size;       // fixed size, or the size with no responses
  std::uint8_t per_entry;  // 0: fixed
};
constexpr EventSize kEventSizes[] = {
    {kEventInquiryComplete, 1, 0},         {kEventInquiryResult, 1, 14},
    {kEventConnectionComplete, 11, 0},     {kEventConnectionRequest, 10, 0},
    {kEventDisconnectionComplete, 4, 0},   {kEventCommandStatus, 4, 0},
    {kEventNumberOfCompletedPackets, 1, 4}, {kEventHardwareError, 1, 0},
    {kEventInquiryResultWithRssi, 1, 14},   {kEventExtendedInquiryResult, 255, 0},
    {kEventAuthenticationComplete, 3, 0},   {kEventPinCodeRequest, 6, 0},
    {kEventLinkKeyRequest, 6, 0},           {kEventLinkKeyNotification, 23, 0},
    {kEventIoCapabilityRequest, 6, 0},      {kEventUserConfirmationRequest, 10, 0},
};

bool event_size_fits(std::uint8_t code, std::uint8_t length, const std::uint8_t* parameters) {
  for (const EventSize& e : kEventSizes) {
    if (e.code != code) continue;
    if (e.per_entry == 0) return length == e.size;
    return length >= 1 && length == e.size + e.per_entry * parameters[0];
  }
  return code != kEventCommandComplete || length >= 3;  // credits, opcode, then its return bytes
}

Status handle_event_packet(HostState& s) {
  const InboundPacket& p = s.rx_packet;
  const std::uint8_t code = p.bytes[0];
  const std::uint8_t length = p.bytes[1];
  return hci_handle_event(s, code, length, p.bytes.data() + kEventHeader);
}
}  // namespace

bool hci_packet_under_way(const HostState& s) { return s.rx_packet.indicator != 0; }

bool hci_packet_stalled(const HostState& s) { return hci_packet_under_way(s) && s.rx_packet.stalled; }

void hci_drop_packet_under_way(HostState& s) { s.rx_packet.indicator = 0; }

namespace {
// The packet under way, or a new one, whole. `look_again`: a wait that ends
// with nothing takes one more short look.
Status take_packet(HostState& s, Deadline first_byte_by, Deadline finish_by, bool look_again, bool* began) {
  *began = false;
  if (s.module_failed) {  // what it sends after a hardware error is nobody's
    s.last_read_end = ReadEnd::module_failed;
    return kStatusFail;
  }
  start_wait_until(s, first_byte_by);
  Status first = take_first_byte(s);
  if (failed(first) && look_again && s.last_read_end == ReadEnd::deadline) {
    start_wait_until(s, link_now(s) + wait_bounds::first_look(s.line.baud));
    first = take_first_byte(s);
  }
  if (failed(first)) {
    *began = s.last_read_end == ReadEnd::byte;  // a byte came and opened nothing
    return kStatusFail;
  }
  *began = true;
  const Deadline now = link_now(s);
  const Deadline rest_by = now + wait_bounds::kPacketRest;
  start_wait_until(s, std::min(rest_by, std::max(finish_by, now)));
  const Status rest = read_packet_part(s, UINT32_MAX);  // a packet cut here stays under way
  s.rx_packet.stalled = failed(rest) && s.last_read_end == ReadEnd::deadline && finish_by >= rest_by;
  return rest;
}

// Under the current wait's deadline, for the first byte and the rest alike.
Status take_packet_now(HostState& s) {
  bool began = false;
  const Deadline deadline = s.read_deadline;
  return take_packet(s, deadline, deadline, false, &began);
}
}  // namespace

Status hci_take_packet(HostState& s, Deadline first_byte_by, Deadline finish_by, bool* began) {
  return take_packet(s, first_byte_by, finish_by, true, began);
}

Status hci_handle_packet(HostState& s) {
  InboundPacket& p = s.rx_packet;
  const std::uint8_t indicator = p.indicator;
  p.indicator = 0;  // whatever it holds, the next read begins a new packet
  if (indicator == kIndicatorEvent) {
    if (!event_size_fits(p.bytes[0], p.bytes[1], p.bytes.data() + kEventHeader)) ++s.stream_faults;
    hci_note_credits(s, p.bytes[0], p.bytes[1], p.bytes.data() + kEventHeader);
    return handle_event_packet(s);
  }
  if (p.have > p.bytes.size()) return kStatusFail;  // no module sends it: counted when its length came
  if (!acl_welcome(s)) return kStatusFail;           // the link went down while it came
  return s.acl_inbound(s);
}

Status hci_read_packet(HostState& s) {
  if (failed(take_packet_now(s))) return kStatusFail;
  return hci_handle_packet(s);
}

Status process_inbound_packet(HostState& s) {
  start_wait(s, wait_bounds::kInboundPacket);
  return hci_read_packet(s);
}

Status hci_read_packet_within(HostState& s, Deadline first_byte_by, Deadline finish_by, bool* began) {
  if (failed(hci_take_packet(s, first_byte_by, finish_by, began))) return kStatusFail;
  return hci_handle_packet(s);
}

Status hci_read_until_counted(HostState& s, const std::uint32_t& counter) {
  start_wait(s, wait_bounds::kInboundPacket);
  const Deadline deadline = s.read_deadline;
  const std::uint32_t before = counter;
  while (counter == before) {
    start_wait_until(s, deadline);
    if (failed(take_packet_now(s))) {
      if (link_went_quiet(s)) return kStatusFail;
      continue;  // a byte that opened nothing
    }
    hci_handle_packet(s);
    if (s.link_connected == 0) return kStatusFail;  // nothing more can come on a link that went down
  }
  return kStatusOk;
}

Status hci_next_event(HostState& s, std::uint8_t* code, std::uint8_t* length, std::uint8_t* parameters) {
  const Deadline deadline = s.read_deadline;
  for (;;) {
    start_wait_until(s, deadline);
    if (failed(take_packet_now(s))) {
      if (link_went_quiet(s)) return kStatusFail;
      continue;  // a byte that opened nothing is skipped alone
    }
    InboundPacket& p = s.rx_packet;
    if (p.indicator == kIndicatorEvent) {
      p.indicator = 0;
      *code = p.bytes[0];
      *length = p.bytes[1];
      std::copy_n(p.bytes.begin() + kEventHeader, *length, parameters);
      if (!event_size_fits(*code, *length, parameters)) ++s.stream_faults;
      hci_note_credits(s, *code, *length, parameters);
      return kStatusOk;
    }
    hci_handle_packet(s);  // ACL data on the way
  }
}

Status hci_handle_event(HostState& s, std::uint8_t code, std::uint8_t length, const std::uint8_t* parameters) {
  switch (code) {
    case kEventConnectionComplete:
      return length == kConnectionCompleteLength ? hci_handle_connection_complete(s, parameters) : kStatusFail;
    case kEventConnectionRequest:
      return length == kConnectionRequestLength ? hci_handle_connection_request(s, parameters) : kStatusFail;
    case kEventDisconnectionComplete:
      return length == kDisconnectionCompleteLength ? hci_handle_disconnection_complete(s, parameters)
                                                    : kStatusFail;
    case kEventAuthenticationComplete:
    case kEventPinCodeRequest:
    case kEventLinkKeyRequest:
    case kEventLinkKeyNotification:
    case kEventIoCapabilityRequest:
    case kEventUserConfirmationRequest:
      return hci_handle_security_event(s, code, length, parameters);
    case kEventHardwareError:
      if (length != 1) return kStatusFail;
      s.module_failed = true;
      s.module_error_code = parameters[0];
      return kStatusOk;
    default:
      return kStatusFail;  // consumed whole already
  }
}

// Status | handle low | handle high | BD_ADDR (wire order) | Link_Type | Encryption_Mode
Status hci_handle_connection_complete(HostState& s, const std::uint8_t* p) {
  const bool from_peer = std::equal(s.remote_address.begin(), s.remote_address.end(), p + 3);
  if (!from_peer || !(s.page_under_way || s.accept_pending)) {
    // A link nobody here is waiting for: a page the host gave up on that the
    // controller completed late, or a device the host never accepted. It is
    // not the host's link; one that came up is dropped at once.
    const bool live = s.link_connected != 0 && p[1] == s.handle_low && p[2] == s.handle_high;
    if (p[0] == 0x00 && !live) hci_disconnect_unwanted(s, p[1], p[2]);
    return kStatusFail;
  }
  s.accept_pending = false;  // the page's own wait ends page_under_way
  const bool refused = p[0] != 0x00 || p[9] != kLinkTypeAcl;
  // The handle is stored refused or not; but while a link is up, the failed
  // completion of a second one must not take the live link's handle: it
  // would cut the link off.
  if (s.link_connected == 0 || !refused) {
    s.handle_low = p[1];
    s.handle_high = p[2];
  }
  if (refused) return kStatusFail;
  s.link_connected = 1;
  return kStatusOk;
}

// BD_ADDR (wire order) | Class_of_Device (3) | Link_Type
Status hci_handle_connection_request(HostState& s, const std::uint8_t* p) {
  DeviceAddress from{};
  std::copy_n(p, from.size(), from.begin());
  const std::uint8_t link_type = p[9];
  // One ACL link at a time, and no SCO; nobody while the host's own page is
  // under way, which keeps the paged address. The answer goes out at once;
  // its Command Status is read later like any other event, so no wait
  // already under way is ever held up by it.
  if (link_type != kLinkTypeAcl || s.link_connected != 0 || s.page_under_way || s.accept_pending)
    return hci_reject_connection_request(s, from, kRejectReason);
  s.remote_address = from;
  s.accept_pending = true;
  return hci_accept_connection_request(s, from, kRoleSlave);
}

// Status | handle low | handle high | Reason
Status hci_handle_disconnection_complete(HostState& s, const std::uint8_t* p) {
  // all eight bits of the high byte are compared
  if (p[0] != 0x00 || p[1] != s.handle_low || p[2] != s.handle_high) return kStatusFail;
  s.link_loss_reason = p[3];
  s.link_connected = 0;
  if (s.link_went_down != nullptr) s.link_went_down(s);  // the channel closes with the link
  return kStatusOk;
}

Status clear_link_state(HostState& s) {
  s.link_connected = 0;
  s.page_under_way = false;
  s.accept_pending = false;
  return kStatusOk;
}

Status hci_settle_line(HostState& s, std::chrono::microseconds first_look, std::chrono::microseconds quiet,
                       std::chrono::microseconds limit) {
  const Deadline give_up = link_now(s) + limit;
  std::chrono::microseconds look = first_look;
  for (;;) {
    bool began = false;
    // A packet that begins in time is read to its end: a row too many after
    // a picture must be seen whole to be judged.
    const Status packet = hci_take_packet(s, std::min(link_now(s) + look, give_up),
                                          give_up + wait_bounds::kPacketRest, &began);
    if (!began) return s.last_read_end == ReadEnd::deadline ? kStatusOk : kStatusFail;
    // A packet still under way after that stays under way: the next read
    // goes on with it, so nothing is cut.
    if (!failed(packet)) hci_handle_packet(s);
    else if (link_went_quiet(s) && s.last_read_end != ReadEnd::deadline) return kStatusFail;  // the port went
    if (link_now(s) >= give_up) return kStatusFail;
    look = quiet;
  }
}

Status hci_drop_waiting_input(HostState& s) {
  const auto look = wait_bounds::first_look(s.line.baud);
  return hci_settle_line(s, look, look, wait_bounds::kSettleLimit);
}

Status hci_wait_line_quiet(HostState& s) {
  return hci_settle_line(s, wait_bounds::kLineQuiet, wait_bounds::kLineQuiet, wait_bounds::kSettleLimit);
}
