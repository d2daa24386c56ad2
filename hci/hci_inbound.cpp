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
constexpr std::uint8_t kRejectReason = 0x04;

Status read_byte(HostState& s, std::uint8_t& out) { return serial_read_byte(s, &out); }
}  // namespace

Status process_inbound_packet(HostState& s) {
  start_wait(s, wait_bounds::kInboundPacket);
  for (;;) {
    // The read itself waits until the deadline, so it is not repeated: a
    // repeat could only spin on a port that fails at once (a vanished device).
    std::uint8_t indicator = 0;
    if (failed(read_byte(s, indicator))) return kStatusFail;
    Status result = kStatusFail;
    switch (indicator) {
      case kIndicatorAcl:
        result = s.acl_inbound != nullptr ? s.acl_inbound(s) : kStatusFail;
        break;
      case kIndicatorEvent:
        result = hci_dispatch_event(s);
        break;
      default:  // SCO (0x03) and anything else: the indicator alone is consumed
        result = kStatusFail;
        break;
    }
    if (result != kStatusNotCounted) return result;
  }
}

// Event_Code | Parameter_Total_Length | parameters
Status hci_dispatch_event(HostState& s) {
  std::uint8_t code = 0;
  std::uint8_t length = 0;
  if (failed(read_byte(s, code)) || failed(read_byte(s, length))) return kStatusFail;
  switch (code) {
    case kEventConnectionComplete:
      return length == kConnectionCompleteLength ? hci_handle_connection_complete(s) : kStatusFail;
    case kEventConnectionRequest:
      return length == kConnectionRequestLength ? hci_handle_connection_request(s) : kStatusFail;
    case kEventDisconnectionComplete:
      return length == kDisconnectionCompleteLength ? hci_handle_disconnection_complete(s) : kStatusFail;
    default:
      break;
  }
  if (failed(hci_discard_bytes(s, length))) return kStatusFail;
  // One per ACL packet the host sent: consumed whole, and never counted as
  // the packet a caller is waiting for.
  return code == kEventNumberOfCompletedPackets ? kStatusNotCounted : kStatusFail;
}

// Status | handle low | handle high | BD_ADDR (wire order) | Link_Type | Encryption_Mode
Status hci_handle_connection_complete(HostState& s) {
  bool refused = false;
  std::uint8_t byte = 0;
  if (failed(read_byte(s, byte))) return kStatusFail;
  refused |= byte != 0x00;
  // The handle is stored before any check, refused or not; but while a link
  // is up, the failed completion of a second one (the one just rejected)
  // must not take the live link's handle: it would cut the link off.
  std::uint8_t handle_low = 0;
  std::uint8_t handle_high = 0;
  const bool keep_live_handle = s.link_connected != 0;
  std::uint8_t& low = keep_live_handle ? handle_low : s.handle_low;
  std::uint8_t& high = keep_live_handle ? handle_high : s.handle_high;
  if (failed(read_byte(s, low)) || failed(read_byte(s, high))) return kStatusFail;
  for (std::size_t i = 0; i < 6; ++i) {
    if (failed(read_byte(s, byte))) return kStatusFail;
    refused |= byte != s.remote_address[i];
  }
  if (failed(read_byte(s, byte))) return kStatusFail;
  refused |= byte != kLinkTypeAcl;
  if (failed(read_byte(s, byte))) return kStatusFail;  // encryption mode, ignored
  if (refused) return kStatusFail;
  s.handle_low = low;
  s.handle_high = high;
  s.link_connected = 1;
  return kStatusOk;
}

// BD_ADDR (wire order) | Class_of_Device (3) | Link_Type
Status hci_handle_connection_request(HostState& s) {
  for (std::size_t i = 0; i < 6; ++i)
    if (failed(read_byte(s, s.remote_address[i]))) return kStatusFail;
  std::uint8_t byte = 0;
  for (int i = 0; i < 3; ++i)
    if (failed(read_byte(s, byte))) return kStatusFail;
  std::uint8_t link_type = 0;
  if (failed(read_byte(s, link_type))) return kStatusFail;
  // One ACL link at a time, and no SCO.
  if (link_type != kLinkTypeAcl || s.link_connected != 0)
    return hci_reject_connection_request(s, s.remote_address, kRejectReason);
  return hci_accept_connection_request(s, s.remote_address, kRoleSlave);
}

// Status | handle low | handle high | Reason
Status hci_handle_disconnection_complete(HostState& s) {
  bool refused = false;
  std::uint8_t byte = 0;
  if (failed(read_byte(s, byte))) return kStatusFail;
  refused |= byte != 0x00;
  if (failed(read_byte(s, byte))) return kStatusFail;
  refused |= byte != s.handle_low;
  if (failed(read_byte(s, byte))) return kStatusFail;
  refused |= byte != s.handle_high;  // all eight bits
  if (failed(read_byte(s, byte))) return kStatusFail;  // reason, ignored
  if (refused) return kStatusFail;
  s.link_connected = 0;
  if (s.link_went_down != nullptr) s.link_went_down(s);  // the channel closes with the link
  return kStatusOk;
}

Status clear_link_state(HostState& s) {
  s.link_connected = 0;
  return kStatusOk;
}
