#pragma once
// HCI over the UART transport: the packet indicator that opens every packet,
// the command header, and the two handshakes by which the module confirms a
// command (Command Complete, Command Status).
#include <cstdint>

#include "host_state.h"

// Packet indicators, the first byte of every packet on the wire.
inline constexpr std::uint8_t kIndicatorCommand = 0x01;
inline constexpr std::uint8_t kIndicatorAcl = 0x02;
inline constexpr std::uint8_t kIndicatorSco = 0x03;
inline constexpr std::uint8_t kIndicatorEvent = 0x04;

// Event codes the host looks at.
inline constexpr std::uint8_t kEventInquiryComplete = 0x01;
inline constexpr std::uint8_t kEventInquiryResult = 0x02;
inline constexpr std::uint8_t kEventConnectionComplete = 0x03;
inline constexpr std::uint8_t kEventConnectionRequest = 0x04;
inline constexpr std::uint8_t kEventDisconnectionComplete = 0x05;
inline constexpr std::uint8_t kEventCommandComplete = 0x0E;
inline constexpr std::uint8_t kEventCommandStatus = 0x0F;
inline constexpr std::uint8_t kEventNumberOfCompletedPackets = 0x13;

// Command groups.
inline constexpr std::uint8_t kOgfLinkControl = 0x01;
inline constexpr std::uint8_t kOgfControllerBaseband = 0x03;
inline constexpr std::uint8_t kOgfInformational = 0x04;

// opcode = OCF | OGF << 10; with both given as bytes, bits 8 and 9 are 0.
inline constexpr std::uint16_t hci_opcode(std::uint8_t ocf, std::uint8_t ogf) {
  return static_cast<std::uint16_t>((ocf & 0x3FF) | ((ogf << 10) & 0xFC00));
}

Status hci_write_command_header(HostState& s, std::uint8_t ocf, std::uint8_t ogf);
// Waits for the Command Complete of (ocf, ogf) with status 0 and n return
// bytes, copied to dest when given.
Status hci_wait_command_complete(HostState& s, std::uint8_t ocf, std::uint8_t ogf, std::uint8_t n,
                                 std::uint8_t* dest);
Status hci_wait_command_status(HostState& s, std::uint8_t ocf, std::uint8_t ogf);

Status write_u16_le(HostState& s, std::uint16_t value);
Status read_u16_le(HostState& s, std::uint16_t* value);

// Reads and drops bytes up to and including the next event indicator 0x04.
Status hci_skip_to_event(HostState& s);
// Reads an event's parameter length and drops that many bytes.
Status hci_skip_event_parameters(HostState& s);
// Skips to the next event and reads its code, passing over Number Of
// Completed Packets events: the controller sends one for every ACL packet the
// host sends, often between a command and its answer, and none of them is
// ever the event a wait is for.
Status hci_read_event_code(HostState& s, std::uint8_t* code);
// The same for a wait on a command's answer, which also passes over an
// Inquiry Complete: an inquiry that reached its maximum leaves that event
// unread, and it must not make the next command fail.
Status hci_read_answer_event_code(HostState& s, std::uint8_t* code);
Status hci_discard_bytes(HostState& s, unsigned count);
