// Key commands and the 72-packet capture.
#include "camera_commands.h"

#include <thread>

#include "wait_bounds.h"
#include "wire.h"

namespace {
Bytes data_packet(const Bytes& payload) {
  auto n = static_cast<std::uint16_t>(payload.size());
  return Bytes{0x02, 0x2A, 0x20, static_cast<std::uint8_t>((n + 4) & 0xFF), static_cast<std::uint8_t>((n + 4) >> 8),
               static_cast<std::uint8_t>(n & 0xFF), static_cast<std::uint8_t>(n >> 8), 0x46, 0x00} +
         payload;
}
Bytes row(int y, std::uint8_t salt = 0) {
  Bytes bytes(192);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(y * 3 + i + salt);
  return bytes;
}
Bytes command_bytes(char letter) { return {0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, static_cast<std::uint8_t>(letter)}; }

struct Camera : WireTest {
  Picture picture;
  int repaints = 0;
  int progress_calls = 0;
  CameraView view;
  Camera() {
    link_up();
    s.channel_id = 0x0046;
    s.channel_state = kChannelOpen;
    view.picture = &picture;
    view.context = this;
    view.repaint = [](void* c) { ++static_cast<Camera*>(c)->repaints; };
    view.packet_done = [](void* c, int, int) { ++static_cast<Camera*>(c)->progress_calls; };
  }
  Picture expected_picture() {
    Picture p;
    convert_frame(s.frame_buffer.data(), p.pixels.data(), 96, 72);
    return p;
  }
};

struct KeyCase {
  std::uint32_t virtual_key;
  char letter;  // 0: not in the table
};

class KeyTable : public Camera, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyTable, SimpleKeysSendTheirLetterAndReadOneAnswer) {
  const auto& c = GetParam();
  link.answer(completed_packets() + data_packet({'o', 'k'}) + data_packet({'x'}));
  EXPECT_EQ(camera_key_down(s, view, c.virtual_key), kStatusOk);
  if (c.letter == 0) {
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(link.reads, 0u);
    return;
  }
  EXPECT_EQ(written(), command_bytes(c.letter));
  EXPECT_EQ(s.frame_length, 2);  // one answer, after the flow-control event
  EXPECT_EQ(s.ledger.stray_frames, 1u);  // the frame after it answers nothing
  EXPECT_EQ(repaints, 0);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyTable,
                         ::testing::Values(KeyCase{0x25, 'L'}, KeyCase{0x27, 'R'}, KeyCase{0x28, 'D'},
                                           KeyCase{0x48, 'H'}, KeyCase{0x4B, 'K'}, KeyCase{0x4D, 'M'},
                                           KeyCase{0x20, 0}, KeyCase{0x70, 0}, KeyCase{0x4C, 0}));

TEST_F(Camera, AnswersAreAppendedAfterWhatIsAlreadyThere) {
  s.frame_length = 10;
  link.answer(data_packet({1, 2, 3}));
  EXPECT_EQ(camera_simple_command(s, 'R'), kStatusOk);
  EXPECT_EQ(s.frame_length, 13);
}

TEST_F(Camera, KeysAreRefusedWithoutAnOpenChannel) {
  s.channel_state = kChannelClosed;
  EXPECT_EQ(camera_key_down(s, view, kVkLeft), kStatusFail);
  EXPECT_EQ(camera_key_down(s, view, kVkUp), kStatusFail);
  EXPECT_TRUE(written().empty());
  EXPECT_EQ(link.reads, 0u);
}

TEST_F(Camera, KeysAreRefusedWhileAnOperationOwnsTheLink) {
  LinkOwner operation(s);
  Status result = kStatusOk;
  std::thread window([&] { result = camera_key_down(s, view, kVkRight); });
  window.join();
  EXPECT_EQ(result, kStatusFail);
  EXPECT_TRUE(written().empty());
}

