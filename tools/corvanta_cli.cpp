// corvanta-cli: runs the controller's operations in the order given, in one
// process, one line of output per step, against a serial port or against a
// virtual module of its own (--sim).
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bmp_file.h"
#include "btsnoop.h"
#include "camera_commands.h"
#include "hci_inquiry.h"
#include "host_ops.h"
#include "posix_serial.h"
#include "private_module.h"
#include "serial_link.h"
#include "trace_serial.h"

namespace {
const char* const kUsage =
    "Usage: corvanta-cli [OPTION]... STEP...\n"
    "Drive the Bluetooth camera through a module on a serial port: run the\n"
    "steps in the order given, one line of output each.\n"
    "\n"
    "Options:\n"
    "  --port N       the module's port, COM1 to COM9 (default 5)\n"
    "  --sim          run a virtual module and camera in this process on a\n"
    "                 private pseudo-terminal, at the real line speed\n"
    "  --fast         with --sim: unpaced line and a short inquiry\n"
    "  --trace FILE   write every packet on the serial link to FILE (btsnoop,\n"
    "                 readable by Wireshark, tshark and btmon -r)\n"
    "  --help         show this help\n"
    "\n"
    "Steps:\n"
    "  open           open the port and start the module up (reset, address,\n"
    "                 name \"quorel\", discoverable and connectable)\n"
    "  inquiry        discover up to 4 devices; prints their addresses by index\n"
    "  connect INDEX  connect to the device INDEX of the last inquiry\n"
    "  key LETTER     send one steering letter: L R D H K M, or U (the letter\n"
    "                 alone, no picture)\n"
    "  capture FILE   fetch a picture (the Up key) and save it as a .bmp\n"
    "  disconnect     close the channel and drop the link\n"
    "  close          release the port\n"
    "\n"
    "A step that fails ends the run: the steps after it are reported as\n"
    "skipped. Ctrl-C ends the current step's waits at once and the run\n"
    "with it.\n"
    "Exit status: 0 when every step succeeded, 1 when a step failed,\n"
    "2 for a usage error, 130 when interrupted.\n"
    "\n"
    "Example: corvanta-cli --sim open inquiry connect 0 key L capture shot.bmp \\\n"
    "           disconnect close\n";

enum class StepKind { open, inquiry, connect, key, capture, disconnect, close };

struct Step {
  StepKind kind;
  std::string argument;  // connect: the index; key: the letter; capture: the file
  std::string text;      // as given, for the output
};

struct CliOptions {
  std::uint8_t port = 5;
  bool sim = false;
  bool fast = false;
  std::string trace;
  std::vector<Step> steps;
};

// Ctrl-C and SIGTERM end every wait of the running step: the handler may only
// touch a lock-free atomic, so it reaches the HostState's flag through this.
std::atomic<bool>* g_cancel_flag = nullptr;

extern "C" void request_cancel(int) {
  if (g_cancel_flag != nullptr) g_cancel_flag->store(true);
}

void install_cancel_handler(std::atomic<bool>& flag) {
  g_cancel_flag = &flag;
  struct sigaction action{};
  action.sa_handler = request_cancel;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int usage_error(const std::string& what) {
  std::fprintf(stderr, "corvanta-cli: %s\nTry 'corvanta-cli --help' for more information.\n", what.c_str());
  return 2;
}

// The letter a `key` step sends, and the key that sends it in the window.
bool key_for_letter(char letter, std::uint32_t& virtual_key) {
  switch (letter) {
    case 'L': virtual_key = kVkLeft; return true;
    case 'R': virtual_key = kVkRight; return true;
    case 'D': virtual_key = kVkDown; return true;
    case 'H': virtual_key = kVkH; return true;
    case 'K': virtual_key = kVkK; return true;
    case 'M': virtual_key = kVkM; return true;
    case 'U': virtual_key = kVkU; return true;
    default: return false;
  }
}

// 0 on success, else the exit status of a usage error.
int parse_arguments(int argc, char** argv, CliOptions& options, bool& help) {
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help") {
      help = true;
      return 0;
    } else if (arg == "--port") {
      if (i + 1 >= argc) return usage_error("--port needs a number");
      std::string value = argv[++i];
      if (value.size() != 1 || value[0] < '1' || value[0] > '9') return usage_error("--port takes 1 to 9");
      options.port = static_cast<std::uint8_t>(value[0] - '0');
    } else if (arg == "--sim") {
      options.sim = true;
    } else if (arg == "--fast") {
      options.fast = true;
    } else if (arg == "--trace") {
      if (i + 1 >= argc) return usage_error("--trace needs a file name");
      options.trace = argv[++i];
    } else if (arg.rfind("--", 0) == 0) {
      return usage_error("unknown option " + arg);
    } else {
      break;
    }
  }
  for (; i < argc; ++i) {
    std::string name = argv[i];
    // The step's own argument, or nullptr when the command line ends first.
    auto argument = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    Step step{StepKind::open, "", name};
    if (name == "open") {
      step.kind = StepKind::open;
    } else if (name == "inquiry") {
      step.kind = StepKind::inquiry;
    } else if (name == "disconnect") {
      step.kind = StepKind::disconnect;
    } else if (name == "close") {
      step.kind = StepKind::close;
    } else if (name == "connect") {
      const char* index = argument();
      if (index == nullptr || std::string(index).size() != 1 || index[0] < '0' || index[0] > '3')
        return usage_error("connect takes an index from 0 to 3");
      step.kind = StepKind::connect;
      step.argument = index;
    } else if (name == "key") {
      const char* letter = argument();
      std::uint32_t vk = 0;
      if (letter == nullptr || std::string(letter).size() != 1 ||
          !key_for_letter(static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0]))), vk))
        return usage_error("key takes one of L R D H K M U");
      step.kind = StepKind::key;
      step.argument = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0]))));
    } else if (name == "capture") {
      const char* file = argument();
      if (file == nullptr) return usage_error("capture needs a file name");
      step.kind = StepKind::capture;
      step.argument = file;
    } else {
      return usage_error("unknown step " + name);
    }
    if (!step.argument.empty()) step.text += " " + step.argument;
    options.steps.push_back(step);
  }
  if (options.steps.empty()) return usage_error("no steps given");
  if (options.fast && !options.sim) return usage_error("--fast is for --sim");
  return 0;
}

