// Picture capture timings on the virtual module, side by side in one run:
//  - at each line speed asked for (57,600, 115,200 and 921,600 baud by
//    default), a paced capture against the line time of its bytes, which
//    says how much the host adds on top of the wire, and the host's CPU
//    while it waits for them;
//  - the picture-to-picture cycle at each speed: captures back to back, "U"
//    to the next "U", the stale-input check before each included;
//  - an unpaced capture over a pseudo-terminal and one over TCP on the
//    loopback address: the host's own cost of taking 72 packets in, to the
//    last row and to the end of the capture (which then looks 10 ms for a
//    packet that would show the line out of step);
//  - a paced live run at 57,600 and 921,600 baud, as the driver's live step
//    runs it: pictures back to back, each written into a record, with a
//    steering key after every third, the mean cycle against the line time of
//    a cycle's bytes in both directions (the picture's and its key's);
//  - the frame conversion alone.
//   corvanta-bench [--baud RATE]... [--live PICTURES] [PACED_RUNS] [UNPACED_RUNS]
#include <algorithm>
#include <chrono>
#include <future>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "camera_commands.h"
#include "picture_record.h"
#include "hci_inquiry.h"
#include "host_ops.h"
#include "line_text.h"
#include "posix_serial.h"
#include "private_module.h"
#include "program_options.h"
#include "tcp_serial.h"
#include "wait_bounds.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::uint8_t kPort = 5;
// The Number Of Completed Packets event for "U", then 72 packets of a
// 9-byte ACL/L2CAP header and a 192-byte row.
constexpr std::uint32_t kPictureLineBytes = 8 + 72 * (9 + 192);

