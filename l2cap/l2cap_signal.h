#pragma once
// L2CAP signalling on CID 0x0001 for the one channel: Connection Request and
// Response, Disconnection Request and Response, in both directions; and the
// answers the Core requires to any other request (Echo, Information, and a
// Command Reject for the rest).
#include <cstdint>

#include "host_state.h"

inline constexpr std::uint16_t kHostChannelId = 0x0046;
inline constexpr std::uint8_t kSignalCommandReject = 0x01;
inline constexpr std::uint8_t kSignalConnectionRequest = 0x02;
inline constexpr std::uint8_t kSignalConnectionResponse = 0x03;
inline constexpr std::uint8_t kSignalDisconnectionRequest = 0x06;
inline constexpr std::uint8_t kSignalDisconnectionResponse = 0x07;
inline constexpr std::uint8_t kSignalEchoRequest = 0x08;
inline constexpr std::uint8_t kSignalEchoResponse = 0x09;
inline constexpr std::uint8_t kSignalInformationRequest = 0x0A;
inline constexpr std::uint8_t kSignalInformationResponse = 0x0B;
inline constexpr std::uint16_t kResultSuccess = 0x0000;
inline constexpr std::uint16_t kResultNoResources = 0x0004;
inline constexpr std::uint16_t kRejectNotUnderstood = 0x0000;
inline constexpr std::uint16_t kRejectSignallingMtuExceeded = 0x0001;
inline constexpr std::uint16_t kInformationNotSupported = 0x0001;

// Every sender stops at its first failed write and reports it.
Status l2cap_write_signal_header(HostState& s, std::uint8_t code, std::uint16_t length);
Status l2cap_send_connection_request(HostState& s, std::uint16_t source_cid);
Status l2cap_send_connection_response(HostState& s, std::uint16_t result, std::uint16_t status);
Status l2cap_send_disconnection_request(HostState& s, std::uint16_t cid);
Status l2cap_send_disconnection_response(HostState& s);
Status l2cap_send_echo_response(HostState& s);
Status l2cap_send_information_response(HostState& s, std::uint16_t info_type);
Status l2cap_send_command_reject(HostState& s, std::uint16_t reason);
// Sends the host's Connection Request (PSM 0, CID 0x0046); the channel opens
// only when the peer's answer says so (l2cap_wait_channel_outcome).
Status l2cap_open_channel(HostState& s);
// Reads until the peer's final answer to the host's Connection Request: 0
// when it opened the channel. -1, the reason noted, when it refused (named
// by its result; a security block after pairing was tried is pairing's
// failure), when no answer came in the packet bound, when a "pending"
// answer had no final one within kChannelPending (time the user took to
// give a PIN not counted), or when the link went down.
Status l2cap_wait_channel_outcome(HostState& s);
Status l2cap_close_channel(HostState& s);
// Waits (one inbound-packet deadline) for the peer's answer to the request
// just sent; -1 when none came.
Status l2cap_wait_signal_answer(HostState& s);

// Acts on the whole signalling frame held in signal_frame: every command in
// it, in order. The status is that of the first command.
Status l2cap_handle_signal(HostState& s);
// One command: code, its identifier already stored in signal_id, its data.
Status l2cap_handle_signal_command(HostState& s, std::uint8_t code, const std::uint8_t* data,
                                   std::uint16_t length);
Status l2cap_handle_connection_request(HostState& s, const std::uint8_t* data);
Status l2cap_handle_connection_response(HostState& s, const std::uint8_t* data);
Status l2cap_handle_disconnection_request(HostState& s, const std::uint8_t* data);
Status l2cap_handle_disconnection_response(HostState& s, const std::uint8_t* data);
Status clear_channel_state(HostState& s);
