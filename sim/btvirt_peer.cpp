// corvanta-btvirt-peer: a session against BlueZ's emulated controllers
// (`btvirt -s`) instead of our own virtual module. It starts btvirt, serves
// the host's serial line on a pseudo-terminal published as <ports>/com5 and
// bridged to the emulator's first controller, plays the camera as a second
// host on the emulator's other controller, and runs the given command (the
// driver) with CORVANTA_PORTS=<ports>. Its exit status is the command's.
//
// btvirt serves H4 on /tmp/bt-server-bredr, one new controller per client;
// run it in a private mount namespace with its own /tmp (see the btvirt test).
// Its reader takes each write as whole packets, so both sides write whole
// H4 packets, never a part of one.
//
// With --pin the camera asks for authentication with a legacy PIN: its
// controller gets Write_Authentication_Enable 1 (--auth connect, the
// default), or the camera authenticates the link once it is up and holds
// the host's Connection Request pending meanwhile (--auth after). What the
// emulator's link manager makes of it is in sim/README.md.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "btsnoop.h"
#include "pairing.h"
#include "virtual_camera.h"

namespace {
const char* const kServerSocket = "/tmp/bt-server-bredr";
constexpr std::uint16_t kOpReset = 0x0C03;
constexpr std::uint16_t kOpWriteScanEnable = 0x0C1A;
constexpr std::uint16_t kOpWriteLocalName = 0x0C13;
constexpr std::uint16_t kOpAcceptConnection = 0x0409;
constexpr std::uint16_t kOpWriteAuthenticationEnable = 0x0C20;
constexpr std::uint16_t kOpAuthenticationRequested = 0x0411;
constexpr std::uint16_t kOpLinkKeyReply = 0x040B;
constexpr std::uint16_t kOpLinkKeyNegativeReply = 0x040C;
constexpr std::uint16_t kOpPinCodeReply = 0x040D;
constexpr std::uint16_t kOpPinCodeNegativeReply = 0x040E;
constexpr std::uint8_t kEvConnectionComplete = 0x03;
constexpr std::uint8_t kEvAuthenticationComplete = 0x06;
constexpr std::uint8_t kEvPinCodeRequest = 0x16;
constexpr std::uint8_t kEvLinkKeyRequest = 0x17;
constexpr std::uint8_t kEvLinkKeyNotification = 0x18;
constexpr std::uint8_t kEvConnectionRequest = 0x04;
constexpr std::uint8_t kEvDisconnectionComplete = 0x05;
constexpr std::uint8_t kEvCommandComplete = 0x0E;
constexpr std::uint16_t kCidSignalling = 0x0001;
constexpr std::uint16_t kCidFirstDynamic = 0x0040;
constexpr std::uint16_t kCameraCid = 0x0040;
constexpr std::size_t kRowBytes = 192;
constexpr int kRows = 72;

std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
void put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
  v.push_back(static_cast<std::uint8_t>(x & 0xFF));
  v.push_back(static_cast<std::uint8_t>(x >> 8));
}

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Cuts a byte stream into whole H4 packets: 01 command, 02 ACL, 04 event.
// A byte that starts no packet is dropped (the emulator would lose step on it).
struct H4Splitter {
  std::vector<std::uint8_t> packet;
  // Feeds one byte; true when `packet` holds a whole packet.
  bool feed(std::uint8_t b) {
    if (packet.empty()) {
      if (b != 0x01 && b != 0x02 && b != 0x04) return false;
      packet.push_back(b);
      return false;
    }
    packet.push_back(b);
    const std::size_t n = packet.size();
    switch (packet[0]) {
      case 0x01: return n >= 4 && n == 4u + packet[3];
      case 0x04: return n >= 3 && n == 3u + packet[2];
      default: return n >= 5 && n == 5u + u16(&packet[3]);
    }
  }
};

