#include "hci_inbound.h"

#include <algorithm>

#include "hci_framing.h"
#include "hci_link_control.h"
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

Status read_byte(HostState& s, std::uint8_t& out) { return serial_read_byte(s, &out); }

bool acl_welcome(const HostState& s) { return s.link_connected != 0 && s.acl_inbound != nullptr; }

// The rest of a packet whose indicator has been read.
Status handle_packet(HostState& s, std::uint8_t indicator) {
  if (indicator == kIndicatorEvent) return hci_dispatch_event(s);
  if (indicator == kIndicatorAcl && acl_welcome(s)) return s.acl_inbound(s);
  ++s.stream_faults;  // SCO, 0x02 with no link, anything else: the byte alone
  return kStatusFail;
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
    {kEventNumberOfCompletedPackets, 1, 4},
};

bool event_size_fits(std::uint8_t code, std::uint8_t length, const std::uint8_t* parameters) {
  for (const EventSize& e : kEventSizes) {
    if (e.code != code) continue;
    if (e.per_entry == 0) return length == e.size;
    return length >= 1 && length == e.size + e.per_entry * parameters[0];
  }
  return code != kEventCommandComplete || length >= 3;  // credits, opcode, then its return bytes
}

Status read_event(HostState& s, std::uint8_t* code, std::uint8_t* length, std::uint8_t* parameters) {
  std::uint8_t header[2];
  if (failed(serial_read_bytes(s, header, sizeof header))) return kStatusFail;
  *code = header[0];
  *length = header[1];
  if (failed(serial_read_bytes(s, parameters, *length))) return kStatusFail;
  if (!event_size_fits(*code, *length, parameters)) ++s.stream_faults;
  return kStatusOk;
}
}  // namespace

Status hci_read_packet(HostState& s) {
  std::uint8_t indicator = 0;
  if (failed(read_byte(s, indicator))) return kStatusFail;
  return handle_packet(s, indicator);
}

Status process_inbound_packet(HostState& s) {
  start_wait(s, wait_bounds::kInboundPacket);
  return hci_read_packet(s);
}

Status hci_read_packet_within(HostState& s, Deadline first_byte_by, Deadline finish_by, bool* began) {
  *began = false;
  start_wait_until(s, first_byte_by);
  std::uint8_t indicator = 0;
  if (failed(read_byte(s, indicator))) {
    if (s.last_read_end != ReadEnd::deadline) return kStatusFail;
    start_wait(s, wait_bounds::kFirstLook);
    if (failed(read_byte(s, indicator))) return kStatusFail;
  }
  *began = true;
  start_wait_until(s, std::min(link_now(s) + wait_bounds::kPacketRest, std::max(finish_by, link_now(s))));
  Status packet = handle_packet(s, indicator);
  if (failed(packet) && link_went_quiet(s)) ++s.stream_faults;  // cut short
  return packet;
}

Status hci_read_until_counted(HostState& s, const std::uint32_t& counter) {
  start_wait(s, wait_bounds::kInboundPacket);
  const std::uint32_t before = counter;
  while (counter == before) {
    Status packet = hci_read_packet(s);
    if (failed(packet) && link_went_quiet(s)) return kStatusFail;
    if (s.link_connected == 0) return kStatusFail;  // nothing more can come on a link that went down
  }
  return kStatusOk;
}

Status hci_next_event(HostState& s, std::uint8_t* code, std::uint8_t* length, std::uint8_t* parameters) {
  for (;;) {
    std::uint8_t indicator = 0;
    if (failed(read_byte(s, indicator))) return kStatusFail;
    if (indicator == kIndicatorEvent) return read_event(s, code, length, parameters);
    if (indicator == kIndicatorAcl && acl_welcome(s)) {
      s.acl_inbound(s);
      if (link_went_quiet(s)) return kStatusFail;
      continue;
    }
    ++s.stream_faults;  // any other byte is skipped alone
  }
}

// Event_Code | Parameter_Total_Length | parameters
Status hci_dispatch_event(HostState& s) {
  std::uint8_t code = 0;
  std::uint8_t length = 0;
  std::uint8_t parameters[kEventParametersMax];
  if (failed(read_event(s, &code, &length, parameters))) return kStatusFail;
  return hci_handle_event(s, code, length, parameters);
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

Status hci_settle_line(HostState& s, std::chrono::milliseconds first_look, std::chrono::milliseconds quiet) {
  const Deadline give_up = link_now(s) + wait_bounds::kSettleLimit;
  std::chrono::milliseconds look = first_look;
  for (;;) {
    bool began = false;
    hci_read_packet_within(s, std::min(link_now(s) + look, give_up), give_up, &began);
    if (!began) return s.last_read_end == ReadEnd::deadline ? kStatusOk : kStatusFail;
    if (link_went_quiet(s) && s.last_read_end != ReadEnd::deadline) return kStatusFail;  // the port went
    if (link_now(s) >= give_up) return kStatusFail;
    look = quiet;
  }
}

Status hci_drop_waiting_input(HostState& s) {
  return hci_settle_line(s, wait_bounds::kFirstLook, wait_bounds::kFirstLook);
}

Status hci_wait_line_quiet(HostState& s) {
  return hci_settle_line(s, wait_bounds::kLineQuiet, wait_bounds::kLineQuiet);
}
