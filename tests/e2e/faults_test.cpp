// Faults of the module, the line and the camera: each operation ends within
// its bound with its failure status, and the link is usable again where the
// protocol allows it.
#include "failure_text.h"
#include "hci_inquiry.h"
#include "serial_link.h"
#include "sim_session.h"

namespace {
constexpr std::uint16_t kInquiry = 0x0401;
constexpr std::uint16_t kCreateConnection = 0x0405;
constexpr std::uint16_t kReset = 0x0C03;
constexpr std::uint16_t kWriteLocalName = 0x0C13;
constexpr std::uint16_t kWriteScanEnable = 0x0C1A;
constexpr std::uint16_t kReadBdAddr = 0x1009;
constexpr int kRowBytes = 192;

using Faults = SimSession;

SimFaults failing(std::uint16_t opcode) {
  SimFaults f;
  f.failing_opcode = opcode;
  return f;
}

// Rows [0, rows) of the picture are those of `frame`. Row y of the frame is
// row 71 - y of the bottom-up picture; row rows-1 is left out because its
// last pixel borrows a chroma byte from the next row.
void expect_top_rows_match(const Picture& picture, const CameraFrame& frame, int rows) {
  Picture expected = converted(frame);
  const std::size_t from = static_cast<std::size_t>(kPictureHeight - (rows - 1)) * kPictureRowBytes;
  EXPECT_TRUE(std::equal(picture.pixels.begin() + static_cast<long>(from), picture.pixels.end(),
                         expected.pixels.begin() + static_cast<long>(from)));
}

TEST_F(Faults, SilentModuleFailsTheStartUpAndRecovers) {
  SimOptions options = fast_sim_options();
  options.faults.silent = true;
  start_sim(options);
  ASSERT_EQ(host_open(s, kSimPort), kStatusOk);
  EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusFail);
  // HCI_Reset again every 2 s, for 10 s: nothing else went out.
  EXPECT_EQ(opcodes_since(0), std::vector<std::uint16_t>(5, kReset));
  sim->set_faults({});
  EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusOk);
}

// Each start-up command answered with a failure ends the start-up there:
// the commands after it are not sent. The next start-up then succeeds.
TEST_F(Faults, StartUpStopsAtTheCommandThatFails) {
  start_sim();
  ASSERT_EQ(host_open(s, kSimPort), kStatusOk);
  const struct {
    std::uint16_t opcode;
    std::vector<std::uint16_t> sent;
  } cases[] = {
      {kReset, {kReset}},
      {kReadBdAddr, {kReset, kReadBdAddr}},
      {kWriteLocalName, {kReset, kReadBdAddr, kWriteLocalName}},
      {kWriteScanEnable, {kReset, kReadBdAddr, kWriteLocalName, kWriteScanEnable}},
  };
  for (const auto& c : cases) {
    sim->set_faults(failing(c.opcode));
    std::size_t before = sim->commands_received().size();
    EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusFail) << std::hex << c.opcode;
    EXPECT_EQ(opcodes_since(before), c.sent) << std::hex << c.opcode;
    sim->set_faults({});
    EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusOk) << std::hex << c.opcode;
  }
}