int connect_server() {
  for (int attempt = 0; attempt < 200; ++attempt) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kServerSocket, sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

enum class AuthWhen { never, on_connect, after_link };

// The camera as a host of its own on the emulator's other controller: the
// same scene, letters and picture as the virtual module's camera.
struct CameraHost {
  int fd = -1;
  H4Splitter in;
  CameraScene scene;
  std::uint16_t handle = 0;
  std::uint16_t host_cid = 0;
  bool channel_open = false;
  std::uint16_t commands_completed = 0;
  // Security: the PIN it pairs with, the key it keeps from the last pairing.
  std::string pin;
  AuthWhen auth = AuthWhen::never;
  std::optional<LinkKey> key;
  bool authenticated = false;
  // The host's Connection Request held pending until the link is authenticated.
  bool request_held = false;
  std::uint8_t held_id = 0;
  BtsnoopWriter* trace = nullptr;  // the camera's side, when asked for

  void send(const std::vector<std::uint8_t>& packet) {
    if (trace != nullptr) trace->write_packet(packet.data(), packet.size(), false);
    write_all(fd, packet.data(), packet.size());
  }

  void command(std::uint16_t opcode, const std::vector<std::uint8_t>& parameters) {
    std::vector<std::uint8_t> p{0x01};
    put16(p, opcode);
    p.push_back(static_cast<std::uint8_t>(parameters.size()));
    p.insert(p.end(), parameters.begin(), parameters.end());
    send(p);
  }

  void l2cap(std::uint16_t cid, const std::uint8_t* payload, std::size_t size) {
    std::vector<std::uint8_t> p{0x02};
    put16(p, static_cast<std::uint16_t>(handle | 0x2000));  // first, automatically flushable
    put16(p, static_cast<std::uint16_t>(size + 4));
    put16(p, static_cast<std::uint16_t>(size));
    put16(p, cid);
    p.insert(p.end(), payload, payload + size);
    send(p);
  }

  // A BD_ADDR (wire order) and what follows it.
  static std::vector<std::uint8_t> with_address(const std::uint8_t* address, const std::uint8_t* rest, std::size_t size) {
    std::vector<std::uint8_t> p(address, address + 6);
    p.insert(p.end(), rest, rest + size);
    return p;
  }

  // The link's pairing requests: the PIN asked of it, the key it kept.
  void on_pairing_event(std::uint8_t code, const std::uint8_t* d, std::size_t size) {
    if (size < 6) return;
    if (code == kEvPinCodeRequest) {
      if (pin.empty()) {
        command(kOpPinCodeNegativeReply, with_address(d, nullptr, 0));
        return;
      }
      std::uint8_t code_field[1 + kPinMaxLength] = {static_cast<std::uint8_t>(pin.size())};
      std::memcpy(code_field + 1, pin.data(), pin.size());
      command(kOpPinCodeReply, with_address(d, code_field, sizeof code_field));
    } else if (code == kEvLinkKeyRequest) {
      if (key) command(kOpLinkKeyReply, with_address(d, key->data(), key->size()));
      else command(kOpLinkKeyNegativeReply, with_address(d, nullptr, 0));
    } else if (code == kEvLinkKeyNotification && size >= 6 + kLinkKeySize) {
      key.emplace();
      std::memcpy(key->data(), d + 6, kLinkKeySize);
    }
  }

  // The held Connection Request answered: success, or 0x0003 (security block).
  void answer_held_request(bool accepted) {
    if (!request_held) return;
    request_held = false;
    channel_open = accepted;
    signal(0x03, held_id, {accepted ? kCameraCid : std::uint16_t{0}, host_cid, accepted ? std::uint16_t{0} : std::uint16_t{3}, 0x0000});
  }

  void signal(std::uint8_t code, std::uint8_t id, const std::vector<std::uint16_t>& fields) {
    std::vector<std::uint8_t> d{code, id};
    put16(d, static_cast<std::uint16_t>(fields.size() * 2));
    for (std::uint16_t f : fields) put16(d, f);
    l2cap(kCidSignalling, d.data(), d.size());
  }

  void on_event(const std::vector<std::uint8_t>& p) {
    const std::uint8_t code = p[1];
    const std::uint8_t* d = p.data() + 3;
    const std::size_t size = p.size() - 3;
    if (code == kEvCommandComplete) {
      ++commands_completed;
    } else if (code == kEvConnectionRequest && size >= 6) {
      std::vector<std::uint8_t> accept(d, d + 6);
      accept.push_back(0x01);  // stay peripheral
      command(kOpAcceptConnection, accept);
    } else if (code == kEvConnectionComplete && size >= 3 && d[0] == 0x00) {
      handle = u16(d + 1) & 0x0FFF;
      channel_open = false;
      request_held = false;
      // Up only through authentication when the controller asks for it on connect.
      authenticated = auth != AuthWhen::after_link;
      if (!authenticated) command(kOpAuthenticationRequested, {static_cast<std::uint8_t>(handle & 0xFF),
                                                                static_cast<std::uint8_t>(handle >> 8)});
    } else if (code == kEvDisconnectionComplete) {
      channel_open = false;
      request_held = false;
      authenticated = false;
    } else if (code == kEvAuthenticationComplete && size >= 3 && (u16(d + 1) & 0x0FFF) == handle) {
      authenticated = d[0] == 0x00;
      answer_held_request(authenticated);
    } else {
      on_pairing_event(code, d, size);
    }
  }

  void on_signal(const std::uint8_t* s, std::size_t size) {
    if (size < 4) return;
    const std::uint8_t code = s[0];
    const std::uint8_t id = s[1];
    const std::uint8_t* d = s + 4;
    if (code == 0x02 && size >= 8) {  // Connection Request: PSM | source CID
      host_cid = u16(d + 2);
      if (!authenticated) {
        // Pending, authentication pending, until Authentication Complete.
        request_held = true;
        held_id = id;
        signal(0x03, id, {kCameraCid, host_cid, 0x0001, 0x0001});
        return;
      }
      channel_open = true;
      signal(0x03, id, {kCameraCid, host_cid, 0x0000, 0x0000});
    } else if (code == 0x06 && size >= 8) {  // Disconnection Request: echoed
      channel_open = false;
      signal(0x07, id, {u16(d), u16(d + 2)});
    } else if (code == 0x03 || code == 0x07 || code == 0x01) {
      // responses and rejects need no answer
    } else {
      signal(0x01, id, {0x0000});  // Command Reject: not understood
    }
  }

  void on_data(const std::uint8_t* d, std::size_t size) {
    if (!channel_open || size == 0) return;
    const char letter = static_cast<char>(d[0]);
    if (letter == 'U') {
      const CameraFrame frame = render_camera_view(scene);
      for (int row = 0; row < kRows; ++row) l2cap(host_cid, frame.data() + row * kRowBytes, kRowBytes);
      return;
    }
    if (!steer_camera(scene, letter)) {
      const std::uint8_t unknown = '?';
      l2cap(host_cid, &unknown, 1);
      return;
    }
    const auto answer = steering_answer(scene, letter);
    l2cap(host_cid, answer.data(), answer.size());
  }

  void on_packet(const std::vector<std::uint8_t>& p) {
    if (p[0] == 0x04) {
      on_event(p);
      return;
    }
    if (p[0] != 0x02 || p.size() < 9) return;
    const std::size_t length = u16(&p[5]);
    const std::uint16_t cid = u16(&p[7]);
    const std::size_t size = std::min(length, p.size() - 9);
    if (cid == kCidSignalling) on_signal(p.data() + 9, size);
    else if (cid >= kCidFirstDynamic) on_data(p.data() + 9, size);
  }

  bool read_some() {
    std::uint8_t buffer[4096];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return n < 0 && (errno == EINTR || errno == EAGAIN);
    for (ssize_t i = 0; i < n; ++i) {
      if (in.feed(buffer[i])) {
        if (trace != nullptr) trace->write_packet(in.packet.data(), in.packet.size(), true);
        on_packet(in.packet);
        in.packet.clear();
      }
    }
    return true;
  }

  // Reset, a name, then page and inquiry scan: found by inquiry, accepts
  // pages; authentication required on every link when asked for on connect.
  bool start_up() {
    command(kOpReset, {});
    std::vector<std::uint8_t> name(248, 0);
    std::memcpy(name.data(), "camera", 6);
    command(kOpWriteLocalName, name);
    command(kOpWriteScanEnable, {0x03});
    std::uint16_t commands = 3;
    if (auth == AuthWhen::on_connect) {
      command(kOpWriteAuthenticationEnable, {0x01});
      ++commands;
    }
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (commands_completed < commands && std::chrono::steady_clock::now() < give_up) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) > 0 && !read_some()) return false;
    }
    return commands_completed >= commands;
  }
};

