#include "hci_security.h"

#include <algorithm>

#include "hci_framing.h"
#include "serial_link.h"

namespace {
constexpr std::uint8_t kOcfLinkKeyRequestReply = 0x0B;
constexpr std::uint8_t kOcfLinkKeyRequestNegativeReply = 0x0C;
constexpr std::uint8_t kOcfPinCodeRequestReply = 0x0D;
constexpr std::uint8_t kOcfPinCodeRequestNegativeReply = 0x0E;
constexpr std::uint8_t kOcfUserConfirmationRequestNegativeReply = 0x2D;
constexpr std::uint8_t kOcfIoCapabilityRequestNegativeReply = 0x34;

constexpr std::uint8_t kAddressLength = 6;
constexpr std::uint8_t kLinkKeyNotificationLength = 6 + 16 + 1;
constexpr std::uint8_t kAuthenticationCompleteLength = 3;
constexpr std::uint8_t kUserConfirmationRequestLength = 6 + 4;

// 01 | OCF | 04 | length | BD_ADDR (wire order) | the rest
Status send_reply(HostState& s, std::uint8_t ocf, const std::uint8_t* wire_address, const std::uint8_t* rest,
                  std::uint8_t rest_length) {
  if (failed(hci_write_command_header(s, ocf, kOgfLinkControl))) return kStatusFail;
  if (failed(serial_write_byte(s, static_cast<std::uint8_t>(kAddressLength + rest_length)))) return kStatusFail;
  for (std::uint8_t i = 0; i < kAddressLength; ++i)
    if (failed(serial_write_byte(s, wire_address[i]))) return kStatusFail;
  for (std::uint8_t i = 0; i < rest_length; ++i)
    if (failed(serial_write_byte(s, rest[i]))) return kStatusFail;
  return kStatusOk;
}

DeviceAddress display_of(const std::uint8_t* wire) {
  return {wire[5], wire[4], wire[3], wire[2], wire[1], wire[0]};
}

// A new device: nothing tried with it yet.
HostState::PairingTried& tried_with(HostState& s, const std::uint8_t* wire) {
  const DeviceAddress address = display_of(wire);
  if (s.pairing_tried.address != address) s.pairing_tried = HostState::PairingTried{address};
  return s.pairing_tried;
}

// BD_ADDR -> Link_Key_Request_Reply (BD_ADDR | key) or its negative reply
Status answer_link_key_request(HostState& s, const std::uint8_t* p) {
  HostState::PairingTried& tried = tried_with(s, p);
  LinkKey key{};
  const PairingHooks& h = s.pairing;
  if (h.key_for != nullptr && h.key_for(h.context, tried.address, key)) {
    tried.key_given = true;
    return send_reply(s, kOcfLinkKeyRequestReply, p, key.data(), static_cast<std::uint8_t>(key.size()));
  }
  return send_reply(s, kOcfLinkKeyRequestNegativeReply, p, nullptr, 0);
}

// BD_ADDR -> PIN_Code_Request_Reply (BD_ADDR | length | PIN, zeros after it)
// or its negative reply. Asking may take the user a while: the wait under
// way does not count that time.
Status answer_pin_code_request(HostState& s, const std::uint8_t* p) {
  HostState::PairingTried& tried = tried_with(s, p);
  const PairingHooks& h = s.pairing;
  if (tried.key_given && !tried.key_refused) {
    // The device did not take the stored key: it asks to pair anew.
    tried.key_refused = true;
    if (h.key_refused != nullptr) h.key_refused(h.context, tried.address);
  }
  PinCode pin{};
  std::size_t length = 0;
  if (h.pin_for != nullptr) {
    const Deadline asked = link_now(s);
    length = h.pin_for(h.context, tried.address, pin);
    const auto took = link_now(s) - asked;
    s.read_deadline += took;
    s.waited_for_user += took;
  }
  if (length == 0 || length > kPinMaxLength) {
    tried.pin_withheld = true;
    return send_reply(s, kOcfPinCodeRequestNegativeReply, p, nullptr, 0);
  }
  tried.pin_given = true;
  std::uint8_t rest[1 + kPinMaxLength] = {static_cast<std::uint8_t>(length)};
  std::copy_n(pin.begin(), length, rest + 1);
  return send_reply(s, kOcfPinCodeRequestReply, p, rest, sizeof rest);
}

// BD_ADDR | Link_Key | Key_Type
Status keep_link_key(HostState& s, const std::uint8_t* p) {
  HostState::PairingTried& tried = tried_with(s, p);
  tried.paired = true;
  LinkKey key{};
  std::copy_n(p + kAddressLength, key.size(), key.begin());
  const PairingHooks& h = s.pairing;
  if (h.key_made != nullptr) h.key_made(h.context, tried.address, key, p[kAddressLength + key.size()]);
  return kStatusOk;
}

// Secure Simple Pairing, which the host does not offer: refused at once.
Status refuse_other_method(HostState& s, std::uint8_t code, const std::uint8_t* p) {
  tried_with(s, p).other_method = true;
  if (code == kEventIoCapabilityRequest) {
    const std::uint8_t reason = kStatusSimplePairingNotSupported;
    return send_reply(s, kOcfIoCapabilityRequestNegativeReply, p, &reason, 1);
  }
  return send_reply(s, kOcfUserConfirmationRequestNegativeReply, p, nullptr, 0);
}

bool security_status(std::uint8_t status) {
  return status == kStatusAuthenticationFailure || status == kStatusPinOrKeyMissing ||
         status == kStatusPairingNotAllowed || status == kStatusSimplePairingNotSupported;
}
}  // namespace