// The picture's bytes at `baud`, in seconds, to the nanosecond.
double picture_line_seconds(std::uint32_t baud) {
  return std::chrono::duration<double>(wait_bounds::byte_time(baud) * kPictureLineBytes).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double thread_cpu_seconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string load_average() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

struct Timings {
  std::vector<double> seconds;        // each capture
  std::vector<double> to_last_row;    // each capture's start to its 72nd row
  double cpu = 0;                     // CPU seconds of the capturing thread over them all
  double back_to_back = 0;            // first capture's start to the last one's end
  Clock::time_point started{};        // of the capture under way
};

// The capture's progress: the time its last row came.
void row_done(void* context, int packets, int) {
  auto* timings = static_cast<Timings*>(context);
  if (packets == kPictureRows)
    timings->to_last_row.push_back(std::chrono::duration<double>(Clock::now() - timings->started).count());
}

// `runs` captures on a freshly connected module, over a pty or over TCP.
// The CPU is the capturing thread's (the host alone; the module runs on
// threads of its own).
bool time_captures(bool paced, bool tcp, std::uint32_t baud, int runs, Timings& out) {
  SimOptions options;
  options.paced = paced;
  options.inquiry_time_scale = 0.02;
  options.line.baud = baud;
  options.tcp = tcp;
  PrivateModule sim;
  std::unique_ptr<VirtualModule> tcp_module;
  if (tcp) {
    tcp_module = std::make_unique<VirtualModule>(options);
    if (!tcp_module->start()) return false;
  } else if (!sim.start(options, kPort)) {
    return false;
  }
  auto host = std::make_unique<HostState>();
  PosixSerial serial;
  TcpSerial socket;
  host_attach(*host, tcp ? static_cast<SerialBackend&>(socket) : serial);
  const PortName port = tcp ? PortName{PortKind::tcp, tcp_module->tcp_port(), "127.0.0.1"} : com_port(kPort);
  if (failed(host_open(*host, port, LineSettings{baud, FlowControl::none}))) return false;
  if (failed(module_start_up(*host, kLocalDeviceName))) return false;
  std::uint8_t count = 0;
  if (failed(discover_devices(*host, host->found_devices.data(), &count, 1)) || count == 0) return false;
  if (failed(host_connect(*host, host->found_devices[0]))) return false;

  Picture picture;
  CameraView view{&picture, nullptr, row_done, &out};
  const auto first = Clock::now();
  for (int i = 0; i < runs; ++i) {
    double cpu_before = thread_cpu_seconds();
    out.started = Clock::now();
    if (failed(capture_frame(*host, view))) return false;
    out.seconds.push_back(std::chrono::duration<double>(Clock::now() - out.started).count());
    out.cpu += thread_cpu_seconds() - cpu_before;
  }
  out.back_to_back = std::chrono::duration<double>(Clock::now() - first).count();
  host_disconnect(*host);
  host_close(*host);
  return true;
}

// A live cycle's bytes on the wire, both directions: "U" out (10 bytes with
// its H4, ACL and L2CAP headers), the Number Of Completed Packets event and
// the 72 rows back; a key out (10), the event and its 13-byte answer back.
constexpr std::uint32_t kLivePictureBytes = 10 + kPictureLineBytes;
constexpr std::uint32_t kLiveKeyBytes = 10 + 8 + 13;

struct LiveTimings {
  double mean_cycle = 0;  // one picture's start to the next's
  double line = 0;        // the line time of a cycle's bytes, on average
  double cpu = 0;         // the host thread's CPU over the run, share of wall
};

// `pictures` paced pictures back to back into a record of BMP files, the
// letters L R D H K M in turn after every third while another follows.
bool time_live(std::uint32_t baud, int pictures, LiveTimings& out) {
  SimOptions options;
  options.inquiry_time_scale = 0.02;
  options.line.baud = baud;
  PrivateModule sim;
  if (!sim.start(options, kPort)) return false;
  auto host = std::make_unique<HostState>();
  PosixSerial serial;
  host_attach(*host, serial);
  if (failed(host_open(*host, com_port(kPort), LineSettings{baud, FlowControl::none}))) return false;
  if (failed(module_start_up(*host, kLocalDeviceName))) return false;
  std::uint8_t count = 0;
  if (failed(discover_devices(*host, host->found_devices.data(), &count, 1)) || count == 0) return false;
  if (failed(host_connect(*host, host->found_devices[0]))) return false;
  PictureRecord record;
  std::string error;
  if (!record_start(record, sim.ports_directory() + "/live", RecordFormat::bmp, error)) return false;

  Picture picture;
  CameraView view{&picture, nullptr, nullptr, nullptr};
  const std::uint32_t keys[] = {kVkLeft, kVkRight, kVkDown, kVkH, kVkK, kVkM};
  std::uint64_t bytes = 0;
  const double cpu_before = thread_cpu_seconds();
  const auto first = Clock::now();
  auto last_start = first;
  // As the driver's live step: each picture is written while the next
  // comes, one write under way at most.
  // The writers' CPU counts as the host's; one runs at a time, and get()
  // orders its sum before the next.
  std::future<bool> writing;
  double writer_cpu = 0;
  for (int n = 1; n <= pictures; ++n) {
    last_start = Clock::now();
    if (failed(camera_key_down(*host, view, kVkUp))) return false;
    if (writing.valid() && !writing.get()) return false;
    writing = std::async(std::launch::async,
                         [&record, &writer_cpu, picture, when = std::chrono::system_clock::now()]() {
                           const double cpu_at_start = thread_cpu_seconds();
                           const bool ok = record_picture(record, picture, when);
                           writer_cpu += thread_cpu_seconds() - cpu_at_start;
                           return ok;
                         });
    if (n == pictures) break;
    bytes += kLivePictureBytes;
    if (n % 3 == 0) {
      if (failed(camera_key_down(*host, view, keys[(n / 3 - 1) % 6]))) return false;
      bytes += kLiveKeyBytes;
    }
  }
  if (!writing.get()) return false;
  const double wall = std::chrono::duration<double>(Clock::now() - first).count();
  out.cpu = (thread_cpu_seconds() - cpu_before + writer_cpu) / wall;
  out.mean_cycle = std::chrono::duration<double>(last_start - first).count() / (pictures - 1);
  out.line = std::chrono::duration<double>(wait_bounds::byte_time(baud) * bytes).count() / (pictures - 1);
  host_disconnect(*host);
  host_close(*host);
  return true;
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

double sum(const std::vector<double>& values) {
  double total = 0;
  for (double v : values) total += v;
  return total;
}
}  // namespace

int main(int argc, char** argv) {
  constexpr const char* kUsage =
      "Usage: corvanta-bench [--baud RATE]... [--live PICTURES] [PACED_RUNS] [UNPACED_RUNS]\n"
      "Time picture captures on a virtual module: paced at each RATE given (default\n"
      "57600, 115200 and 921600; 3 runs each) against the line time of the\n"
      "picture's bytes, with the host's CPU; unpaced over a pseudo-terminal and\n"
      "over TCP on the loopback address (default 20 runs each); and the frame\n"
      "conversion alone. A paced live run at 57600 and 921600 baud (PICTURES\n"
      "pictures each, default 12, at least 2) with a steering key after every third\n"
      "picture: the mean cycle against the line time of a cycle's bytes.\n"
      "\n"
      "  -h, --help     show this help\n"
      "      --version  show the version\n";
  std::vector<std::uint32_t> rates;
  std::vector<int> counts;
  int live_pictures = 12;
  const std::vector<std::string> args = split_arguments(argc, argv);
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (args[i] == "--version") {
      print_version("corvanta-bench");
      return 0;
    }
    std::uint32_t rate = 0;
    if (args[i] == "--live" && i + 1 < args.size() && std::atoi(args[i + 1].c_str()) >= 2) {
      live_pictures = std::atoi(args[++i].c_str());
    } else if (args[i] == "--baud" && i + 1 < args.size() && parse_line_rate(args[i + 1], rate)) {
      rates.push_back(rate);
      ++i;
    } else if (args[i].rfind("-", 0) != 0 && counts.size() < 2 && std::atoi(args[i].c_str()) > 0) {
      counts.push_back(std::atoi(args[i].c_str()));
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (rates.empty()) rates = {57600, 115200, 921600};
  const int paced_runs = counts.size() > 0 ? counts[0] : 3;
  const int unpaced_runs = counts.size() > 1 ? counts[1] : 20;

  std::printf("load average before: %s\n", load_average().c_str());
  std::printf("picture on the line: %u bytes\n", kPictureLineBytes);
  for (std::uint32_t baud : rates) {
    Timings paced;
    if (!time_captures(true, false, baud, paced_runs, paced)) {
      std::fprintf(stderr, "corvanta-bench: the session at %s failed\n", baud_text(baud).c_str());
      return 1;
    }
    const double line = picture_line_seconds(baud);
    std::printf("%s (line time %.4f s):\n", baud_text(baud).c_str(), line);
    std::printf("  paced capture (median of %d): %.4f s = %.4f x line time; host CPU %.2f %% of wall\n", paced_runs,
                median(paced.seconds), median(paced.seconds) / line, 100.0 * paced.cpu / sum(paced.seconds));
    std::printf("  paced cycle, U to the next U (%d back to back): %.4f s = %.4f x line time\n", paced_runs,
                paced.back_to_back / paced_runs, paced.back_to_back / paced_runs / line);
  }
  const double line = picture_line_seconds(57600);
  for (bool tcp : {false, true}) {
    Timings unpaced;
    if (!time_captures(false, tcp, 57600, unpaced_runs, unpaced)) {
      std::fprintf(stderr, "corvanta-bench: the unpaced session over %s failed\n", tcp ? "TCP" : "the pty");
      return 1;
    }
    std::printf("unpaced capture over %-3s (median of %d): last row after %.3f ms, whole capture %.4f s "
                "(%.4f x the line time at 57,600); host CPU %.1f %%\n",
                tcp ? "TCP" : "pty", unpaced_runs, 1000 * median(unpaced.to_last_row), median(unpaced.seconds),
                median(unpaced.seconds) / line, 100.0 * unpaced.cpu / sum(unpaced.seconds));
  }
  for (std::uint32_t baud : {57600u, 921600u}) {
    LiveTimings live;
    if (!time_live(baud, live_pictures, live)) {
      std::fprintf(stderr, "corvanta-bench: the live run at %s failed\n", baud_text(baud).c_str());
      return 1;
    }
    std::printf("paced live run at %s, %d pictures, a key after every third: mean cycle %.4f s = %.4f x the line "
                "time of a cycle's bytes (%.4f s; goal 1.01 x); host CPU %.2f %% of wall\n",
                baud_text(baud).c_str(), live_pictures, live.mean_cycle, live.mean_cycle / live.line, live.line,
                100.0 * live.cpu);
  }
  double convert = conversion_seconds(2000);
  std::printf("frame conversion alone: %.6f s = %.6f x the line time at 57,600\n", convert, convert / line);
  std::printf("load average after: %s\n", load_average().c_str());
  return 0;
}
