// UYVY to bottom-up BGR with the camera's own coefficients.
#include "frame_convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace {
using Frame = std::array<std::uint8_t, 96 * 72 * 2>;

struct Bgr {
  int b, g, r;
  bool operator==(const Bgr&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Bgr& p) { return out << p.r << "," << p.g << "," << p.b; }

Bgr pixel_at(const Picture& picture, int x, int target_row) {
  std::size_t t = static_cast<std::size_t>(target_row) * kPictureRowBytes + static_cast<std::size_t>(x) * 3;
  return {picture.pixels[t], picture.pixels[t + 1], picture.pixels[t + 2]};
}

// One pixel pair (U Y0 V Y1) repeated over the whole frame.
Frame uniform_frame(std::uint8_t u, std::uint8_t y, std::uint8_t v) {
  Frame frame{};
  for (std::size_t i = 0; i < frame.size(); i += 4) {
    frame[i] = u;
    frame[i + 1] = y;
    frame[i + 2] = v;
    frame[i + 3] = y;
  }
  return frame;
}

struct ColourCase {
  const char* name;
  std::uint8_t u, y, v;
  Bgr expected;
};

class Colours : public ::testing::TestWithParam<ColourCase> {};

TEST_P(Colours, EveryPixelOfAUniformFrame) {
  const auto& c = GetParam();
  Frame frame = uniform_frame(c.u, c.y, c.v);
  Picture picture;
  convert_frame(frame.data(), picture.pixels.data(), 96, 72);
  for (int row = 0; row < 72; ++row)
    for (int x = 0; x < 96; ++x) ASSERT_EQ(pixel_at(picture, x, row), c.expected) << x << "," << row;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Colours,
    ::testing::Values(ColourCase{"all_zero_is_dark_green", 0, 0, 0, {0, 139, 0}},
                      ColourCase{"grey_green_scaled_by_1_02", 128, 128, 128, {128, 130, 128}},
                      ColourCase{"white_green_clamped", 128, 255, 128, {255, 255, 255}},
                      ColourCase{"all_255", 255, 255, 255, {255, 122, 255}},
                      // 45 x 1.4 is just below 63 in binary64: truncation gives 62.
                      ColourCase{"red_binary64_below_63", 128, 0, 173, {0, 0, 62}},
                      // Exact decimals would give 63 here; binary64 gives 62.
                      ColourCase{"green_binary64_below_63", 198, 1, 14, {124, 62, 0}},
                      // Where x87's 80-bit registers truncate to the byte on the
                      // other side: 5 x 1.4 rounds to 7 in binary64, -100 x 1.77
                      // to -177, and the green sum lands above 29.
                      ColourCase{"red_binary64_reaches_7", 0, 0, 133, {0, 39, 7}},
                      ColourCase{"blue_binary64_reaches_1", 28, 178, 0, {1, 255, 0}},
                      ColourCase{"green_binary64_stays_29", 63, 83, 230, {0, 29, 225}}),
    [](const auto& info) { return std::string(info.param.name); });

// Every (Y, U, V) triple, its B, G, R folded into FNV-1a 64 in the order U,
// V, Y. The value is the Linux x86-64 build's (SSE2, binary64); Python's
// floats are binary64 too and give the same:
//   h = 0xcbf29ce484222325
//   for u in range(256):
//    for v in range(256):
//     for y in range(256):
//      for c in ((u-128)*1.77+y, (y*1.02-(v-128)*0.75)-(u-128)*0.336, (v-128)*1.4+y):
//       h = ((h ^ min(max(int(c), 0), 255)) * 0x100000001b3) % 2**64
TEST(FrameConvert, EveryTripleConvertsAsInBinary64) {
  constexpr int kSide = 256;  // one frame per U: row v holds V = v, Y = 0..255 across
  std::vector<std::uint8_t> frame(kSide * kSide * 2);
  std::vector<std::uint8_t> picture(kSide * kSide * 3);
  std::uint64_t digest = 0xcbf29ce484222325u;
  for (int u = 0; u < kSide; ++u) {
    for (std::size_t i = 0; i < frame.size(); i += 4) {
      frame[i] = static_cast<std::uint8_t>(u);
      frame[i + 1] = static_cast<std::uint8_t>(i / 2 % kSide);
      frame[i + 2] = static_cast<std::uint8_t>(i / 2 / kSide);
      frame[i + 3] = static_cast<std::uint8_t>(i / 2 % kSide + 1);
    }
    convert_frame(frame.data(), picture.data(), kSide, kSide);
    for (int v = 0; v < kSide; ++v) {
      const std::uint8_t* row = picture.data() + static_cast<std::size_t>(kSide - 1 - v) * kSide * 3;
      for (int byte = 0; byte < kSide * 3; ++byte) digest = (digest ^ row[byte]) * 0x100000001b3u;
    }
  }
  EXPECT_EQ(digest, 0x8e4dc146e0baf1b1u);
}

TEST(FrameConvert, RowsAreStoredBottomUp) {
  Frame frame{};
  for (int x = 0; x < 96; ++x) {
    frame[static_cast<std::size_t>(2 * x + 1)] = 200;                 // row 0 bright
    frame[static_cast<std::size_t>(71 * 192 + 2 * x + 1)] = 100;      // row 71 mid
  }
  Picture picture;
  convert_frame(frame.data(), picture.pixels.data(), 96, 72);
  // Row 0 lands in bytes 20,448..20,735, row 71 in bytes 0..287.
  EXPECT_EQ(pixel_at(picture, 0, 71), pixel_at(picture, 95, 71));
  EXPECT_EQ(picture.pixels[20448 + 1], 255);  // green: 204 + 96 + 43.008 clamps
  EXPECT_EQ(picture.pixels[1], 241);          // green: 102 + 96 + 43.008
  EXPECT_NE(pixel_at(picture, 0, 71), pixel_at(picture, 0, 70));
  EXPECT_NE(pixel_at(picture, 0, 0), pixel_at(picture, 0, 1));
}

TEST(FrameConvert, OddPixelTakesUFromTheNextPairAcrossRows) {
  Frame frame{};
  for (auto& b : frame) b = 128;
  frame[192] = 228;  // U of row 1's first pair, u = +100
  Picture picture;
  convert_frame(frame.data(), picture.pixels.data(), 96, 72);
  // Pixel 95 of row 0 uses it: blue = 100 x 1.77 + 128.
  EXPECT_EQ(pixel_at(picture, 95, 71).b, 255);
  EXPECT_EQ(pixel_at(picture, 94, 71).b, 128);
  EXPECT_EQ(pixel_at(picture, 0, 70).b, 255);
}

TEST(FrameConvert, LastPixelTakesTheUOfItsOwnPair) {
  // A frame followed by guard bytes that must never be read.
  std::vector<std::uint8_t> buffer(96 * 72 * 2 + 4, 128);
  buffer[96 * 72 * 2 - 4] = 28;  // U of the last pair, u = -100
  for (std::size_t i = 96 * 72 * 2; i < buffer.size(); ++i) buffer[i] = 255;
  Picture picture;
  convert_frame(buffer.data(), picture.pixels.data(), 96, 72);
  // blue = -100 x 1.77 + 128 = -49 -> 0, for both pixels of the last pair.
  EXPECT_EQ(pixel_at(picture, 94, 0).b, 0);
  EXPECT_EQ(pixel_at(picture, 95, 0).b, 0);
}
}  // namespace

