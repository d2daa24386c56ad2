#include "bmp_file.h"

#include <cstdio>

namespace {
void append_u16_le(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void append_u32_le(std::vector<std::uint8_t>& out, std::uint32_t value) {
  append_u16_le(out, static_cast<std::uint16_t>(value));
  append_u16_le(out, static_cast<std::uint16_t>(value >> 16));
}

void append_i32_le(std::vector<std::uint8_t>& out, std::int32_t value) {
  append_u32_le(out, static_cast<std::uint32_t>(value));
}

// BITMAPFILEHEADER, little-endian:
// 0  2 "BM"
// 2  4 file size
// 6  2 reserved, 0
// 8  2 reserved, 0
// 10 4 offset of the pixels, 54
void append_file_header(std::vector<std::uint8_t>& out) {
  out.push_back('B');
  out.push_back('M');
  append_u32_le(out, kBmpFileSize);
  append_u16_le(out, 0);
  append_u16_le(out, 0);
  append_u32_le(out, kBmpPixelOffset);
}

// BITMAPINFOHEADER, little-endian:
// 0  4 biSize          16 4 biCompression   32 4 biClrUsed
// 4  4 biWidth         20 4 biSizeImage     36 4 biClrImportant
// 8  4 biHeight        24 4 biXPelsPerMeter
// 12 2 biPlanes        28 4 biYPelsPerMeter
// 14 2 biBitCount
void append_info_header(std::vector<std::uint8_t>& out, const BitmapInfoHeader& info) {
  append_u32_le(out, info.biSize);
  append_i32_le(out, info.biWidth);
  append_i32_le(out, info.biHeight);
  append_u16_le(out, info.biPlanes);
  append_u16_le(out, info.biBitCount);
  append_u32_le(out, info.biCompression);
  append_u32_le(out, info.biSizeImage);
  append_i32_le(out, info.biXPelsPerMeter);
  append_i32_le(out, info.biYPelsPerMeter);
  append_u32_le(out, info.biClrUsed);
  append_u32_le(out, info.biClrImportant);
}
}  // namespace

std::vector<std::uint8_t> bmp_bytes(const Picture& picture) {
  std::vector<std::uint8_t> out;
  out.reserve(kBmpFileSize);
  append_file_header(out);
  append_info_header(out, picture.info);
  out.insert(out.end(), picture.pixels.begin(), picture.pixels.end());
  return out;
}

bool write_bmp(const std::string& path, const Picture& picture) {
  std::vector<std::uint8_t> bytes = bmp_bytes(picture);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  // A full disk may only show when the buffered bytes go out.
  if (std::fclose(file) != 0) written = false;
  return written;
}
