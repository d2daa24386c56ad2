// The picture as a .bmp file: exact header bytes, the pixels as they are, and
// what ImageMagick makes of the result.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bmp_file.h"
#include "frame_convert.h"
#include "run_command.h"

namespace {
using Bytes = std::vector<std::uint8_t>;

// The start-up picture: an all-zero frame converts to dark green everywhere.
Picture dark_green_picture() {
  Picture picture;
  std::array<std::uint8_t, 96 * 72 * 2> frame{};
  convert_frame(frame.data(), picture.pixels.data(), kPictureWidth, kPictureHeight);
  return picture;
}

// Sets the pixel at column x of picture row y (row 0 at the top); the
// buffer holds rows bottom-up, blue first.
void set_pixel(Picture& picture, int x, int y, std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  std::size_t at = kPictureRowBytes * static_cast<std::size_t>(kPictureHeight - 1 - y) + 3 * static_cast<std::size_t>(x);
  picture.pixels[at] = blue;
  picture.pixels[at + 1] = green;
  picture.pixels[at + 2] = red;
}

std::string temp_path(const char* stem) {
  std::random_device random;
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return ::testing::TempDir() + stem + "_" + test->name() + "_" + std::to_string(random()) + ".bmp";
}

Bytes file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(BmpBytes, HeadersOfThePicture) {
  Bytes bytes = bmp_bytes(dark_green_picture());
  ASSERT_EQ(bytes.size(), 20790u);
  const Bytes expected{
      // file header: "BM", size 20,790, two reserved words, pixels at 54
      'B', 'M', 0x36, 0x51, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x36, 0x00, 0x00, 0x00,
      // info header: size 40, 96 x 72, 1 plane, 24 bits, BI_RGB, the rest 0
      0x28, 0x00, 0x00, 0x00, 0x60, 0x00, 0x00, 0x00, 0x48, 0x00, 0x00, 0x00, 0x01, 0x00, 0x18, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 54), expected);
}

TEST(BmpBytes, PixelsFollowTheHeadersUnchanged) {
  Picture picture;
  for (std::size_t i = 0; i < picture.pixels.size(); ++i) picture.pixels[i] = static_cast<std::uint8_t>(i * 31 + i / 256);
  Bytes bytes = bmp_bytes(picture);
  ASSERT_EQ(bytes.size(), kBmpFileSize);
  EXPECT_EQ(Bytes(bytes.begin() + 54, bytes.end()), Bytes(picture.pixels.begin(), picture.pixels.end()));
}

// Each info-header field lands at its own offset, low byte first.
struct FieldCase {
  const char* name;
  void (*set)(BitmapInfoHeader&);
  std::size_t offset;  // in the file
  Bytes bytes;
};

TEST(BmpBytes, InfoHeaderFieldsAreWrittenLittleEndianAtTheirOffsets) {
  const FieldCase cases[] = {
      {"biSize", [](BitmapInfoHeader& h) { h.biSize = 0x01020304; }, 14, {0x04, 0x03, 0x02, 0x01}},
      {"biWidth", [](BitmapInfoHeader& h) { h.biWidth = 0x0A0B0C0D; }, 18, {0x0D, 0x0C, 0x0B, 0x0A}},
      {"biHeight", [](BitmapInfoHeader& h) { h.biHeight = -72; }, 22, {0xB8, 0xFF, 0xFF, 0xFF}},
      {"biPlanes", [](BitmapInfoHeader& h) { h.biPlanes = 0x1122; }, 26, {0x22, 0x11}},
      {"biBitCount", [](BitmapInfoHeader& h) { h.biBitCount = 0x3344; }, 28, {0x44, 0x33}},
      {"biCompression", [](BitmapInfoHeader& h) { h.biCompression = 0x55667788; }, 30, {0x88, 0x77, 0x66, 0x55}},
      {"biSizeImage", [](BitmapInfoHeader& h) { h.biSizeImage = 20736; }, 34, {0x00, 0x51, 0x00, 0x00}},
      {"biXPelsPerMeter", [](BitmapInfoHeader& h) { h.biXPelsPerMeter = 2835; }, 38, {0x13, 0x0B, 0x00, 0x00}},
      {"biYPelsPerMeter", [](BitmapInfoHeader& h) { h.biYPelsPerMeter = 0x12345678; }, 42, {0x78, 0x56, 0x34, 0x12}},
      {"biClrUsed", [](BitmapInfoHeader& h) { h.biClrUsed = 0x9ABCDEF0; }, 46, {0xF0, 0xDE, 0xBC, 0x9A}},
      {"biClrImportant", [](BitmapInfoHeader& h) { h.biClrImportant = 0x0F0E0D0C; }, 50, {0x0C, 0x0D, 0x0E, 0x0F}},
  };
  const Bytes plain = bmp_bytes(Picture{});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Picture picture;
    c.set(picture.info);
    Bytes bytes = bmp_bytes(picture);
    ASSERT_EQ(bytes.size(), plain.size());
    Bytes field(bytes.begin() + static_cast<std::ptrdiff_t>(c.offset),
                bytes.begin() + static_cast<std::ptrdiff_t>(c.offset + c.bytes.size()));
    EXPECT_EQ(field, c.bytes);
    // Nothing else moved.
    for (std::size_t i = 0; i < 54; ++i) {
      bool in_field = i >= c.offset && i < c.offset + c.bytes.size();
      if (!in_field) {
        EXPECT_EQ(bytes[i], plain[i]) << "byte " << i;
      }
    }
  }
}

TEST(WriteBmp, FileHoldsExactlyTheBytes) {
  Picture picture = dark_green_picture();
  set_pixel(picture, 5, 6, 1, 2, 3);
  std::string path = temp_path("exact");
  ASSERT_TRUE(write_bmp(path, picture));
  EXPECT_EQ(file_bytes(path), bmp_bytes(picture));
  std::remove(path.c_str());
}

TEST(WriteBmp, UnwritablePathFails) {
  EXPECT_FALSE(write_bmp(::testing::TempDir() + "no_such_directory/x/picture.bmp", Picture{}));
}

// ----------------------------------------------------------- image readers

TEST(WriteBmp, ImageMagickSeesThePictureRightWayUp) {
  REQUIRE_TOOL("identify");
  Picture picture = dark_green_picture();
  set_pixel(picture, 0, 0, 0xFF, 0x00, 0x00);    // top left: red
  set_pixel(picture, 95, 71, 0x10, 0x20, 0x30);  // bottom right
  std::string path = temp_path("identify");
  ASSERT_TRUE(write_bmp(path, picture));
  CommandRun identify = run_command(
      "identify -format '%m %w %h %[pixel:p{0,0}] %[pixel:p{95,71}] %[pixel:p{50,30}]' '" + path + "' 2>&1");
  ASSERT_EQ(identify.exit_status, 0) << identify.output;
  const std::string& output = identify.output;
  EXPECT_EQ(output, "BMP3 96 72 srgb(255,0,0) srgb(16,32,48) srgb(0,139,0)");
  std::remove(path.c_str());
}
}  // namespace
