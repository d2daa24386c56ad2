// Paced picture captures through the Win32 serial backend, for the Windows
// build under Wine against the virtual module mapped as COM5 (started by
// scripts/bench-win): wall time against the line time of the picture's
// bytes, and the process's CPU time over the captures.
//   corvanta-bench-win [RUNS] [RATE]   (RATE: the module's line, default 57600)
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "camera_commands.h"
#include "hci_inquiry.h"
#include "host_ops.h"
#include "line_text.h"
#include "wait_bounds.h"
#include "win32_serial.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::uint8_t kPort = 5;
// The Number Of Completed Packets event for "U", then 72 packets of a
// 9-byte ACL/L2CAP header and a 192-byte row.
constexpr std::uint32_t kPictureLineBytes = 8 + 72 * (9 + 192);

double process_cpu_seconds() {
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ticks = [](const FILETIME& t) {
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;  // 100 ns units
}
}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 3;
  LineSettings line_settings;
  if (runs < 1 || (argc > 2 && !parse_line_rate(argv[2], line_settings.baud))) {
    std::fputs("usage: corvanta-bench-win [RUNS] [RATE]\n", stderr);
    return 2;
  }
  auto host = std::make_unique<HostState>();
  Win32Serial serial;
  host_attach(*host, serial);
  std::uint8_t count = 0;
  if (failed(host_open(*host, com_port(kPort), line_settings)) || failed(module_start_up(*host, kLocalDeviceName)) ||
      failed(discover_devices(*host, host->found_devices.data(), &count, 1)) || count == 0 ||
      failed(host_connect(*host, host->found_devices[0]))) {
    std::fputs("corvanta-bench-win: no session with the module on COM5\n", stderr);
    return 1;
  }
  const double line =
      std::chrono::duration<double>(wait_bounds::byte_time(line_settings.baud) * kPictureLineBytes).count();
  // The same process asleep for a picture's line time: what Wine itself
  // costs, set against the capture's figure.
  double idle_cpu_before = process_cpu_seconds();
  auto idle_started = Clock::now();
  ::Sleep(static_cast<DWORD>(line * 1000));
  const double idle_share = (process_cpu_seconds() - idle_cpu_before) /
                            std::chrono::duration<double>(Clock::now() - idle_started).count();
  Picture picture;
  CameraView view{&picture, nullptr, nullptr, nullptr};
  std::vector<double> wall;
  double cpu = 0;
  double total_wall = 0;
  for (int i = 0; i < runs; ++i) {
    double cpu_before = process_cpu_seconds();
    auto started = Clock::now();
    if (failed(capture_frame(*host, view))) {
      std::fputs("corvanta-bench-win: a capture failed\n", stderr);
      return 1;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    cpu += process_cpu_seconds() - cpu_before;
    total_wall += seconds;
    wall.push_back(seconds);
  }
  host_disconnect(*host);
  host_close(*host);
  std::sort(wall.begin(), wall.end());
  const double median = wall[wall.size() / 2];
  std::printf("windows, %s: paced capture (median of %d): %.4f s = %.4f x line time (%.4f s); "
              "process CPU %.2f %% of wall (asleep: %.2f %%)\n",
              baud_text(line_settings.baud).c_str(), runs, median, median / line, line, 100.0 * cpu / total_wall,
              100.0 * idle_share);
  return 0;
}
