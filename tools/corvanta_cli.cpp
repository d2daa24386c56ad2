// corvanta-cli: runs the controller's operations in the order given, in one
// process, one line of output per step, against a serial port or against a
// virtual module of its own (--sim).
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bmp_file.h"
#include "btsnoop.h"
#include "failure_text.h"
#include "camera_commands.h"
#include "gif_file.h"
#include "hci_inquiry.h"
#include "hci_link_control.h"
#include "host_ops.h"
#include "line_text.h"
#include "link_keys.h"
#include "pairing_shell.h"
#include "picture_record.h"
#include "port_list.h"
#include "port_path.h"
#include "port_switch.h"
#include "posix_serial.h"
#include "private_module.h"
#include "program_options.h"
#include "serial_link.h"
#include "settings.h"
#include "sim_options.h"
#include "tcp_serial.h"
#include "trace_serial.h"
#include "wait_bounds.h"

namespace {
const char* const kUsage =
    "Usage: corvanta-cli [OPTION]... STEP...\n"
    "Drive the Bluetooth camera through a module on a serial port: run the\n"
    "steps in the order given, one line of output each.\n"
    "\n"
    "Options (--opt=value works as --opt value):\n"
    "  --port PORT       the module's port: N or COMN for COM1 to COM255 (default 5),\n"
    "                    a device path such as /dev/ttyUSB0, or tcp:HOST:PORT for\n"
    "                    a module behind a TCP server (ser2net, an emulator)\n"
    "  --baud RATE       the module's line speed (default 57600): 9600, 14400,\n"
    "                    19200, 38400, 57600, 115200, 230400, 460800, 921600,\n"
    "                    1000000, 1500000 or 3000000\n"
    "  --flow FLOW       none (default) or rtscts: RTS/CTS hardware flow control\n"
    "  --sim             run a virtual module and camera in this process on a\n"
    "                    private pseudo-terminal, paced at the line's speed\n"
    "  --fast            with --sim: unpaced line and a short inquiry\n"
    "  --trace FILE      write every packet on the serial link to FILE (btsnoop,\n"
    "                    readable by Wireshark, tshark and btmon -r)\n"
    "  --pin PIN         the PIN (1 to 16 characters) for a device that asks for\n"
    "                    one to pair; without it, a PIN remembered by the windows\n"
    "                    for that device, else one asked on the terminal\n"
    "  -k, --keep-going  run every step even after one fails\n"
    "  --list-ports      the same as the step ports\n"
    "  -h, --help        show this help\n"
    "  --version         show the version\n"
    "\n"
    "Steps:\n"
    "  ports             list COM1 to COM9 and every other COMn mapped, where each\n"
    "                    maps and whether it is there, and the adapters under\n"
    "                    /dev/serial/by-id\n"
    "  open              open the port and start the module up (reset, address,\n"
    "                    name \"quorel\", discoverable and connectable)\n"
    "  inquiry           discover up to 4 devices; prints their addresses by index\n"
    "  connect INDEX     connect to the device INDEX of the last inquiry\n"
    "  connect ADDRESS   connect to AA:BB:CC:DD:EE:FF without an inquiry\n"
    "  key LETTER        send one steering letter: L R D H K M, or U (the letter\n"
    "                    alone, no picture)\n"
    "  capture FILE      fetch a picture (the Up key) and save it as a .bmp; the\n"
    "                    file is replaced only when the whole picture came\n"
    "  live COUNT DIR [--gif FILE] [--steer LETTERS]\n"
    "                    COUNT pictures back to back, each as capture takes it,\n"
    "                    saved into DIR as 0001.bmp, 0002.bmp, ... with\n"
    "                    pictures.csv (number,time,file,keys); a DIR that holds\n"
    "                    a pictures.csv goes on after its last number.\n"
    "                    --gif FILE: the series as an animated GIF too;\n"
    "                    --steer LETTERS: after every third picture one letter\n"
    "                    of L R D H K M, taken in turn. Prints the mean cycle\n"
    "                    (one picture's start to the next's) and its ratio to\n"
    "                    the line time of a cycle's bytes at the line's speed\n"
    "  disconnect        close the channel and drop the link\n"
    "  close             release the port\n"
    "  forget ADDRESS    remove the link key stored for AA:BB:CC:DD:EE:FF, so that\n"
    "                    the next connect pairs anew (needs no port)\n"
    "\n"
    "A step that fails ends the run: the steps after it are reported as\n"
    "skipped, a live link is disconnected and the port closed. Ctrl-C ends\n"
    "the current step's waits at once and the run with it, with the same\n"
    "clean-up. With --keep-going every step runs, and the clean-up follows\n"
    "the last one. Progress (devices found, the page, picture rows) goes to\n"
    "standard error while a step waits.\n"
    "Ports: COMn is <ports>/comn when that entry exists, else /dev/ttyS<n-1>;\n"
    "<ports> is $CORVANTA_PORTS, else ~/.config/corvanta/ports. A held port\n"
    "is exclusive: a second program is told it is busy.\n"
    "Pairing: a device that asks for a PIN gets --pin's; else one the windows\n"
    "remembered for it in their settings file; else, on a terminal, the PIN is\n"
    "asked once a run, without echo, for 30 s; else it is told there is none.\n"
    "The link keys pairing makes are kept in $XDG_STATE_HOME/corvanta/link-keys\n"
    "(~/.local/state/corvanta/link-keys) and used on the next connect.\n"
    "Exit status: 0 when every step succeeded, 1 when a step failed,\n"
    "2 for a usage error, 130 when interrupted.\n"
    "\n"
    "Example: corvanta-cli --sim open inquiry connect 0 key L capture shot.bmp \\\n"
    "           disconnect close\n";

enum class StepKind { ports, open, inquiry, connect, key, capture, live, disconnect, close, forget };

struct Step {
  StepKind kind;
  std::string argument;  // connect: the index or address; key: the letter; capture: the file; live: the folder;
                         // forget: the address
  std::string text;      // as given, for the output
  // live: how many pictures, the animated GIF's file ("": none), the steering letters.
  std::uint32_t count = 0;
  std::string gif;
  std::string steer;
};

struct CliOptions {
  PortName port = com_port(5);
  LineSettings line;
  bool sim = false;
  bool fast = false;
  bool keep_going = false;
  std::string trace;
  std::string pin;  // --pin ("": none given)
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

// A key's answer as hex bytes, "4C F8 00 01"; a longer one says its length.
std::string answer_text(const HostState& s) {
  std::string text;
  const std::size_t shown = std::min<std::size_t>(s.key_answer_length, s.key_answer.size());
  for (std::size_t i = 0; i < shown; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", s.key_answer[i]);
    text += hex;
  }
  if (shown < s.key_answer_length) text += " ... (" + std::to_string(s.key_answer_length) + " bytes)";
  return text.empty() ? "empty" : text;
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
int parse_arguments(const std::vector<std::string>& args, CliOptions& options, bool& help, bool& version) {
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
      return 0;
    } else if (arg == "--version") {
      version = true;
      return 0;
    } else if (arg == "--port") {
      if (i + 1 >= args.size() || !parse_port_name(args[i + 1], options.port))
        return usage_error("--port takes 1 to 255, COM1 to COM255, a device path or tcp:HOST:PORT");
      ++i;
    } else if (arg == "--baud") {
      // Refused before anything is opened: a rate the line cannot take.
      if (i + 1 >= args.size() || !parse_line_rate(args[i + 1], options.line.baud))
        return usage_error("--baud takes one of " + line_rates_text());
      ++i;
    } else if (arg == "--flow") {
      if (i + 1 >= args.size() || !parse_flow_control(args[i + 1], options.line.flow))
        return usage_error("--flow takes none or rtscts");
      ++i;
    } else if (arg == "--sim") {
      options.sim = true;
    } else if (arg == "--fast") {
      options.fast = true;
    } else if (arg == "--keep-going" || arg == "-k") {
      options.keep_going = true;
    } else if (arg == "--list-ports") {
      options.steps.push_back(Step{StepKind::ports, "", "ports", 0, "", ""});
    } else if (arg == "--trace") {
      if (i + 1 >= args.size()) return usage_error("--trace needs a file name");
      options.trace = args[++i];
    } else if (arg == "--pin") {
      // Refused before anything is opened: no device could take it.
      if (i + 1 >= args.size() || !pin_problem(args[i + 1]).empty())
        return usage_error("--pin takes 1 to 16 characters, no control characters, no blank at either end");
      options.pin = args[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage_error("unknown option " + arg);
    } else {
      break;
    }
  }
  for (; i < args.size(); ++i) {
    const std::string& name = args[i];
    // The step's own argument, or nullptr when the command line ends first.
    auto argument = [&]() -> const char* { return i + 1 < args.size() ? args[++i].c_str() : nullptr; };
    Step step{StepKind::open, "", name, 0, "", ""};
    if (name == "ports") {
      step.kind = StepKind::ports;
    } else if (name == "open") {
      step.kind = StepKind::open;
    } else if (name == "inquiry") {
      step.kind = StepKind::inquiry;
    } else if (name == "disconnect") {
      step.kind = StepKind::disconnect;
    } else if (name == "close") {
      step.kind = StepKind::close;
    } else if (name == "connect") {
      const char* target = argument();
      DeviceAddress address{};
      const bool index = target != nullptr && std::string(target).size() == 1 && target[0] >= '0' && target[0] <= '3';
      if (target == nullptr || (!index && !parse_device_address(target, address)))
        return usage_error("connect takes an index from 0 to 3 or an address AA:BB:CC:DD:EE:FF");
      step.kind = StepKind::connect;
      step.argument = index ? std::string(target) : colon_address_text(address);
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
    } else if (name == "live") {
      const char* count = argument();
      char* end = nullptr;
      const unsigned long n = count != nullptr ? std::strtoul(count, &end, 10) : 0;
      if (count == nullptr || *count < '1' || *count > '9' || *end != '\0' || n > 99999)
        return usage_error("live takes a count from 1 to 99999 and a folder");
      const char* folder = argument();
      if (folder == nullptr) return usage_error("live needs a folder");
      step.kind = StepKind::live;
      step.count = static_cast<std::uint32_t>(n);
      step.text += " " + std::string(count);
      step.argument = folder;
      while (i + 1 < args.size() && (args[i + 1] == "--gif" || args[i + 1] == "--steer")) {
        const std::string option = args[++i];
        const char* value = argument();
        if (value == nullptr) return usage_error("live: " + option + " needs a value");
        if (option == "--gif") {
          step.gif = value;
          continue;
        }
        for (const char* letter = value; *letter != '\0'; ++letter) {
          const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(*letter)));
          std::uint32_t vk = 0;
          if (upper == 'U' || !key_for_letter(upper, vk))
            return usage_error("live: --steer takes letters of L R D H K M");
          step.steer.push_back(upper);
        }
        if (step.steer.empty()) return usage_error("live: --steer takes letters of L R D H K M");
      }
    } else if (name == "forget") {
      const char* target = argument();
      DeviceAddress address{};
      if (target == nullptr || !parse_device_address(target, address))
        return usage_error("forget takes an address AA:BB:CC:DD:EE:FF");
      step.kind = StepKind::forget;
      step.argument = colon_address_text(address);
    } else {
      return usage_error("unknown step " + name);
    }
    if (!step.argument.empty()) step.text += " " + step.argument;
    options.steps.push_back(step);
  }
  if (options.steps.empty()) return usage_error("no steps given");
  if (options.fast && !options.sim) return usage_error("--fast is for --sim");
  if (options.sim && options.port.kind != PortKind::com) return usage_error("--sim serves COMn, not " + port_name_text(options.port));
  return 0;
}

