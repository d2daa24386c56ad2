#pragma once
// Legacy pairing as the module asks the host for it: a stored link key
// (Link Key Request), a PIN (PIN Code Request), a new key to keep (Link Key
// Notification). The answers go out at once, from inside whatever wait read
// the request, as the answers to a page do; their Command Completes are read
// later like any other event. Secure Simple Pairing stays off (the module is
// never told the host supports it), so a device that asks for it anyway is
// refused at once.
#include <cstdint>

#include "host_state.h"

inline constexpr std::uint8_t kEventAuthenticationComplete = 0x06;
inline constexpr std::uint8_t kEventPinCodeRequest = 0x16;
inline constexpr std::uint8_t kEventLinkKeyRequest = 0x17;
inline constexpr std::uint8_t kEventLinkKeyNotification = 0x18;
inline constexpr std::uint8_t kEventIoCapabilityRequest = 0x31;
inline constexpr std::uint8_t kEventUserConfirmationRequest = 0x33;

// HCI statuses of failed pairing.
inline constexpr std::uint8_t kStatusAuthenticationFailure = 0x05;
inline constexpr std::uint8_t kStatusPinOrKeyMissing = 0x06;
inline constexpr std::uint8_t kStatusPairingNotAllowed = 0x18;
inline constexpr std::uint8_t kStatusSimplePairingNotSupported = 0x37;

// One of the six events above, read whole: answered (0), or -1 for any other
// code or a wrong length.
Status hci_handle_security_event(HostState& s, std::uint8_t code, std::uint8_t length, const std::uint8_t* parameters);
// What was tried with the device the host connects to is forgotten: a new
// connect starts afresh.
void hci_forget_pairing(HostState& s);
// A step failed with this HCI status (a Connection Complete's, an
// Authentication Complete's, the reason a link went down): when pairing was
// tried and the status is a security one, the failure is noted as pairing's
// (and a stored key the device refused is forgotten). True when it was.
bool hci_note_pairing_failure(HostState& s, std::uint8_t status);
// The same for a device that refused the channel for security (L2CAP
// result 0x0003) after pairing was tried: no HCI status says why.
bool hci_note_pairing_refusal(HostState& s, std::uint16_t l2cap_result);
