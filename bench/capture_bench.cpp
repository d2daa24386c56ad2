// Picture capture timings on the virtual module over a real pseudo-terminal,
// side by side in one run:
//  - a paced capture (57,600 baud, 10 bits a byte) against its line time,
//    which says how much the host adds on top of the wire;
//  - an unpaced capture, the host's own cost of reading 72 packets one
//    byte per system call;
//  - the picture-to-picture cycle: captures back to back, "U" to the next
//    "U", stale-input check before each included;
//  - the frame conversion alone.
//   corvanta-bench [PACED_RUNS] [UNPACED_RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "camera_commands.h"
#include "hci_inquiry.h"
#include "host_ops.h"
#include "posix_serial.h"
#include "private_module.h"
#include "program_options.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::uint8_t kPort = 5;
// The Number Of Completed Packets event for "U", then 72 packets of a
// 9-byte ACL/L2CAP header and a 192-byte row.
constexpr double kPictureLineBytes = 8 + 72 * (9 + 192);
constexpr double kLineBytesPerSecond = 57600.0 / 10;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double thread_cpu_seconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Seconds for each of `runs` captures on a freshly connected module. The
// CPU seconds of the capturing thread (the host alone; the module runs on
// threads of its own) are added to `cpu`; `back_to_back` gets the time from
// the first capture's start to the last one's end.
std::vector<double> time_captures(bool paced, int runs, double& cpu, double* back_to_back = nullptr) {
  SimOptions options;
  options.paced = paced;
  options.inquiry_time_scale = 0.02;
  PrivateModule sim;
  if (!sim.start(options, kPort)) return {};
  auto host = std::make_unique<HostState>();
  PosixSerial serial;
  host_attach(*host, serial);
  if (failed(host_open(*host, kPort))) return {};
  if (failed(module_start_up(*host, kLocalDeviceName))) return {};
  std::uint8_t count = 0;
  if (failed(discover_devices(*host, host->found_devices.data(), &count, 1)) || count == 0) return {};
  if (failed(host_connect(*host, host->found_devices[0]))) return {};

  Picture picture;
  CameraView view{&picture, nullptr, nullptr, nullptr};
  std::vector<double> seconds;
  const auto first = Clock::now();
  for (int i = 0; i < runs; ++i) {
    double cpu_before = thread_cpu_seconds();
    auto started = Clock::now();
    if (failed(capture_frame(*host, view))) return {};
    seconds.push_back(std::chrono::duration<double>(Clock::now() - started).count());
    cpu += thread_cpu_seconds() - cpu_before;
  }
  if (back_to_back != nullptr) *back_to_back = std::chrono::duration<double>(Clock::now() - first).count();
  host_disconnect(*host);
  host_close(*host);
  return seconds;
}

double conversion_seconds(int runs) {
  std::vector<std::uint8_t> frame(kFrameBufferSize);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 31);
  Picture picture;
  auto started = Clock::now();
  for (int i = 0; i < runs; ++i) {
    frame[static_cast<std::size_t>(i) % frame.size()] ^= 1;  // keep each run's input distinct
    convert_frame(frame.data(), picture.pixels.data(), kPictureWidth, kPictureHeight);
  }
  return std::chrono::duration<double>(Clock::now() - started).count() / runs;
}
}  // namespace

int main(int argc, char** argv) {
  constexpr const char* kUsage =
      "Usage: corvanta-bench [PACED_RUNS] [UNPACED_RUNS]\n"
      "Time picture captures on a virtual module, paced at 57,600 baud (default 3\n"
      "runs) and unpaced (default 20 runs), and the frame conversion alone; prints\n"
      "the medians against the picture's line time.\n"
      "\n"
      "  -h, --help     show this help\n"
      "      --version  show the version\n";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      print_version("corvanta-bench");
      return 0;
    }
  }
  int paced_runs = argc > 1 ? std::atoi(argv[1]) : 3;
  int unpaced_runs = argc > 2 ? std::atoi(argv[2]) : 20;
  if (paced_runs < 1 || unpaced_runs < 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const double line = kPictureLineBytes / kLineBytesPerSecond;
  double paced_cpu = 0;
  double unpaced_cpu = 0;
  double cycle_total = 0;
  std::vector<double> paced = time_captures(true, paced_runs, paced_cpu, &cycle_total);
  std::vector<double> unpaced = time_captures(false, unpaced_runs, unpaced_cpu);
  if (paced.empty() || unpaced.empty()) {
    std::fputs("corvanta-bench: the session on the virtual module failed\n", stderr);
    return 1;
  }
  double convert = conversion_seconds(2000);
  std::printf("picture on the line: %.0f bytes, %.4f s at 57,600 baud\n", kPictureLineBytes, line);
  double paced_wall = 0;
  for (double s : paced) paced_wall += s;
  std::printf("paced capture   (median of %d): %.4f s  = %.4f x line time; host CPU %.2f %% of wall\n",
              paced_runs, median(paced), median(paced) / line, 100.0 * paced_cpu / paced_wall);
  std::printf("paced cycle, U to the next U (%d back to back): %.4f s  = %.4f x line time\n", paced_runs,
              cycle_total / paced_runs, cycle_total / paced_runs / line);
  std::printf("unpaced capture (median of %d): %.4f s  = %.4f x line time\n", unpaced_runs, median(unpaced),
              median(unpaced) / line);
  std::printf("frame conversion alone        : %.6f s  = %.6f x line time\n", convert, convert / line);
  return 0;
}
