#pragma once
// L2CAP signalling on CID 0x0001 for the one channel: Connection Request and
// Response, Disconnection Request and Response, in both directions.
#include <cstdint>

#include "host_state.h"

inline constexpr std::uint16_t kHostChannelId = 0x0046;
inline constexpr std::uint8_t kSignalConnectionRequest = 0x02;
inline constexpr std::uint8_t kSignalConnectionResponse = 0x03;
inline constexpr std::uint8_t kSignalDisconnectionRequest = 0x06;
inline constexpr std::uint8_t kSignalDisconnectionResponse = 0x07;
inline constexpr std::uint16_t kResultSuccess = 0x0000;
inline constexpr std::uint16_t kResultNoResources = 0x0004;

Status l2cap_write_signal_header(HostState& s, std::uint8_t code, std::uint16_t length);
Status l2cap_send_connection_request(HostState& s, std::uint16_t source_cid);
Status l2cap_send_connection_response(HostState& s, std::uint16_t result, std::uint16_t status);
Status l2cap_send_disconnection_request(HostState& s, std::uint16_t cid);
Status l2cap_send_disconnection_response(HostState& s);
Status l2cap_open_channel(HostState& s);
Status l2cap_close_channel(HostState& s);
Status l2cap_handle_signal(HostState& s);
Status l2cap_handle_connection_request(HostState& s);
Status l2cap_handle_connection_response(HostState& s);
Status l2cap_handle_disconnection_request(HostState& s);
Status l2cap_handle_disconnection_response(HostState& s);
Status clear_channel_state(HostState& s);