// Progress over the 72 packets of a picture, on a terminal only.
struct CaptureProgress {
  std::string label;
};

void show_capture_progress(void* context, int packets, int frame_length) {
  auto* progress = static_cast<CaptureProgress*>(context);
  std::printf("\r%s: packet %d/%d, %d bytes", progress->label.c_str(), packets, kFramePackets, frame_length);
  std::fflush(stdout);
}

struct Session {
  HostState& s;
  Picture picture;
  CaptureProgress progress;
};

// Runs one step; prints its one line; true on success.
bool run_step(Session& session, const CliOptions& options, const Step& step) {
  HostState& s = session.s;
  std::string line = step.text + ": ";
  bool ok = false;
  switch (step.kind) {
    case StepKind::open: {
      LinkOwner owner(s);
      line = "open COM" + std::to_string(options.port) + ": ";
      if (failed(host_open(s, options.port))) {
        line += "failed (the port cannot be opened)";
      } else if (failed(module_start_up(s, kLocalDeviceName))) {
        line += "failed (the module did not start up)";
      } else {
        ok = true;
        line += "ok, module " + address_text(reversed_address(s.local_address));
      }
      break;
    }
    case StepKind::inquiry: {
      LinkOwner owner(s);
      std::uint8_t count = s.found_count;
      Status status = discover_devices(s, s.found_devices.data(), &count, kMaxFoundDevices);
      s.found_count = count;
      if (failed(status)) {
        line += "failed";
      } else if (count == 0) {
        line += "failed (no device found)";
      } else {
        ok = true;
        line += std::to_string(count) + (count == 1 ? " device:" : " devices:");
        for (std::uint8_t i = 0; i < count; ++i)
          line += " " + std::to_string(i) + "=" + address_text(s.found_devices[i]);
      }
      break;
    }
    case StepKind::connect: {
      LinkOwner owner(s);
      const auto index = static_cast<std::size_t>(step.argument[0] - '0');
      if (index >= s.found_count) {
        line += "failed (no device " + step.argument + "; the last inquiry found " + std::to_string(s.found_count) + ")";
      } else if (failed(host_connect(s, s.found_devices[index]))) {
        line += "failed (" + address_text(s.found_devices[index]) + " did not connect)";
      } else {
        ok = true;
        line += "ok, " + address_text(s.found_devices[index]);
      }
      break;
    }
    case StepKind::key: {
      std::uint32_t vk = 0;
      key_for_letter(step.argument[0], vk);
      CameraView view{&session.picture, nullptr, nullptr, nullptr};
      const std::int16_t before = s.frame_length;
      if (s.channel_state != kChannelOpen) {
        line += "failed (no channel open)";
      } else if (failed(camera_key_down(s, view, vk))) {
        line += "failed (no answer)";
      } else if (s.frame_length == before && static_cast<std::size_t>(before) == kFrameBufferSize) {
        // After a whole picture the receive buffer is full until the next
        // capture, so the answer came but was not kept.
        ok = true;
        line += "ok, answer not kept (picture buffer full)";
      } else {
        ok = true;
        line += "ok, answer of " + std::to_string(s.frame_length - before) + " bytes";
      }
      break;
    }
    case StepKind::capture: {
      session.progress.label = step.text;
      CameraView view{&session.picture, nullptr, nullptr, &session.progress};
      if (::isatty(STDOUT_FILENO)) view.packet_done = show_capture_progress;
      if (s.channel_state != kChannelOpen) {
        line += "failed (no channel open)";
        break;
      }
      Status status = camera_key_down(s, view, kVkUp);
      if (view.packet_done != nullptr) std::printf("\r\033[K");
      const bool saved = write_bmp(step.argument, session.picture);
      const std::string bytes = std::to_string(s.frame_length) + " of " + std::to_string(kFrameBufferSize) + " bytes";
      if (!saved) {
        line += "failed (cannot write the file)";
      } else if (failed(status)) {
        line += "failed, " + bytes + " (what arrived is saved)";
      } else {
        ok = true;
        line += "ok, " + bytes;
      }
      break;
    }
    case StepKind::disconnect: {
      LinkOwner owner(s);
      if (failed(host_disconnect(s))) {
        line += "failed";
      } else {
        ok = true;
        line += s.link_connected == 0 ? "ok" : "ok (the module did not confirm the link is down)";
      }
      break;
    }
    case StepKind::close: {
      LinkOwner owner(s);
      ok = !failed(host_close(s));
      line += ok ? "ok" : "failed (no port open)";
      break;
    }
  }
  // Ctrl-C ended the step's waits: whatever it reports, the run ends here.
  if (s.cancel_requested.load()) {
    ok = false;
    line += " (interrupted)";
  }
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  return ok;
}