// A refused Command Status is read up to its status byte; its last three
// bytes (01, opcode) stay in the input, and a link-control opcode's high byte
// 0x04 would pass for the next event's indicator. Reopening the port flushes
// them, and after a start-up everything works again.
TEST_F(Faults, RefusedInquiryKeepsTheOldCountAndRefusedConnectKeepsThePeer) {
  start_sim();
  open_module();
  sim->set_faults(failing(kInquiry));
  std::uint8_t count = 0xEE;
  EXPECT_EQ(discover_devices(s, s.found_devices.data(), &count, kMaxFoundDevices), kStatusFail);
  EXPECT_EQ(count, 0xEE);

  sim->set_faults({});
  open_module();
  discover(1);
  sim->set_faults(failing(kCreateConnection));
  s.remote_address = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(host_connect(s, s.found_devices[0]), kStatusFail);
  EXPECT_EQ(s.remote_address, (DeviceAddress{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(s.link_connected, 0);

  sim->set_faults({});
  open_module();
  EXPECT_EQ(host_connect(s, s.found_devices[0]), kStatusOk);
  EXPECT_EQ(s.link_connected, 1);
}

// The handshake waits skip everything up to the next event indicator.
TEST_F(Faults, NoiseBeforeEveryEventIsSkippedByTheHandshakes) {
  SimOptions options = fast_sim_options();
  // Bytes that open no packet (0x02 would open ACL data once the link is up,
  // and swallow what follows: the channel's answer among it).
  options.faults.noise = {0x00, 0xFF, 0x55, 0x13, 0x03};
  start_sim(options);
  open_module();
  discover(1);
  EXPECT_EQ(address_text(s.found_devices[0]), "CAFE00000001");
  EXPECT_EQ(host_connect(s, s.found_devices[0]), kStatusOk);
  EXPECT_EQ(s.link_connected, 1);
}

// Bytes that open no packet, between two rows: every row still comes, but a
// line that gained bytes is not trusted; the next picture is whole.
TEST_F(Faults, NoiseInAPictureFailsItAndCostsNoRow) {
  SimOptions options = fast_sim_options();
  options.faults.picture_noise = {0x00, 0xFF, 0x55};
  options.faults.picture_noise_row = 10;
  start_sim(options);
  connect_camera(0);
  EXPECT_EQ(capture(), kStatusFail);
  EXPECT_EQ(s.frame_length, static_cast<std::int16_t>(kFrameBufferSize));
  EXPECT_EQ(s.last_failure.point, FailurePoint::line_damaged);
  sim->set_faults({});
  EXPECT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
}

// A row the camera never sends: the next picture's first row pays for it,
// so that picture fails too, and once the camera has been quiet for the
// write-off time nothing is owed: the one after is whole.
TEST_F(Faults, DroppedPictureRowFailsThatPictureAndTheNextOnly) {
  SimOptions options = fast_sim_options();
  options.faults.dropped_picture_row = 5;
  start_sim(options);
  connect_camera(0);
  EXPECT_EQ(capture(), kStatusFail);
  EXPECT_EQ(s.frame_length, 71 * kRowBytes);
  sim->set_faults({});
  EXPECT_EQ(capture(), kStatusFail);
  EXPECT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
}

TEST_F(Faults, ShortPictureConvertsWhatArrived) {
  SimOptions options = fast_sim_options();
  options.faults.picture_rows = 40;
  start_sim(options);
  connect_camera(0);
  EXPECT_EQ(capture(), kStatusFail);
  EXPECT_EQ(s.frame_length, 40 * kRowBytes);
  expect_top_rows_match(picture, sim->camera_view(0), 40);
  sim->set_faults({});
  // Nothing of the picture is left over, and the answer lands after it.
  EXPECT_EQ(key(kVkRight), kStatusOk);
  EXPECT_EQ(s.frame_length, 40 * kRowBytes + 4);
  EXPECT_EQ(s.frame_buffer[40 * kRowBytes], 'R');
}

// The host does not look at the Connection Response: the channel counts as
// open, and the camera's silence shows only when a key gets no answer.
// A refused channel fails connect, naming the camera's answer, and the link
// goes with it.
TEST_F(Faults, RefusedChannelFailsConnect) {
  SimOptions options = fast_sim_options();
  options.faults.channel_refused = true;
  start_sim(options);
  open_module();
  discover(1);
  EXPECT_EQ(host_connect(s, s.found_devices[0]), kStatusFail);
  EXPECT_EQ(failure_text(s.last_failure), "the camera refused the channel (L2CAP result 0x0004, no resources)");
  EXPECT_EQ(s.link_connected, 0);
  EXPECT_EQ(s.channel_state, kChannelClosed);
}

TEST_F(Faults, UnansweredPageEndsWithPageTimeoutAndTheNextConnectWorks) {
  SimOptions options = fast_sim_options();
  options.faults.camera_unreachable = true;
  start_sim(options);
  open_module();
  discover(1);
  EXPECT_EQ(host_connect(s, s.found_devices[0]), kStatusFail);
  EXPECT_EQ(s.link_connected, 0);
  // An address nobody has fails the same way.
  sim->set_faults({});
  EXPECT_EQ(host_connect(s, DeviceAddress{0x0B, 0xAD, 0x00, 0x00, 0x00, 0x01}), kStatusFail);
  EXPECT_EQ(host_connect(s, s.found_devices[0]), kStatusOk);
  EXPECT_EQ(s.link_connected, 1);
}

TEST_F(Faults, MuteCameraFailsConnectAndTheLinkGoes) {
  SimOptions options = fast_sim_options();
  options.faults.camera_mute = true;
  start_sim(options);
  open_module();
  discover(1);
  // No answer to the channel request: connect fails, and takes the link down.
  EXPECT_EQ(host_connect(s, s.found_devices[0]), kStatusFail);
  EXPECT_EQ(failure_text(s.last_failure), "no answer to the channel request within 3.0 s");
  EXPECT_EQ(s.link_connected, 0);
}

TEST_F(Faults, VanishingPortEndsAPictureAtOnceAndCloseStillWorks) {
  SimOptions options = fast_sim_options();
  options.faults.vanish_after_picture_rows = 10;
  start_sim(options);
  connect_camera(0);
  CameraFrame view = sim->camera_view(0);
  EXPECT_EQ(capture(), kStatusFail);
  EXPECT_EQ(s.frame_length, 10 * kRowBytes);
  EXPECT_EQ(s.last_read_end, ReadEnd::port_error);
  expect_top_rows_match(picture, view, 10);
  EXPECT_TRUE(sim->vanished());
  EXPECT_EQ(key(kVkLeft), kStatusFail);
  EXPECT_EQ(host_close(s), kStatusOk);
}

TEST_F(Faults, VanishingPortBetweenOperations) {
  start_sim();
  connect_camera(0);
  sim->vanish();
  // The channel close is the first write to fail, and the operation with it.
  EXPECT_EQ(host_disconnect(s), kStatusFail);
  EXPECT_EQ(host_close(s), kStatusOk);
}
}  // namespace
