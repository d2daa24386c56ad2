#include "hci_inbound.h"

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
  return kStatusFail;  // SCO, 0x02 with no link, anything else: the byte alone
}

Status read_event(HostState& s, std::uint8_t* code, std::uint8_t* length, std::uint8_t* parameters) {
  if (failed(read_byte(s, *code)) || failed(read_byte(s, *length))) return kStatusFail;
  for (std::uint8_t i = 0; i < *length; ++i)
    if (failed(read_byte(s, parameters[i]))) return kStatusFail;
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
    }
    // any other byte is skipped alone
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
  bool refused = p[0] != 0x00;
  for (std::size_t i = 0; i < 6; ++i) refused |= p[3 + i] != s.remote_address[i];
  refused |= p[9] != kLinkTypeAcl;
  // The handle is stored refused or not; but while a link is up, the failed
  // completion of a second one (the one just rejected) must not take the
  // live link's handle: it would cut the link off.
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
  for (std::size_t i = 0; i < 6; ++i) s.remote_address[i] = p[i];
  const std::uint8_t link_type = p[9];
  // One ACL link at a time, and no SCO. The answer goes out at once; its
  // Command Status is read later like any other event, so no wait already
  // under way is ever held up by it.
  if (link_type != kLinkTypeAcl || s.link_connected != 0)
    return hci_reject_connection_request(s, s.remote_address, kRejectReason);
  return hci_accept_connection_request(s, s.remote_address, kRoleSlave);
}

// Status | handle low | handle high | Reason
Status hci_handle_disconnection_complete(HostState& s, const std::uint8_t* p) {
  // all eight bits of the high byte are compared
  if (p[0] != 0x00 || p[1] != s.handle_low || p[2] != s.handle_high) return kStatusFail;
  s.link_connected = 0;
  if (s.link_went_down != nullptr) s.link_went_down(s);  // the channel closes with the link
  return kStatusOk;
}

Status clear_link_state(HostState& s) {
  s.link_connected = 0;
  return kStatusOk;
}

Status hci_settle_line(HostState& s, std::chrono::milliseconds first_look, std::chrono::milliseconds quiet) {
  const auto give_up = std::chrono::steady_clock::now() + wait_bounds::kSettleLimit;
  std::chrono::milliseconds look = first_look;
  for (;;) {
    start_wait(s, look);
    std::uint8_t indicator = 0;
    if (failed(read_byte(s, indicator))) return s.last_read_end == ReadEnd::deadline ? kStatusOk : kStatusFail;
    // A packet that has begun gets the whole packet bound to finish.
    start_wait(s, wait_bounds::kInboundPacket);
    handle_packet(s, indicator);
    if (link_went_quiet(s) && s.last_read_end != ReadEnd::deadline) return kStatusFail;
    if (std::chrono::steady_clock::now() >= give_up) return kStatusFail;
    look = quiet;
  }
}

Status hci_drop_waiting_input(HostState& s) {
  return hci_settle_line(s, wait_bounds::kFirstLook, wait_bounds::kLineQuiet);
}

Status hci_wait_line_quiet(HostState& s) {
  return hci_settle_line(s, wait_bounds::kLineQuiet, wait_bounds::kLineQuiet);
}
