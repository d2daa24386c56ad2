#include "live_picture.h"

#include <algorithm>
#include <cstring>

namespace {
// Rows are numbered from the top; the picture stores them bottom up, so a
// span of rows is one run of bytes.
void copy_rows(const Picture& from, Picture& to, RowSpan span) {
  const std::size_t start = static_cast<std::size_t>(kPictureHeight - span.first - span.count) * kPictureRowBytes;
  std::memcpy(to.pixels.data() + start, from.pixels.data() + start,
              static_cast<std::size_t>(span.count) * kPictureRowBytes);
}

void hand_over(LivePicture& live, RowSpan span) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(live.mutex);
    copy_rows(live.converting, live.handed, span);
    if (live.waiting.count == 0) {
      live.waiting = span;
    } else {
      // Rows come in order, so what waits and what is new touch or overlap.
      const std::int32_t end = std::max(live.waiting.first + live.waiting.count, span.first + span.count);
      live.waiting.first = std::min(live.waiting.first, span.first);
      live.waiting.count = end - live.waiting.first;
    }
    wake = !live.woken;
    live.woken = true;
  }
  if (wake && live.wake != nullptr) live.wake(live.window);
}

// Once per row, on the worker that owns the link: rows [0, rows) of the
// frame buffer are this picture's.
void row_arrived(void* context, int rows, int) {
  auto& live = *static_cast<LivePicture*>(context);
  hand_over(live, convert_arrived_rows(live.host->frame_buffer.data(), live.converting.pixels.data(), kPictureWidth,
                                       kPictureHeight, rows - 1, rows));
}

// The capture has converted the whole buffer, whatever arrived.
void picture_done(void* context) { hand_over(*static_cast<LivePicture*>(context), RowSpan{0, kPictureHeight}); }
}  // namespace

CameraView live_picture_view(LivePicture& live) {
  CameraView view;
  view.picture = &live.converting;
  view.repaint = picture_done;
  view.packet_done = row_arrived;
  view.context = &live;
  return view;
}

RowSpan take_live_rows(LivePicture& live, Picture& shown) {
  std::lock_guard<std::mutex> lock(live.mutex);
  const RowSpan span = live.waiting;
  if (span.count > 0) copy_rows(live.handed, shown, span);
  live.waiting = RowSpan{};
  live.woken = false;
  return span;
}
