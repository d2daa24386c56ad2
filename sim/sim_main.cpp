// corvanta-sim: a virtual Bluetooth module with cameras in range, on a
// pseudo-terminal published as COMn (or on a TCP port of the loopback
// address), until SIGINT or SIGTERM.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "chaos.h"
#include "line_text.h"
#include "port_path.h"
#include "program_options.h"
#include "virtual_module.h"

namespace {
const char* const kUsage =
    "Usage: corvanta-sim [OPTION]...\n"
    "Serve a virtual Bluetooth module (HCI over the UART transport) on a\n"
    "pseudo-terminal and publish it as COMn for the controller to open.\n"
    "\n"
    "Options (--opt=value works as --opt value):\n"
    "  --port N              publish as COMN, 1 to 255 or COM1 to COM255 (default 5);\n"
    "                        an existing entry the virtual module did not make\n"
    "                        is never replaced, and a port another virtual\n"
    "                        module serves is refused\n"
    "  --camera ADDR[,MODE[,OFFSET]]  a camera in range, twelve hex digits, most\n"
    "                        significant first (repeat for more; default\n"
    "                        CAFE00000001), with the page scan repetition mode\n"
    "                        (R0, R1 or R2; default R1) and the clock offset (hex,\n"
    "                        0 to 7FFF; default 0) its inquiry result reports\n"
    "  --inquiry-form FORM   the inquiry results a module in another inquiry mode\n"
    "                        sends: standard (Inquiry Result, the default), rssi\n"
    "                        (with RSSI) or extended (Extended Inquiry Result, with\n"
    "                        the camera's name)\n"
    "  --responses-per-event N  up to N cameras in one result event (standard and\n"
    "                        rssi forms; default 1)\n"
    "  --fast                do not pace the line\n"
    "  --baud RATE           pace the line at RATE baud (default 57600)\n"
    "  --line RATE[,rtscts]  a module fixed at RATE baud, with RTS/CTS flow control\n"
    "                        when ',rtscts' follows: it paces its line at RATE and,\n"
    "                        while the host's side of the pseudo-terminal is set to\n"
    "                        another speed or flow control, hears only garbage and\n"
    "                        answers nothing\n"
    "  --tcp PORT            serve H4 on 127.0.0.1:PORT instead of a pseudo-terminal,\n"
    "                        one connection at a time (0: any free port; the port\n"
    "                        is printed)\n"
    "  --inquiry-scale X     multiply the inquiry time by X (default 1)\n"
    "  --page-timeout-scale X  multiply the 5.12 s page timeout by X (default 1)\n"
    "  --no-peer-channel     after an accepted page, do not open the channel from\n"
    "                        the camera's side\n"
    "Security (legacy pairing, Secure Simple Pairing off):\n"
    "  --pin PIN             the cameras authenticate every link with this PIN (1 to\n"
    "                        16 characters): the host's Connection Request is held\n"
    "                        pending until the link is authenticated; a camera keeps\n"
    "                        the key it makes and takes it the next time\n"
    "  --auth-on-connect     with --pin: the camera's module authenticates every link\n"
    "                        inside the page, before Connection Complete\n"
    "  --auth-failure HOW    with --pin, when authentication fails: refuse (the held\n"
    "                        Connection Request is refused, security block; the\n"
    "                        default) or disconnect (the camera ends the link, the\n"
    "                        failure's status as the reason)\n"
    "  --refuse-wrong-key    with --pin: a key the camera does not hold fails the\n"
    "                        authentication instead of asking for the PIN again\n"
    "  --paired              with --pin: the cameras start with the key that PIN\n"
    "                        made with this module before\n"
    "  --ssp KIND            with --pin: the camera tries Secure Simple Pairing where\n"
    "                        it would ask for the PIN: io (IO Capability Request) or\n"
    "                        confirm (User Confirmation Request)\n"
    "  --pairing-timeout-scale X  multiply the 30 s a camera waits for each answer of\n"
    "                        the host while it authenticates (default 1)\n"
    "The channel:\n"
    "  --channel-answer HOW  how a camera answers the host's Connection Request:\n"
    "                        success (the default), pending (then success),\n"
    "                        pending-security-block, pending-no-resources,\n"
    "                        pending-forever or psm-not-supported\n"
    "  --pending-ms MS       from a pending answer to the final one (default 500)\n"
    "Faults:\n"
    "  --silent              answer nothing\n"
    "  --fail-opcode HEX[:STATUS]  answer this command with STATUS (default 0C)\n"
    "  --noise HEXBYTES      put these bytes before every event (e.g. 00FF55)\n"
    "  --drop-row N          never send row N of a picture\n"
    "  --rows N              send only the first N rows of a picture\n"
    "  --refuse-channel      refuse the L2CAP channel (result 0x0004)\n"
    "  --unreachable         no camera answers a page\n"
    "  --mute                cameras take the link but answer nothing on it\n"
    "  --intruder-row N      before row N of a picture a device that is no camera\n"
    "                        (1D0000000001) pages the host\n"
    "  --fragment N          cut the cameras' L2CAP frames into ACL fragments of at\n"
    "                        most N data bytes (27: one DH1 packet)\n"
    "  --stray-acl-row N     before row N, one ACL packet for handle 0x0ABC\n"
    "  --low-cid-row N       before row N, one frame on CID 0x0003 of the link\n"
    "  --echo-row N          before row N, the camera sends an L2CAP Echo Request\n"
    "  --info-row N          before row N, the camera sends an Information Request\n"
    "  --pause-row N --pause-ms MS  before row N, the camera stops for MS ms\n"
    "  --stale-stream        keep sending picture rows from start until HCI_Reset\n"
    "  --chaos SEED[:RATE]   random faults from SEED: each fault kind at each camera\n"
    "                        answer and each Create_Connection has the chance RATE\n"
    "                        (default 0.05); the same host commands give the same\n"
    "                        faults\n"
    "  --chaos-kinds LIST    only these kinds: pause, lost, page-picture,\n"
    "                        page-connect, stray, fragments, drop, add,\n"
    "                        channel-stray, twice, gaps, pause-inside, reorder,\n"
    "                        link-loss, substitute; all is every one but\n"
    "                        substitute (the default)\n"
    "  --chaos-log FILE      one line per picture, key answer and Create_Connection:\n"
    "                        what it held and its faults (default: standard error)\n"
    "  -h, --help            show this help\n"
    "      --version         show the version\n"
    "\n"
    "The camera steers a synthetic scene: L pans left, R pans right, D tilts\n"
    "down, H returns home, K zooms in, M zooms out; each answers with one\n"
    "4-byte packet (letter, pan, tilt, zoom). U sends the 96 x 72 view as 72\n"
    "packets of one 192-byte UYVY row each.\n"
    "SIGUSR1 makes the first camera page the host (a peer-initiated connection);\n"
    "SIGUSR2 makes the intruder page it.\n";

bool parse_hex_bytes(const std::string& text, std::vector<std::uint8_t>& bytes) {
  if (text.empty() || text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    std::string pair = text.substr(i, 2);
    long value = std::strtol(pair.c_str(), &end, 16);
    if (*end != '\0') return false;
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return true;
}

bool parse_number(const char* text, long low, long high, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return *text != '\0' && *end == '\0' && value >= low && value <= high;
}

bool parse_fail_opcode(const std::string& text, SimFaults& faults) {
  std::string opcode = text;
  std::string status;
  if (auto colon = text.find(':'); colon != std::string::npos) {
    opcode = text.substr(0, colon);
    status = text.substr(colon + 1);
  }
  char* end = nullptr;
  unsigned long op = std::strtoul(opcode.c_str(), &end, 16);
  if (opcode.empty() || *end != '\0' || op == 0 || op > 0xFFFF) return false;
  faults.failing_opcode = static_cast<std::uint16_t>(op);
  if (!status.empty()) {
    unsigned long st = std::strtoul(status.c_str(), &end, 16);
    if (*end != '\0' || st == 0 || st > 0xFF) return false;
    faults.failing_status = static_cast<std::uint8_t>(st);
  }
  return true;
}

// ADDR[,R0|R1|R2[,OFFSET]]
bool parse_camera(const std::string& text, DeviceAddress& address, SimCameraInquiry& inquiry) {
  const std::size_t comma = text.find(',');
  if (!parse_device_address(text.substr(0, comma), address)) return false;
  if (comma == std::string::npos) return true;
  const std::string rest = text.substr(comma + 1);
  const std::string mode = rest.substr(0, rest.find(','));
  if (mode != "R0" && mode != "R1" && mode != "R2" && mode != "r0" && mode != "r1" && mode != "r2") return false;
  inquiry.page_scan_repetition_mode = static_cast<std::uint8_t>(mode[1] - '0');
  if (rest.find(',') == std::string::npos) return true;
  const std::string offset = rest.substr(rest.find(',') + 1);
  char* end = nullptr;
  const unsigned long value = std::strtoul(offset.c_str(), &end, 16);
  if (offset.empty() || *end != '\0' || value > 0x7FFF) return false;
  inquiry.clock_offset = static_cast<std::uint16_t>(value);
  return true;
}

// One of `names`, which stand for values in the same order.
template <typename T, std::size_t N>
bool parse_choice(const char* text, const char* const (&names)[N], const T (&values)[N], T& value) {
  for (std::size_t i = 0; i < N; ++i)
    if (std::strcmp(text, names[i]) == 0) {
      value = values[i];
      return true;
    }
  return false;
}

int usage_error(const char* what) {
  std::fprintf(stderr, "corvanta-sim: %s\nTry 'corvanta-sim --help' for more information.\n", what);
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  long port = 5;
  std::string chaos_log_path;
  const std::vector<std::string> args = split_arguments(argc, argv);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const char* { return i + 1 < args.size() ? args[++i].c_str() : nullptr; };
    long n = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      print_version("corvanta-sim");
      return 0;
    } else if (arg == "--port") {
      const char* v = value();
      if (v != nullptr && (std::strncmp(v, "COM", 3) == 0 || std::strncmp(v, "com", 3) == 0)) v += 3;
      if (v == nullptr || !parse_number(v, 1, 255, port)) return usage_error("--port takes 1 to 255 or COM1 to COM255");
    } else if (arg == "--camera") {
      const char* v = value();
      DeviceAddress address{};
      SimCameraInquiry inquiry;
      if (v == nullptr || !parse_camera(v, address, inquiry))
        return usage_error("--camera takes twelve hex digits, then ,R0 ,R1 or ,R2 and ,OFFSET (hex, up to 7FFF) if wanted");
      options.cameras.push_back(address);
      options.camera_inquiry.push_back(inquiry);
    } else if (arg == "--inquiry-form") {
      const char* v = value();
      static const char* const names[] = {"standard", "rssi", "extended"};
      static const SimInquiryForm forms[] = {SimInquiryForm::standard, SimInquiryForm::rssi, SimInquiryForm::extended};
      if (v == nullptr || !parse_choice(v, names, forms, options.inquiry_form))
        return usage_error("--inquiry-form takes standard, rssi or extended");
    } else if (arg == "--responses-per-event") {
      const char* v = value();
      if (v == nullptr || !parse_number(v, 1, 18, n)) return usage_error("--responses-per-event takes 1 to 18");
      options.responses_per_event = static_cast<int>(n);
    } else if (arg == "--pin") {
      const char* v = value();
      if (v == nullptr || *v == '\0' || std::strlen(v) > kPinMaxLength) return usage_error("--pin takes 1 to 16 characters");
      options.faults.pairing.pin = v;
    } else if (arg == "--auth-on-connect") {
      options.faults.pairing.on_connect = true;
    } else if (arg == "--auth-failure") {
      const char* v = value();
      static const char* const names[] = {"refuse", "disconnect"};
      static const SimAuthFailure ways[] = {SimAuthFailure::refuse_channel, SimAuthFailure::disconnect};
      if (v == nullptr || !parse_choice(v, names, ways, options.faults.pairing.on_failure))
        return usage_error("--auth-failure takes refuse or disconnect");
    } else if (arg == "--refuse-wrong-key") {
      options.faults.pairing.refuse_wrong_key = true;
    } else if (arg == "--paired") {
      options.faults.pairing.paired = true;
    } else if (arg == "--ssp") {
      const char* v = value();
      static const char* const names[] = {"io", "confirm"};
      static const SimSsp kinds[] = {SimSsp::io_capability, SimSsp::confirmation};
      if (v == nullptr || !parse_choice(v, names, kinds, options.faults.pairing.ssp))
        return usage_error("--ssp takes io or confirm");
    } else if (arg == "--channel-answer") {
      const char* v = value();
      static const char* const names[] = {"success", "pending", "pending-security-block", "pending-no-resources",
                                          "pending-forever", "psm-not-supported"};
      static const SimChannelAnswer answers[] = {
          SimChannelAnswer::success,         SimChannelAnswer::pending_success,   SimChannelAnswer::pending_security,
          SimChannelAnswer::pending_no_resources, SimChannelAnswer::pending_forever, SimChannelAnswer::psm_not_supported};
      if (v == nullptr || !parse_choice(v, names, answers, options.faults.channel_answer))
        return usage_error("--channel-answer takes success, pending, pending-security-block, pending-no-resources, "
                           "pending-forever or psm-not-supported");
    } else if (arg == "--pending-ms") {
      const char* v = value();
      if (v == nullptr || !parse_number(v, 0, 600'000, n)) return usage_error("--pending-ms takes 0 to 600000");
      options.faults.channel_pending_ms = static_cast<int>(n);
    } else if (arg == "--fast") {
      options.paced = false;
    } else if (arg == "--baud") {
      const char* v = value();
      if (v == nullptr || !parse_line_rate(v, options.line.baud))
        return usage_error(("--baud takes one of " + line_rates_text()).c_str());
    } else if (arg == "--line") {
      const char* v = value();
      if (v == nullptr || !parse_line_text(v, options.line))
        return usage_error(("--line takes RATE or RATE,rtscts, RATE one of " + line_rates_text()).c_str());
      options.fixed_line = true;
    } else if (arg == "--tcp") {
      const char* v = value();
      if (v == nullptr || !parse_number(v, 0, 65535, n)) return usage_error("--tcp takes a port number, 0 to 65535");
      options.tcp = true;
      options.tcp_port = static_cast<std::uint16_t>(n);
    } else if (arg == "--inquiry-scale" || arg == "--page-timeout-scale" || arg == "--pairing-timeout-scale") {
      const char* v = value();
      char* end = nullptr;
      double scale = v != nullptr ? std::strtod(v, &end) : -1.0;
      if (v == nullptr || *end != '\0' || scale < 0) return usage_error("a scale is a number of 0 or more");
      (arg == "--inquiry-scale"        ? options.inquiry_time_scale
       : arg == "--page-timeout-scale" ? options.page_timeout_scale
                                       : options.pairing_timeout_scale) = scale;
    } else if (arg == "--no-peer-channel") {
      options.peer_opens_channel = false;
    } else if (arg == "--silent") {
      options.faults.silent = true;
    } else if (arg == "--fail-opcode") {
      const char* v = value();
      if (v == nullptr || !parse_fail_opcode(v, options.faults)) return usage_error("--fail-opcode takes HEX[:STATUS]");
    } else if (arg == "--noise") {
      const char* v = value();
      if (v == nullptr || !parse_hex_bytes(v, options.faults.noise)) return usage_error("--noise takes hex bytes");
    } else if (arg == "--drop-row") {
      const char* v = value();
      if (v == nullptr || !parse_number(v, 0, 71, n)) return usage_error("--drop-row takes 0 to 71");
      options.faults.dropped_picture_row = static_cast<int>(n);
    } else if (arg == "--rows") {
      const char* v = value();
      if (v == nullptr || !parse_number(v, 0, 72, n)) return usage_error("--rows takes 0 to 72");
      options.faults.picture_rows = static_cast<int>(n);
    } else if (arg == "--refuse-channel") {
      options.faults.channel_refused = true;
    } else if (arg == "--unreachable") {
      options.faults.camera_unreachable = true;
    } else if (arg == "--mute") {
      options.faults.camera_mute = true;
    } else if (arg == "--intruder-row" || arg == "--stray-acl-row" || arg == "--low-cid-row" ||
               arg == "--echo-row" || arg == "--info-row" || arg == "--pause-row") {
      const char* v = value();
      if (v == nullptr || !parse_number(v, 0, 71, n)) return usage_error((arg + " takes 0 to 71").c_str());
      SimFaults& f = options.faults;
      int& row = arg == "--intruder-row"    ? f.intruder_page_row
                 : arg == "--stray-acl-row" ? f.stray_acl_row
                 : arg == "--low-cid-row"   ? f.low_cid_row
                 : arg == "--echo-row"      ? f.echo_request_row
                 : arg == "--info-row"      ? f.info_request_row
                                            : f.pause_row;
      row = static_cast<int>(n);
    } else if (arg == "--pause-ms") {
      const char* v = value();
      if (v == nullptr || !parse_number(v, 0, 600'000, n)) return usage_error("--pause-ms takes 0 to 600000");
      options.faults.pause_ms = static_cast<int>(n);
    } else if (arg == "--fragment") {
      const char* v = value();
      if (v == nullptr || !parse_number(v, 1, 1021, n)) return usage_error("--fragment takes 1 to 1021");
      options.faults.acl_fragment_size = static_cast<std::uint16_t>(n);
    } else if (arg == "--stale-stream") {
      options.faults.stale_stream = true;
    } else if (arg == "--chaos") {
      const char* v = value();
      if (v == nullptr || !parse_chaos_seed(v, options.faults.chaos))
        return usage_error("--chaos takes SEED[:RATE], a decimal seed and a rate from 0 to 1");
    } else if (arg == "--chaos-kinds") {
      const char* v = value();
      if (v == nullptr || !parse_chaos_kinds(v, options.faults.chaos.kinds))
        return usage_error(
            "--chaos-kinds takes names from pause,lost,page-picture,page-connect,stray,fragments,drop,add,"
            "channel-stray,twice,gaps,pause-inside,reorder,link-loss,substitute,all");
    } else if (arg == "--chaos-log") {
      const char* v = value();
      if (v == nullptr || *v == '\0') return usage_error("--chaos-log takes a file name");
      chaos_log_path = v;
    } else {
      return usage_error(("unknown option " + arg).c_str());
    }
  }

  // The signals are taken by sigwait below; every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  FILE* chaos_log = stderr;
  if (!chaos_log_path.empty()) {
    chaos_log = std::fopen(chaos_log_path.c_str(), "w");
    if (chaos_log == nullptr) {
      std::fprintf(stderr, "corvanta-sim: cannot write %s: %s\n", chaos_log_path.c_str(), std::strerror(errno));
      return 1;
    }
  }

  if (options.tcp && options.fixed_line) return usage_error("--line needs the pseudo-terminal, not --tcp");
  const SimPairing& pairing = options.faults.pairing;
  if (pairing.pin.empty() && (pairing.on_connect || pairing.paired || pairing.refuse_wrong_key ||
                              pairing.ssp != SimSsp::off || pairing.on_failure != SimAuthFailure::refuse_channel))
    return usage_error("--auth-on-connect, --auth-failure, --refuse-wrong-key, --paired and --ssp need --pin");

  VirtualModule module(options);
  if (!module.start()) {
    std::fprintf(stderr, "corvanta-sim: cannot %s: %s\n", options.tcp ? "listen on the loopback address" : "open a pseudo-terminal",
                 std::strerror(errno));
    return 1;
  }
  const auto port_number = static_cast<std::uint8_t>(port);
  if (options.tcp) {
    std::printf("corvanta-sim: listening on tcp:127.0.0.1:%u\n", module.tcp_port());
  } else if (!module.publish_as(port_number)) {
    std::fprintf(stderr, "corvanta-sim: %s\n", module.publish_error().c_str());
    return 1;
  } else {
    std::printf("corvanta-sim: COM%ld is %s (%s)\n", port, mapped_port_entry(port_number).c_str(),
                module.device_path().c_str());
  }
  const std::string pace = options.paced ? baud_text(options.line.baud) : "unpaced";
  const std::string fixed = options.fixed_line ? ", fixed at " + line_settings_text(options.line) : "";
  std::printf("corvanta-sim: %s line%s; Ctrl-C to stop\n", pace.c_str(), fixed.c_str());
  std::fflush(stdout);

  // The chaos log is written as records come, looked at every 100 ms.
  auto write_chaos_log = [&] {
    if (!options.faults.chaos.on) return;
    for (const ChaosRecord& record : module.take_chaos_records())
      std::fprintf(chaos_log, "%s\n", format_chaos_record(record).c_str());
    std::fflush(chaos_log);
  };
  for (;;) {
    const timespec look{0, 100'000'000};
    const int signal_number = sigtimedwait(&signals, nullptr, &look);
    write_chaos_log();
    if (signal_number < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      break;
    }
    if (signal_number == SIGUSR1)
      std::printf("corvanta-sim: camera 0 pages the host: %s\n", module.page_host(0) ? "sent" : "not possible now");
    else if (signal_number == SIGUSR2)
      std::printf("corvanta-sim: the intruder pages the host: %s\n",
                  module.intruder_pages_host() ? "sent" : "not possible now");
    else
      break;
    std::fflush(stdout);
  }
  module.stop();
  write_chaos_log();
  if (chaos_log != stderr) std::fclose(chaos_log);
  std::printf("corvanta-sim: stopped\n");
  return 0;
}
