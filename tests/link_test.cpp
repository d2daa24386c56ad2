// The serial link: open/close rules over the scripted backend, the COMn
// mapping, and the POSIX backend on a real pseudo-terminal.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "hci_framing.h"
#include "port_path.h"
#include "posix_serial.h"
#include "serial_link.h"
#include "wire.h"

namespace {
namespace fs = std::filesystem;

struct Link : ::testing::Test {
  ScriptedSerial backend;
  HostState s;
  Link() {
    s.serial = &backend;
    start_wait(s, std::chrono::minutes(1));
  }
};

TEST_F(Link, NamesOfNoPortLeaveTheHeldPortOpen) {
  ASSERT_EQ(serial_open(s, 3), kStatusOk);
  const PortName no_ports[] = {com_port(0), com_port(256), {PortKind::device, 0, ""}, {PortKind::tcp, 6402, ""},
                               {PortKind::tcp, 0, "localhost"}};
  for (const PortName& port : no_ports) {
    EXPECT_EQ(serial_open(s, port, LineSettings{}), kStatusFail);
    EXPECT_TRUE(s.port_handle.held);
  }
  EXPECT_EQ(backend.closes, 0u);
  EXPECT_EQ(serial_open(s, 1), kStatusOk);
  EXPECT_EQ(serial_open(s, 12), kStatusOk);
  EXPECT_EQ(serial_open(s, 255), kStatusOk);
  EXPECT_EQ(backend.opened_ports, (Bytes{3, 1, 12, 255}));
}

TEST_F(Link, ReopeningReleasesTheHeldPortEvenWhenTheNewOneFails) {
  ASSERT_EQ(serial_open(s, 3), kStatusOk);
  backend.open_outcome = ScriptedSerial::OpenOutcome::device_missing;
  EXPECT_EQ(serial_open(s, 4), kStatusFail);
  EXPECT_EQ(backend.closes, 1u);
  EXPECT_FALSE(s.port_handle.held);
  EXPECT_EQ(serial_close(s), kStatusFail);
}

TEST_F(Link, RefusedLineSettingsLeaveTheNewPortHeld) {
  backend.open_outcome = ScriptedSerial::OpenOutcome::configuration_refused;
  EXPECT_EQ(serial_open(s, 2), kStatusFail);
  EXPECT_TRUE(s.port_handle.held);
  EXPECT_EQ(serial_close(s), kStatusOk);
}

TEST_F(Link, CloseTwiceGivesZeroThenFailure) {
  ASSERT_EQ(serial_open(s, 5), kStatusOk);
  EXPECT_EQ(serial_close(s), kStatusOk);
  EXPECT_EQ(serial_close(s), kStatusFail);
}

TEST_F(Link, NoPortHeldMeansWritesAndReadsFail) {
  EXPECT_EQ(serial_write_byte(s, 0x01), kStatusFail);
  std::uint8_t byte = 0x99;
  EXPECT_EQ(serial_read_byte(s, &byte), kStatusFail);
  EXPECT_EQ(byte, 0);
  EXPECT_EQ(s.last_read_end, ReadEnd::port_error);
  EXPECT_EQ(backend.writes + backend.reads, 0u);
}

TEST_F(Link, EndedReadStoresZeroAndTellsWhy) {
  ASSERT_EQ(serial_open(s, 5), kStatusOk);
  backend.feed({0x42, 0x43});
  backend.end_read(0, ReadEnd::cancelled);
  std::uint8_t byte = 0x99;
  EXPECT_EQ(serial_read_byte(s, &byte), kStatusFail);
  EXPECT_EQ(byte, 0);
  EXPECT_EQ(s.last_read_end, ReadEnd::cancelled);
  EXPECT_TRUE(link_went_quiet(s));
  EXPECT_EQ(serial_read_byte(s, &byte), kStatusOk);
  EXPECT_EQ(byte, 0x42);
  EXPECT_FALSE(link_went_quiet(s));
}

TEST_F(Link, ScriptedReadAfterTheDeadlineEndsTheWaitWithBytesWaiting) {
  ASSERT_EQ(serial_open(s, 5), kStatusOk);
  backend.feed({0x04});
  start_wait(s, std::chrono::milliseconds(0));
  std::uint8_t byte = 0x99;
  EXPECT_EQ(serial_read_byte(s, &byte), kStatusFail);
  EXPECT_EQ(s.last_read_end, ReadEnd::deadline);
  EXPECT_EQ(backend.inbound.size(), 1u);  // left for the next wait
  start_wait(s, std::chrono::seconds(5));
  EXPECT_EQ(serial_read_byte(s, &byte), kStatusOk);
  EXPECT_EQ(byte, 0x04);
}

// --- COMn on POSIX ---

struct ScopedEnv {
  std::string name;
  std::string old;
  bool had;
  ScopedEnv(const char* n, const char* value) : name(n), had(std::getenv(n) != nullptr) {
    if (had) old = std::getenv(n);
    if (value != nullptr) ::setenv(n, value, 1); else ::unsetenv(n);
  }
  ~ScopedEnv() {
    if (had) ::setenv(name.c_str(), old.c_str(), 1); else ::unsetenv(name.c_str());
  }
};

struct TempDir {
  fs::path path;
  TempDir() {
    char pattern[] = "/tmp/corvanta-link-XXXXXX";
    path = ::mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(path); }
};

TEST(PortPath, MappedEntryWinsOverTheWineNumbering) {
  TempDir ports;
  ScopedEnv env("CORVANTA_PORTS", ports.path.c_str());
  fs::create_symlink("/dev/null", ports.path / "com5");
  EXPECT_EQ(posix_port_path(5), (ports.path / "com5").string());
  EXPECT_EQ(posix_port_path(1), "/dev/ttyS0");
  EXPECT_EQ(posix_port_path(9), "/dev/ttyS8");
}

// An unplugged adapter's link is still the user's choice: its open fails
// with its own path instead of writing to whatever /dev/ttyS1 is.
TEST(PortPath, DanglingLinkIsUsedAndNeverFallsBack) {
  TempDir ports;
  ScopedEnv env("CORVANTA_PORTS", ports.path.c_str());
  fs::create_symlink(ports.path / "nothing-here", ports.path / "com2");
  EXPECT_EQ(posix_port_path(2), (ports.path / "com2").string());
}

TEST(PortPath, ConfigDirectoryWhenNoPortsVariable) {
  ScopedEnv ports("CORVANTA_PORTS", nullptr);
  {
    ScopedEnv config("XDG_CONFIG_HOME", "/somewhere/config");
    EXPECT_EQ(ports_directory(), "/somewhere/config/corvanta/ports");
  }
  ScopedEnv config("XDG_CONFIG_HOME", nullptr);
  ScopedEnv home("HOME", "/home/user");
  EXPECT_EQ(ports_directory(), "/home/user/.config/corvanta/ports");
  EXPECT_EQ(mapped_port_entry(3), "/home/user/.config/corvanta/ports/com3");
}

// --- POSIX backend on a pseudo-terminal, mapped as COM7 ---

struct PtyLink : ::testing::Test {
  TempDir ports;
  ScopedEnv env;
  int module_fd = -1;  // the module's side
  PosixSerial backend;
  HostState s;