Status hci_handle_security_event(HostState& s, std::uint8_t code, std::uint8_t length, const std::uint8_t* p) {
  switch (code) {
    case kEventLinkKeyRequest:
      return length == kAddressLength ? answer_link_key_request(s, p) : kStatusFail;
    case kEventPinCodeRequest:
      return length == kAddressLength ? answer_pin_code_request(s, p) : kStatusFail;
    case kEventLinkKeyNotification:
      return length == kLinkKeyNotificationLength ? keep_link_key(s, p) : kStatusFail;
    case kEventIoCapabilityRequest:
      return length == kAddressLength ? refuse_other_method(s, code, p) : kStatusFail;
    case kEventUserConfirmationRequest:
      return length == kUserConfirmationRequestLength ? refuse_other_method(s, code, p) : kStatusFail;
    case kEventAuthenticationComplete:  // Status | handle: kept to explain a failure
      if (length != kAuthenticationCompleteLength) return kStatusFail;
      s.pairing_tried.auth_status = p[0];
      return kStatusOk;
    default:
      return kStatusFail;
  }
}

void hci_forget_pairing(HostState& s) { s.pairing_tried = HostState::PairingTried{}; }

namespace {
// What was refused, from what pairing tried; false when it tried nothing.
bool what_failed(HostState& s, std::uint8_t status, PairingFailure& what) {
  HostState::PairingTried& tried = s.pairing_tried;
  if (!(tried.key_given || tried.pin_given || tried.pin_withheld || tried.other_method)) return false;
  what = PairingFailure::not_paired;
  if (status == kStatusPairingNotAllowed) what = PairingFailure::not_paired;
  else if (tried.other_method) what = PairingFailure::other_method;
  else if (tried.pin_withheld) what = PairingFailure::no_pin;
  else if (tried.pin_given && !tried.paired) what = PairingFailure::pin_refused;
  else if (tried.key_given && !tried.paired) what = PairingFailure::key_refused;
  if (what == PairingFailure::key_refused && !tried.key_refused) {
    tried.key_refused = true;
    const PairingHooks& h = s.pairing;
    if (h.key_refused != nullptr) h.key_refused(h.context, tried.address);
  }
  return true;
}

bool note_pairing(HostState& s, std::uint8_t status, std::uint16_t l2cap_result) {
  PairingFailure what = PairingFailure::not_paired;
  if (!what_failed(s, status, what)) return false;
  FailureReason reason;
  reason.point = FailurePoint::pairing;
  reason.detail = static_cast<std::uint16_t>(what);
  reason.hci_status = status;
  reason.l2cap_result = l2cap_result;
  note_failure(s, reason);
  return true;
}
}  // namespace

bool hci_note_pairing_failure(HostState& s, std::uint8_t status) {
  return security_status(status) && note_pairing(s, status, 0);
}

bool hci_note_pairing_refusal(HostState& s, std::uint16_t l2cap_result) { return note_pairing(s, 0, l2cap_result); }