// The host's side: the driver's serial port is a pty; whole packets from it
// go to the emulator, and everything from the emulator goes back unchanged.
struct Bridge {
  int master = -1;
  int slave = -1;  // held so the pty outlives the driver's close and reopen
  int socket = -1;
  H4Splitter from_host;

  bool open_pty(const std::string& link) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return false;
    const char* name = ::ptsname(master);
    if (name == nullptr) return false;
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slave < 0 || ::tcgetattr(slave, &raw) != 0) return false;
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    ::unlink(link.c_str());
    return ::symlink(name, link.c_str()) == 0;
  }

  bool host_to_emulator() {
    std::uint8_t buffer[4096];
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n < 0) return errno == EINTR || errno == EAGAIN || errno == EIO;
    for (ssize_t i = 0; i < n; ++i) {
      if (from_host.feed(buffer[i])) {
        if (!write_all(socket, from_host.packet.data(), from_host.packet.size())) return false;
        from_host.packet.clear();
      }
    }
    return true;
  }

  bool emulator_to_host() {
    std::uint8_t buffer[4096];
    ssize_t n = ::read(socket, buffer, sizeof buffer);
    if (n <= 0) return n < 0 && errno == EINTR;
    return write_all(master, buffer, static_cast<std::size_t>(n));
  }
};

pid_t spawn(char** argv, const char* ports) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (ports != nullptr) ::setenv("CORVANTA_PORTS", ports, 1);
    ::execvp(argv[0], argv);
    std::perror(argv[0]);
    ::_exit(127);
  }
  return pid;
}

int fail(const char* what) {
  std::fprintf(stderr, "corvanta-btvirt-peer: %s\n", what);
  return 3;
}

