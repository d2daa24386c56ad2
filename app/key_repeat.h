#pragma once
// Auto-repeats of a held key that queued while a key command blocked the
// window thread. Win32 folds them into the next message's repeat count; X11
// queues one event per repeat, so holding Up would otherwise run one 2.5 s
// capture per repeat, long after the key was let go.
#include <chrono>
#include <optional>

class KeyRepeatCoalescer {
 public:
  using Clock = std::chrono::steady_clock;
  // Queued events come out back to back, well under a millisecond apart;
  // a key repeats at most every 20 ms or so.
  static constexpr std::chrono::milliseconds kQueuedGap{10};

  // Whether a key-down should run its command. A first press always does;
  // an auto-repeat that arrives right after the last command ended (or
  // right after another one dropped so) had queued meanwhile.
  bool should_run(bool auto_repeat, Clock::time_point now) {
    if (auto_repeat && last_end_ && now - *last_end_ < kQueuedGap) {
      last_end_ = now;
      return false;
    }
    return true;
  }
  void command_ended(Clock::time_point now) { last_end_ = now; }

 private:
  std::optional<Clock::time_point> last_end_;
};
