#pragma once
// ACL data packets carrying whole L2CAP basic frames: the outgoing header
// with the shared boundary/broadcast flag cells, channel data out, and the
// inbound route by channel identifier.
#include <cstdint>

#include "host_state.h"

inline constexpr std::uint16_t kCidSignalling = 0x0001;
inline constexpr std::uint16_t kCidFirstDynamic = 0x0040;
inline constexpr std::uint8_t kPbFirstFlushable = 2;

Status acl_write_header(HostState& s);
Status l2cap_send_data(HostState& s, const std::uint8_t* data, std::uint8_t length);
Status acl_handle_inbound(HostState& s);
Status l2cap_receive_payload(HostState& s, std::uint16_t length);
Status frame_append_byte(HostState& s, std::uint8_t byte);

// Hooks the L2CAP layer under the HCI reader: ACL packets and link loss.
void l2cap_attach(HostState& s);