// One line of the ports step: COMn, where it maps and whether it is there.
std::string com_port_line(std::uint8_t n) {
  const std::string path = posix_port_path(n);
  std::string line = "  COM" + std::to_string(n) + "  " + path;
  std::error_code error;
  if (std::filesystem::is_symlink(path, error))
    line += " -> " + std::filesystem::read_symlink(path, error).string();
  struct stat info{};
  if (::stat(path.c_str(), &info) != 0) {
    line += errno == EACCES ? "  (not readable)" : "  (missing)";
  } else if (!S_ISCHR(info.st_mode)) {
    line += "  (not a serial device)";
  } else {
    line += ::access(path.c_str(), R_OK | W_OK) == 0 ? "  (present)" : "  (present, permission denied)";
  }
  return line + "\n";
}

// Lines of the ports step: COM1 to COM9 as the driver would open them, the
// other ports the windows' port box offers (COMn mapped above COM9), and
// the adapters the system names by id, which make stable mappings.
std::string port_listing() {
  std::string text = "ports: COMn is " + ports_directory() + "/comn when that exists, else /dev/ttyS<n-1>\n";
  for (std::uint8_t n = 1; n <= 9; ++n) text += com_port_line(n);
  std::vector<std::string> adapters;
  for (const std::string& name : present_ports()) {
    PortName port;
    if (!parse_port_name(name, port) || port.kind != PortKind::com) {
      adapters.push_back(name);
    } else if (port.number > 9) {
      text += com_port_line(static_cast<std::uint8_t>(port.number));
    }
  }
  if (adapters.empty()) {
    text += "adapters: none under /dev/serial/by-id\n";
    return text;
  }
  text += "adapters (map one as COMn: ln -s ADAPTER " + ports_directory() + "/comn):\n";
  for (const std::string& adapter : adapters) {
    std::error_code ignored;
    text += "  " + adapter + " -> " + std::filesystem::canonical(adapter, ignored).string() + "\n";
  }
  return text;
}

