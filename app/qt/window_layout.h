#pragma once
// Sizes and places of the Linux window, in pixels of its client area, laid
// out as the Win32 window of this program is, so both look the same.
#include <array>

#include "operation_runner.h"

// The Win32 window is 230 x 220 outside (WS_POPUP | WS_CAPTION | WS_SYSMENU
// | WS_MINIMIZEBOX, no menu, no sizing border); Qt can fix only the client
// area. The client area is taken from the classic Windows look at 96 DPI
// (Windows 2000, and "Windows Classic" on XP and 7): caption SM_CYCAPTION
// 19 px, fixed frame SM_CXFIXEDFRAME = SM_CYFIXEDFRAME 3 px on every side.
inline constexpr int kOuterWidth = 230;
inline constexpr int kOuterHeight = 220;
inline constexpr int kClassicCaptionHeight = 19;
inline constexpr int kClassicFixedFrame = 3;
inline constexpr int kClientWidth = kOuterWidth - 2 * kClassicFixedFrame;                           // 224
inline constexpr int kClientHeight = kOuterHeight - kClassicCaptionHeight - 2 * kClassicFixedFrame;  // 195

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
