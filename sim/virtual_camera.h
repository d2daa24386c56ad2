#pragma once
// The virtual camera's synthetic scene: a deterministic 256 x 256 world of
// colour bars, a brightness ramp, a checker pattern and a cross at home,
// seen through a 96 x 72 window that the steering letters move.
//
//   L  pan left  8 world pixels      R  pan right 8 world pixels
//   D  tilt down 8 world pixels      H  home: pan 0, tilt 0, zoom 1
//   K  zoom in  (x1 -> x2 -> x4)     M  zoom out (x4 -> x2 -> x1)
//
// The world wraps in both directions, so every position gives a picture.
#include <array>
#include <cstdint>

#include "host_state.h"  // kFrameBufferSize

inline constexpr int kCameraPanStep = 8;
inline constexpr int kCameraMaxZoom = 4;

struct CameraScene {
  int pan = 0;   // world x at the view's centre column, minus 48
  int tilt = 0;  // world y at the view's centre row, minus 36
  int zoom = 1;  // 1, 2 or 4
};

using CameraFrame = std::array<std::uint8_t, kFrameBufferSize>;

// Applies one steering letter; false for a letter the camera does not know
// (the scene is left as it was).
bool steer_camera(CameraScene& scene, char letter);

// The 96 x 72 UYVY frame of what the camera sees: rows of 192 bytes, top row
// first, each pixel pair as U, Y0, V, Y1 with U and V averaged over the pair.
CameraFrame render_camera_view(const CameraScene& scene);

// The small answer to a steering letter:
// letter | pan (low byte) | tilt (low byte) | zoom
std::array<std::uint8_t, 4> steering_answer(const CameraScene& scene, char letter);
