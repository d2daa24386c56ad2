#include "window_layout.h"

#include <algorithm>

int scale_for_dpi(int length, int dpi) {
  const long long product = static_cast<long long>(length) * dpi;
  return static_cast<int>(product >= 0 ? (product + 48) / 96 : (product - 48) / 96);
}

namespace {

LayoutRect scaled(int x, int y, int width, int height, int dpi) {
  // Edges are scaled, not sizes, so that rectangles that touch at 96 DPI
  // still touch.
  const int left = scale_for_dpi(x, dpi);
  const int top = scale_for_dpi(y, dpi);
  return {left, top, scale_for_dpi(x + width, dpi) - left, scale_for_dpi(y + height, dpi) - top};
}

}  // namespace

WindowLayout window_layout(int dpi, int zoom) {
  zoom = std::clamp(zoom, kMinZoom, kMaxZoom);
  if (dpi <= 0) dpi = 96;
  WindowLayout layout;
  for (std::size_t i = 0; i < kControlPlaces.size(); ++i) {
    const ControlPlace& place = kControlPlaces[i];
    layout.controls[i] = scaled(place.x, place.y, place.width, place.height, dpi);
  }
  // In 96-DPI pixels: the picture's area and the client area around it.
  int area_x = kPictureX, area_y = kPictureY;
  int client_width = kClientWidth, client_height = kClientHeight;
  if (zoom > 1) {
    area_y = kClientHeight;
    client_width = std::max(kClientWidth, kPictureX + kPictureWidth * zoom + kPictureX);
    client_height = kClientHeight + kPictureHeight * zoom + kPictureX;
  }
  layout.client_width = scale_for_dpi(client_width, dpi);
  layout.client_height = scale_for_dpi(client_height, dpi);
  // As wide as the device list above it: at zoom 1 from under the picture
  // to the window's edge; larger, from the picture's old top to a margin
  // above its new place.
  const ControlPlace& list = kControlPlaces[1];
  const int status_top = zoom > 1 ? kPictureY : kPictureY + kPictureHeight + 1;
  const int status_bottom = zoom > 1 ? area_y - kPictureX : kClientHeight;
  layout.status_line = scaled(list.x, status_top, list.width, status_bottom - status_top, dpi);
  layout.picture_area = scaled(area_x, area_y, kPictureWidth * zoom, kPictureHeight * zoom, dpi);
  layout.picture_scale = std::max(1, std::min(layout.picture_area.width / kPictureWidth,
                                              layout.picture_area.height / kPictureHeight));
  layout.picture = {layout.picture_area.x, layout.picture_area.y, kPictureWidth * layout.picture_scale,
                    kPictureHeight * layout.picture_scale};
  return layout;
}