// Progress on stderr while a step waits: in place on a terminal, plain
// lines otherwise (a log, a test).
struct Progress {
  std::string label;
  bool terminal = false;
};

void show_capture_progress(void* context, int packets, int frame_length) {
  auto* progress = static_cast<Progress*>(context);
  if (progress->terminal) {
    std::fprintf(stderr, "\r%s: row %d/%d, %d bytes", progress->label.c_str(), packets, kPictureRows, frame_length);
  } else if (packets % 12 == 0 || packets == 1) {
    std::fprintf(stderr, "%s: row %d/%d, %d bytes\n", progress->label.c_str(), packets, kPictureRows, frame_length);
  }
  std::fflush(stderr);
}

void show_link_progress(void* context, ProgressEvent event, int count, const DeviceAddress& address) {
  auto* progress = static_cast<Progress*>(context);
  if (event == ProgressEvent::device_found) {
    std::fprintf(stderr, "%s: found %d=%s\n", progress->label.c_str(), count - 1, colon_address_text(address).c_str());
  } else {
    // The driver announced the page before the command; this is the module
    // taking it on.
    std::fprintf(stderr, "%s: the module accepted Create_Connection for %s and pages it\n", progress->label.c_str(),
                 colon_address_text(address).c_str());
  }
  std::fflush(stderr);
}

