// The virtual controller without a pty: host bytes in, module bytes out,
// byte-exact.
#include <gtest/gtest.h>

#include <vector>

#include "controller_fixture.h"

namespace {
using namespace std::chrono;

TEST_F(Controller, StartUpCommandsAreConfirmed) {
  const struct {
    Bytes command;
    Bytes answer;
  } cases[] = {
      {{0x01, 0x03, 0x0C, 0x00}, {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}},
      {{0x01, 0x09, 0x10, 0x00}, {0x04, 0x0E, 0x0A, 0x01, 0x09, 0x10, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x5E}},
      {{0x01, 0x1A, 0x0C, 0x01, 0x03}, {0x04, 0x0E, 0x04, 0x01, 0x1A, 0x0C, 0x00}},
      {{0x01, 0x77, 0x0C, 0x00}, {0x04, 0x0F, 0x04, 0x01, 0x01, 0x77, 0x0C}},  // unknown opcode
  };
  for (const auto& c : cases) EXPECT_EQ(exchange(c.command), c.answer);
  Bytes name{0x01, 0x13, 0x0C, 0xF8, 'q', 'u', 'o', 'r', 'e', 'l'};
  name.resize(4 + 248, 0x00);
  EXPECT_EQ(exchange(name), (Bytes{0x04, 0x0E, 0x04, 0x01, 0x13, 0x0C, 0x00}));
}

TEST_F(Controller, ResetKeepsScanEnable) {
  exchange({0x01, 0x1A, 0x0C, 0x01, 0x03});
  exchange({0x01, 0x03, 0x0C, 0x00});
  EXPECT_EQ(model->scan_enable(), 0x03);
}

TEST_F(Controller, BytesOutsideAPacketAreDropped) {
  EXPECT_EQ(exchange({0x00, 0xFF, 0x04, 0x01, 0x03, 0x0C, 0x00}), (Bytes{0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}));
}

TEST_F(Controller, InquiryEndsAfterItsTimeOrAtOnceWhenEnoughAnswered) {
  const Bytes status{0x04, 0x0F, 0x04, 0x00, 0x01, 0x01, 0x04};
  const Bytes result{0x04, 0x02, 0x0F, 0x01, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA, 0x01,
                     0x00, 0x00, 0x20, 0x06, 0x00, 0x00, 0x00};
  const Bytes complete{0x04, 0x01, 0x01, 0x00};
  // Four wanted, one camera: the rest of the 2 x 1.28 s passes first.
  EXPECT_EQ(exchange({0x01, 0x01, 0x04, 0x05, 0x33, 0x8B, 0x9E, 0x02, 0x04}), (status + result));
  model->advance(now + milliseconds(2559));
  EXPECT_EQ(out(), Bytes{});
  model->advance(now + milliseconds(2560));
  EXPECT_EQ(out(), complete);
  // One wanted: complete at once.
  EXPECT_EQ(exchange({0x01, 0x01, 0x04, 0x05, 0x33, 0x8B, 0x9E, 0x02, 0x01}), (status + result + complete));
  EXPECT_FALSE(model->next_timer().has_value());
}

// Three cameras with their own page scan repetition mode, clock offset and
// RSSI, in each form a module's inquiry mode gives; the Core's arrays written
// out by hand.
TEST_F(Controller, InquiryResultForms) {
  options.cameras = {{0xCA, 0xFE, 0, 0, 0, 0x01}, {0xCA, 0xFE, 0, 0, 0, 0x02}, {0xCA, 0xFE, 0, 0, 0, 0x03}};
  options.camera_inquiry = {{0x02, 0x1234, -40, "cam one"}, {0x00, 0x7ABC, -55, "cam two"}};
  options.responses_per_event = 2;
  const Bytes a1{0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA};
  const Bytes a2{0x02, 0x00, 0x00, 0x00, 0xFE, 0xCA};
  const Bytes a3{0x03, 0x00, 0x00, 0x00, 0xFE, 0xCA};
  const Bytes camera_class{0x20, 0x06, 0x00};
  const Bytes status{0x04, 0x0F, 0x04, 0x00, 0x01, 0x01, 0x04};
  const Bytes complete{0x04, 0x01, 0x01, 0x00};
  auto eir = [](const char* name) {
    Bytes e{0x08, 0x09};
    e.insert(e.end(), name, name + 7);
    e.resize(240, 0x00);
    return e;
  };
  const struct {
    const char* name;
    SimInquiryForm form;
    std::uint8_t wanted;
    Bytes results;
  } cases[] = {
      // Addresses, modes, the reserved bytes (two each), classes, clock offsets.
      {"two to an event", SimInquiryForm::standard, 0,
       Bytes{0x04, 0x02, 0x1D, 0x02} + a1 + a2 + Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x00} + camera_class +
           camera_class + Bytes{0x34, 0x12, 0xBC, 0x7A} +
           Bytes{0x04, 0x02, 0x0F, 0x01} + a3 + Bytes{0x01, 0x00, 0x00} + camera_class + Bytes{0x00, 0x00}},
      {"two wanted", SimInquiryForm::standard, 2,
       Bytes{0x04, 0x02, 0x1D, 0x02} + a1 + a2 + Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x00} + camera_class +
           camera_class + Bytes{0x34, 0x12, 0xBC, 0x7A} + complete},
      // One reserved byte each, and the RSSIs last.
      {"with RSSI", SimInquiryForm::rssi, 0,
       Bytes{0x04, 0x22, 0x1D, 0x02} + a1 + a2 + Bytes{0x02, 0x00, 0x00, 0x00} + camera_class + camera_class +
           Bytes{0x34, 0x12, 0xBC, 0x7A, 0xD8, 0xC9} +
           Bytes{0x04, 0x22, 0x0F, 0x01} + a3 + Bytes{0x01, 0x00} + camera_class + Bytes{0x00, 0x00, 0xC4}},
      // One response an event, then 240 bytes of EIR data: the complete local name.
      {"extended", SimInquiryForm::extended, 2,
       Bytes{0x04, 0x2F, 0xFF, 0x01} + a1 + Bytes{0x02, 0x00} + camera_class + Bytes{0x34, 0x12, 0xD8} + eir("cam one") +
           Bytes{0x04, 0x2F, 0xFF, 0x01} + a2 + Bytes{0x00, 0x00} + camera_class + Bytes{0xBC, 0x7A, 0xC9} +
           eir("cam two") + complete},
  };
  for (const auto& c : cases) {
    options.inquiry_form = c.form;
    make();
    const Bytes inquiry{0x01, 0x01, 0x04, 0x05, 0x33, 0x8B, 0x9E, 0x02, c.wanted};
    EXPECT_EQ(exchange(inquiry), status + c.results) << c.name;
  }
}

