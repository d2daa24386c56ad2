// The picture as PNG and as animated GIF frames: checksums and LZW against
// published and hand-worked values, and the files as independent readers
// (Python's zlib, ImageMagick) decode them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "gif_file.h"
#include "png_file.h"
#include "run_command.h"

namespace {
using Bytes = std::vector<std::uint8_t>;

Bytes text_bytes(const char* text) { return Bytes(text, text + std::strlen(text)); }

// A picture of pseudo-random bytes, and the same as RGB rows top first.
Picture noise_picture(unsigned seed) {
  Picture picture;
  std::mt19937 random(seed);
  for (auto& byte : picture.pixels) byte = static_cast<std::uint8_t>(random());
  return picture;
}
std::string rgb_top_down(const Picture& picture) {
  std::string rgb;
  for (int y = kPictureHeight - 1; y >= 0; --y)
    for (int x = 0; x < kPictureWidth; ++x) {
      const std::uint8_t* bgr = picture.pixels.data() + kPictureRowBytes * static_cast<std::size_t>(y) + 3 * x;
      rgb += {static_cast<char>(bgr[2]), static_cast<char>(bgr[1]), static_cast<char>(bgr[0])};
    }
  return rgb;
}

std::string write_temp(const Bytes& bytes, const char* suffix) {
  std::random_device random;
  const std::string path = ::testing::TempDir() + "corvanta_image_" + std::to_string(random()) + suffix;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  return path;
}

TEST(Checksums, PublishedAndWorkedVectors) {
  const struct {
    const char* text;
    std::uint32_t crc32;
  } crcs[] = {{"", 0x00000000u},
              {"123456789", 0xCBF43926u},
              {"IEND", 0xAE426082u},
              {"The quick brown fox jumps over the lazy dog", 0x414FA339u}};
  for (const auto& c : crcs) {
    const Bytes bytes = text_bytes(c.text);
    EXPECT_EQ(crc32_of(bytes.data(), bytes.size()), c.crc32) << c.text;
  }
  // "IEND" by hand: a = 1 + 73 + 69 + 78 + 68 = 289, b = 74 + 143 + 221 + 289 = 727.
  const struct {
    const char* text;
    std::uint32_t adler32;
  } adlers[] = {{"", 0x00000001u}, {"Wikipedia", 0x11E60398u}, {"123456789", 0x091E01DEu}, {"IEND", 0x02D70121u}};
  for (const auto& c : adlers) {
    const Bytes bytes = text_bytes(c.text);
    EXPECT_EQ(adler32_of(bytes.data(), bytes.size()), c.adler32) << c.text;
  }
  // Both sums wrap at 65,521: a megabyte of 0xFF (as Python's zlib gives it).
  const Bytes ones(1 << 20, 0xFF);
  EXPECT_EQ(adler32_of(ones.data(), ones.size()), 0x8E88EF11u);
}

TEST(PngBytes, SignatureHeaderAndEnd) {
  const Bytes bytes = png_bytes(Picture{});
  const Bytes head{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A,
                   // IHDR: 13 bytes, 96 x 72, 8 bits, RGB, deflate, filter set 0, no interlace
                   0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0, 96, 0, 0, 0, 72, 8, 2, 0, 0, 0};
  ASSERT_GT(bytes.size(), head.size() + 12);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(head.size())), head);
  EXPECT_EQ(Bytes(bytes.end() - 12, bytes.end()), (Bytes{0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82}));
  // One stored block of 72 rows of 1 + 288 bytes, behind the zlib header.
  const std::size_t idat = 8 + 25;
  EXPECT_EQ(Bytes(bytes.begin() + idat, bytes.begin() + idat + 15),
            (Bytes{0x00, 0x00, 0x51, 0x53, 'I', 'D', 'A', 'T', 0x78, 0x01, 0x01, 0x48, 0x51, 0xB7, 0xAE}));
}

