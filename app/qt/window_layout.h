#pragma once
// Sizes and places of the Linux window, in pixels of its client area, laid
// out as the Win32 window of this program is, so both look the same.
#include <array>

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
