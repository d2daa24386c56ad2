// The Win32 window during paced picture captures (57,600 baud) on the
// virtual module mapped as COM5 (scripts/bench-window starts it): the
// longest time the window thread goes without handling a message, from the
// Up key until the picture is in (bench/stall_probe.h); then the same
// through a live run of RUNS pictures back to back, each written to a
// record. A Windows window that handles no message for 5 s is marked "Not
// Responding". Built against a version of the window, so that figures of
// two versions sit side by side (scripts/bench-window --before REV); since
// the live run, only versions with the window's live view and record build.
//   corvanta-window-bench-win [RUNS]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "win32_shell.h"
#include "stall_probe.h"

namespace {
template <typename Condition>
bool eventually(Condition condition, int seconds = 30) {
  const auto until = StallProbe::Clock::now() + std::chrono::seconds(seconds);
  while (StallProbe::Clock::now() < until) {
    if (condition()) return true;
    ::Sleep(1);
  }
  return condition();
}

bool fails(const char* what) {
  std::fprintf(stderr, "corvanta-window-bench-win: %s\n", what);
  return false;
}

// Open, Inquiry, the first line, Connect, as a click on each reports it.
bool connect(Win32Shell& shell) {
  HWND main = shell.main_window;
  auto run = [&](int id, int enabled_after) {
    ::SendMessageA(main, WM_COMMAND, command_wparam(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(main, id)));
    return eventually([&] {
      return shell.shell.running_operation == 0 && ::IsWindowEnabled(::GetDlgItem(main, enabled_after));
    });
  };
  if (!run(kIdOpen, kIdInquiry)) return fails("Open did not succeed");
  if (!run(kIdInquiry, kIdInquiry) || ::SendMessageA(::GetDlgItem(main, kIdDeviceList), LB_GETCOUNT, 0, 0) < 1)
    return fails("Inquiry found no camera");
  ::SendMessageA(::GetDlgItem(main, kIdDeviceList), LB_SETCURSEL, 0, 0);
  ::SendMessageA(main, WM_COMMAND, command_wparam(kIdDeviceList, LBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(::GetDlgItem(main, kIdDeviceList)));
  if (!run(kIdConnect, kIdDisconnect)) return fails("Connect did not succeed");
  return true;
}
}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
  if (runs < 1) {
    std::fputs("usage: corvanta-window-bench-win [RUNS]\n", stderr);
    return 2;
  }
  std::thread window_thread([] { app_main(::GetModuleHandleA(nullptr), SW_SHOWNORMAL); });
  if (!eventually([] { return win32_shell() != nullptr && win32_shell()->main_window != nullptr; })) {
    std::fputs("corvanta-window-bench-win: no window\n", stderr);
    ::ExitProcess(1);
  }
  Win32Shell& shell = *win32_shell();
  HWND main = shell.main_window;
  // As corvanta.exe ends: at once, whatever a worker that has just
  // reported is still doing on its way out.
  auto end = [&](int status) {
    ::PostMessageA(main, WM_COMMAND, command_wparam(kIdExit), 0);
    window_thread.join();
    std::fflush(nullptr);
    ::ExitProcess(static_cast<UINT>(status));
    return status;
  };
  if (!connect(shell)) return end(1);

  const auto whole = static_cast<std::int16_t>(kFrameBufferSize);
  std::vector<double> longest;
  std::vector<double> seconds;
  for (int i = 0; i < runs; ++i) {
    StallProbe probe([main] { ::SendMessageA(main, WM_NULL, 0, 0); });
    ::Sleep(20);  // the probe under way
    const auto started = StallProbe::Clock::now();
    ::PostMessageA(main, WM_KEYDOWN, VK_UP, 1);
    // The picture begins (the buffer starts again), comes whole, and the
    // window has done with the key: its thread answers, and nothing runs.
    const bool whole_picture = eventually([&] { return shell.host.frame_length < whole; }) &&
                               eventually([&] { return shell.host.frame_length == whole; });
    ::SendMessageA(main, WM_NULL, 0, 0);
    eventually([&] { return shell.shell.running_operation == 0; });
    seconds.push_back(std::chrono::duration<double>(StallProbe::Clock::now() - started).count());
    probe.stop([] { ::Sleep(1); });
    if (!whole_picture) {
      std::fputs("corvanta-window-bench-win: a capture failed\n", stderr);
      return end(1);
    }
    longest.push_back(probe.longest_ms());
  }
  print_stalls("win32", longest, seconds);

  // Live: Space, RUNS pictures into a record, Space again; the window's
  // longest wait over the whole run.
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  const std::filesystem::path folder = std::filesystem::path(temp) /
                                       ("corvanta-window-bench-" + std::to_string(::GetCurrentProcessId()));
  if (::SendMessageW(main, WM_RECORD_TO_FOLDER, 0, reinterpret_cast<LPARAM>(&folder)) != TRUE) {
    std::fputs("corvanta-window-bench-win: cannot record\n", stderr);
    return end(1);
  }
  AppShell& app = shell.shell;
  auto recorded = [&app] {
    std::lock_guard<std::mutex> lock(app.record_mutex);
    return static_cast<int>(app.record.next_number) - 1;
  };
  StallProbe probe([main] { ::SendMessageA(main, WM_NULL, 0, 0); });
  ::Sleep(20);
  const auto started = StallProbe::Clock::now();
  ::PostMessageA(main, WM_KEYDOWN, VK_SPACE, 1);
  // Until the pictures are in, or live has ended early (a failure).
  eventually([&] { return recorded() >= runs; }, 30 + 5 * runs);
  ::PostMessageA(main, WM_KEYDOWN, VK_SPACE, 1);
  eventually([&] { return !app.live.on && app.running_operation == 0; });
  const double live_seconds = std::chrono::duration<double>(StallProbe::Clock::now() - started).count();
  probe.stop([] { ::Sleep(1); });
  std::printf("win32 live: longest wait for the window thread over %d pictures in %.2f s (each recorded): %.1f ms\n",
              recorded(), live_seconds, probe.longest_ms());
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  if (recorded() < runs) {
    std::fputs("corvanta-window-bench-win: live ended early\n", stderr);
    return end(1);
  }
  return end(0);
}
