#include "virtual_camera.h"

namespace {
constexpr int kViewWidth = 96;
constexpr int kViewHeight = 72;
constexpr int kWorldSize = 256;
constexpr int kBarWidth = 32;
constexpr int kCheckerSize = 16;

struct Yuv {
  int y;
  int u;
  int v;
};

// Eight bars of chroma, roughly white, yellow, cyan, green, magenta, red,
// blue and black as a camera would see them.
constexpr int kBarChroma[8][2] = {{128, 128}, {44, 142}, {156, 44}, {72, 58},
                                  {184, 198}, {100, 212}, {212, 114}, {128, 128}};

int wrap(int value) { return ((value % kWorldSize) + kWorldSize) % kWorldSize; }

// Floor division, so that zoomed views stay centred for negative offsets too.
int floor_div(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

Yuv world_sample(int wx, int wy) {
  const int bar = wx / kBarWidth;
  Yuv p{};
  p.u = kBarChroma[bar][0];
  p.v = kBarChroma[bar][1];
  p.y = 40 + wy * 160 / kWorldSize;  // brighter towards the bottom of the world
  if (((wx / kCheckerSize) + (wy / kCheckerSize)) % 2 == 1) p.y += 20;
  // A white cross marks the home view's centre.
  const bool on_cross_x = (wx == 47 || wx == 48) && wy >= 26 && wy <= 45;
  const bool on_cross_y = (wy == 35 || wy == 36) && wx >= 38 && wx <= 57;
  if (on_cross_x || on_cross_y) p = {235, 128, 128};
  return p;
}

Yuv view_sample(const CameraScene& scene, int x, int y) {
  const int wx = wrap(scene.pan + kViewWidth / 2 + floor_div(x - kViewWidth / 2, scene.zoom));
  const int wy = wrap(scene.tilt + kViewHeight / 2 + floor_div(y - kViewHeight / 2, scene.zoom));
  return world_sample(wx, wy);
}
}  // namespace

bool steer_camera(CameraScene& scene, char letter) {
  switch (letter) {
    case 'L': scene.pan -= kCameraPanStep; break;
    case 'R': scene.pan += kCameraPanStep; break;
    case 'D': scene.tilt += kCameraPanStep; break;
    case 'H': scene = CameraScene{}; break;
    case 'K': if (scene.zoom < kCameraMaxZoom) scene.zoom *= 2; break;
    case 'M': if (scene.zoom > 1) scene.zoom /= 2; break;
    default: return false;
  }
  scene.pan = wrap(scene.pan);
  scene.tilt = wrap(scene.tilt);
  return true;
}

CameraFrame render_camera_view(const CameraScene& scene) {
  CameraFrame frame{};
  std::size_t at = 0;
  for (int y = 0; y < kViewHeight; ++y) {
    for (int x = 0; x < kViewWidth; x += 2) {
      const Yuv left = view_sample(scene, x, y);
      const Yuv right = view_sample(scene, x + 1, y);
      frame[at++] = static_cast<std::uint8_t>((left.u + right.u) / 2);
      frame[at++] = static_cast<std::uint8_t>(left.y);
      frame[at++] = static_cast<std::uint8_t>((left.v + right.v) / 2);
      frame[at++] = static_cast<std::uint8_t>(right.y);
    }
  }
  return frame;
}

std::array<std::uint8_t, 4> steering_answer(const CameraScene& scene, char letter) {
  return {static_cast<std::uint8_t>(letter), static_cast<std::uint8_t>(scene.pan & 0xFF),
          static_cast<std::uint8_t>(scene.tilt & 0xFF), static_cast<std::uint8_t>(scene.zoom)};
}
