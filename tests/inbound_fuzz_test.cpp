// Random and mangled module streams through the inbound reader: every call
// ends, state stays within its values, the picture buffer is never overrun,
// and whatever the host answers is a well-formed packet.
#include <random>

#include "camera_commands.h"
#include "hci_inbound.h"
#include "wire.h"

namespace {
// Checks that the host's output is a sequence of whole H4 command/ACL packets.
::testing::AssertionResult well_formed_output(const Bytes& out) {
  std::size_t i = 0;
  while (i < out.size()) {
    std::size_t length = 0;
    if (out[i] == 0x01 && i + 4 <= out.size()) {
      length = 4 + out[i + 3];
    } else if (out[i] == 0x02 && i + 5 <= out.size()) {
      length = 5 + (out[i + 3] | out[i + 4] << 8);
    } else {
      return ::testing::AssertionFailure() << "bad packet start at " << i;
    }
    if (i + length > out.size()) return ::testing::AssertionFailure() << "cut packet at " << i;
    i += length;
  }
  return ::testing::AssertionSuccess();
}

// Valid packets a module and a camera send, to be cut, spliced and mixed with noise.
std::vector<Bytes> known_packets() {
  return {
      {0x04, 0x0F, 0x04, 0x00, 0x01, 0x06, 0x04},
      {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00},
      {0x04, 0x13, 0x05, 0x01, 0x2A, 0x00, 0x01, 0x00},
      {0x04, 0x03, 0x0B, 0x00, 0x2A, 0x00, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00, 0x01, 0x00},
      {0x04, 0x04, 0x0A, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x0C, 0x02, 0x5A, 0x01},
      {0x04, 0x05, 0x04, 0x00, 0x2A, 0x00, 0x13},
      {0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x02, 0x07, 0x04, 0x00, 0x01, 0x00, 0x40, 0x00},
      {0x02, 0x2A, 0x20, 0x10, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x03, 0x00, 0x08, 0x00, 0x40, 0x00, 0x46, 0x00, 0, 0, 0, 0},
      {0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x06, 0x03, 0x04, 0x00, 0x46, 0x00, 0x46, 0x00},
      {0x02, 0x2A, 0x20, 0xFF, 0xFF, 0xFB, 0xFF, 0x46, 0x00, 1, 2, 3},  // claims 65,531 bytes
      {0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, 0x4C},
      {0x03, 0x2A, 0x00, 0x02, 0x01, 0x02},
  };
}

TEST(InboundFuzz, MangledStreamsNeverBreakTheReader) {
  std::mt19937 random(20261208);
  const auto packets = known_packets();
  for (int round = 0; round < 400; ++round) {
    ScriptedSerial link;
    HostState s;
    host_attach(s, link);
    s.port_handle.held = true;
    s.remote_address = {0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
    s.handle_low = 0x2A;
    s.link_connected = random() % 2;
    s.channel_state = random() % 2 ? kChannelOpen : kChannelClosed;
    s.frame_length = static_cast<std::int16_t>(random() % (kFrameBufferSize + 1));

    Bytes stream;
    int pieces = 1 + static_cast<int>(random() % 12);
    for (int p = 0; p < pieces; ++p) {
      Bytes piece = packets[random() % packets.size()];
      switch (random() % 4) {
        case 0: piece.resize(random() % (piece.size() + 1)); break;     // cut short
        case 1: piece[random() % piece.size()] = static_cast<std::uint8_t>(random()); break;  // one byte flipped
        case 2: piece.insert(piece.begin(), static_cast<std::uint8_t>(random())); break;  // noise in front
        default: break;
      }
      stream = stream + piece;
    }
    link.feed(stream);

    // Each call consumes at least one byte, so the reader always gets through.
    while (!link.inbound.empty()) {
      std::size_t before = link.inbound.size();
      process_inbound_packet(s);
      ASSERT_LT(link.inbound.size(), before) << "round " << round;
    }
    EXPECT_GE(s.frame_length, 0);
    EXPECT_LE(static_cast<std::size_t>(s.frame_length), kFrameBufferSize);
    EXPECT_TRUE(s.channel_state == kChannelOpen || s.channel_state == kChannelClosed);
    EXPECT_LE(s.link_connected, 1);
    EXPECT_LE(s.pb_flag, 3);
    EXPECT_TRUE(well_formed_output(link.written)) << "round " << round;
  }
}

TEST(InboundFuzz, RecordedSessionReadsTheSameInAnyChunking) {
  // The scripted link hands out one byte per read whatever the chunking of
  // the feed; a capture fed in random slices must give the same picture.
  std::mt19937 random(7);
  Bytes stream;
  Bytes rows;
  for (int y = 0; y < 72; ++y) {
    Bytes row(192);
    for (std::size_t i = 0; i < row.size(); ++i) row[i] = static_cast<std::uint8_t>(y + i * 7);
    stream = stream + Bytes{0x02, 0x2A, 0x20, 0xC4, 0x00, 0xC0, 0x00, 0x46, 0x00} + row;
    rows = rows + row;
    if (y % 7 == 0) stream = stream + Bytes{0x04, 0x13, 0x05, 0x01, 0x2A, 0x00, 0x01, 0x00};
  }
  for (int trial = 0; trial < 5; ++trial) {
    ScriptedSerial link;
    HostState s;
    host_attach(s, link);
    s.port_handle.held = true;
    s.handle_low = 0x2A;
    s.link_connected = 1;
    s.channel_state = kChannelOpen;
    for (std::size_t at = 0; at < stream.size();) {
      std::size_t n = 1 + random() % 300;
      n = std::min(n, stream.size() - at);
      link.answer(Bytes(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + n)));
      at += n;
    }
    CameraView view;
    ASSERT_EQ(capture_frame(s, view), kStatusOk);
    EXPECT_EQ(Bytes(s.frame_buffer.begin(), s.frame_buffer.end()), rows) << "trial " << trial;
  }
}
}  // namespace
