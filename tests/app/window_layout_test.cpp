// The window's geometry at the DPIs and zoom factors the windows use,
// against rectangles worked out by hand from the 96-DPI layout.
#include "window_layout.h"

#include <gtest/gtest.h>

namespace {

struct LayoutCase {
  int dpi, zoom;
  int client_width, client_height;
  LayoutRect exit_button;  // the last control: every edge scaled
  LayoutRect picture;
  int picture_scale;
  LayoutRect status_line;  // under the picture at 1, above its zoomed place beyond
};

TEST(WindowLayout, ClientControlsAndPicture) {
  const LayoutCase cases[] = {
      // The design's window, exactly.
      {96, 1, 224, 195, {120, 160, 90, 25}, {10, 110, 96, 72}, 1, {10, 183, 100, 12}},
      // 150 %: 224 x 195.5 rounds up; the 144 x 108 area holds the picture once.
      {144, 1, 336, 293, {180, 240, 135, 38}, {15, 165, 96, 72}, 1, {15, 275, 150, 18}},
      // 200 %: everything doubled, the picture too.
      {192, 1, 448, 390, {240, 320, 180, 50}, {20, 220, 192, 144}, 2, {20, 366, 200, 24}},
      // Zoomed: below the controls, the client grown to hold it.
      {96, 2, 224, 349, {120, 160, 90, 25}, {10, 195, 192, 144}, 2, {10, 110, 100, 75}},
      {96, 6, 596, 637, {120, 160, 90, 25}, {10, 195, 576, 432}, 6, {10, 110, 100, 75}},
      {144, 3, 462, 632, {180, 240, 135, 38}, {15, 293, 384, 288}, 4, {15, 165, 150, 113}},
      // Out of range: clamped.
      {96, 0, 224, 195, {120, 160, 90, 25}, {10, 110, 96, 72}, 1, {10, 183, 100, 12}},
      {96, 9, 596, 637, {120, 160, 90, 25}, {10, 195, 576, 432}, 6, {10, 110, 100, 75}},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "dpi " << c.dpi << " zoom " << c.zoom);
    const WindowLayout layout = window_layout(c.dpi, c.zoom);
    EXPECT_EQ(layout.client_width, c.client_width);
    EXPECT_EQ(layout.client_height, c.client_height);
    EXPECT_EQ(layout.controls.back(), c.exit_button);
    EXPECT_EQ(layout.picture, c.picture);
    EXPECT_EQ(layout.picture_scale, c.picture_scale);
    EXPECT_EQ(layout.status_line, c.status_line);
    for (const LayoutRect& control : layout.controls) {
      EXPECT_LE(control.x + control.width, layout.client_width);
      EXPECT_LE(control.y + control.height, layout.client_height);
    }
    EXPECT_LE(layout.picture.y + layout.picture.height, layout.client_height);
    EXPECT_LE(layout.status_line.y + layout.status_line.height, layout.client_height);
  }
}

}  // namespace
