#pragma once
// Sizes and places of the main window, in pixels of its client area: the
// Win32 window's at 96 DPI, which the Linux window copies so both look the
// same. Toolkit-free, so both windows and their tests share one geometry.
#include <array>

#include "frame_convert.h"
#include "operation_runner.h"

// Both windows fix the client area, kClientWidth x kClientHeight
// (operation_runner.h): 224 x 195, which a 230 x 220 Win32 window has in the
// classic Windows look at 96 DPI (caption 19 px, fixed frame 3 px).

// The picture, drawn 1:1.
inline constexpr int kPictureX = 10;
inline constexpr int kPictureY = 110;

struct ControlPlace {
  int id;
  const char* text;
  int x, y, width, height;
};

// The port box's height on Win32 (100) is that of its dropped-down list; the
// closed box is one line of the System font high, 22 px here, and its list
// shows all six ports.
inline constexpr int kPortBoxClosedHeight = 22;

// In creation order: port box, device list, then the six buttons.
inline constexpr std::array<ControlPlace, 8> kControlPlaces = {{
    {kIdPortBox, "", 10, 10, 70, kPortBoxClosedHeight},
    {kIdDeviceList, "", 10, 40, 100, 65},
    {kIdOpen, "Open", 120, 10, 90, 25},
    {kIdInquiry, "Inquiry", 120, 40, 90, 25},
    {kIdConnect, "Connect", 120, 70, 90, 25},
    {kIdDisconnect, "Disconnect", 120, 100, 90, 25},
    {kIdClose, "Close", 120, 130, 90, 25},
    {kIdExit, "Exit", 120, 160, 90, 25},
}};

// The window's background: the classic scroll-bar colour (COLOR_SCROLLBAR),
// which the Win32 window class paints with.
inline constexpr int kBackgroundRed = 212;
inline constexpr int kBackgroundGreen = 208;
inline constexpr int kBackgroundBlue = 200;

// The picture can be shown larger, by whole factors, so that its pixels
// stay sharp.
inline constexpr int kMinZoom = 1;
inline constexpr int kMaxZoom = 6;

struct LayoutRect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const LayoutRect&) const = default;
};

// The window at `dpi` (96: the layout above, one pixel a pixel) with the
// picture zoomed by `zoom` (clamped to kMinZoom..kMaxZoom). At zoom 1 the
// picture keeps its place beside the buttons; larger, it goes below the
// controls and the client area grows to hold it with the same margin. Every
// length is scaled by dpi / 96, rounded to the nearest pixel. The picture is
// drawn at the largest whole multiple of 96 x 72 that its scaled area holds,
// top-left in it: a 150 % display shows a zoom-1 picture 1:1, not blurred.
struct WindowLayout {
  int client_width = 0;
  int client_height = 0;
  std::array<LayoutRect, kControlPlaces.size()> controls{};  // kControlPlaces' order
  LayoutRect picture_area;  // the picture's share of the window
  int picture_scale = 1;    // screen pixels a picture pixel, each way
  LayoutRect picture;       // where the picture is drawn: 96 x 72 times picture_scale
  // The status line (live view, the record): at zoom 1 the strip under the
  // picture, one line; larger, the place beside the buttons the picture left.
  LayoutRect status_line;
};
WindowLayout window_layout(int dpi, int zoom);

// A length of the 96-DPI layout at `dpi` (MulDiv's rounding: halves away
// from zero).
int scale_for_dpi(int length, int dpi);
