#pragma once
// ACL data packets carrying L2CAP basic frames: the outgoing header with the
// shared boundary/broadcast flag cells, channel data out, and the inbound
// path, which puts frames arriving in several fragments back together and
// routes each by channel identifier.
#include <cstdint>

#include "host_state.h"

inline constexpr std::uint16_t kCidNull = 0x0000;
inline constexpr std::uint16_t kCidSignalling = 0x0001;
inline constexpr std::uint16_t kCidFirstDynamic = 0x0040;
inline constexpr std::uint8_t kPbContinuing = 1;
inline constexpr std::uint8_t kPbFirstFlushable = 2;

// Every sender stops at its first failed write and reports it.
Status acl_write_header(HostState& s);
Status l2cap_send_data(HostState& s, const std::uint8_t* data, std::uint8_t length);

// The ACL packet the reader holds whole (HostState::rx_packet). A packet for
// another handle, a continuation that continues nothing, and a frame on the
// null or a reserved fixed channel, or on a channel the host does not have,
// are dropped (-1). A frame's part that completes it is judged: channel data
// counts one more in channel_frames and goes to the ledger, signalling is
// answered. Lengths that do not add up count as stream faults.
Status acl_handle_inbound(HostState& s);
// Channel data counts on the host's CID, on the channel's CID and on the
// CID the camera gave for its end; anything else is not the channel.
bool l2cap_is_channel_cid(const HostState& s, std::uint16_t cid);
// An L2CAP frame has begun and waits for continuations.
bool l2cap_frame_under_way(const HostState& s);
// Channel data of the frame under way, held in rx_channel_frame.
void l2cap_receive_payload(HostState& s, const std::uint8_t* data, std::uint16_t length);
// Appends to frame_buffer; -1 (the byte dropped) once it is full.
Status frame_append_byte(HostState& s, std::uint8_t byte);

// Hooks the L2CAP layer under the HCI reader: ACL packets and link loss.
void l2cap_attach(HostState& s);