// A capture's file: created beside the target first, so that a FILE that
// cannot be written is known before "U" is sent, and renamed over it only
// when the whole picture came.
struct CaptureFile {
  std::string target;
  std::string temporary;
  int fd = -1;

  // Empty on success, else why the file cannot be written.
  std::string prepare(const std::string& path) {
    target = path;
    temporary = path + ".XXXXXX";
    fd = ::mkstemp(temporary.data());
    if (fd < 0) {
      std::string why = std::strerror(errno);
      temporary.clear();
      return why;
    }
    // mkstemp makes it private; the picture gets the usual mode.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    return {};
  }
  // Writes the picture and renames it over the target; empty or why not.
  std::string commit(const Picture& picture) {
    const std::vector<std::uint8_t> bytes = bmp_bytes(picture);
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::strerror(errno);
      done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
      fd = -1;
      return std::strerror(errno);
    }
    fd = -1;
    if (::rename(temporary.c_str(), target.c_str()) != 0) return std::strerror(errno);
    temporary.clear();
    return {};
  }
  ~CaptureFile() {
    if (fd >= 0) ::close(fd);
    if (!temporary.empty()) ::unlink(temporary.c_str());
  }
};

// The driver's side of pairing: the key file, and the PIN from --pin, from
// the windows' settings, or asked once a run on the terminal.
struct DriverPairing {
  ShellPairing pairing;
  std::string given_pin;            // --pin
  const Progress* progress = nullptr;  // the running step, to name it
  const std::atomic<bool>* cancel = nullptr;
  bool settings_read = false;
  std::map<std::string, std::string> remembered;  // the windows' PINs
  bool asked = false;               // the terminal was asked (or could not be)
  std::string answer;               // what it answered ("": none)
};

void say_for_step(const DriverPairing& driver, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", driver.progress->label.c_str(), text.c_str());
  std::fflush(stderr);
}

void tell_pairing(void* context, const std::string& text) { say_for_step(*static_cast<DriverPairing*>(context), text); }

// A line typed on the terminal without echo, within `bound`: "" when none
// came (Enter alone, the bound, Ctrl-C). Input typed and not ended is
// dropped with the terminal's settings put back.
std::string read_hidden_line(std::chrono::milliseconds bound, const std::atomic<bool>& cancel) {
  termios saved{};
  if (::tcgetattr(STDIN_FILENO, &saved) != 0) return {};
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;  // the Enter still moves on a line
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  bool ended = false;
  while (!ended && !cancel.load()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd in{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&in, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;  // Ctrl-C: the loop sees the request
    if (ready <= 0) break;
    char chunk[64];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n <= 0) break;
    line.append(chunk, static_cast<std::size_t>(n));
    ended = line.find('\n') != std::string::npos;
  }
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (!ended) {
    std::fputc('\n', stderr);
    return {};
  }
  line.erase(line.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The terminal's PIN, asked until one is typed, Enter alone declines, or
// the bound is over.
std::string ask_terminal_pin(DriverPairing& driver, const DeviceAddress& address) {
  const auto deadline = std::chrono::steady_clock::now() + wait_bounds::kPinAnswer;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || driver.cancel->load()) return {};
    std::fprintf(stderr, "%s: %s asks for a PIN (%lld s; Enter alone for none): ", driver.progress->label.c_str(),
                 colon_address_text(address).c_str(), static_cast<long long>((left.count() + 999) / 1000));
    std::fflush(stderr);
    const std::string pin = read_hidden_line(left, *driver.cancel);
    if (pin.empty()) return {};
    const std::string why = pin_problem(pin);
    if (why.empty()) return pin;
    say_for_step(driver, "a PIN " + why + "; try again");
  }
}

