// Legacy pairing as the module asks for it during a page: the host's answers
// byte for byte, what it asks of the shell's hooks, and how a failure reads.
#include "hci_security.h"

#include <string>

#include "failure_text.h"
#include "wire.h"

namespace {
const DeviceAddress kPeer{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};  // display order
const Bytes kWire{0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
const Bytes kKey{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};

Bytes event(std::uint8_t code, const Bytes& parameters) {
  return Bytes{0x04, code, static_cast<std::uint8_t>(parameters.size())} + parameters;
}
Bytes connection_complete(std::uint8_t status) {
  return event(0x03, Bytes{status, 0x2A, 0x00} + kWire + Bytes{0x01, 0x00});
}
const Bytes kChannelOpened{0x02, 0x2A, 0x20, 0x10, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x03, 0x00, 0x08, 0x00,
                           0x40, 0x00, 0x46, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kLinkKeyRequest = event(0x17, kWire);
const Bytes kPinCodeRequest = event(0x16, kWire);
const Bytes kKeyMade = event(0x18, kWire + kKey + Bytes{0x00});

// What the host sends: the replies, after BD_ADDR.
Bytes reply(std::uint8_t ocf, const Bytes& rest) {
  return Bytes{0x01, ocf, 0x04, static_cast<std::uint8_t>(6 + rest.size())} + kWire + rest;
}
Bytes pin_reply(const std::string& pin) {
  Bytes rest{static_cast<std::uint8_t>(pin.size())};
  rest.insert(rest.end(), pin.begin(), pin.end());
  rest.resize(17, 0x00);
  return reply(0x0D, rest);
}

// The shell's side: a PIN to give (empty: none), a stored key, and what the
// host told it.
struct Shell {
  std::string pin;
  bool has_key = false;
  int asked_for_pin = 0;
  Bytes key_made;
  int keys_refused = 0;
};
Shell shell(const char* pin, bool has_key = false) {
  Shell sh;
  sh.pin = pin;
  sh.has_key = has_key;
  return sh;
}
PairingHooks hooks_of(Shell& shell) {
  PairingHooks h;
  h.context = &shell;
  h.pin_for = [](void* c, const DeviceAddress& a, PinCode& pin) -> std::size_t {
    auto& sh = *static_cast<Shell*>(c);
    ++sh.asked_for_pin;
    if (a != kPeer) return 0;
    std::copy(sh.pin.begin(), sh.pin.end(), pin.begin());
    return sh.pin.size();
  };
  h.key_for = [](void* c, const DeviceAddress& a, LinkKey& key) {
    if (!static_cast<Shell*>(c)->has_key || a != kPeer) return false;
    std::copy(kKey.begin(), kKey.end(), key.begin());
    return true;
  };
  h.key_made = [](void* c, const DeviceAddress&, const LinkKey& key, std::uint8_t) {
    static_cast<Shell*>(c)->key_made.assign(key.begin(), key.end());
  };
  h.key_refused = [](void* c, const DeviceAddress&) { ++static_cast<Shell*>(c)->keys_refused; };
  return h;
}

struct PairingCase {
  const char* name;
  Shell shell;
  Bytes module;        // after Create_Connection's Command Status
  Bytes replies;       // what the host answers, in order
  bool connected;
  const char* reason;  // the failure's words ("" when it connected)
  bool key_kept;
  int keys_refused;
};

class Pairing : public WireTest, public ::testing::WithParamInterface<PairingCase> {};

TEST_P(Pairing, AnswersAndOutcome) {
  PairingCase c = GetParam();
  s.pairing = hooks_of(c.shell);
  link.feed(command_status(0x0405) + c.module + kChannelOpened);
  const Status status = host_connect(s, kPeer);
  const Bytes sent = written();
  const Bytes create{0x01, 0x05, 0x04, 0x0D};
  ASSERT_GE(sent.size(), 17u + c.replies.size());
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 4), create);
  EXPECT_EQ(Bytes(sent.begin() + 17, sent.begin() + 17 + static_cast<long>(c.replies.size())), c.replies);
  EXPECT_EQ(!failed(status), c.connected);
  EXPECT_EQ(failure_text(s.last_failure), c.reason);
  EXPECT_EQ(c.shell.key_made == kKey, c.key_kept);
  EXPECT_EQ(c.shell.keys_refused, c.keys_refused);
}

const Bytes kRefuseKey = reply(0x0C, {});
const Bytes kRefusePin = reply(0x0E, {});

INSTANTIATE_TEST_SUITE_P(
    Legacy, Pairing,
    ::testing::Values(
        PairingCase{"pin_given", shell("1234"),
                    kLinkKeyRequest + kPinCodeRequest + kKeyMade + connection_complete(0x00),
                    kRefuseKey + pin_reply("1234"), true, "", true, 0},
        PairingCase{"wrong_pin", shell("0000"),
                    kLinkKeyRequest + kPinCodeRequest + connection_complete(0x05),
                    kRefuseKey + pin_reply("0000"), false, "the camera refused the PIN (authentication failure, 0x05)",
                    false, 0},
        PairingCase{"no_pin", shell(""),
                    kLinkKeyRequest + kPinCodeRequest + connection_complete(0x06), kRefuseKey + kRefusePin, false,
                    "the camera asked for a PIN and none was given (PIN or key missing, 0x06)", false, 0},
        PairingCase{"stored_key_taken", shell("", true), kLinkKeyRequest + connection_complete(0x00), reply(0x0B, kKey),
                    true, "", false, 0},
        // A key the device refuses is forgotten, and the next connect pairs anew.
        PairingCase{"stored_key_refused", shell("", true), kLinkKeyRequest + connection_complete(0x05), reply(0x0B, kKey),
                    false,
                    "the camera refused the stored link key (authentication failure, 0x05); the key is forgotten, "
                    "so the next connect pairs anew",
                    false, 1},
        // ... or it asks for a PIN instead, and pairs with it.
        PairingCase{"stored_key_refused_then_pin", shell("1234", true),
                    kLinkKeyRequest + kPinCodeRequest + kKeyMade + connection_complete(0x00),
                    reply(0x0B, kKey) + pin_reply("1234"), true, "", true, 1},
        PairingCase{"simple_pairing_refused", shell("1234"),
                    event(0x31, kWire) + connection_complete(0x37), reply(0x34, {0x37}), false,
                    "the camera asked for a way of pairing this program does not offer (Secure Simple Pairing) "
                    "(simple pairing not supported by host, 0x37)",
                    false, 0},
        PairingCase{"user_confirmation_refused", shell("1234"),
                    event(0x33, kWire + Bytes{0x01, 0x02, 0x03, 0x04}) + connection_complete(0x05), reply(0x2D, {}),
                    false,
                    "the camera asked for a way of pairing this program does not offer (Secure Simple Pairing) "
                    "(authentication failure, 0x05)",
                    false, 0}),
    [](const auto& info) { return std::string(info.param.name); });
}  // namespace