TEST_F(Camera, CaptureCollectsSeventyTwoRowsAndRepaints) {
  s.frame_length = 500;
  Bytes input;
  for (int y = 0; y < 72; ++y) input = input + (y % 9 == 0 ? completed_packets() : Bytes{}) + data_packet(row(y));
  link.answer(input + data_packet({0xAB}));
  EXPECT_EQ(camera_key_down(s, view, kVkUp), kStatusOk);
  EXPECT_EQ(written(), command_bytes('U'));
  EXPECT_EQ(s.frame_length, 13824);
  EXPECT_EQ(Bytes(s.frame_buffer.begin() + 192 * 71, s.frame_buffer.begin() + 192 * 72), row(71));
  EXPECT_EQ(s.ledger.stray_frames, 1u);  // the packet after the picture is not part of it
  EXPECT_EQ(repaints, 1);
  EXPECT_EQ(progress_calls, 72);
  EXPECT_EQ(picture.pixels, expected_picture().pixels);
}

TEST_F(Camera, PicturesInARowStayInStepWithFlowControlAnywhere) {
  for (int shot = 0; shot < 3; ++shot) {
    Bytes input = completed_packets();
    for (int y = 0; y < 72; ++y) {
      input = input + data_packet(row(y, static_cast<std::uint8_t>(shot)));
      if ((y + shot) % 5 == 0) input = input + completed_packets();
    }
    link.answer(input);
    ASSERT_EQ(capture_frame(s, view), kStatusOk) << shot;
    for (int y : {0, 35, 71})
      EXPECT_EQ(Bytes(s.frame_buffer.begin() + 192 * y, s.frame_buffer.begin() + 192 * (y + 1)),
                row(y, static_cast<std::uint8_t>(shot)))
          << "shot " << shot << " row " << y;
  }
  EXPECT_EQ(unread(), 0u);
}

TEST_F(Camera, ShortPictureKeepsThePreviousRowsBelow) {
  s.frame_buffer.fill(0x77);
  Bytes input;
  for (int y = 0; y < 70; ++y) input = input + data_packet(row(y));
  input = input + Bytes{0x04, 0x30, 0x00} + Bytes{0x04, 0x31, 0x00};  // two packets that carry no rows
  link.answer(input);
  EXPECT_EQ(capture_frame(s, view), kStatusFail);
  EXPECT_EQ(s.frame_length, 70 * 192);
  EXPECT_EQ(s.frame_buffer[70 * 192], 0x77);
  EXPECT_EQ(repaints, 1);
  EXPECT_EQ(picture.pixels, expected_picture().pixels);
}

TEST_F(Camera, SilentCameraEndsTheCaptureAtTheFirstExpiredWait) {
  Bytes input;
  for (int y = 0; y < 10; ++y) input = input + data_packet(row(y));
  link.answer(input);
  const auto began = link.now();
  EXPECT_EQ(capture_frame(s, view), kStatusFail);
  // One packet bound after the last row: not 62 more waits.
  EXPECT_LT(link.now() - began, wait_bounds::kInboundPacket + std::chrono::milliseconds(10));
  EXPECT_EQ(s.frame_length, 10 * 192);
  EXPECT_EQ(repaints, 1);  // whatever arrived is still shown
}

TEST_F(Camera, LinkLostMidPictureEndsTheCaptureWithoutWaitingOutTheBound) {
  Bytes input;
  for (int y = 0; y < 10; ++y) input = input + data_packet(row(y));
  link.answer(input + Bytes{0x04, 0x05, 0x04, 0x00, 0x2A, 0x00, 0x08});  // Disconnection Complete
  EXPECT_EQ(capture_frame(s, view), kStatusFail);
  EXPECT_EQ(s.link_connected, 0);
  EXPECT_EQ(s.frame_length, 10 * 192);
  for (auto budget : link.dry_wait_budgets) EXPECT_LE(budget.count(), 40);  // only the short looks
}

TEST_F(Camera, UKeySendsUAndReadsItsWholePictureOffWithoutDrawingIt) {
  Bytes input;
  for (int y = 0; y < 72; ++y) input = input + data_packet(row(y));
  link.answer(input);
  Picture before = picture;
  EXPECT_EQ(camera_key_down(s, view, kVkU), kStatusOk);
  EXPECT_EQ(written(), command_bytes('U'));
  EXPECT_EQ(unread(), 0u);  // nothing left to shift the next exchange
  EXPECT_EQ(s.ledger.count, 0u);
  EXPECT_EQ(repaints, 0);
  EXPECT_EQ(picture.pixels, before.pixels);
}
}  // namespace