const char* const kUsage =
    "Usage: corvanta-btvirt-peer [--pin PIN [--auth connect|after]] [--trace FILE] PORTS_DIR COMMAND [ARG]...\n"
    "  --pin PIN      the camera asks for authentication and pairs with PIN (1 to 16\n"
    "                 characters); it keeps the link key it gets and gives it the next time\n"
    "  --auth WHEN    connect: its controller authenticates every link inside the page\n"
    "                 (Write_Authentication_Enable 1; the default); after: the camera\n"
    "                 authenticates the link once it is up (Authentication_Requested) and\n"
    "                 holds the host's Connection Request pending until then\n"
    "  --trace FILE   the camera's side (its controller's packets) as a btsnoop file\n"
    "                 for btmon -r\n";
}  // namespace

int main(int argc, char** argv) {
  std::string pin;
  AuthWhen auth = AuthWhen::never;
  bool auth_given = false;
  std::string trace_path;
  int first = 1;
  for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
    const std::string arg = argv[first];
    const char* value = first + 1 < argc ? argv[first + 1] : nullptr;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (value == nullptr) break;
    ++first;
    if (arg == "--pin" && *value != '\0' && std::strlen(value) <= kPinMaxLength) {
      pin = value;
    } else if (arg == "--auth" && (std::strcmp(value, "connect") == 0 || std::strcmp(value, "after") == 0)) {
      auth = std::strcmp(value, "connect") == 0 ? AuthWhen::on_connect : AuthWhen::after_link;
      auth_given = true;
    } else if (arg == "--trace") {
      trace_path = value;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (argc - first < 2 || (auth_given && pin.empty())) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!pin.empty() && !auth_given) auth = AuthWhen::on_connect;
  const std::string ports = argv[first];
  ::signal(SIGPIPE, SIG_IGN);
  ::mkdir(ports.c_str(), 0755);

  BtsnoopWriter trace;
  if (!trace_path.empty() && !trace.open(trace_path)) return fail("cannot write the trace file");

  char btvirt_name[] = "btvirt";
  char server_flag[] = "-s";
  char* btvirt_argv[] = {btvirt_name, server_flag, nullptr};
  const pid_t btvirt = spawn(btvirt_argv, nullptr);
  if (btvirt < 0) return fail("cannot start btvirt");
  bool btvirt_reaped = false;

  int status = 3;
  CameraHost camera;
  camera.pin = pin;
  camera.auth = auth;
  if (trace.is_open()) camera.trace = &trace;
  Bridge bridge;
  camera.fd = connect_server();
  if (camera.fd < 0) {
    status = fail("no emulator socket at /tmp/bt-server-bredr");
  } else if (!camera.start_up()) {
    status = fail("the camera's controller did not start");
  } else if ((bridge.socket = connect_server()) < 0 || !bridge.open_pty(ports + "/com5")) {
    status = fail("cannot set up the host's line");
  } else {
    const pid_t driver = spawn(argv + first + 1, ports.c_str());
    for (;;) {
      int child_status = 0;
      if (::waitpid(driver, &child_status, WNOHANG) == driver) {
        status = WIFEXITED(child_status) ? WEXITSTATUS(child_status) : 4;
        break;
      }
      pollfd fds[3] = {{camera.fd, POLLIN, 0}, {bridge.socket, POLLIN, 0}, {bridge.master, POLLIN, 0}};
      if (::poll(fds, 3, 20) <= 0) continue;
      bool ok = true;
      if (fds[0].revents & (POLLIN | POLLHUP)) ok = camera.read_some() && ok;
      if (fds[1].revents & (POLLIN | POLLHUP)) ok = bridge.emulator_to_host() && ok;
      if (fds[2].revents & POLLIN) ok = bridge.host_to_emulator() && ok;
      if (!ok) {
        // btvirt crashes on some exchanges (sim/README.md): say so.
        int btvirt_status = 0;
        if (::waitpid(btvirt, &btvirt_status, WNOHANG) == btvirt) {
          btvirt_reaped = true;
          if (WIFSIGNALED(btvirt_status))
            std::fprintf(stderr, "corvanta-btvirt-peer: btvirt died of signal %d\n", WTERMSIG(btvirt_status));
        }
        std::fprintf(stderr, "corvanta-btvirt-peer: the emulator closed a connection\n");
        ::kill(driver, SIGTERM);
        ::waitpid(driver, nullptr, 0);
        status = 5;
        break;
      }
      // The line hangs up while the driver has it closed: wait for its reopen.
      if (fds[2].revents & POLLHUP) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ::unlink((ports + "/com5").c_str());
  if (!btvirt_reaped) {
    ::kill(btvirt, SIGTERM);
    ::waitpid(btvirt, nullptr, 0);
  }
  return status;
}