std::size_t driver_pin(void* context, const DeviceAddress& address, PinCode& pin) {
  auto& driver = *static_cast<DriverPairing*>(context);
  if (!driver.given_pin.empty()) return pin_code_from_text(driver.given_pin, pin);
  if (!driver.settings_read) {
    driver.settings_read = true;
    WindowSettings settings;
    std::vector<std::string> problems;  // the windows' to report: only the PINs count here
    read_settings_file(settings_file_path(), settings, problems);
    driver.remembered = settings.pins;
  }
  const std::string text = colon_address_text(address);
  if (const auto found = driver.remembered.find(text); found != driver.remembered.end()) {
    say_for_step(driver, "using the PIN the windows remembered for " + text);
    return pin_code_from_text(found->second, pin);
  }
  if (!driver.asked) {
    driver.asked = true;
    if (::isatty(STDIN_FILENO) != 0) {
      driver.answer = ask_terminal_pin(driver, address);
    } else {
      say_for_step(driver, text + " asks for a PIN; none was given (--pin), so it is told there is none");
    }
  }
  return pin_code_from_text(driver.answer, pin);
}

struct Session {
  HostState& s;
  PosixSerial& posix;
  TcpSerial& tcp;
  Picture picture;
  Progress progress;
  DriverPairing pairing;
};

// Why the step failed as the layers recorded it: " (why)", or `otherwise`.
std::string why(const HostState& s, const std::string& otherwise = {}) {
  const std::string text = failure_text(s.last_failure);
  if (text.empty()) return otherwise;
  return " (" + text + ")";
}
// The same after a summary already in brackets: ": why", or nothing.
std::string because(const HostState& s) {
  const std::string text = failure_text(s.last_failure);
  return text.empty() ? text : ": " + text;
}

// Bytes on the wire, both directions, of what a live cycle owes the line:
// a picture is "U" out (H4 ACL: 1 + 4 + 4 header bytes and the letter),
// the Number Of Completed Packets event back (8) and 72 rows of a 9-byte
// header and 192 bytes; a key is its letter out, the event and a 4-byte
// answer back. At 8N1 each byte is 10 bits.
constexpr std::uint32_t kLivePictureWireBytes = 10 + 8 + 72 * (9 + 192);  // 14,490
constexpr std::uint32_t kLiveKeyWireBytes = 10 + 8 + (9 + 4);              // 31

double line_seconds(std::uint32_t bytes, std::uint32_t baud) {
  return std::chrono::duration<double>(wait_bounds::byte_time(baud) * bytes).count();
}

// A GIF frame's delay: how long its picture was the newest, in 1/100 s
// (2 at least: viewers slow shorter delays down to 1/10 s).
std::uint16_t gif_delay(double seconds) {
  const double centiseconds = seconds * 100.0 + 0.5;
  return static_cast<std::uint16_t>(std::clamp(centiseconds, 2.0, 65535.0));
}

