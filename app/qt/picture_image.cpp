#include "picture_image.h"

QImage picture_image(const Picture& picture) {
  QImage image(kPictureWidth, kPictureHeight, QImage::Format_RGB32);
  for (int y = 0; y < kPictureHeight; ++y) {
    // Row y from the top is stored (height - 1 - y) rows from the start.
    const std::uint8_t* row =
        picture.pixels.data() + static_cast<std::size_t>(kPictureHeight - 1 - y) * kPictureRowBytes;
    for (int x = 0; x < kPictureWidth; ++x) {
      const std::uint8_t* bgr = row + static_cast<std::size_t>(x) * 3;
      image.setPixel(x, y, qRgb(bgr[2], bgr[1], bgr[0]));
    }
  }
  return image;
}
