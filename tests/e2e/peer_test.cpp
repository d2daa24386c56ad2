// A camera that pages the host: accepted while no link is up, refused with
// reason 0x0D (limited resources) while one is.
#include "sim_session.h"

namespace {
constexpr DeviceAddress kCameraA{0xCA, 0xFE, 0x00, 0x00, 0x00, 0x01};
constexpr DeviceAddress kCameraB{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr std::uint16_t kAccept = 0x0409;
constexpr std::uint16_t kReject = 0x040A;

using PeerConnection = SimSession;

std::vector<std::uint8_t> address_then(const DeviceAddress& display_order, std::uint8_t last) {
  DeviceAddress wire = reversed_address(display_order);
  std::vector<std::uint8_t> p(wire.begin(), wire.end());
  p.push_back(last);
  return p;
}

TEST_F(PeerConnection, AcceptedWhenNoLinkIsUpAndTheCameraOpensTheChannel) {
  start_sim();
  open_module();
  ASSERT_TRUE(sim->page_host(0));
  // Connection Request: the host accepts with role 0x01.
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(s.link_connected, 0);  // not until the Connection Complete is read
  // The Accept's Command Status, then the Connection Complete.
  ASSERT_TRUE(read_until([&] { return s.link_connected == 1; }));
  auto commands = sim->commands_received();
  ASSERT_EQ(commands.back().opcode, kAccept);
  EXPECT_EQ(commands.back().parameters, address_then(kCameraA, 0x01));
  EXPECT_EQ(s.remote_address, reversed_address(kCameraA));
  // The camera's L2CAP Connection Request: the host takes the camera's CID.
  ASSERT_TRUE(read_until([&] { return s.channel_state == kChannelOpen; }));
  EXPECT_EQ(s.channel_id, 0x0040);
  EXPECT_EQ(s.remote_psm, 0x1001);
  // The channel carries commands and pictures as a host-opened one does.
  EXPECT_EQ(key(kVkLeft), kStatusOk);
  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
  ASSERT_EQ(host_disconnect(s), kStatusOk);
  EXPECT_EQ(s.link_connected, 0);
}

TEST_F(PeerConnection, RejectedWithLimitedResourcesWhileALinkIsUp) {
  SimOptions options = fast_sim_options();
  options.cameras = {kCameraA, kCameraB};
  start_sim(options);
  connect_camera(0, 2);
  ASSERT_TRUE(sim->page_host(1));
  // The Connection Request is read where the host next reads a packet; the
  // Reject goes out at once, so the handler reports its writes.
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(s.remote_address, reversed_address(kCameraA));  // a refused requester is no peer
  EXPECT_EQ(s.link_connected, 1);
  // The module then confirms the Reject and reports the refused connection
  // as a failed Connection Complete; the host keeps its link and its handle.
  const std::uint8_t handle = s.handle_low;
  EXPECT_EQ(process_inbound_packet(s), kStatusFail);
  EXPECT_EQ(process_inbound_packet(s), kStatusFail);
  auto commands = sim->commands_received();
  ASSERT_EQ(commands.back().opcode, kReject);
  EXPECT_EQ(commands.back().parameters, address_then(kCameraB, 0x0D));
  EXPECT_EQ(s.link_connected, 1);
  EXPECT_EQ(s.handle_low, handle);
  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
}

TEST_F(PeerConnection, NoPageReachesAHostThatIsNotConnectable) {
  start_sim();
  // Before the start-up, page scan is off: nobody can page the module.
  EXPECT_FALSE(sim->page_host(0));
  open_module();
  EXPECT_TRUE(sim->page_host(0));
  EXPECT_FALSE(sim->page_host(0));  // one page at a time
}
}  // namespace