// Create_Connection_Cancel: a page under way ends with Connection Complete
// 0x02 after the Command Complete; a link already up gets 0x0B; an address
// nobody pages 0x02.
TEST_F(Controller, CreateConnectionCancel) {
  const Bytes nobody{1, 2, 3, 4, 5, 6};
  const Bytes camera{0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA};
  auto cancel = [](const Bytes& address) { return Bytes{0x01, 0x08, 0x04, 0x06} + address; };
  auto cancelled = [](std::uint8_t status, const Bytes& address) {
    return Bytes{0x04, 0x0E, 0x0A, 0x01, 0x08, 0x04, status} + address;
  };
  exchange({0x01, 0x1A, 0x0C, 0x01, 0x03});
  exchange(Bytes{0x01, 0x05, 0x04, 0x0D} + nobody + Bytes{0x10, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(exchange(cancel(nobody)),
            (cancelled(0x00, nobody) + Bytes{0x04, 0x03, 0x0B, 0x02, 0x00, 0x00} + nobody + Bytes{0x01, 0x00}));
  EXPECT_EQ(after(seconds(10)), Bytes{});  // no page timeout after it
  EXPECT_EQ(exchange(cancel(nobody)), cancelled(0x02, nobody));
  link_up();
  out();
  EXPECT_EQ(exchange(cancel(camera)), cancelled(0x0B, camera));
  EXPECT_TRUE(model->camera(0).linked);
}

TEST_F(Controller, PageNobodyAnswersTimesOut) {
  exchange({0x01, 0x1A, 0x0C, 0x01, 0x03});
  EXPECT_EQ(exchange({0x01, 0x05, 0x04, 0x0D, 1, 2, 3, 4, 5, 6, 0x10, 0x00, 0x00, 0x00, 0x20, 0x80, 0x00}),
            (Bytes{0x04, 0x0F, 0x04, 0x00, 0x01, 0x05, 0x04}));
  model->advance(now + milliseconds(5120));
  EXPECT_EQ(out(), (Bytes{0x04, 0x03, 0x0B, 0x04, 0x00, 0x00, 1, 2, 3, 4, 5, 6, 0x01, 0x00}));
}

TEST_F(Controller, ConnectSteerAndDisconnect) {
  exchange({0x01, 0x1A, 0x0C, 0x01, 0x03});
  EXPECT_EQ(exchange({0x01, 0x05, 0x04, 0x0D, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA, 0x10, 0x00, 0x00, 0x00, 0x20,
                      0x80, 0x00}),
            (Bytes{0x04, 0x0F, 0x04, 0x00, 0x01, 0x05, 0x04,  //
                   0x04, 0x03, 0x0B, 0x00, 0x2A, 0x00, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA, 0x01, 0x00}));
  const Bytes completed{0x04, 0x13, 0x05, 0x01, 0x2A, 0x00, 0x01, 0x00};
  // L2CAP Connection Request for CID 0x0046: the camera answers with its own CID 0x0040.
  EXPECT_EQ(exchange({0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00,
                      0x46, 0x00}),
            (completed + Bytes{0x02, 0x2A, 0x20, 0x10, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x03, 0x00, 0x08, 0x00,
                              0x40, 0x00, 0x46, 0x00, 0x00, 0x00, 0x00, 0x00}));
  // "L": pan left by 8, answered on the host's CID.
  EXPECT_EQ(exchange({0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, 'L'}),
            (completed + Bytes{0x02, 0x2A, 0x20, 0x08, 0x00, 0x04, 0x00, 0x46, 0x00, 'L', 0xF8, 0x00, 0x01}));
  // L2CAP Disconnection Request, then Disconnect.
  EXPECT_EQ(exchange({0x02, 0x2A, 0x00, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x06, 0x05, 0x04, 0x00, 0x46, 0x00,
                      0x46, 0x00}),
            (completed + Bytes{0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x07, 0x05, 0x04, 0x00,
                              0x46, 0x00, 0x46, 0x00}));
  EXPECT_EQ(exchange({0x01, 0x06, 0x04, 0x03, 0x2A, 0x00, 0x05}),
            (Bytes{0x04, 0x0F, 0x04, 0x00, 0x01, 0x06, 0x04, 0x04, 0x05, 0x04, 0x00, 0x2A, 0x00, 0x16}));
  // The link is gone: Disconnect again names an unknown connection.
  EXPECT_EQ(exchange({0x01, 0x06, 0x04, 0x03, 0x2A, 0x00, 0x05}), (Bytes{0x04, 0x0F, 0x04, 0x02, 0x01, 0x06, 0x04}));
}

TEST_F(Controller, PictureIs72RowsAfterTheCompletedPackets) {
  link_up();
  out();
  exchange({0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x46, 0x00});
  Bytes picture = exchange({0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, 'U'});
  ASSERT_EQ(picture.size(), 8u + 72u * (9u + 192u));
  CameraFrame view = render_camera_view(model->camera(0).scene);
  for (std::size_t row = 0; row < 72; ++row) {
    const std::size_t at = 8 + row * 201;
    EXPECT_EQ(Bytes(picture.begin() + static_cast<long>(at), picture.begin() + static_cast<long>(at) + 9),
              (Bytes{0x02, 0x2A, 0x20, 0xC4, 0x00, 0xC0, 0x00, 0x46, 0x00}))
        << "row " << row;
    EXPECT_TRUE(std::equal(view.begin() + static_cast<long>(row * 192), view.begin() + static_cast<long>(row * 192 + 192),
                           picture.begin() + static_cast<long>(at + 9)))
        << "row " << row;
  }
}

TEST_F(Controller, DataBeforeTheChannelIsOpenGetsNoAnswer) {
  link_up();
  out();
  EXPECT_EQ(exchange({0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, 'L'}),
            (Bytes{0x04, 0x13, 0x05, 0x01, 0x2A, 0x00, 0x01, 0x00}));
}

TEST_F(Controller, FailingOpcodeKeepsTheAnswerLength) {
  options.faults.failing_opcode = 0x1009;
  options.faults.failing_status = 0x03;
  make();
  EXPECT_EQ(exchange({0x01, 0x09, 0x10, 0x00}),
            (Bytes{0x04, 0x0E, 0x0A, 0x01, 0x09, 0x10, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(Controller, PeerPageAndReject) {
  exchange({0x01, 0x1A, 0x0C, 0x01, 0x03});
  ASSERT_TRUE(model->page_host(0));
  EXPECT_EQ(out(), (Bytes{0x04, 0x04, 0x0A, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA, 0x20, 0x06, 0x00, 0x01}));
  EXPECT_EQ(exchange({0x01, 0x0A, 0x04, 0x07, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA, 0x04}),
            (Bytes{0x04, 0x0F, 0x04, 0x00, 0x01, 0x0A, 0x04,  //
                   0x04, 0x03, 0x0B, 0x04, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA, 0x01, 0x00}));
  EXPECT_FALSE(model->camera(0).linked);
}

TEST_F(Controller, SteeringMovesTheViewAndHomeRestoresIt) {
  CameraScene scene;
  const CameraFrame home = render_camera_view(scene);
  for (char letter : {'L', 'R', 'D', 'K', 'M'}) {
    CameraScene moved;
    ASSERT_TRUE(steer_camera(moved, 'D'));  // off home first, so K and M have room to act
    ASSERT_TRUE(steer_camera(moved, 'K'));
    CameraFrame before = render_camera_view(moved);
    ASSERT_TRUE(steer_camera(moved, letter));
    EXPECT_NE(render_camera_view(moved), before) << letter;
    ASSERT_TRUE(steer_camera(moved, 'H'));
    EXPECT_EQ(render_camera_view(moved), home) << letter;
  }
  EXPECT_FALSE(steer_camera(scene, 'Z'));
}
}  // namespace

namespace {
// The channel of link_up()'s camera opened by the host (its CID 0x0046).
void open_channel(Controller& c) {
  c.link_up();
  c.exchange({0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x46, 0x00});
}
const Bytes kCapture{0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, 'U'};
const Bytes kCompleted{0x04, 0x13, 0x05, 0x01, 0x2A, 0x00, 0x01, 0x00};
}  // namespace

TEST_F(Controller, RefusedCommandStatusCommandsSendNothingMore) {
  const struct {
    std::uint16_t opcode;
    Bytes command;
  } cases[] = {
      {0x0405, {0x01, 0x05, 0x04, 0x0D, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA, 0x10, 0x00, 0x00, 0x00, 0x20, 0x80, 0x00}},
      {0x0406, {0x01, 0x06, 0x04, 0x03, 0x2A, 0x00, 0x13}},
      {0x0409, {0x01, 0x09, 0x04, 0x07, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA, 0x01}},
      {0x040A, {0x01, 0x0A, 0x04, 0x07, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA, 0x0D}},
  };
  for (const auto& c : cases) {
    options.faults.failing_opcode = c.opcode;
    options.faults.failing_status = 0x12;
    make();
    exchange({0x01, 0x1A, 0x0C, 0x01, 0x03});
    model->page_host(0);
    out();
    EXPECT_EQ(exchange(c.command), (Bytes{0x04, 0x0F, 0x04, 0x12, 0x01, c.command[1], c.command[2]})) << c.opcode;
    model->advance(now + seconds(60));
    EXPECT_EQ(out(), Bytes{}) << c.opcode;
  }
  // Connect again while linked: refused as a controller refuses it, no second Connection Complete.
  options.faults = {};
  make();
  link_up();
  out();
  EXPECT_EQ(exchange(cases[0].command), (Bytes{0x04, 0x0F, 0x04, 0x0B, 0x01, 0x05, 0x04}));
}

TEST_F(Controller, FramesAreCutIntoFragmentsOfTheChosenSize) {
  // Byte-exact: the 8-byte frame of the "L" answer in 5-byte fragments.
  options.faults.acl_fragment_size = 5;
  make();
  open_channel(*this);
  EXPECT_EQ(exchange({0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, 'L'}),
            (kCompleted + Bytes{0x02, 0x2A, 0x20, 0x05, 0x00, 0x04, 0x00, 0x46, 0x00, 'L',  //
                                0x02, 0x2A, 0x10, 0x03, 0x00, 0xF8, 0x00, 0x01}));
  // A whole picture at several sizes: every fragment within its size, the
  // first of each frame flag 2, the others flag 1, and together the frames
  // sent without fragments.
  options.faults = {};
  make();
  open_channel(*this);
  const Bytes whole = exchange(kCapture);
  for (std::uint16_t size : {1, 27, 100, 196, 1000}) {
    options.faults.acl_fragment_size = size;
    make();
    open_channel(*this);
    const Bytes cut = exchange(kCapture);
    Bytes joined(cut.begin(), cut.begin() + 8);
    std::size_t frames = 0;
    for (std::size_t at = 8; at < cut.size();) {
      ASSERT_EQ(cut[at], 0x02) << size;
      const std::size_t length = cut[at + 3] | (cut[at + 4] << 8);
      EXPECT_LE(length, size);
      const bool first = (cut[at + 2] & 0x30) == 0x20;
      EXPECT_TRUE(first || (cut[at + 2] & 0x30) == 0x10) << size;
      if (first) {
        ++frames;
        joined.insert(joined.end(), {0x02, 0x2A, 0x20, 0xC4, 0x00});
      }
      joined.insert(joined.end(), cut.begin() + static_cast<long>(at + 5), cut.begin() + static_cast<long>(at + 5 + length));
      at += 5 + length;
    }
    EXPECT_EQ(frames, 72u) << size;
    EXPECT_EQ(joined, whole) << size;
  }
}

namespace {
// The packets the faults put on the line, the signalling ones with identifier 1.
const Bytes kStrayPacket{0x02, 0xBC, 0x2A, 0x0C, 0x00, 0x08, 0x00, 0x40, 0x00,
                         0x04, 0x0E, 0x04, 0x01, 0x02, 0x2A, 0x20, 0x00};
const Bytes kLowCidPacket{0x02, 0x2A, 0x20, 0x18, 0x00, 0x14, 0x00, 0x03, 0x00, 0x02, 0x2A, 0x20, 0xC4, 0x00, 0x04,
                          0x0F, 0x04, 0x00, 0x01, 0x04, 0x13, 0x05, 0x01, 0x2A, 0x00, 0x01, 0x00, 0x55, 0xAA};
const Bytes kEchoPacket{0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x08, 0x01, 0x04, 0x00, 'e', 'c', 'h', 'o'};
const Bytes kInfoPacket{0x02, 0x2A, 0x20, 0x0A, 0x00, 0x06, 0x00, 0x01, 0x00, 0x0A, 0x01, 0x02, 0x00, 0x02, 0x00};
const Bytes kIntruderPage{0x04, 0x04, 0x0A, 0x01, 0x00, 0x00, 0x00, 0x00, 0x1D, 0x0C, 0x02, 0x5A, 0x01};
constexpr std::size_t kSignalIdAt = 10;
// Chaos: an unasked frame on the camera's channel, written out by hand.
const Bytes kChannelStrayPacket{0x02, 0x2A, 0x20, 0x08, 0x00, 0x04, 0x00, 0x46, 0x00, 'S', 0x5A, 0x5A, 0x5A};
}  // namespace

TEST_F(Controller, RowFaultsPutTheirPacketBeforeTheRow) {
  const struct {
    const char* name;
    int SimFaults::*row;
    Bytes injected;
  } cases[] = {
      {"stray", &SimFaults::stray_acl_row, kStrayPacket},   {"low cid", &SimFaults::low_cid_row, kLowCidPacket},
      {"echo", &SimFaults::echo_request_row, kEchoPacket},  {"info", &SimFaults::info_request_row, kInfoPacket},
      {"intruder", &SimFaults::intruder_page_row, kIntruderPage},
  };
  options.faults = {};
  make();
  open_channel(*this);
  const Bytes plain = exchange(kCapture);
  for (const auto& c : cases) {
    options.faults = {};
    options.faults.*c.row = 1;
    make();
    open_channel(*this);
    // After the completed packets and row 0: the injected packet, then rows 1 to 71.
    Bytes expected(plain.begin(), plain.begin() + 8 + 201);
    expected = expected + c.injected + Bytes(plain.begin() + 8 + 201, plain.end());
    EXPECT_EQ(exchange(kCapture), expected) << c.name;
  }
  // The pause is a mark at the same place for the line to keep.
  options.faults = {};
  options.faults.pause_row = 1;
  options.faults.pause_ms = 700;
  make();
  open_channel(*this);
  const std::uint64_t before = model->bytes_queued_total();
  EXPECT_EQ(exchange(kCapture), plain);
  ASSERT_EQ(model->pauses().size(), 1u);
  EXPECT_EQ(model->pauses().front().at, before + 8 + 201);
  EXPECT_EQ(model->pauses().front().duration, milliseconds(700));
}

TEST_F(Controller, CameraTakesTheAnswersToItsRequestsQuietly) {
  open_channel(*this);
  // Echo Response, Information Response (not supported) and Command Reject: completed packets only.
  const Bytes answers[] = {
      {0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x09, 0x01, 0x04, 0x00, 'e', 'c', 'h', 'o'},
      {0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x0B, 0x02, 0x04, 0x00, 0x02, 0x00, 0x01, 0x00},
      {0x02, 0x2A, 0x20, 0x0A, 0x00, 0x06, 0x00, 0x01, 0x00, 0x01, 0x03, 0x02, 0x00, 0x00, 0x00},
  };
  for (const Bytes& a : answers) EXPECT_EQ(exchange(a), kCompleted);
  // An unknown request still gets a Command Reject; every command is recorded.
  EXPECT_EQ(exchange({0x02, 0x2A, 0x20, 0x08, 0x00, 0x04, 0x00, 0x01, 0x00, 0x7F, 0x04, 0x00, 0x00}),
            (kCompleted + Bytes{0x02, 0x2A, 0x20, 0x0A, 0x00, 0x06, 0x00, 0x01, 0x00, 0x01, 0x04, 0x02, 0x00, 0x00, 0x00}));
  const auto& signals = model->host_signals();
  ASSERT_EQ(signals.size(), 5u);
  EXPECT_EQ(signals[0].code, 0x02);  // the Connection Request of open_channel()
  EXPECT_EQ(signals[1].code, 0x09);
  EXPECT_EQ(signals[1].id, 0x01);
  EXPECT_EQ(signals[1].data, (Bytes{'e', 'c', 'h', 'o'}));
  EXPECT_EQ(signals[2].data, (Bytes{0x02, 0x00, 0x01, 0x00}));
  EXPECT_EQ(signals[4].code, 0x7F);
}

TEST_F(Controller, IntruderIsRejectedOrTakesALinkWithNoCameraBehindIt) {
  exchange({0x01, 0x1A, 0x0C, 0x01, 0x03});
  const Bytes intruder{0x01, 0x00, 0x00, 0x00, 0x00, 0x1D};
  ASSERT_TRUE(model->intruder_pages_host());
  EXPECT_FALSE(model->intruder_pages_host());  // one page at a time
  out();
  EXPECT_EQ(exchange(Bytes{0x01, 0x0A, 0x04, 0x07} + intruder + Bytes{0x0D}),
            (Bytes{0x04, 0x0F, 0x04, 0x00, 0x01, 0x0A, 0x04, 0x04, 0x03, 0x0B, 0x0D, 0x00, 0x00} + intruder +
             Bytes{0x01, 0x00}));
  ASSERT_TRUE(model->intruder_pages_host());
  out();
  // Accepted: a link and nothing else, and data on it is only counted.
  EXPECT_EQ(exchange(Bytes{0x01, 0x09, 0x04, 0x07} + intruder + Bytes{0x01}),
            (Bytes{0x04, 0x0F, 0x04, 0x00, 0x01, 0x09, 0x04, 0x04, 0x03, 0x0B, 0x00, 0x2A, 0x00} + intruder +
             Bytes{0x01, 0x00}));
  EXPECT_EQ(exchange({0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, 'U'}), kCompleted);
  EXPECT_TRUE(model->intruder().linked);
  EXPECT_FALSE(model->camera(0).linked);
}

TEST_F(Controller, StaleStreamSendsRowsUntilReset) {
  options.faults.stale_stream = true;
  make();
  const CameraFrame view = render_camera_view(model->camera(0).scene);
  for (int row = 0; row < 73; ++row) {
    ASSERT_TRUE(model->stale_streaming());
    model->queue_stale_row();
    const Bytes packet = out();
    const std::size_t r = static_cast<std::size_t>(row % 72);
    Bytes row_bytes(view.begin() + static_cast<long>(r * 192), view.begin() + static_cast<long>(r * 192 + 192));
    for (std::size_t i = 0; i < 192; i += 24) {  // a darker picture: 04 F0 looks like a long event
      row_bytes[i] = 0x04;
      row_bytes[i + 1] = 0xF0;
    }
    EXPECT_EQ(packet, (Bytes{0x02, 0x2A, 0x20, 0xC4, 0x00, 0xC0, 0x00, 0x46, 0x00} + row_bytes)) << row;
  }
  EXPECT_EQ(exchange({0x01, 0x03, 0x0C, 0x00}), (Bytes{0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}));
  EXPECT_FALSE(model->stale_streaming());
  model->queue_stale_row();
  EXPECT_EQ(out(), Bytes{});
}

// Chaos: the same host bytes with and without it. Every difference must be
// one the log names, and rebuilding the plain stream by the log must give
// the chaotic one byte for byte.
namespace {
// After the link and the channel: pictures, steering keys and a letter the camera does not know.
constexpr const char* kChaosSteps = "ULUKURUUDUMUHUZUULUKUUMUR";

struct ChaosRun {
  std::vector<Bytes> answers;          // what each host packet got: scan enable, connect, channel, then the steps
  std::vector<std::uint64_t> pauses;  // where the line stops, in bytes queued before
  std::vector<SimClock::duration> pause_lengths;
  std::vector<ChaosRecord> records;
  std::vector<std::string> log;
};

ChaosRun run_chaos(const SimChaos& chaos) {
  SimOptions o;
  o.faults.chaos = chaos;
  ControllerModel m(o);
  ChaosRun run;
  auto step = [&](const Bytes& packet) {
    for (std::uint8_t b : packet) m.host_byte(b, SimClock::time_point{});
    run.answers.emplace_back(m.output().begin(), m.output().end());
    m.output().clear();
  };
  step({0x01, 0x1A, 0x0C, 0x01, 0x03});
  step({0x01, 0x05, 0x04, 0x0D, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA, 0x10, 0x00, 0x00, 0x00, 0x20, 0x80, 0x00});
  step({0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x46, 0x00});
  for (const char* c = kChaosSteps; *c != '\0'; ++c)
    step({0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, static_cast<std::uint8_t>(*c)});
  for (const PauseMark& p : m.pauses()) {
    run.pauses.push_back(p.at);
    run.pause_lengths.push_back(p.duration);
  }
  run.records = m.chaos_records();
  for (const ChaosRecord& r : run.records) run.log.push_back(format_chaos_record(r));
  return run;
}

// An ACL packet 02 2A 20 length(2) frame, cut into fragments of `size` data bytes.
Bytes fragmented(const Bytes& packet, std::size_t size) {
  Bytes out;
  for (std::size_t at = 5; at < packet.size(); at += size) {
    const std::size_t n = std::min(size, packet.size() - at);
    out.insert(out.end(), {0x02, 0x2A, static_cast<std::uint8_t>(at == 5 ? 0x20 : 0x10), static_cast<std::uint8_t>(n), 0x00});
    out.insert(out.end(), packet.begin() + static_cast<long>(at), packet.begin() + static_cast<long>(at + n));
  }
  return out;
}

// The plain answer with the record's faults applied as the log describes
// them; `queued` counts the bytes before it, and each pause's place is added
// to `pauses`. `signal_id` is the camera's next signalling identifier.
Bytes rebuild(const Bytes& plain, const ChaosRecord& record, std::uint64_t queued, std::vector<std::uint64_t>& pauses,
              std::uint8_t& signal_id) {
  // The plain answer's packets: the completed-packets event, then the rows or the one answer.
  Bytes event(plain.begin(), plain.begin() + 8);
  std::vector<Bytes> packets;
  const std::size_t each = record.type == ChaosRecordType::picture ? 201 : plain.size() - 8;
  for (std::size_t at = 8; at < plain.size(); at += each)
    packets.emplace_back(plain.begin() + static_cast<long>(at), plain.begin() + static_cast<long>(at + each));
  auto edit = [](Bytes& packet, const ChaosFault& f) {
    if (f.kind == ChaosFaultKind::substitute) {
      EXPECT_GE(f.offset, 1u);
      EXPECT_NE(packet.at(f.offset), f.value);  // a byte changed, not kept
      packet.at(f.offset) = static_cast<std::uint8_t>(f.value);
    } else if (f.kind == ChaosFaultKind::drop_byte) {
      EXPECT_LT(f.offset, packet.size());
      packet.erase(packet.begin() + f.offset);
    } else if (f.kind == ChaosFaultKind::add_byte) {
      EXPECT_GE(f.offset, 1u);
      EXPECT_LT(f.offset, packet.size());  // inside the packet, not after it
      packet.insert(packet.begin() + f.offset, static_cast<std::uint8_t>(f.value));
    }
  };
  for (const ChaosFault& f : record.faults)
    if (f.at == kChaosAtEvent) edit(event, f);
  Bytes out = event;
  const bool gaps = std::any_of(record.faults.begin(), record.faults.end(),
                                [](const ChaosFault& f) { return f.kind == ChaosFaultKind::gap; });
  // A row on a channel the host lacks: the first row of the scene at (128, 128).
  const CameraFrame other = render_camera_view(CameraScene{128, 128, 1});
  const Bytes foreign_row = Bytes{0x02, 0x2A, 0x20, 0xC4, 0x00, 0xC0, 0x00, 0x47, 0x00} + Bytes(other.begin(), other.begin() + 192);
  for (std::size_t i = 0; i <= packets.size(); ++i) {
    const int at = record.type == ChaosRecordType::picture ? static_cast<int>(i) : kChaosAtAnswer;
    if (i == packets.size()) {  // after the last row: one too many
      for (const ChaosFault& f : record.faults)
        if (f.kind == ChaosFaultKind::twice && f.at == at) {
          if (gaps) pauses.push_back(queued + out.size());
          out = out + packets[0];
        }
      break;
    }
    Bytes packet = packets[i];
    bool lost = false;
    bool twice = false;
    std::uint32_t inside = 0;
    for (const ChaosFault& f : record.faults) {
      if (f.at != at) continue;
      switch (f.kind) {
        case ChaosFaultKind::channel_frame: out = out + kChannelStrayPacket; break;
        case ChaosFaultKind::foreign_row: out = out + foreign_row; break;
        case ChaosFaultKind::twice: twice = true; break;
        case ChaosFaultKind::pause_inside: inside = f.offset; break;
        case ChaosFaultKind::gap: break;
        case ChaosFaultKind::page: out = out + kIntruderPage; break;
        case ChaosFaultKind::stray_acl: out = out + kStrayPacket; break;
        case ChaosFaultKind::low_cid: out = out + kLowCidPacket; break;
        case ChaosFaultKind::echo_request:
        case ChaosFaultKind::info_request: {
          Bytes signal = f.kind == ChaosFaultKind::echo_request ? kEchoPacket : kInfoPacket;
          signal[kSignalIdAt] = signal_id++;
          out = out + signal;
          break;
        }
        case ChaosFaultKind::pause: pauses.push_back(queued + out.size()); break;
        case ChaosFaultKind::lost_row: lost = true; break;
        case ChaosFaultKind::fragments:
          EXPECT_LT(f.value, packet.size() - 5);  // more than one fragment
          packet = fragmented(packet, f.value);
          break;
        default: edit(packet, f); break;
      }
    }
    if (gaps && i > 0) pauses.push_back(queued + out.size());
    if (inside > 0) pauses.push_back(queued + out.size() + inside);
    if (!lost) out = out + packet;
    if (twice) out = out + packets[i];
  }
  return out;
}

std::uint32_t kind_bit(ChaosFaultKind k, int at) {
  switch (k) {
    case ChaosFaultKind::pause: return kChaosPause;
    case ChaosFaultKind::lost_row: return kChaosLostRow;
    case ChaosFaultKind::page: return at == kChaosAtConnect ? kChaosPageConnect : kChaosPagePicture;
    case ChaosFaultKind::fragments: return kChaosFragments;
    case ChaosFaultKind::drop_byte: return kChaosDropByte;
    case ChaosFaultKind::add_byte: return kChaosAddByte;
    case ChaosFaultKind::channel_frame:
    case ChaosFaultKind::foreign_row: return kChaosChannelStray;
    case ChaosFaultKind::twice: return kChaosTwice;
    case ChaosFaultKind::gap: return kChaosGaps;
    case ChaosFaultKind::pause_inside: return kChaosPauseInside;
    case ChaosFaultKind::held: return kChaosReorder;
    case ChaosFaultKind::link_loss: return kChaosLinkLoss;
    case ChaosFaultKind::substitute: return kChaosSubstitute;
    default: return kChaosStray;
  }
}
}  // namespace

TEST(Chaos, EachKindDoesWhatTheLogSaysAndNothingElse) {
  SimChaos off;
  const ChaosRun plain = run_chaos(off);
  const struct {
    const char* name;
    std::uint32_t kinds;
    double rate;
  } cases[] = {
      {"pause", kChaosPause, 1.0},         {"lost", kChaosLostRow, 1.0},
      {"page-picture", kChaosPagePicture, 1.0}, {"page-connect", kChaosPageConnect, 1.0},
      {"stray", kChaosStray, 1.0},         {"fragments", kChaosFragments, 1.0},
      {"drop", kChaosDropByte, 1.0},       {"add", kChaosAddByte, 1.0},
      {"channel-stray", kChaosChannelStray, 1.0}, {"twice", kChaosTwice, 1.0},
      {"gaps", kChaosGaps, 1.0},           {"pause-inside", kChaosPauseInside, 1.0},
      {"substitute", kChaosSubstitute, 1.0},
      // Held and lost links move frames to other answers: tested apart.
      {"all", kChaosAllKinds & ~(kChaosReorder | kChaosLinkLoss), 0.3},
      {"rate 0", kChaosAllKinds, 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ChaosRun run = run_chaos({true, 11, c.rate, c.kinds});
    // One record for the connect, and one for each step, in order.
    ASSERT_EQ(run.records.size(), 1 + std::string(kChaosSteps).size());
    EXPECT_EQ(run.records[0].type, ChaosRecordType::connect);
    EXPECT_EQ(run.answers[0], plain.answers[0]);
    EXPECT_EQ(run.answers[2], plain.answers[2]);  // the channel's answer is no camera answer
    std::uint32_t seen = 0;
    std::vector<std::uint64_t> pauses;
    std::uint64_t queued = plain.answers[0].size();
    std::uint8_t signal_id = 1;
    for (std::size_t i = 0; i < run.records.size(); ++i) {
      const ChaosRecord& r = run.records[i];
      const std::size_t step = i == 0 ? 1 : i + 2;  // the record's host packet
      const Bytes& before = plain.answers[step];
      for (const ChaosFault& f : r.faults) seen |= kind_bit(f.kind, f.at);
      Bytes expected = before;
      if (i == 0) {
        // The page falls between the Command Status and the Connection Complete.
        if (!r.faults.empty()) expected = Bytes(before.begin(), before.begin() + 7) + kIntruderPage + Bytes(before.begin() + 7, before.end());
      } else {
        const char letter = kChaosSteps[i - 1];
        EXPECT_EQ(r.type, letter == 'U' ? ChaosRecordType::picture : ChaosRecordType::key) << i;
        if (r.type == ChaosRecordType::picture) {
          Bytes pixels;
          for (std::size_t at = 8; at < before.size(); at += 201)
            pixels.insert(pixels.end(), before.begin() + static_cast<long>(at + 9), before.begin() + static_cast<long>(at + 201));
          EXPECT_EQ(r.digest, fnv1a64(pixels.data(), pixels.size())) << i;
        } else {
          EXPECT_EQ(r.letter, letter);
          EXPECT_EQ(r.answer, Bytes(before.end() - static_cast<long>(r.answer.size()), before.end())) << i;
        }
        for (const ChaosFault& f : r.faults)
          if (f.kind == ChaosFaultKind::pause || f.kind == ChaosFaultKind::pause_inside) {
            EXPECT_LE(f.value, 5900u);
            EXPECT_GE(f.value, r.type == ChaosRecordType::key ? 3200u : 100u);
          }
        expected = rebuild(before, r, queued, pauses, signal_id);
      }
      EXPECT_EQ(run.answers[step], expected) << run.log[i];
      queued += run.answers[step].size() + (i == 0 ? run.answers[2].size() : 0);
    }
    EXPECT_EQ(run.pauses, pauses);
    if (c.rate == 1.0) {
      EXPECT_EQ(seen, c.kinds);
    }
    if (c.rate == 0.0) {
      EXPECT_EQ(seen, 0u);
    }
  }
}

TEST(Chaos, SameSeedAndHostBytesGiveTheSameFaults) {
  const SimChaos chaos{true, 5, 0.3, kChaosAllKinds};
  const ChaosRun a = run_chaos(chaos);
  const ChaosRun b = run_chaos(chaos);
  EXPECT_EQ(a.answers, b.answers);
  EXPECT_EQ(a.pauses, b.pauses);
  EXPECT_EQ(a.pause_lengths, b.pause_lengths);
  EXPECT_EQ(a.log, b.log);
  EXPECT_NE(run_chaos({true, 6, 0.3, kChaosAllKinds}).log, a.log);
  // A kind's faults stay where they are whichever other kinds are on.
  const ChaosRun lost_only = run_chaos({true, 5, 0.3, kChaosLostRow});
  for (std::size_t i = 0; i < a.records.size(); ++i) {
    std::vector<int> all_rows;
    std::vector<int> only_rows;
    for (const ChaosFault& f : a.records[i].faults)
      if (f.kind == ChaosFaultKind::lost_row) all_rows.push_back(f.at);
    for (const ChaosFault& f : lost_only.records[i].faults) only_rows.push_back(f.at);
    EXPECT_EQ(all_rows, only_rows) << i;
  }
}

// A held picture lets a key's answer pass it, and a held answer lets a
// picture pass it; a lost link leaves the rest for the next channel.
TEST(Chaos, HeldFramesAndALostLinkGoWhereTheLogSays) {
  auto row_packet = [](std::uint16_t handle, const CameraFrame& view, int row) {
    return Bytes{0x02, static_cast<std::uint8_t>(handle), 0x20, 0xC4, 0x00, 0xC0, 0x00, 0x46, 0x00} +
           Bytes(view.begin() + 192 * row, view.begin() + 192 * (row + 1));
  };
  auto key = [](char letter, std::uint16_t handle) {
    return Bytes{0x02, static_cast<std::uint8_t>(handle), 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00,
                 static_cast<std::uint8_t>(letter)};
  };
  const Bytes create{0x01, 0x05, 0x04, 0x0D, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA, 0x10, 0x00, 0x00, 0x00, 0x20, 0x80, 0x00};
  const Bytes open{0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x46, 0x00};
  for (const std::uint32_t kind : {kChaosReorder, kChaosLinkLoss}) {
    SCOPED_TRACE(kind);
    SimOptions o;
    o.faults.chaos = {true, 11, 1.0, kind};
    ControllerModel m(o);
    SimClock::time_point now{};
    auto send = [&](Bytes packet) {
      for (std::uint8_t b : packet) m.host_byte(b, now);
      Bytes out(m.output().begin(), m.output().end());
      m.output().clear();
      return out;
    };
    send({0x01, 0x1A, 0x0C, 0x01, 0x03});
    send(create);
    send(open);
    const CameraFrame view = render_camera_view(m.camera(0).scene);
    const Bytes picture = send(key('U', 0x2A));
    ASSERT_EQ(m.chaos_records().back().faults.size(), 1u);
    const ChaosFault f = m.chaos_records().back().faults[0];
    ASSERT_GE(f.at, 1);
    Bytes sent = Bytes(picture.begin(), picture.begin() + 8);  // the completed-packets event
    for (int r = 0; r < f.at; ++r) sent = sent + row_packet(0x2A, view, r);
    Bytes rest;
    for (int r = f.at; r < 72; ++r) rest = rest + row_packet(kind == kChaosReorder ? 0x2A : 0x2B, view, r);
    if (kind == kChaosReorder) {
      EXPECT_EQ(f.kind, ChaosFaultKind::held);
      EXPECT_EQ(picture, sent);
      // L is answered at once, past the held rows; they follow when their time comes.
      const Bytes answer = send(key('L', 0x2A));
      EXPECT_EQ(Bytes(answer.begin() + 8, answer.end()), (Bytes{0x02, 0x2A, 0x20, 0x08, 0x00, 0x04, 0x00, 0x46, 0x00}) +
                                                             Bytes(m.chaos_records().back().answer));
      now += std::chrono::milliseconds(f.value);
      m.advance(now);
      EXPECT_EQ(Bytes(m.output().begin(), m.output().end()), rest);
    } else {
      EXPECT_EQ(f.kind, ChaosFaultKind::link_loss);
      EXPECT_EQ(picture, sent + Bytes({0x04, 0x05, 0x04, 0x00, 0x2A, 0x00, 0x08}));
      send(create);  // a new link, handle 0x002B
      Bytes reopen = open;
      reopen[1] = 0x2B;
      const Bytes channel = send(reopen);
      // The Connection Response (NOCP, then 21 bytes), then the rest of the picture.
      EXPECT_EQ(Bytes(channel.begin() + 8 + 21, channel.end()), rest);
    }
  }
}

TEST(Chaos, LogLines) {
  // FNV-1a 64 reference values.
  EXPECT_EQ(fnv1a64(nullptr, 0), 0xCBF29CE484222325ULL);
  EXPECT_EQ(fnv1a64(reinterpret_cast<const std::uint8_t*>("a"), 1), 0xAF63DC4C8601EC8CULL);
  EXPECT_EQ(fnv1a64(reinterpret_cast<const std::uint8_t*>("foobar"), 6), 0x85944171F73967E8ULL);
  ChaosRecord picture;
  picture.number = 3;
  picture.scene = {248, 16, 2};
  picture.digest = 0x0123456789ABCDEFULL;
  picture.faults = {{ChaosFaultKind::lost_row, 5, 0, 0},       {ChaosFaultKind::pause, 40, 2300, 0},
                    {ChaosFaultKind::drop_byte, 12, 0, 150},   {ChaosFaultKind::add_byte, kChaosAtEvent, 0x5A, 7},
                    {ChaosFaultKind::fragments, 7, 13, 0},     {ChaosFaultKind::echo_request, 0, 0, 0}};
  EXPECT_EQ(format_chaos_record(picture),
            "picture 3 scene=248,16,2 fnv1a=0123456789abcdef faults=lost@row5,pause@row40:2300ms,drop@row12+150,"
            "add@event+7:5a,fragments@row7:13,echo@row0");
  ChaosRecord key;
  key.type = ChaosRecordType::key;
  key.number = 7;
  key.letter = 'L';
  key.answer = {'L', 0xF8, 0x00, 0x01};
  EXPECT_EQ(format_chaos_record(key), "key 7 letter=L answer=4cf80001 faults=none");
  key.faults = {{ChaosFaultKind::pause, kChaosAtAnswer, 4100, 0}, {ChaosFaultKind::info_request, kChaosAtAnswer, 0, 0}};
  EXPECT_EQ(format_chaos_record(key), "key 7 letter=L answer=4cf80001 faults=pause@answer:4100ms,info@answer");
  ChaosRecord connect;
  connect.type = ChaosRecordType::connect;
  connect.number = 2;
  connect.faults = {{ChaosFaultKind::page, kChaosAtConnect, 0, 0}};
  EXPECT_EQ(format_chaos_record(connect), "connect 2 faults=page@connect");
}
