// The Win32 serial backend under Wine against the virtual module, whose pty
// the Wine prefix maps as COM5 (run by with_sim.sh, which starts the module
// with the options named beside each test in CMakeLists.txt).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bmp_file.h"
#include "camera_commands.h"
#include "hci_inquiry.h"
#include "host_ops.h"
#include "linux_capture.h"
#include "port_list.h"
#include "serial_link.h"
#include "tcp_serial.h"
#include "virtual_camera.h"
#include "win32_serial.h"

namespace {
constexpr std::uint8_t kCom5 = 5;
// The camera with_sim.sh is given: its address holds the bytes that a
// driver left in text or XON/XOFF mode would eat or change.
constexpr DeviceAddress kCamera{0xCA, 0xFE, 0x00, 0x04, 0x11, 0x13};

// The ports directory with_sim.sh watches, as a Windows path on drive Z:.
std::string ports_path(const char* entry) {
  const char* ports = std::getenv("CORVANTA_WINE_PORTS");
  std::string path = std::string("Z:") + (ports != nullptr ? ports : "") + "/" + entry;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// Asks with_sim.sh for a fault ("unplug": the module ends; "stall": it stops
// reading) and waits until it says the fault is in place.
bool module_fault(const char* request_name, const char* done_name) {
  HANDLE request = ::CreateFileA(ports_path(request_name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (request == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(request);
  for (int i = 0; i < 200; ++i) {
    if (::GetFileAttributesA(ports_path(done_name).c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    ::Sleep(25);
  }
  return false;
}

struct Win32Link : ::testing::Test {
  Win32Serial win32;
  std::unique_ptr<HostState> state = std::make_unique<HostState>();
  HostState& s = *state;
  Picture picture;
  CameraView view{&picture, nullptr, nullptr, nullptr};

  void SetUp() override { host_attach(s, win32); }
  void TearDown() override {
    if (s.port_handle.held) host_close(s);
  }
  void connect() {
    ASSERT_EQ(host_open(s, kCom5), kStatusOk);
    ASSERT_EQ(module_start_up(s, kLocalDeviceName), kStatusOk);
    std::uint8_t count = 0;
    ASSERT_EQ(discover_devices(s, s.found_devices.data(), &count, kMaxFoundDevices), kStatusOk);
    ASSERT_EQ(count, 1);
    s.found_count = count;
    ASSERT_EQ(host_connect(s, s.found_devices[0]), kStatusOk);
    ASSERT_EQ(s.channel_state, kChannelOpen);
  }
};

// sim: --camera CAFE00041113 (paced at the line speed)
TEST_F(Win32Link, WholeSessionWithAPicturePixelExact) {
  connect();
  // Inbound: the Inquiry Result carried the address whole. Outbound: the
  // module paged the camera, which it does only for the exact address.
  EXPECT_EQ(s.found_devices[0], kCamera);
  EXPECT_EQ(s.link_connected, 1);

  ASSERT_EQ(camera_key_down(s, view, kVkRight), kStatusOk);
  EXPECT_EQ(s.frame_length, 4);
  EXPECT_EQ(s.frame_buffer[0], 'R');
  CameraScene scene;
  ASSERT_TRUE(steer_camera(scene, 'R'));

  ASSERT_EQ(camera_key_down(s, view, kVkUp), kStatusOk);
  const CameraFrame expected = render_camera_view(scene);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), s.frame_buffer.begin()));
  const std::vector<std::uint8_t> bmp = bmp_bytes(picture);
  EXPECT_EQ(fnv1a64(bmp.data(), bmp.size()), kLinuxPannedRightBmp) << "the Linux build's picture";

  ASSERT_EQ(host_disconnect(s), kStatusOk);
  EXPECT_EQ(s.link_connected, 0);
  EXPECT_EQ(host_close(s), kStatusOk);
}

// sim: --silent
TEST_F(Win32Link, SilentModuleEndsTheStartUpAtItsDeadline) {
  ASSERT_EQ(host_open(s, kCom5), kStatusOk);
  auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusFail);
  EXPECT_EQ(s.last_read_end, ReadEnd::deadline);
  RecordProperty("start_up_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                     std::chrono::steady_clock::now() - began)
                                                     .count()));
}

// sim: --fast
TEST_F(Win32Link, UnpluggedPortEndsTheCaptureAndClosesCleanly) {
  connect();
  ASSERT_TRUE(module_fault("unplug", "unplugged"));
  EXPECT_EQ(camera_key_down(s, view, kVkUp), kStatusFail);
  EXPECT_TRUE(link_went_quiet(s));
  EXPECT_LT(s.frame_length, static_cast<std::int16_t>(kFrameBufferSize));
  EXPECT_EQ(host_close(s), kStatusOk);
  EXPECT_EQ(host_close(s), kStatusFail);  // nothing held any more
}

// sim: --fast. A module that reads nothing more: once the line is full a
// write ends at its deadline instead of blocking for good.
TEST_F(Win32Link, WriteToALineThatDoesNotDrainEndsAtItsDeadline) {
  ASSERT_EQ(host_open(s, kCom5), kStatusOk);
  ASSERT_TRUE(module_fault("stall", "stalled"));
  constexpr int kMoreThanAnyLineHolds = 1 << 20;
  int written = 0;
  while (written < kMoreThanAnyLineHolds && serial_write_byte(s, 0x00) == kStatusOk) ++written;
  EXPECT_LT(written, kMoreThanAnyLineHolds);
  RecordProperty("bytes_before_the_line_was_full", written);
}

// sim: --fast --line 115200,rtscts. Every field of the DCB that shapes the
// line, as GetCommState reads it back after Open, with and without RTS/CTS;
// and the module, which hears only a line of 115,200 baud with RTS/CTS,
// answers the one and not the other. Wine keeps RTS/CTS as the one termios
// flag and reads it back as CTS output flow with RTS raised: the module's
// answer shows that the handshake reached the line.
TEST_F(Win32Link, TheLineIsSetWhole) {
  for (FlowControl flow : {FlowControl::none, FlowControl::rtscts}) {
    SCOPED_TRACE(flow == FlowControl::rtscts ? "rtscts" : "none");
    ASSERT_EQ(host_open(s, com_port(kCom5), LineSettings{115200, flow}), kStatusOk);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(::GetCommState(reinterpret_cast<HANDLE>(s.port_handle.native), &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutxCtsFlow, flow == FlowControl::rtscts ? 1u : 0u);
    if (flow == FlowControl::none) {
      EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    }
    EXPECT_EQ(module_start_up(s, kLocalDeviceName), flow == FlowControl::rtscts ? kStatusOk : kStatusFail);
    EXPECT_EQ(host_close(s), kStatusOk);
  }
}

// sim: --fast --line 115200,rtscts. COM12, which the Wine prefix maps to the
// module's pty as it maps COM5 (scripts/lib/wine.sh): a port above COM9
// opens as \\.\COM12. The system's list of serial ports holds both, in
// the order of their numbers (COM12 after COM5, not between COM1 and COM2).
TEST_F(Win32Link, APortAboveNineOpens) {
  const std::vector<std::string> ports = present_ports();
  const auto com5 = std::find(ports.begin(), ports.end(), "COM5");
  const auto com12 = std::find(ports.begin(), ports.end(), "COM12");
  EXPECT_TRUE(com5 != ports.end() && com12 != ports.end() && com5 < com12);
  ASSERT_EQ(host_open(s, com_port(12), LineSettings{115200, FlowControl::rtscts}), kStatusOk);
  EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusOk);
}

// sim: --fast --tcp 0. The module on a TCP port of the loopback address,
// which its log names; Winsock's connection under the same session.
TEST_F(Win32Link, TcpSessionWithAPicture) {
  HANDLE log = ::CreateFileA(ports_path("sim.log").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(log, INVALID_HANDLE_VALUE);
  char text[512] = {};
  DWORD size = 0;
  ::ReadFile(log, text, sizeof text - 1, &size, nullptr);
  ::CloseHandle(log);
  const char* listening = std::strstr(text, "listening on tcp:127.0.0.1:");
  ASSERT_NE(listening, nullptr) << text;
  const auto tcp_port = static_cast<std::uint16_t>(std::atoi(listening + std::strlen("listening on tcp:127.0.0.1:")));
  TcpSerial tcp;
  host_attach(s, tcp);
  ASSERT_EQ(host_open(s, PortName{PortKind::tcp, tcp_port, "127.0.0.1"}, LineSettings{}), kStatusOk);
  ASSERT_EQ(module_start_up(s, kLocalDeviceName), kStatusOk);
  std::uint8_t count = 0;
  ASSERT_EQ(discover_devices(s, s.found_devices.data(), &count, kMaxFoundDevices), kStatusOk);
  ASSERT_EQ(count, 1);
  ASSERT_EQ(host_connect(s, s.found_devices[0]), kStatusOk);
  ASSERT_EQ(camera_key_down(s, view, kVkUp), kStatusOk);
  const CameraFrame expected = render_camera_view(CameraScene{});
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), s.frame_buffer.begin()));
  EXPECT_EQ(host_disconnect(s), kStatusOk);
  EXPECT_EQ(host_close(s), kStatusOk);
}

// sim: --fast
TEST_F(Win32Link, OpenRefusesInvalidNumbersAndReopensThePort) {
  EXPECT_EQ(host_open(s, 0), kStatusFail);
  EXPECT_FALSE(s.port_handle.held);
  ASSERT_EQ(host_open(s, kCom5), kStatusOk);
  // An invalid number leaves the held port alone; reopening releases it
  // first and configures the line afresh.
  EXPECT_EQ(host_open(s, 0), kStatusFail);
  EXPECT_TRUE(s.port_handle.held);
  ASSERT_EQ(host_open(s, kCom5), kStatusOk);
  EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusOk);
}
}  // namespace
