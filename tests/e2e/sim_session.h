#pragma once
// Fixture for the end-to-end tests: a virtual module on a real pty, mapped
// as COM5 in a private ports directory, and a host on the real POSIX
// serial backend that opens it like any adapter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "camera_commands.h"
#include "hci_inbound.h"
#include "host_ops.h"
#include "posix_serial.h"
#include "virtual_module.h"

inline constexpr std::uint8_t kSimPort = 5;

// Unpaced, with the inquiry and the page timeout cut to a few dozen ms.
inline SimOptions fast_sim_options() {
  SimOptions o;
  o.paced = false;
  o.inquiry_time_scale = 0.02;
  o.page_timeout_scale = 0.02;
  return o;
}

// The picture a capture of this frame must give.
inline Picture converted(const CameraFrame& frame) {
  Picture p;
  convert_frame(frame.data(), p.pixels.data(), kPictureWidth, kPictureHeight);
  return p;
}

struct SimSession : ::testing::Test {
  std::string ports_directory;
  std::unique_ptr<VirtualModule> sim;
  PosixSerial posix;
  std::unique_ptr<HostState> state = std::make_unique<HostState>();
  HostState& s = *state;
  Picture picture;
  CameraView view{&picture, nullptr, nullptr, nullptr};

  void SetUp() override {
    char pattern[] = "/tmp/corvanta-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    ports_directory = pattern;
    ::setenv("CORVANTA_PORTS", ports_directory.c_str(), 1);
    host_attach(s, posix);
  }
  void TearDown() override {
    if (s.port_handle.held) host_close(s);
    if (sim) sim->stop();
    std::error_code ignored;  // the module's owner file stays in the directory
    std::filesystem::remove_all(ports_directory, ignored);
  }

  void start_sim(const SimOptions& options = fast_sim_options()) {
    sim = std::make_unique<VirtualModule>(options);
    ASSERT_TRUE(sim->start());
    ASSERT_TRUE(sim->publish_as(kSimPort));
  }
  // On a TCP port of the loopback address, which sim->tcp_port() names.
  void start_sim_over_tcp(SimOptions options) {
    options.tcp = true;
    sim = std::make_unique<VirtualModule>(options);
    ASSERT_TRUE(sim->start());
    ASSERT_NE(sim->tcp_port(), 0);
  }
  void open_module() {
    ASSERT_EQ(host_open(s, kSimPort), kStatusOk);
    ASSERT_EQ(module_start_up(s, kLocalDeviceName), kStatusOk);
  }
  void discover(std::uint8_t expected) {
    std::uint8_t count = 0xEE;
    ASSERT_EQ(discover_devices(s, s.found_devices.data(), &count, kMaxFoundDevices), kStatusOk);
    ASSERT_EQ(count, expected);
    s.found_count = count;
  }
  // Start-up, inquiry and a connection to camera `index` of `cameras`.
  void connect_camera(std::size_t index, std::uint8_t cameras = 1) {
    open_module();
    discover(cameras);
    ASSERT_EQ(host_connect(s, s.found_devices[index]), kStatusOk);
    ASSERT_EQ(s.link_connected, 1);
    ASSERT_EQ(s.channel_state, kChannelOpen);
  }
  // Reads packets as they come until `done` holds (at most `limit` packets).
  template <typename Done>
  bool read_until(Done done, int limit = 8) {
    for (int i = 0; i < limit && !done(); ++i) process_inbound_packet(s);
    return done();
  }
  Status key(std::uint32_t virtual_key) { return camera_key_down(s, view, virtual_key); }
  Status capture() { return camera_key_down(s, view, kVkUp); }
  // Commands the module has received since `from`, by opcode.
  std::vector<std::uint16_t> opcodes_since(std::size_t from) const {
    std::vector<std::uint16_t> out;
    auto all = sim->commands_received();
    for (std::size_t i = from; i < all.size(); ++i) out.push_back(all[i].opcode);
    return out;
  }
};
