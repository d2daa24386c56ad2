#include "png_file.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {
void append_u32_be(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// A chunk: length, type, data, and the CRC of type and data.
void append_chunk(std::vector<std::uint8_t>& out, std::string_view type, const std::vector<std::uint8_t>& data) {
  append_u32_be(out, static_cast<std::uint32_t>(data.size()));
  const std::size_t type_at = out.size();
  out.insert(out.end(), type.begin(), type.end());
  out.insert(out.end(), data.begin(), data.end());
  append_u32_be(out, crc32_of(out.data() + type_at, out.size() - type_at));
}

// zlib stream of `raw` in stored deflate blocks of at most 65,535 bytes:
// header 0x78 0x01 (deflate, 32 KB window, check bits), each block's
// BFINAL/BTYPE byte, LEN and its complement little-endian, then the Adler-32
// of `raw` big-endian.
std::vector<std::uint8_t> zlib_stored(const std::vector<std::uint8_t>& raw) {
  constexpr std::size_t kBlock = 65535;
  std::vector<std::uint8_t> out{0x78, 0x01};
  std::size_t at = 0;
  do {
    const std::size_t length = std::min(kBlock, raw.size() - at);
    const bool last = at + length == raw.size();
    out.push_back(last ? 1 : 0);
    out.push_back(static_cast<std::uint8_t>(length));
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(~length));
    out.push_back(static_cast<std::uint8_t>(~length >> 8));
    out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
               raw.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  } while (at < raw.size());
  append_u32_be(out, adler32_of(raw.data(), raw.size()));
  return out;
}
}  // namespace

std::uint32_t crc32_of(const std::uint8_t* data, std::size_t size) {
  // Reflected polynomial 0xEDB88320, bit by bit: a picture is small.
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xFFFFFFFFu;
}

std::uint32_t adler32_of(const std::uint8_t* data, std::size_t size) {
  constexpr std::uint32_t kModulus = 65521;
  std::uint32_t a = 1;
  std::uint32_t b = 0;
  for (std::size_t i = 0; i < size; ++i) {
    a = (a + data[i]) % kModulus;
    b = (b + a) % kModulus;
  }
  return (b << 16) | a;
}

std::vector<std::uint8_t> png_bytes(const Picture& picture) {
  // Rows top first, each behind filter type 0 (none), RGB.
  std::vector<std::uint8_t> raw;
  raw.reserve(static_cast<std::size_t>(kPictureHeight) * (1 + kPictureRowBytes));
  for (std::int32_t y = 0; y < kPictureHeight; ++y) {
    const std::uint8_t* row = picture.pixels.data() + kPictureRowBytes * static_cast<std::size_t>(kPictureHeight - 1 - y);
    raw.push_back(0);
    for (std::int32_t x = 0; x < kPictureWidth; ++x) {
      const std::uint8_t* bgr = row + 3 * x;
      raw.push_back(bgr[2]);
      raw.push_back(bgr[1]);
      raw.push_back(bgr[0]);
    }
  }
  std::vector<std::uint8_t> header;
  append_u32_be(header, static_cast<std::uint32_t>(kPictureWidth));
  append_u32_be(header, static_cast<std::uint32_t>(kPictureHeight));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, filter set 0, no interlace

  std::vector<std::uint8_t> out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  append_chunk(out, "IHDR", header);
  append_chunk(out, "IDAT", zlib_stored(raw));
  append_chunk(out, "IEND", {});
  return out;
}
