#include "gif_file.h"

#include <iterator>
#include <unordered_map>

namespace {
constexpr int kRedLevels = 6;
constexpr int kGreenLevels = 7;
constexpr int kBlueLevels = 6;
constexpr int kMaxCodeSize = 12;

// 4 x 4 Bayer thresholds, 0 to 15.
constexpr int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

void append_u16_le(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

// The level of `value` among `levels` evenly spaced ones: the threshold
// (0..15) picks the upper neighbour for its share of the gap.
int dithered_level(std::uint8_t value, int levels, int threshold) {
  // floor(value * (levels - 1) / 255 + (threshold + 0.5) / 16), in integers
  const int level = (value * (levels - 1) * 32 + (2 * threshold + 1) * 255) / (255 * 32);
  return level < levels ? level : levels - 1;
}

std::uint8_t level_value(int level, int levels) {
  return static_cast<std::uint8_t>((level * 255 * 2 + (levels - 1)) / (2 * (levels - 1)));
}

// Codes of growing width, first bit lowest.
struct BitPacker {
  std::vector<std::uint8_t> out;
  std::uint32_t pending = 0;
  int pending_bits = 0;
  void put(std::uint32_t code, int width) {
    pending |= code << pending_bits;
    pending_bits += width;
    while (pending_bits >= 8) {
      out.push_back(static_cast<std::uint8_t>(pending));
      pending >>= 8;
      pending_bits -= 8;
    }
  }
  void flush() {
    if (pending_bits > 0) out.push_back(static_cast<std::uint8_t>(pending));
    pending = 0;
    pending_bits = 0;
  }
};
}  // namespace

void gif_palette_colour(std::uint8_t index, std::uint8_t rgb[3]) {
  if (index >= kRedLevels * kGreenLevels * kBlueLevels) {
    rgb[0] = rgb[1] = rgb[2] = 0;
    return;
  }
  rgb[0] = level_value(index / (kGreenLevels * kBlueLevels), kRedLevels);
  rgb[1] = level_value(index / kBlueLevels % kGreenLevels, kGreenLevels);
  rgb[2] = level_value(index % kBlueLevels, kBlueLevels);
}

std::vector<std::uint8_t> gif_palette_indices(const Picture& picture) {
  std::vector<std::uint8_t> indices;
  indices.reserve(static_cast<std::size_t>(kPictureWidth) * kPictureHeight);
  for (int y = 0; y < kPictureHeight; ++y) {
    const std::uint8_t* row = picture.pixels.data() + kPictureRowBytes * static_cast<std::size_t>(kPictureHeight - 1 - y);
    for (int x = 0; x < kPictureWidth; ++x) {
      const int threshold = kBayer[y % 4][x % 4];
      const int red = dithered_level(row[3 * x + 2], kRedLevels, threshold);
      const int green = dithered_level(row[3 * x + 1], kGreenLevels, threshold);
      const int blue = dithered_level(row[3 * x], kBlueLevels, threshold);
      indices.push_back(static_cast<std::uint8_t>((red * kGreenLevels + green) * kBlueLevels + blue));
    }
  }
  return indices;
}

std::vector<std::uint8_t> gif_lzw(const std::uint8_t* indices, std::size_t count, int min_code_size) {
  const std::uint32_t clear = 1u << min_code_size;
  const std::uint32_t end = clear + 1;
  BitPacker bits;
  // The table: (prefix code << 8 | next index) -> code.
  std::unordered_map<std::uint32_t, std::uint32_t> table;
  std::uint32_t next = end + 1;
  int width = min_code_size + 1;
  bits.put(clear, width);
  if (count == 0) {
    bits.put(end, width);
    bits.flush();
    return bits.out;
  }
  std::uint32_t prefix = indices[0];
  for (std::size_t i = 1; i < count; ++i) {
    const std::uint32_t key = prefix << 8 | indices[i];
    if (const auto found = table.find(key); found != table.end()) {
      prefix = found->second;
      continue;
    }
    bits.put(prefix, width);
    // The decoder adds each entry one code later than this side does, so
    // the width grows once the code just added no longer fits.
    if (next < (1u << kMaxCodeSize)) {
      table.emplace(key, next);
      if (next == (1u << width) && width < kMaxCodeSize) ++width;
      ++next;
    }
    if (next == (1u << kMaxCodeSize)) {
      bits.put(clear, width);
      table.clear();
      next = end + 1;
      width = min_code_size + 1;
    }
    prefix = indices[i];
  }
  bits.put(prefix, width);
  // The decoder adds an entry for that last code too.
  if (next == (1u << width) && width < kMaxCodeSize) ++width;
  bits.put(end, width);
  bits.flush();
  return bits.out;
}

void gif_start(GifWriter& gif) {
  gif.bytes.assign({'G', 'I', 'F', '8', '9', 'a'});
  gif.frames = 0;
  // Logical screen: the picture's size; a global table of 256 colours of
  // 8 bits each; background index 0; square pixels.
  append_u16_le(gif.bytes, static_cast<std::uint16_t>(kPictureWidth));
  append_u16_le(gif.bytes, static_cast<std::uint16_t>(kPictureHeight));
  gif.bytes.insert(gif.bytes.end(), {0xF7, 0, 0});
  for (int index = 0; index < 256; ++index) {
    std::uint8_t rgb[3];
    gif_palette_colour(static_cast<std::uint8_t>(index), rgb);
    gif.bytes.insert(gif.bytes.end(), rgb, rgb + 3);
  }
  // NETSCAPE2.0 application extension: loop count 0, forever.
  const std::uint8_t loop[] = {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0};
  gif.bytes.insert(gif.bytes.end(), std::begin(loop), std::end(loop));
}

void gif_add_frame(GifWriter& gif, const Picture& picture, std::uint16_t delay_centiseconds) {
  // Graphic control extension: disposal 1 (leave the frame), no
  // transparency, the delay.
  gif.bytes.insert(gif.bytes.end(), {0x21, 0xF9, 4, 0x04});
  append_u16_le(gif.bytes, delay_centiseconds);
  gif.bytes.insert(gif.bytes.end(), {0, 0});
  // Image descriptor: the whole screen, the global table, not interlaced.
  gif.bytes.insert(gif.bytes.end(), {0x2C, 0, 0, 0, 0});
  append_u16_le(gif.bytes, static_cast<std::uint16_t>(kPictureWidth));
  append_u16_le(gif.bytes, static_cast<std::uint16_t>(kPictureHeight));
  gif.bytes.push_back(0);
  const std::vector<std::uint8_t> indices = gif_palette_indices(picture);
  const std::vector<std::uint8_t> data = gif_lzw(indices.data(), indices.size(), 8);
  gif.bytes.push_back(8);
  for (std::size_t at = 0; at < data.size(); at += 255) {
    const std::size_t length = data.size() - at < 255 ? data.size() - at : 255;
    gif.bytes.push_back(static_cast<std::uint8_t>(length));
    gif.bytes.insert(gif.bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                     data.begin() + static_cast<std::ptrdiff_t>(at + length));
  }
  gif.bytes.push_back(0);
  ++gif.frames;
}

void gif_finish(GifWriter& gif) { gif.bytes.push_back(0x3B); }