SimOptions sim_options_for(const CliOptions& options) {
  SimOptions sim_options;
  sim_options.paced = !options.fast;
  if (options.fast) {
    sim_options.inquiry_time_scale = 0.05;
    sim_options.page_timeout_scale = 0.05;
  }
  return sim_options;
}
}  // namespace

int main(int argc, char** argv) {
  CliOptions options;
  bool help = false;
  if (int status = parse_arguments(argc, argv, options, help); status != 0) return status;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }

  PrivateModule sim;
  if (options.sim && !sim.start(sim_options_for(options), options.port)) {
    std::fprintf(stderr, "corvanta-cli: cannot start the virtual module\n");
    return 1;
  }
  if (options.sim)
    std::printf("virtual module on COM%u (%s), %s\n", options.port, sim.module().device_path().c_str(),
                options.fast ? "unpaced" : "57,600 baud");

  // HostState and the trace's packet trackers are large: keep them off the stack.
  auto state = std::make_unique<HostState>();
  PosixSerial posix;
  BtsnoopWriter trace_file;
  std::unique_ptr<TraceSerial> trace;
  SerialBackend* backend = &posix;
  if (!options.trace.empty()) {
    if (!trace_file.open(options.trace)) {
      std::fprintf(stderr, "corvanta-cli: cannot write %s\n", options.trace.c_str());
      return 1;
    }
    trace = std::make_unique<TraceSerial>(posix, trace_file);
    backend = trace.get();
  }
  host_attach(*state, *backend);
  install_cancel_handler(state->cancel_requested);

  auto session = std::make_unique<Session>(Session{*state, Picture{}, CaptureProgress{}});
  bool all_ok = true;
  for (const Step& step : options.steps) {
    if (!all_ok) {
      std::printf("%s: skipped\n", step.text.c_str());
      continue;
    }
    all_ok = run_step(*session, options, step);
  }
  if (!options.trace.empty()) std::printf("trace: %zu packets in %s\n", trace_file.records_written(), options.trace.c_str());
  g_cancel_flag = nullptr;
  if (state->cancel_requested.load()) return 130;
  return all_ok ? 0 : 1;
}
