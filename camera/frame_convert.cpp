#include "frame_convert.h"

namespace {
// Truncate toward zero, then clamp to a byte.
std::uint8_t to_channel(double value) {
  auto whole = static_cast<long>(value);
  if (whole < 0) return 0;
  if (whole > 255) return 255;
  return static_cast<std::uint8_t>(whole);
}
}  // namespace

void convert_frame(const std::uint8_t* source, std::uint8_t* target, std::int32_t width,
                   std::int32_t height) {
  convert_rows(source, target, width, height, 0, height);
}

// Pixels 2k and 2k+1 share four bytes: U, Y(2k), V, Y(2k+1).
void convert_rows(const std::uint8_t* source, std::uint8_t* target, std::int32_t width,
                  std::int32_t height, std::int32_t first_row, std::int32_t row_count) {
  const long source_size = 2L * width * height;
  for (std::int32_t y = first_row; y < first_row + row_count; ++y) {
    for (std::int32_t x = 0; x < width; ++x) {
      const long p = 2L * width * y + 2L * x;
      const int luma = source[p + 1];
      int u = 0;
      int v = 0;
      if (x % 2 == 0) {
        u = source[p];
        v = source[p + 2];
      } else {
        // An odd pixel takes U from the next pair, which for the last pixel
        // of the frame does not exist: that one takes the U of its own pair.
        u = p + 2 < source_size ? source[p + 2] : source[p - 2];
        v = source[p];
      }
      const int cu = u - 128;
      const int cv = v - 128;
      // The camera's own coefficients, evaluated in binary64 in this order.
      const double r = (cv * 1.4) + luma;
      const double g = ((luma * 1.02) - (cv * 0.75)) - (cu * 0.336);
      const double b = (cu * 1.77) + luma;
      const long t = 3L * width * (height - 1 - y) + 3L * x;
      target[t] = to_channel(b);
      target[t + 1] = to_channel(g);
      target[t + 2] = to_channel(r);
    }
  }
}

RowSpan convert_arrived_rows(const std::uint8_t* source, std::uint8_t* target, std::int32_t width,
                             std::int32_t height, std::int32_t shown, std::int32_t arrived) {
  RowSpan span;
  span.first = shown > 0 ? shown - 1 : 0;
  span.count = arrived > span.first ? arrived - span.first : 0;
  convert_rows(source, target, width, height, span.first, span.count);
  return span;
}