// Python's zlib checks every chunk's CRC and the stream's Adler-32 and
// gives back the rows; ImageMagick reads the same pixels.
TEST(PngBytes, ReadersDecodeThePixels) {
  REQUIRE_TOOL("python3");
  const Picture picture = noise_picture(7);
  const std::string path = write_temp(png_bytes(picture), ".png");
  const char* script =
      "import struct,sys,zlib\n"
      "d=open(sys.argv[1],'rb').read();p=8;idat=b''\n"
      "while p<len(d):\n"
      " n,=struct.unpack('>I',d[p:p+4]);t=d[p+4:p+8];body=d[p+8:p+8+n]\n"
      " assert struct.unpack('>I',d[p+8+n:p+12+n])[0]==zlib.crc32(t+body),t\n"
      " idat+=body if t==b'IDAT' else b'';p+=12+n\n"
      "raw=zlib.decompress(idat)\n"
      "assert all(raw[r*289]==0 for r in range(72))\n"
      "sys.stdout.write(''.join(raw[r*289+1:(r+1)*289].hex() for r in range(72)))\n";
  const std::string script_path = write_temp(text_bytes(script), ".py");
  CommandRun python = run_command("python3 '" + script_path + "' '" + path + "' 2>&1");
  std::remove(script_path.c_str());
  ASSERT_EQ(python.exit_status, 0) << python.output;
  std::string hex;
  for (unsigned char c : rgb_top_down(picture)) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", c);
    hex += two;
  }
  EXPECT_TRUE(python.output == hex) << python.output.substr(0, 200);
  if (tool_present("convert")) {
    CommandRun magick = run_command("convert '" + path + "' -depth 8 rgb:-");
    ASSERT_EQ(magick.exit_status, 0);
    EXPECT_TRUE(magick.output == rgb_top_down(picture));
  } else if (std::getenv("CI") != nullptr) {
    ADD_FAILURE() << "convert is not installed";
  }
  std::remove(path.c_str());
}

// Worked by hand: minimum code size 2, so clear 4, end 5, the first free
// code 6 and 3-bit codes; the width grows to 4 once the decoder's table
// reaches code 8.
TEST(GifLzw, HandWorkedVectors) {
  struct Case {
    const char* name;
    Bytes indices;
    Bytes packed;
  };
  const Case cases[] = {
      // clear 100, end 101: 00101100
      {"nothing", {}, {0x2C}},
      // clear, 0, 6 ("00"), 0, then end at 4 bits: 100 000 011 000 | 1010
      {"four zeros", {0, 0, 0, 0}, {0x84, 0x51}},
      // clear, 1, 2, 3, 6 ("1 2"), end: widths 3, 3, 3, 3, 4, 4
      {"1 2 3 1 2", {1, 2, 3, 1, 2}, {0x8C, 0x66, 0x05}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(gif_lzw(c.indices.data(), c.indices.size(), 2), c.packed) << c.name;
  }
}

// A palette colour comes through the dither exactly; levels are even.
TEST(GifPalette, LevelsAndExactColours) {
  const struct {
    std::uint8_t index;
    std::uint8_t rgb[3];
  } cases[] = {{0, {0, 0, 0}}, {251, {255, 255, 255}}, {1, {0, 0, 51}}, {6, {0, 43, 0}}, {42, {51, 0, 0}},
               {(2 * 7 + 3) * 6 + 4, {102, 128, 204}}, {252, {0, 0, 0}}};
  for (const auto& c : cases) {
    std::uint8_t rgb[3];
    gif_palette_colour(c.index, rgb);
    EXPECT_EQ(Bytes(rgb, rgb + 3), Bytes(c.rgb, c.rgb + 3)) << int(c.index);
  }
}

// Frames of random palette colours: no two neighbours alike, so the LZW
// table fills and clears several times a frame. ImageMagick must read every
// frame back pixel for pixel, with its delay and the loop.
TEST(GifFile, ImageMagickReadsEveryFrame) {
  REQUIRE_TOOL("identify");
  std::mt19937 random(11);
  std::vector<Picture> pictures(3);
  for (Picture& picture : pictures) {
    for (std::size_t at = 0; at < picture.pixels.size(); at += 3) {
      std::uint8_t rgb[3];
      gif_palette_colour(static_cast<std::uint8_t>(random() % 252), rgb);
      picture.pixels[at] = rgb[2];
      picture.pixels[at + 1] = rgb[1];
      picture.pixels[at + 2] = rgb[0];
    }
  }
  GifWriter gif;
  gif_start(gif);
  const std::uint16_t delays[] = {7, 25, 100};
  for (std::size_t i = 0; i < pictures.size(); ++i) gif_add_frame(gif, pictures[i], delays[i]);
  gif_finish(gif);
  const std::string path = write_temp(gif.bytes, ".gif");
  CommandRun identify = run_command("identify -format '%m %w %h %T\\n' '" + path + "' 2>&1");
  EXPECT_EQ(identify.exit_status, 0);
  EXPECT_EQ(identify.output, "GIF 96 72 7\nGIF 96 72 25\nGIF 96 72 100\n");
  // Iterations 0: it loops forever.
  EXPECT_EQ(run_command("identify -verbose '" + path + "[0]' | grep -c 'Iterations: 0'").output, "1\n");
  for (std::size_t i = 0; i < pictures.size() && tool_present("convert"); ++i) {
    CommandRun frame = run_command("convert '" + path + "[" + std::to_string(i) + "]' -depth 8 rgb:-");
    ASSERT_EQ(frame.exit_status, 0);
    EXPECT_TRUE(frame.output == rgb_top_down(pictures[i])) << "frame " << i;
  }
  std::remove(path.c_str());
}
}  // namespace
