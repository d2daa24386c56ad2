#pragma once
// The picture as a capture fills it in. The capture runs on the worker: each
// row that arrives is converted there and handed to the window thread by
// value, through a mailbox the two threads take turns at, and the window
// draws the new rows over the previous picture's while the rest are on their
// way. Only the window thread touches the picture it shows.
#include <cstdint>
#include <mutex>

#include "camera_commands.h"

struct LivePicture {
  // Set before any worker runs: the state whose frame buffer the capture
  // fills, and how the worker wakes the window thread to take rows.
  const HostState* host = nullptr;
  void (*wake)(void* window) = nullptr;
  void* window = nullptr;

  // The worker's own: the capture's picture (CameraView::picture).
  Picture converting;

  // Under the mutex: rows of `handed` the window has not taken yet, and
  // whether a wake-up is already on its way (one is enough).
  std::mutex mutex;
  Picture handed;
  RowSpan waiting;
  bool woken = false;
};

// The view a capture reports to: each row converted as it comes, the whole
// picture at the end. Its calls come on the worker.
CameraView live_picture_view(LivePicture& live);

// Window thread, when woken: copies the rows waiting into `shown` and
// returns them (count 0 when there were none).
RowSpan take_live_rows(LivePicture& live, Picture& shown);
