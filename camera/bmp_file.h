#pragma once
// The picture as a standard .bmp file that any image viewer opens.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame_convert.h"

inline constexpr std::size_t kBmpFileHeaderSize = 14;
inline constexpr std::size_t kBmpInfoHeaderSize = 40;
inline constexpr std::size_t kBmpPixelOffset = kBmpFileHeaderSize + kBmpInfoHeaderSize;  // 54
inline constexpr std::size_t kBmpFileSize = kBmpPixelOffset + kPicturePixelsSize;         // 20,790

// The whole file: file header, the picture's info header, its pixels as they
// are (bottom-up BGR rows, no padding at 96 pixels a row).
std::vector<std::uint8_t> bmp_bytes(const Picture& picture);

// Writes bmp_bytes to `path`, replacing the file. False if it cannot be
// created or fully written.
bool write_bmp(const std::string& path, const Picture& picture);