// The live step: pictures back to back into a record, a steering key after
// every third one while another picture follows, and the cycle against the
// line time. Appends the step's result to `line`; true when every picture
// and key came and was written.
bool run_live(Session& session, const CliOptions& options, const Step& step, std::string& line) {
  HostState& s = session.s;
  if (s.channel_state != kChannelOpen) {
    line += "failed (no channel open)";
    return false;
  }
  PictureRecord record;
  std::string error;
  if (!record_start(record, step.argument, RecordFormat::bmp, error)) {
    line += "failed (" + error + "; nothing sent)";
    return false;
  }
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  session.progress.terminal = terminal;
  CameraView view{&session.picture, nullptr, terminal ? show_capture_progress : nullptr, &session.progress};
  GifWriter gif;
  if (!step.gif.empty()) gif_start(gif);
  // A picture is written (its file, its line, the GIF's frame before it)
  // while the camera sends the next: at 921,600 baud the disk's flushes
  // would otherwise add a percent to every cycle. One write is under way
  // at most; the record and the GIF are the writer's until it is done.
  std::future<bool> writing;
  auto written = [&]() { return !writing.valid() || writing.get(); };
  Picture shown;  // the GIF's frame waits for its delay: the next picture's start
  using Clock = std::chrono::steady_clock;
  Clock::time_point first{};
  Clock::time_point previous{};
  std::uint32_t cycle_bytes = 0;  // the cycles before the last picture
  std::uint32_t done = 0;
  std::size_t next_letter = 0;
  std::string keys;  // sent since the last picture
  std::string failure;
  const std::string label = step.text;
  for (std::uint32_t n = 1; n <= step.count && failure.empty(); ++n) {
    const Clock::time_point start = Clock::now();
    if (n == 1) first = start;
    const double shown_for = std::chrono::duration<double>(start - previous).count();
    previous = start;
    session.progress.label = label + ": picture " + std::to_string(n) + "/" + std::to_string(step.count);
    const Status status = camera_key_down(s, view, kVkUp);
    if (terminal) std::fprintf(stderr, "\r\033[K");
    if (!written()) {  // the picture before this one was not written
      failure = record.error;
      --done;
      break;
    }
    if (failed(status)) {
      const std::string reason = failure_text(s.last_failure);
      failure = "picture " + std::to_string(n) + ": " + std::to_string(s.frame_length) + " of " +
                std::to_string(kFrameBufferSize) + " bytes" + (reason.empty() ? "" : ", " + reason);
      break;
    }
    const bool gif_frame = n > 1 && !step.gif.empty();
    writing = std::async(std::launch::async, [&record, &gif, &shown, picture = session.picture, keys,
                                              gif_frame, shown_for, when = std::chrono::system_clock::now()]() {
      if (gif_frame) gif_add_frame(gif, shown, gif_delay(shown_for));
      shown = picture;
      record.keys = keys;
      return record_picture(record, picture, when);
    });
    keys.clear();
    ++done;
    if (n == step.count) break;
    cycle_bytes += kLivePictureWireBytes;
    if (!step.steer.empty() && n % 3 == 0) {
      const char letter = step.steer[next_letter++ % step.steer.size()];
      std::uint32_t vk = 0;
      key_for_letter(letter, vk);
      if (failed(camera_key_down(s, view, vk))) {
        failure = "key " + std::string(1, letter) + " after picture " + std::to_string(n) + why(s, " (no answer)");
        break;
      }
      keys.push_back(letter);
      cycle_bytes += kLiveKeyWireBytes;
    }
  }
  const double last_cycle = std::chrono::duration<double>(Clock::now() - previous).count();
  if (!written() && failure.empty()) {
    failure = record.error;
    --done;
  }
  record_stop(record);
  std::string gif_note;
  if (!step.gif.empty() && done > 0) {
    // The last frame stays as long as the cycles before it took on average.
    const double mean = done > 1 ? std::chrono::duration<double>(previous - first).count() / (done - 1) : last_cycle;
    gif_add_frame(gif, shown, gif_delay(mean));
    gif_finish(gif);
    if (!write_file_atomically(step.gif, std::string(gif.bytes.begin(), gif.bytes.end()), error)) {
      if (failure.empty()) failure = error;
    } else {
      gif_note = ", " + std::to_string(gif.frames) + " frames in " + step.gif;
    }
  }
  if (!failure.empty()) {
    line += "failed after " + std::to_string(done) + " of " + std::to_string(step.count) + " pictures (" + failure +
            ")" + gif_note;
    return false;
  }
  // The mean cycle over the cycles that have a next picture; one picture
  // alone is its own cycle.
  const std::uint32_t cycles = done > 1 ? done - 1 : 1;
  const double cycle = done > 1 ? std::chrono::duration<double>(previous - first).count() / cycles : last_cycle;
  const double wire = line_seconds(done > 1 ? cycle_bytes : kLivePictureWireBytes, options.line.baud) / cycles;
  char figures[160];
  std::snprintf(figures, sizeof figures, "mean cycle %.4f s = %.4f x the line time of its bytes (%.4f s at %s, 10 bits a byte)", cycle,
                cycle / wire, wire, baud_text(options.line.baud).c_str());
  line += "ok, " + std::to_string(done) + (done == 1 ? " picture, " : " pictures, ") +
          figures + gif_note;
  return true;
}

