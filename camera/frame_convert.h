#pragma once
// The camera's 96 x 72 UYVY frame and the 24-bit bottom-up BGR picture the
// window draws, with the conversion between them.
#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::int32_t kPictureWidth = 96;
inline constexpr std::int32_t kPictureHeight = 72;
inline constexpr std::size_t kPictureRowBytes = kPictureWidth * 3;  // 288: no padding
inline constexpr std::size_t kPicturePixelsSize = kPictureRowBytes * kPictureHeight;  // 20,736

// BITMAPINFOHEADER, field by field; written out in little-endian order by
// whoever stores it (the .bmp writer), never laid over a byte buffer.
struct BitmapInfoHeader {
  std::uint32_t biSize = 40;
  std::int32_t biWidth = kPictureWidth;
  std::int32_t biHeight = kPictureHeight;  // positive: bottom-up rows
  std::uint16_t biPlanes = 1;
  std::uint16_t biBitCount = 24;
  std::uint32_t biCompression = 0;  // BI_RGB
  std::uint32_t biSizeImage = 0;
  std::int32_t biXPelsPerMeter = 0;
  std::int32_t biYPelsPerMeter = 0;
  std::uint32_t biClrUsed = 0;
  std::uint32_t biClrImportant = 0;
};

struct Picture {
  BitmapInfoHeader info;
  std::array<std::uint8_t, kPicturePixelsSize> pixels{};
};

// UYVY rows of 2 x width bytes, top row first -> BGR rows of 3 x width
// bytes, bottom row first.
void convert_frame(const std::uint8_t* source, std::uint8_t* target, std::int32_t width,
                   std::int32_t height);

// Rows [first_row, first_row + row_count) of the frame (top row 0) into
// their places in the picture; its other rows stay as they are. The last
// pixel of a row takes its U from the first byte of the next row, so it
// is only as final as that byte.
void convert_rows(const std::uint8_t* source, std::uint8_t* target, std::int32_t width,
                  std::int32_t height, std::int32_t first_row, std::int32_t row_count);

// Rows of the target, top row 0: [first, first + count).
struct RowSpan {
  std::int32_t first = 0;
  std::int32_t count = 0;
};

// A frame that arrives top row first, drawn as it comes: rows [0, arrived)
// of `source` are in, and the picture was last brought up to date when
// `shown` of them were. Converts the rows that came since, and the row
// before them again: its last pixel now has the U of the row after it. The
// rows after `arrived` keep what the picture held. Returns the rows written.
RowSpan convert_arrived_rows(const std::uint8_t* source, std::uint8_t* target, std::int32_t width,
                             std::int32_t height, std::int32_t shown, std::int32_t arrived);
