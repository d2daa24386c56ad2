#pragma once
// The picture as a .png file: 8-bit RGB, no interlace, its rows in zlib
// stored (uncompressed) deflate blocks. A picture is 20 KB either way, and
// stored blocks need no compressor: every viewer reads them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "frame_convert.h"

// The whole file: signature, IHDR, one IDAT, IEND.
std::vector<std::uint8_t> png_bytes(const Picture& picture);

// The checksums the file carries, over `size` bytes: CRC-32 (ISO 3309, as
// PNG chunks and zip use it) and zlib's Adler-32.
std::uint32_t crc32_of(const std::uint8_t* data, std::size_t size);
std::uint32_t adler32_of(const std::uint8_t* data, std::size_t size);
