#pragma once
// How long a window thread goes without handling a message, as a thread of
// its own sees it: every 2 ms it hands the window thread one empty call and
// times how long that call waits to be handled. The longest wait bounds the
// longest stretch the window spent on anything else (a 2 ms probe gap
// apart). Shared by the window benchmarks of both toolkits.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

class StallProbe {
 public:
  using Clock = std::chrono::steady_clock;

  // `ask` returns once the window thread has handled the call it hands over.
  explicit StallProbe(std::function<void()> ask) : ask_(std::move(ask)) {
    thread_ = std::thread([this] {
      while (!stop_) {
        const auto asked = Clock::now();
        ask_();
        const double waited = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
        longest_ms_ = std::max(longest_ms_.load(), waited);
        ++answers_;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      done_ = true;
    });
  }
  // `pump` handles the window's messages while a last call may still wait
  // for them (the window thread's own loop, when it is the caller's).
  void stop(const std::function<void()>& pump) {
    stop_ = true;
    while (!done_) pump();
    thread_.join();
  }
  double longest_ms() const { return longest_ms_; }
  int answers() const { return answers_; }

 private:
  std::function<void()> ask_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::atomic<double> longest_ms_{0};
  std::atomic<int> answers_{0};
};

// One line per window: the longest wait of each run, and their worst and median.
inline void print_stalls(const char* window, std::vector<double> longest_ms, const std::vector<double>& capture_s) {
  std::printf("%s: longest wait for the window thread during a paced capture, per run (ms):", window);
  for (double ms : longest_ms) std::printf(" %.1f", ms);
  std::sort(longest_ms.begin(), longest_ms.end());
  double capture = 0;
  for (double s : capture_s) capture += s;
  std::printf("\n%s: worst %.1f ms, median %.1f ms over %zu captures of %.2f s on average\n", window,
              longest_ms.back(), longest_ms[longest_ms.size() / 2], longest_ms.size(),
              capture / static_cast<double>(capture_s.size()));
}