  PtyLink() : env("CORVANTA_PORTS", ports.path.c_str()) {
    module_fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    ::grantpt(module_fd);
    ::unlockpt(module_fd);
    make_raw_line(module_fd, LineSettings{});
    fs::create_symlink(::ptsname(module_fd), ports.path / "com7");
    backend.settle = std::chrono::milliseconds(0);
    s.serial = &backend;
  }
  ~PtyLink() override {
    serial_close(s);
    if (module_fd >= 0) ::close(module_fd);
  }
  Bytes module_reads(std::size_t count) {
    Bytes bytes(count);
    std::size_t got = 0;
    for (int tries = 0; got < count && tries < 200; ++tries) {
      ssize_t n = ::read(module_fd, bytes.data() + got, count - got);
      if (n > 0) got += static_cast<std::size_t>(n);
      else std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    bytes.resize(got);
    return bytes;
  }
};

// Bytes a cooked terminal would eat or rewrite: NUL, ^C, ^D, XON/XOFF, CR, LF, DEL, 0xFF.
const Bytes kAwkwardBytes{0x00, 0x03, 0x04, 0x11, 0x13, 0x0D, 0x0A, 0x7F, 0xFF, 0x1A, 0x1C};

TEST_F(PtyLink, EveryByteValueCrossesAsItselfBothWays) {
  ASSERT_EQ(serial_open(s, 7), kStatusOk);
  ::fcntl(module_fd, F_SETFL, O_NONBLOCK);
  for (std::uint8_t b : kAwkwardBytes) ASSERT_EQ(serial_write_byte(s, b), kStatusOk);
  EXPECT_EQ(module_reads(kAwkwardBytes.size()), kAwkwardBytes);

  ASSERT_EQ(::write(module_fd, kAwkwardBytes.data(), kAwkwardBytes.size()),
            static_cast<ssize_t>(kAwkwardBytes.size()));
  start_wait(s, std::chrono::milliseconds(2000));
  Bytes got;
  std::uint8_t b = 0;
  while (got.size() < kAwkwardBytes.size() && serial_read_byte(s, &b) == kStatusOk) got.push_back(b);
  EXPECT_EQ(got, kAwkwardBytes);
}

TEST_F(PtyLink, OpenFlushesWhatWasWaiting) {
  const std::uint8_t stale[] = {0xAA, 0xBB};
  ASSERT_EQ(::write(module_fd, stale, 2), 2);
  ASSERT_EQ(serial_open(s, 7), kStatusOk);
  start_wait(s, std::chrono::milliseconds(50));
  std::uint8_t b = 0;
  EXPECT_EQ(serial_read_byte(s, &b), kStatusFail);
  EXPECT_EQ(s.last_read_end, ReadEnd::deadline);
}

TEST_F(PtyLink, SilentLineEndsTheReadAtTheDeadline) {
  ASSERT_EQ(serial_open(s, 7), kStatusOk);
  start_wait(s, std::chrono::milliseconds(30));
  std::uint8_t b = 0x55;
  EXPECT_EQ(serial_read_byte(s, &b), kStatusFail);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(s.last_read_end, ReadEnd::deadline);
}

TEST_F(PtyLink, PassedDeadlineEndsTheWaitEvenWithBytesWaiting) {
  ASSERT_EQ(serial_open(s, 7), kStatusOk);
  const std::uint8_t bytes[] = {0x04, 0x0E};
  ASSERT_EQ(::write(module_fd, bytes, 2), 2);
  start_wait(s, std::chrono::milliseconds(0));
  std::uint8_t b = 0;
  EXPECT_EQ(serial_read_byte(s, &b), kStatusFail);
  EXPECT_EQ(s.last_read_end, ReadEnd::deadline);
}

TEST_F(PtyLink, EndlessNoiseCannotHoldAHandshake) {
  ASSERT_EQ(serial_open(s, 7), kStatusOk);
  std::atomic<bool> talking{true};
  // Keep the line's buffer full, so a byte is always waiting.
  ::fcntl(module_fd, F_SETFL, O_NONBLOCK);
  std::thread noise([&] {
    const std::uint8_t junk[256] = {};  // never an event indicator
    while (talking) {
      if (::write(module_fd, junk, sizeof junk) < 0) std::this_thread::yield();
    }
  });
  Status result = hci_wait_command_complete(s, 0x03, 0x03, 0, nullptr);
  talking = false;
  noise.join();
  EXPECT_EQ(result, kStatusFail);
  EXPECT_EQ(s.last_read_end, ReadEnd::deadline);
}

TEST_F(PtyLink, CancelRequestEndsAWaitAtOnce) {
  ASSERT_EQ(serial_open(s, 7), kStatusOk);
  start_wait(s, std::chrono::minutes(10));
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    s.cancel_requested = true;
  });
  std::uint8_t b = 0;
  EXPECT_EQ(serial_read_byte(s, &b), kStatusFail);
  canceller.join();
  EXPECT_EQ(s.last_read_end, ReadEnd::cancelled);
}

TEST_F(PtyLink, VanishedModuleEndsTheWaitInsteadOfSpinning) {
  ASSERT_EQ(serial_open(s, 7), kStatusOk);
  ::close(module_fd);
  module_fd = -1;
  start_wait(s, std::chrono::minutes(10));
  std::uint8_t b = 0;
  EXPECT_EQ(serial_read_byte(s, &b), kStatusFail);
  EXPECT_EQ(s.last_read_end, ReadEnd::port_error);
}

TEST_F(PtyLink, MissingDeviceFailsWithNoPortHeld) {
  fs::remove(ports.path / "com7");
  fs::create_symlink("/nonexistent/tty", ports.path / "com8");
  EXPECT_EQ(serial_open(s, 8), kStatusFail);
  EXPECT_FALSE(s.port_handle.held);
}

TEST_F(PtyLink, NotATerminalIsHeldButRefused) {
  fs::create_symlink("/dev/null", ports.path / "com6");
  EXPECT_EQ(serial_open(s, 6), kStatusFail);  // no line settings on /dev/null
  EXPECT_TRUE(s.port_handle.held);
  EXPECT_EQ(serial_close(s), kStatusOk);
}
}  // namespace
