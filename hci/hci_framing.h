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
inline constexpr std::uint8_t kEventHardwareError = 0x10;
inline constexpr std::uint8_t kEventInquiryResultWithRssi = 0x22;
inline constexpr std::uint8_t kEventExtendedInquiryResult = 0x2F;
inline constexpr std::uint8_t kEventNumberOfCompletedPackets = 0x13;

// Command groups.
inline constexpr std::uint8_t kOgfLinkControl = 0x01;
inline constexpr std::uint8_t kOgfControllerBaseband = 0x03;
inline constexpr std::uint8_t kOgfInformational = 0x04;

// opcode = OCF | OGF << 10; with both given as bytes, bits 8 and 9 are 0.
inline constexpr std::uint16_t hci_opcode(std::uint8_t ocf, std::uint8_t ogf) {
  return static_cast<std::uint16_t>((ocf & 0x3FF) | ((ogf << 10) & 0xFC00));
}

// Writes the header of a command and takes one command credit.
Status hci_write_command_header(HostState& s, std::uint8_t ocf, std::uint8_t ogf);
// A Command Complete or Command Status (a NOP, opcode 0x0000, among them)
// tells how many commands the module takes now.
void hci_note_credits(HostState& s, std::uint8_t code, std::uint8_t length, const std::uint8_t* parameters);
// Before a command the host begins: after an answer that granted none, waits
// (the handshake bound) for an event that grants a credit, handling other
// events as they come. -1, the command not sent, when none came.
Status hci_wait_command_credit(HostState& s, std::uint16_t opcode);
// A module that reported a hardware error takes no step until the port has
// been opened again: -1 with the reason, at once.
Status hci_module_usable(HostState& s);
// Waits for the answer to (ocf, ogf): a Command Complete with status 0 and
// n return bytes, copied to dest when given. Every event on the way is read
// whole: an answer for another command is dropped and the wait goes on, any
// other event is handled as it comes. An answer for this command with a
// non-zero status (in either event) fails it.
Status hci_wait_command_complete(HostState& s, std::uint8_t ocf, std::uint8_t ogf, std::uint8_t n,
                                 std::uint8_t* dest);
// The same for a Command Status with status 0.
Status hci_wait_command_status(HostState& s, std::uint8_t ocf, std::uint8_t ogf);

// The answer to one command as found in the stream, read whole.
struct CommandAnswer {
  bool found = false;
  std::uint8_t event = 0;   // Command Complete or Command Status
  std::uint8_t status = 0;
  std::uint8_t length = 0;  // the event's parameter length
};
// Reads events until the answer to `opcode` (either kind) has come; -1 when
// the wait ends first. Return bytes of a Command Complete go to dest (up to
// n of them, as far as the event holds them).
Status hci_await_answer(HostState& s, std::uint16_t opcode, CommandAnswer& answer, std::uint8_t n,
                        std::uint8_t* dest);

// Writes a 16-bit field low byte first; -1 at the first failed write.
Status write_u16_le(HostState& s, std::uint16_t value);
Status read_u16_le(HostState& s, std::uint16_t* value);
Status hci_discard_bytes(HostState& s, unsigned count);
