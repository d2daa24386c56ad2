// Whole sessions through the real POSIX backend and a pty: start-up,
// inquiry, connect, steering, pictures, disconnect, close.
#include "hci_inquiry.h"
#include "serial_link.h"
#include "sim_session.h"

namespace {
constexpr DeviceAddress kCameraA{0xCA, 0xFE, 0x00, 0x00, 0x00, 0x01};
constexpr DeviceAddress kCameraB{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr DeviceAddress kCameraC{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};

using Session = SimSession;

// The one run at the real line speed (bench/ measures its timing).
TEST_F(Session, FullSessionPacedAtTheLineSpeed) {
  SimOptions options = fast_sim_options();
  options.paced = true;
  start_sim(options);
  connect_camera(0);
  EXPECT_EQ(address_text(s.found_devices[0]), "CAFE00000001");
  EXPECT_EQ(s.local_address, (DeviceAddress{0x01, 0x00, 0x00, 0x00, 0x00, 0x5E}));

  ASSERT_EQ(key(kVkRight), kStatusOk);
  // The steering answer: letter, pan, tilt, zoom, appended to the buffer.
  EXPECT_EQ(s.frame_length, 4);
  EXPECT_EQ(s.frame_buffer[0], 'R');
  EXPECT_EQ(s.frame_buffer[1], kCameraPanStep);

  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);

  ASSERT_EQ(host_disconnect(s), kStatusOk);
  EXPECT_EQ(s.link_connected, 0);
  EXPECT_EQ(s.channel_state, kChannelClosed);
  EXPECT_EQ(host_close(s), kStatusOk);
}

TEST_F(Session, InquiryListsEveryCameraInRangeInOrder) {
  SimOptions options = fast_sim_options();
  options.cameras = {kCameraA, kCameraB, kCameraC};
  start_sim(options);
  connect_camera(1, 3);
  EXPECT_EQ(address_text(s.found_devices[0]), "CAFE00000001");
  EXPECT_EQ(address_text(s.found_devices[1]), "001122334455");
  EXPECT_EQ(address_text(s.found_devices[2]), "123456789ABC");
  EXPECT_EQ(s.remote_address, reversed_address(kCameraB));
  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(1)).pixels);
}

// Every picture arrives after a Number Of Completed Packets event; the
// steering between pictures moves the scene. Each capture must match the
// camera's view at that moment, row for row.
TEST_F(Session, PicturesInARowStayUnshifted) {
  start_sim();
  connect_camera(0);
  const std::uint32_t steering[] = {kVkLeft, kVkDown, kVkK, kVkM, kVkH, kVkRight};
  CameraFrame previous{};
  for (std::uint32_t vk : steering) {
    ASSERT_EQ(key(vk), kStatusOk) << "no answer to key " << vk;
    ASSERT_EQ(capture(), kStatusOk) << "after key " << vk;
    EXPECT_EQ(s.frame_length, static_cast<std::int16_t>(kFrameBufferSize));
    CameraFrame view = sim->camera_view(0);
    EXPECT_EQ(picture.pixels, converted(view).pixels) << "after key " << vk;
    EXPECT_NE(view, previous) << "key " << vk << " did not move the scene";
    previous = view;
  }
  // One ACL packet each: the channel open, six keys, six captures.
  EXPECT_EQ(sim->acl_packets_received(), 13u);
}

TEST_F(Session, TheUKeyAloneDoesNotRedrawThePictureNorShiftTheNext) {
  start_sim();
  connect_camera(0);
  ASSERT_EQ(capture(), kStatusOk);
  Picture before = picture;
  // The U key takes one row as its answer and reads the other 71 off; the
  // picture is not redrawn, and the next exchanges are in step.
  EXPECT_EQ(key(kVkU), kStatusOk);
  EXPECT_EQ(picture.pixels, before.pixels);
  EXPECT_EQ(key(kVkRight), kStatusOk);
  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
}

TEST_F(Session, DisconnectThenConnectAgain) {
  start_sim();
  connect_camera(0);
  const std::uint8_t first_handle = s.handle_low;
  ASSERT_EQ(host_disconnect(s), kStatusOk);
  ASSERT_EQ(s.link_connected, 0);
  ASSERT_EQ(host_connect(s, s.found_devices[0]), kStatusOk);
  EXPECT_EQ(s.link_connected, 1);
  EXPECT_NE(s.handle_low, first_handle);
  EXPECT_EQ(key(kVkH), kStatusOk);
  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
}

// With four answers the module ends the inquiry at once, and its Inquiry
// Complete stays unread; the connect that follows passes over it.
TEST_F(Session, ConnectAfterAFullInquiryTableStillWorks) {
  SimOptions options = fast_sim_options();
  options.cameras = {kCameraA, kCameraB, kCameraC, {0x01, 0, 0, 0, 0, 4}, {0x01, 0, 0, 0, 0, 5}};
  start_sim(options);
  open_module();
  discover(4);
  ASSERT_EQ(host_connect(s, s.found_devices[3]), kStatusOk);
  EXPECT_EQ(s.remote_address, reversed_address({0x01, 0, 0, 0, 0, 4}));
  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(3)).pixels);
}
}  // namespace