// Runs one step; prints its one line; true on success.
bool run_step(Session& session, const CliOptions& options, const Step& step) {
  HostState& s = session.s;
  std::string line = step.text + ": ";
  bool ok = false;
  session.progress.label = step.text;
  clear_failure(s);
  switch (step.kind) {
    case StepKind::ports: {
      ok = true;
      line = port_listing();
      line.pop_back();
      break;
    }
    case StepKind::open: {
      LinkOwner owner(s);
      line = "open " + port_name_text(options.port) + ": ";
      if (failed(host_open(s, options.port, options.line))) {
        const bool tcp = options.port.kind == PortKind::tcp;
        line += "failed (" + (tcp ? port_name_text(options.port) + ": " + session.tcp.last_open_error
                                  : port_open_error_text(session.posix.last_open_error)) + ")";
      } else if (failed(module_start_up(s, kLocalDeviceName))) {
        line += "failed (the module did not start up" + because(s) + ")";
      } else {
        ok = true;
        line += "ok, module " + colon_address_text(reversed_address(s.local_address));
      }
      break;
    }
    case StepKind::inquiry: {
      LinkOwner owner(s);
      std::fprintf(stderr, "inquiry: searching for up to %.1f s\n",
                   static_cast<double>(kDiscoveryInquiryLength) * wait_bounds::kInquiryUnit.count() / 1000.0);
      std::uint8_t count = s.found_count;
      Status status = discover_devices(s, s.found_devices.data(), &count, kMaxFoundDevices);
      s.found_count = count;
      if (failed(status)) {
        line += "failed" + why(s);
      } else if (count == 0) {
        line += "failed" + why(s, " (no device found)");
      } else {
        ok = true;
        line += std::to_string(count) + (count == 1 ? " device:" : " devices:");
        for (std::uint8_t i = 0; i < count; ++i)
          line += " " + std::to_string(i) + "=" + colon_address_text(s.found_devices[i]);
      }
      break;
    }
    case StepKind::connect: {
      LinkOwner owner(s);
      // An index picks from the last inquiry; an address needs none, since
      // host_connect takes the address itself.
      DeviceAddress address{};
      if (step.argument.size() == 1) {
        const auto index = static_cast<std::size_t>(step.argument[0] - '0');
        if (index >= s.found_count) {
          line += "failed (no device " + step.argument + "; the last inquiry found " + std::to_string(s.found_count) + ")";
          break;
        }
        address = s.found_devices[index];
      } else {
        parse_device_address(step.argument, address);
      }
      std::fprintf(stderr, "%s: paging %s (the module gives up after about %.1f s)\n", step.text.c_str(),
                   colon_address_text(address).c_str(), wait_bounds::kPageTimeout.count() / 1000.0);
      if (failed(host_connect(s, address))) {
        line += "failed (" + colon_address_text(address) + " did not connect" + because(s) + ")";
      } else {
        ok = true;
        line += "ok, " + colon_address_text(address);
      }
      break;
    }
    case StepKind::key: {
      std::uint32_t vk = 0;
      key_for_letter(step.argument[0], vk);
      CameraView view{&session.picture, nullptr, nullptr, nullptr};
      if (s.channel_state != kChannelOpen) {
        line += "failed (no channel open)";
      } else if (failed(camera_key_down(s, view, vk))) {
        line += "failed" + why(s, " (no answer)");
      } else if (vk == kVkU) {
        ok = true;
        line += "ok, a picture of 72 rows, not kept";
      } else {
        ok = true;
        line += "ok, answer " + answer_text(s);
      }
      break;
    }
    case StepKind::capture: {
      CameraView view{&session.picture, nullptr, show_capture_progress, &session.progress};
      session.progress.terminal = ::isatty(STDERR_FILENO) != 0;
      if (s.channel_state != kChannelOpen) {
        line += "failed (no channel open)";
        break;
      }
      CaptureFile file;
      if (std::string why = file.prepare(step.argument); !why.empty()) {
        line += "failed (cannot write " + step.argument + ": " + why + "; nothing sent)";
        break;
      }
      Status status = camera_key_down(s, view, kVkUp);
      if (session.progress.terminal) std::fprintf(stderr, "\r\033[K");
      const std::string bytes = std::to_string(s.frame_length) + " of " + std::to_string(kFrameBufferSize) + " bytes";
      if (failed(status)) {
        const std::string reason = failure_text(s.last_failure);
        line += "failed, " + bytes + " (" + (reason.empty() ? "" : reason + "; ") + step.argument + " left as it was)";
      } else if (std::string why = file.commit(session.picture); !why.empty()) {
        line += "failed (cannot write " + step.argument + ": " + why + ")";
      } else {
        ok = true;
        line += "ok, " + bytes;
      }
      break;
    }
    case StepKind::live:
      ok = run_live(session, options, step, line);
      break;
    case StepKind::disconnect: {
      LinkOwner owner(s);
      if (failed(host_disconnect(s))) {
        line += "failed" + why(s);
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
    case StepKind::forget: {
      DeviceAddress address{};
      parse_colon_address(step.argument, address);
      bool removed = false;
      std::string error;
      if (!remove_link_key(session.pairing.pairing.key_file, address, removed, error)) {
        line += "failed (" + error + ")";
      } else {
        ok = true;
        line += removed ? "ok, its stored key removed" : "ok, no key was stored";
      }
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
  // Paced at the speed asked for.
  sim_options.line = options.line;
  if (options.fast) {
    sim_options.inquiry_time_scale = 0.05;
    sim_options.page_timeout_scale = 0.05;
  }
  return sim_options;
}

// After a failed step or Ctrl-C: a live link is dropped and the port
// closed, so a real module is not left paging or connected. Says so.
void clean_up(HostState& s) {
  if (!s.port_handle.held) return;
  // The clean-up has waits of its own; a second Ctrl-C ends them.
  s.cancel_requested.store(false);
  LinkOwner owner(s);
  if (s.link_connected != 0) {
    const Status status = s.channel_state == kChannelOpen ? host_disconnect(s) : hci_disconnect(s);
    std::printf("clean-up: disconnect %s\n", failed(status) ? ("failed" + why(s)).c_str() : "ok");
  }
  host_close(s);
  std::printf("clean-up: port closed\n");
  std::fflush(stdout);
}
}  // namespace

int main(int argc, char** argv) {
  CliOptions options;
  bool help = false;
  bool version = false;
  if (int status = parse_arguments(split_arguments(argc, argv), options, help, version); status != 0) return status;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (version) {
    print_version("corvanta-cli");
    return 0;
  }

  PrivateModule sim;
  const auto sim_port = static_cast<std::uint8_t>(options.port.number);
  if (options.sim && !sim.start(sim_options_for(options), sim_port)) {
    const std::string why = sim.has_module() ? sim.module().publish_error() : std::string();
    std::fprintf(stderr, "corvanta-cli: cannot start the virtual module%s%s\n", why.empty() ? "" : ": ", why.c_str());
    return 1;
  }
  if (options.sim)
    std::printf("virtual module on COM%u (%s), %s\n", sim_port, sim.module().device_path().c_str(),
                options.fast ? "unpaced" : line_settings_text(options.line).c_str());

  // HostState and the trace's packet trackers are large: keep them off the stack.
  auto state = std::make_unique<HostState>();
  PosixSerial posix;
  TcpSerial tcp;
  PortSwitch ports(posix, tcp);
  BtsnoopWriter trace_file;
  std::unique_ptr<TraceSerial> trace;
  SerialBackend* backend = &ports;
  if (!options.trace.empty()) {
    if (!trace_file.open(options.trace)) {
      std::fprintf(stderr, "corvanta-cli: cannot write %s\n", options.trace.c_str());
      return 1;
    }
    trace = std::make_unique<TraceSerial>(ports, trace_file);
    backend = trace.get();
  }
  host_attach(*state, *backend);
  install_cancel_handler(state->cancel_requested);

  auto session = std::make_unique<Session>(Session{*state, posix, tcp, Picture{}, Progress{}, DriverPairing{}});
  state->progress = ProgressHook{show_link_progress, &session->progress};
  DriverPairing& pairing = session->pairing;
  pairing.given_pin = options.pin;
  pairing.progress = &session->progress;
  pairing.cancel = &state->cancel_requested;
  pairing.pairing.key_file = link_key_file_path();
  pairing.pairing.ask_pin = driver_pin;
  pairing.pairing.tell = tell_pairing;
  pairing.pairing.context = &pairing;
  state->pairing = pairing_hooks(pairing.pairing);
  bool all_ok = true;
  bool stopped = false;
  bool interrupted = false;
  for (const Step& step : options.steps) {
    if (stopped) {
      std::printf("%s: skipped\n", step.text.c_str());
      continue;
    }
    const bool ok = run_step(*session, options, step);
    all_ok = all_ok && ok;
    interrupted = interrupted || state->cancel_requested.load();
    stopped = interrupted || (!ok && !options.keep_going);
  }
  if (!all_ok || interrupted) clean_up(*state);
  if (!options.trace.empty()) std::printf("trace: %zu packets in %s\n", trace_file.records_written(), options.trace.c_str());
  g_cancel_flag = nullptr;
  if (interrupted) return 130;
  return all_ok ? 0 : 1;
}