namespace {
// A picture drawn as its rows arrive, in groups as the line brings them,
// over the picture of an all-128 frame (every pixel 128, 130, 128). The new
// frame is all 128 but for the first U of every row, 178 (u = +50), and the
// U of the last pair, 78 (u = -50). Worked by hand:
//   U 178: blue 50 x 1.77 + 128 = 216.5, green 130.56 - 16.8 = 113.76, red 128
//   U 78:  blue 128 - 88.5 = 39.5,       green 130.56 + 16.8 = 147.36, red 128
const Bgr kOld = {128, 130, 128};
const Bgr kNextRowsU = {216, 113, 128};
const Bgr kLastPairsU = {39, 147, 128};

struct ArrivalCase {
  const char* name;
  std::vector<int> groups;  // rows that come at once, in order; 72 in all
};

class Arrival : public ::testing::TestWithParam<ArrivalCase> {};

TEST_P(Arrival, EndsAsTheWholeFramePicture) {
  Frame frame;
  frame.fill(128);
  Picture picture;
  convert_frame(frame.data(), picture.pixels.data(), 96, 72);
  Frame arriving = frame;
  for (int y = 0; y < 72; ++y) arriving[static_cast<std::size_t>(192 * y)] = 178;
  arriving[96 * 72 * 2 - 4] = 78;

  int shown = 0;
  for (int group : GetParam().groups) {
    const int arrived = shown + group;
    std::copy(arriving.begin() + 192 * shown, arriving.begin() + 192 * arrived, frame.begin() + 192 * shown);
    const RowSpan span = convert_arrived_rows(frame.data(), picture.pixels.data(), 96, 72, shown, arrived);
    EXPECT_EQ(span.first, shown > 0 ? shown - 1 : 0);
    EXPECT_EQ(span.first + span.count, arrived);
    // Rows are numbered from the top; the picture stores them bottom up.
    const int last = 71 - (arrived - 1);
    EXPECT_EQ(pixel_at(picture, 0, last), kNextRowsU) << "after " << arrived << " rows";
    if (arrived < 72) {
      // The last pixel of the newest row waits for the U of the next row.
      EXPECT_EQ(pixel_at(picture, 95, last), kOld) << "after " << arrived << " rows";
      EXPECT_EQ(pixel_at(picture, 0, last - 1), kOld) << "the next row is still the old one";
    }
    if (arrived > 1) {
      EXPECT_EQ(pixel_at(picture, 95, last + 1), kNextRowsU) << "after " << arrived << " rows";
    }
    shown = arrived;
  }
  ASSERT_EQ(shown, 72);
  EXPECT_EQ(pixel_at(picture, 94, 0), kLastPairsU);
  EXPECT_EQ(pixel_at(picture, 95, 0), kLastPairsU);
  Picture whole;
  convert_frame(arriving.data(), whole.pixels.data(), 96, 72);
  EXPECT_EQ(picture.pixels, whole.pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Arrival,
    ::testing::Values(ArrivalCase{"row_by_row", std::vector<int>(72, 1)},
                      ArrivalCase{"three_at_a_time", std::vector<int>(24, 3)},
                      ArrivalCase{"uneven", {1, 5, 30, 35, 1}},
                      ArrivalCase{"all_at_once", {72}}),
    [](const auto& info) { return std::string(info.param.name); });
}  // namespace
