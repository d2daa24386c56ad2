// The virtual controller's cameras that ask for security, and the channel's
// outcomes: host bytes in, module bytes out, byte-exact against bytes
// written out by hand from Bluetooth Core's layouts (Vol 4, Part E).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controller_fixture.h"

namespace {
using namespace std::chrono;

// The default camera CA:FE:00:00:00:01 in wire order.
const Bytes kCamera{0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA};
// The key camera and module (5E:00:00:00:00:01) make with PIN "1234", worked
// out by hand: byte i = PIN[i mod 4] ^ module[i mod 6] ^ camera[i mod 6] ^ i,
// wire order, where module ^ camera is 00 00 00 00 FE 94.
const Bytes kKey1234{0x31, 0x33, 0x31, 0x37, 0xCB, 0xA3, 0x35, 0x33, 0x39, 0x3B, 0xC7, 0xAB, 0x3D, 0x3F, 0x3D, 0x3B};

const Bytes kScanOn{0x01, 0x1A, 0x0C, 0x01, 0x03};
const Bytes kConnect = Bytes{0x01, 0x05, 0x04, 0x0D} + kCamera + Bytes{0x10, 0x00, 0x00, 0x00, 0x20, 0x80, 0x00};
const Bytes kConnectStatus{0x04, 0x0F, 0x04, 0x00, 0x01, 0x05, 0x04};
const Bytes kLinkUp = Bytes{0x04, 0x03, 0x0B, 0x00, 0x2A, 0x00} + kCamera + Bytes{0x01, 0x00};
// The host's L2CAP Connection Request (identifier 0, PSM 0, its CID 0x0046),
// and the completed-packets event that answers every ACL packet.
const Bytes kOpen{0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x46, 0x00};
const Bytes kCompleted{0x04, 0x13, 0x05, 0x01, 0x2A, 0x00, 0x01, 0x00};

// Connection Response, identifier 0: destination CID | 0x0046 | result | status.
Bytes response(std::uint8_t cid, std::uint8_t result, std::uint8_t status) {
  return {0x02, 0x2A, 0x20, 0x10, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x03, 0x00, 0x08, 0x00,
          cid,  0x00, 0x46, 0x00, result, 0x00, status, 0x00};
}
const Bytes kAuthenticationPending = response(0x40, 0x01, 0x01);
const Bytes kAuthorizationPending = response(0x40, 0x01, 0x02);
const Bytes kOpened = response(0x40, 0x00, 0x00);
const Bytes kSecurityBlock = response(0x00, 0x03, 0x00);

// The module's side of pairing.
const Bytes kLinkKeyRequest = Bytes{0x04, 0x17, 0x06} + kCamera;
const Bytes kPinRequest = Bytes{0x04, 0x16, 0x06} + kCamera;
const Bytes kKeyNotification = Bytes{0x04, 0x18, 0x17} + kCamera + kKey1234 + Bytes{0x00};
Bytes complete(std::uint8_t ocf, std::uint8_t ogf_high, std::uint8_t status) {
  return Bytes{0x04, 0x0E, 0x0A, 0x01, ocf, ogf_high, status} + kCamera;
}
Bytes disconnected(std::uint8_t reason) { return {0x04, 0x05, 0x04, 0x00, 0x2A, 0x00, reason}; }
Bytes link_failed(std::uint8_t status) { return Bytes{0x04, 0x03, 0x0B, status, 0x00, 0x00} + kCamera + Bytes{0x01, 0x00}; }

// The host's answers.
const Bytes kNoKey = Bytes{0x01, 0x0C, 0x04, 0x06} + kCamera;
const Bytes kNoPin = Bytes{0x01, 0x0E, 0x04, 0x06} + kCamera;
Bytes key_reply(const Bytes& key) { return Bytes{0x01, 0x0B, 0x04, 0x16} + kCamera + key; }
Bytes pin_reply(const std::string& pin) {
  Bytes b = Bytes{0x01, 0x0D, 0x04, 0x17} + kCamera + Bytes{static_cast<std::uint8_t>(pin.size())};
  b.insert(b.end(), pin.begin(), pin.end());
  b.resize(4 + 23, 0x00);
  return b;
}
const Bytes kNoKeyDone = complete(0x0C, 0x04, 0x00);
const Bytes kKeyDone = complete(0x0B, 0x04, 0x00);
const Bytes kPinDone = complete(0x0D, 0x04, 0x00);
const Bytes kNoPinDone = complete(0x0E, 0x04, 0x00);

struct Step {
  Bytes host;      // empty: the clock moves on by 30 s instead
  Bytes expected;
};

struct Pairing : Controller {
  Pairing() {
    options.faults.pairing.pin = "1234";
    make();
  }
  void run(const char* name, const std::vector<Step>& steps) {
    for (std::size_t i = 0; i < steps.size(); ++i)
      EXPECT_EQ(steps[i].host.empty() ? after(seconds(30)) : exchange(steps[i].host), steps[i].expected)
          << name << ", step " << i;
  }
};

TEST_F(Pairing, KeyIsMadeFromTheAddressesAndThePin) {
  const LinkKey key = sim_link_key(options.module_address, kDefaultCameraAddress, "1234");
  EXPECT_EQ(Bytes(key.begin(), key.end()), kKey1234);
}

// A camera that authenticates the link once the host asks for the channel,
// holding the request pending meanwhile.
TEST_F(Pairing, ChannelHeldUntilTheLinkIsAuthenticated) {
  const Bytes wrong_key(16, 0xEE);
  const struct {
    const char* name;
    SimAuthFailure on_failure;
    bool refuse_wrong_key;
    bool paired;
    std::vector<Step> steps;
  } cases[] = {
      {"PIN given", SimAuthFailure::refuse_channel, false, false,
       {{kNoKey, kNoKeyDone + kPinRequest}, {pin_reply("1234"), kPinDone + kKeyNotification + kOpened}}},
      {"wrong PIN, refused", SimAuthFailure::refuse_channel, false, false,
       {{kNoKey, kNoKeyDone + kPinRequest}, {pin_reply("12345"), kPinDone + kSecurityBlock}}},
      {"wrong PIN, link ended", SimAuthFailure::disconnect, false, false,
       {{kNoKey, kNoKeyDone + kPinRequest}, {pin_reply("4321"), kPinDone + disconnected(0x05)}}},
      {"no PIN, refused", SimAuthFailure::refuse_channel, false, false,
       {{kNoKey, kNoKeyDone + kPinRequest}, {kNoPin, kNoPinDone + kSecurityBlock}}},
      {"no PIN, link ended", SimAuthFailure::disconnect, false, false,
       {{kNoKey, kNoKeyDone + kPinRequest}, {kNoPin, kNoPinDone + disconnected(0x06)}}},
      {"stored key accepted", SimAuthFailure::refuse_channel, false, true, {{key_reply(kKey1234), kKeyDone + kOpened}}},
      {"stored key refused, paired again", SimAuthFailure::refuse_channel, false, false,
       {{key_reply(kKey1234), kKeyDone + kPinRequest}, {pin_reply("1234"), kPinDone + kKeyNotification + kOpened}}},
      {"stored key refused by a camera without a key", SimAuthFailure::disconnect, true, false,
       {{key_reply(kKey1234), kKeyDone + disconnected(0x06)}}},
      {"stored key refused by a camera with another", SimAuthFailure::disconnect, true, true,
       {{key_reply(wrong_key), kKeyDone + disconnected(0x05)}}},
      {"no answer to the PIN Code Request", SimAuthFailure::refuse_channel, false, false,
       {{kNoKey, kNoKeyDone + kPinRequest}, {{}, kSecurityBlock}, {pin_reply("1234"), complete(0x0D, 0x04, 0x0C)}}},
      {"no answer, link ended", SimAuthFailure::disconnect, false, false,
       {{kNoKey, kNoKeyDone + kPinRequest}, {{}, disconnected(0x22)}, {pin_reply("1234"), complete(0x0D, 0x04, 0x02)}}},
  };
  for (const auto& c : cases) {
    options.faults.pairing.on_failure = c.on_failure;
    options.faults.pairing.refuse_wrong_key = c.refuse_wrong_key;
    options.faults.pairing.paired = c.paired;
    make();
    EXPECT_EQ(exchange(kScanOn + kConnect), (Bytes{0x04, 0x0E, 0x04, 0x01, 0x1A, 0x0C, 0x00} + kConnectStatus + kLinkUp)) << c.name;
    EXPECT_EQ(exchange(kOpen), kCompleted + kAuthenticationPending + kLinkKeyRequest) << c.name;
    run(c.name, c.steps);
    EXPECT_EQ(after(seconds(60)), Bytes{}) << c.name;
  }
}

// A camera whose module authenticates every link: the pairing runs inside
// Create_Connection, and Connection Complete tells how it went.
TEST_F(Pairing, AuthenticationOnConnect) {
  const Bytes cancel = Bytes{0x01, 0x08, 0x04, 0x06} + kCamera;
  const struct {
    const char* name;
    bool paired;
    std::vector<Step> steps;
  } cases[] = {
      {"PIN given", false, {{kNoKey, kNoKeyDone + kPinRequest}, {pin_reply("1234"), kPinDone + kKeyNotification + kLinkUp}}},
      {"wrong PIN", false, {{kNoKey, kNoKeyDone + kPinRequest}, {pin_reply("0000"), kPinDone + link_failed(0x05)}}},
      {"no PIN", false, {{kNoKey, kNoKeyDone + kPinRequest}, {kNoPin, kNoPinDone + link_failed(0x06)}}},
      {"stored key accepted", true, {{key_reply(kKey1234), kKeyDone + kLinkUp}}},
      {"no answer", false, {{kNoKey, kNoKeyDone + kPinRequest}, {{}, link_failed(0x22)}}},
      {"cancelled", false,
       {{kNoKey, kNoKeyDone + kPinRequest}, {cancel, complete(0x08, 0x04, 0x00) + link_failed(0x02)},
        {pin_reply("1234"), complete(0x0D, 0x04, 0x02)}}},
  };
  for (const auto& c : cases) {
    options.faults.pairing.on_connect = true;
    options.faults.pairing.paired = c.paired;
    make();
    exchange(kScanOn);
    EXPECT_EQ(exchange(kConnect), kConnectStatus + kLinkKeyRequest) << c.name;
    run(c.name, c.steps);
    EXPECT_EQ(after(seconds(60)), Bytes{}) << c.name;
  }
  // Authenticated at connect time, the channel is the camera's at once.
  options.faults.pairing.paired = true;
  make();
  exchange(kScanOn + kConnect + key_reply(kKey1234));
  EXPECT_EQ(exchange(kOpen), kCompleted + kOpened);
}

// A camera that tries Secure Simple Pairing: the host's refusals get their
// Command Complete, Simple Pairing Complete says how it ended, and the
// channel is refused.
TEST_F(Pairing, SecureSimplePairingRefused) {
  const struct {
    SimSsp ssp;
    Bytes asked;
    Bytes refusal;
    Bytes expected;
  } cases[] = {
      {SimSsp::io_capability, Bytes{0x04, 0x31, 0x06} + kCamera, Bytes{0x01, 0x34, 0x04, 0x07} + kCamera + Bytes{0x18},
       complete(0x34, 0x04, 0x00) + Bytes{0x04, 0x36, 0x07, 0x18} + kCamera + kSecurityBlock},
      {SimSsp::confirmation, Bytes{0x04, 0x33, 0x0A} + kCamera + Bytes{0x40, 0xE2, 0x01, 0x00},
       Bytes{0x01, 0x2D, 0x04, 0x06} + kCamera,
       complete(0x2D, 0x04, 0x00) + Bytes{0x04, 0x36, 0x07, 0x05} + kCamera + kSecurityBlock},
  };
  for (const auto& c : cases) {
    options.faults.pairing.ssp = c.ssp;
    make();
    link_up();
    out();
    EXPECT_EQ(exchange(kOpen), kCompleted + kAuthenticationPending + kLinkKeyRequest);
    EXPECT_EQ(exchange(kNoKey), kNoKeyDone + c.asked);
    EXPECT_EQ(exchange(c.refusal), c.expected);
  }
}

// Answers to nothing asked: 0x0C on a live link, 0x02 for an address with
// none; a PIN longer than 16 is refused and leaves the request standing.
TEST_F(Pairing, AnswersToNothingAsked) {
  EXPECT_EQ(exchange(pin_reply("1234")), complete(0x0D, 0x04, 0x02));
  link_up();
  out();
  EXPECT_EQ(exchange(kNoKey), complete(0x0C, 0x04, 0x0C));
  exchange(kOpen + kNoKey);
  Bytes too_long = pin_reply("1234");
  too_long[10] = 17;
  EXPECT_EQ(exchange(too_long), complete(0x0D, 0x04, 0x12));
  EXPECT_EQ(exchange(pin_reply("1234")), kPinDone + kKeyNotification + kOpened);
}

// A whole session with a host that answers rightly: paired with the PIN,
// a picture, then a second link that pairs from the kept key alone.
TEST_F(Pairing, WholeSessionThenTheKeptKey) {
  link_up();
  out();
  exchange(kOpen);
  exchange(kNoKey);
  EXPECT_EQ(exchange(pin_reply("1234")), kPinDone + kKeyNotification + kOpened);
  const Bytes picture = exchange({0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, 'U'});
  EXPECT_EQ(picture.size(), 8u + 72u * 201u);
  EXPECT_EQ(exchange({0x01, 0x06, 0x04, 0x03, 0x2A, 0x00, 0x13}), (Bytes{0x04, 0x0F, 0x04, 0x00, 0x01, 0x06, 0x04} + disconnected(0x16)));
  EXPECT_FALSE(model->camera(0).authenticated);
  // The second link: handle 0x002B.
  Bytes open = kOpen;
  open[1] = 0x2B;
  exchange(kConnect);
  auto on_2b = [](Bytes packet) {
    packet[1] = 0x2B;
    return packet;
  };
  const Bytes completed{0x04, 0x13, 0x05, 0x01, 0x2B, 0x00, 0x01, 0x00};
  EXPECT_EQ(exchange(open), completed + on_2b(kAuthenticationPending) + kLinkKeyRequest);
  EXPECT_EQ(exchange(key_reply(kKey1234)), kKeyDone + on_2b(kOpened));
  // A camera that has forgotten the host asks for the PIN again.
  model->set_camera_key(0, std::nullopt);
  exchange({0x01, 0x06, 0x04, 0x03, 0x2B, 0x00, 0x13});
  exchange(kConnect);
  open[1] = 0x2C;
  exchange(open);
  EXPECT_EQ(exchange(key_reply(kKey1234)), kKeyDone + kPinRequest);
}

// The camera's own page, accepted: it authenticates (inside the page when its
// module asks on connect), then opens its channel.
TEST_F(Pairing, CameraPageAuthenticatesBeforeItsChannel) {
  const Bytes accept = Bytes{0x01, 0x09, 0x04, 0x07} + kCamera + Bytes{0x01};
  const Bytes accepted{0x04, 0x0F, 0x04, 0x00, 0x01, 0x09, 0x04};
  const Bytes camera_open{0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x02, 0x01, 0x04, 0x00, 0x01, 0x10, 0x40, 0x00};
  for (const bool on_connect : {false, true}) {
    options.faults.pairing.on_connect = on_connect;
    make();
    exchange(kScanOn);
    ASSERT_TRUE(model->page_host(0));
    out();
    EXPECT_EQ(exchange(accept), accepted + (on_connect ? Bytes{} : kLinkUp) + kLinkKeyRequest) << on_connect;
    EXPECT_EQ(exchange(kNoKey), kNoKeyDone + kPinRequest) << on_connect;
    EXPECT_EQ(exchange(pin_reply("1234")),
              kPinDone + kKeyNotification + (on_connect ? kLinkUp : Bytes{}) + camera_open) << on_connect;
  }
}

// The channel's outcome, from a camera that asks for no PIN.
TEST_F(Controller, ChannelOutcomes) {
  const struct {
    const char* name;
    SimChannelAnswer answer;
    Bytes at_once;
    Bytes later;
  } cases[] = {
      {"success", SimChannelAnswer::success, kOpened, {}},
      {"pending, success", SimChannelAnswer::pending_success, kAuthorizationPending, kOpened},
      {"pending, security block", SimChannelAnswer::pending_security, kAuthorizationPending, response(0x00, 0x03, 0x00)},
      {"pending, no resources", SimChannelAnswer::pending_no_resources, kAuthorizationPending, response(0x00, 0x04, 0x00)},
      {"pending, nothing more", SimChannelAnswer::pending_forever, kAuthorizationPending, {}},
      {"PSM not supported", SimChannelAnswer::psm_not_supported, response(0x00, 0x02, 0x00), {}},
  };
  for (const auto& c : cases) {
    options.faults.channel_answer = c.answer;
    options.faults.channel_pending_ms = 800;
    make();
    link_up();
    out();
    EXPECT_EQ(exchange(kOpen), kCompleted + c.at_once) << c.name;
    EXPECT_EQ(after(milliseconds(799)), Bytes{}) << c.name;
    EXPECT_EQ(after(milliseconds(1)), c.later) << c.name;
    // Data on the channel is answered only once it is open.
    const Bytes steer{0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, 'H'};
    const bool open = c.later == kOpened || c.at_once == kOpened;
    EXPECT_EQ(exchange(steer).size(), kCompleted.size() + (open ? 13u : 0u)) << c.name;
  }
}
}  // namespace
