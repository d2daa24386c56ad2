// Situations that used to put the host out of step with the module for
// good: each gives an honest status, and the next picture is pixel-exact.
#include <algorithm>
#include <thread>

#include "failure_text.h"
#include "sim_session.h"

namespace {
constexpr std::uint16_t kCreateConnection = 0x0405;

bool host_sent_signal(const VirtualModule& sim, std::uint8_t code) {
  auto signals = sim.host_signals();
  return std::any_of(signals.begin(), signals.end(), [&](const SignalCommand& c) { return c.code == code; });
}

bool host_rejected_the_intruder(const VirtualModule& sim) {
  const DeviceAddress wire = reversed_address(sim_wire::kIntruderAddress);
  std::vector<std::uint8_t> expected(wire.begin(), wire.end());
  expected.push_back(0x0D);  // limited resources
  auto commands = sim.commands_received();
  return std::any_of(commands.begin(), commands.end(), [&](const ReceivedCommand& c) {
    return c.opcode == sim_wire::kOpRejectConnection && c.parameters == expected;
  });
}

struct Situation {
  const char* name;
  void (*set)(SimFaults&);
  bool (*seen)(const VirtualModule&);  // what the module must have seen of the host, or nullptr
};

class InStep : public SimSession, public ::testing::WithParamInterface<Situation> {};

// Mid-picture, with the camera's Number Of Completed Packets interleaved:
// the capture is whole, and so are a steering answer and the next picture
// with the same thing happening again.
TEST_P(InStep, PicturesStayWholeWhenSomethingElseArrivesMidPicture) {
  SimOptions options = fast_sim_options();
  GetParam().set(options.faults);
  start_sim(options);
  connect_camera(0);
  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(s.frame_length, static_cast<std::int16_t>(kFrameBufferSize));
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
  EXPECT_EQ(key(kVkLeft), kStatusOk);
  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
  EXPECT_EQ(s.link_connected, 1);
  if (GetParam().seen != nullptr) {
    EXPECT_TRUE(GetParam().seen(*sim));
  }
  EXPECT_EQ(host_disconnect(s), kStatusOk);
}

INSTANTIATE_TEST_SUITE_P(
    MidPicture, InStep,
    ::testing::Values(
        Situation{"third_device_pages", [](SimFaults& f) { f.intruder_page_row = 30; }, host_rejected_the_intruder},
        Situation{"third_device_pages_and_the_reject_is_refused",
                  [](SimFaults& f) {
                    f.intruder_page_row = 30;
                    f.failing_opcode = sim_wire::kOpRejectConnection;
                    f.failing_status = 0x12;
                  },
                  nullptr},
        Situation{"fragments_of_27_bytes", [](SimFaults& f) { f.acl_fragment_size = 27; }, nullptr},
        Situation{"fragments_of_a_few_bytes", [](SimFaults& f) { f.acl_fragment_size = 7; }, nullptr},
        Situation{"packet_for_another_handle", [](SimFaults& f) { f.stray_acl_row = 20; }, nullptr},
        Situation{"frame_on_a_fixed_channel", [](SimFaults& f) { f.low_cid_row = 20; }, nullptr},
        Situation{"echo_request",
                  [](SimFaults& f) {
                    f.echo_request_row = 10;
                    f.acl_fragment_size = 27;
                  },
                  [](const VirtualModule& sim) { return host_sent_signal(sim, 0x09); }},
        Situation{"information_request", [](SimFaults& f) { f.info_request_row = 50; },
                  [](const VirtualModule& sim) { return host_sent_signal(sim, 0x0B); }},
        Situation{"everything_at_once",
                  [](SimFaults& f) {
                    f.intruder_page_row = 5;
                    f.acl_fragment_size = 27;
                    f.stray_acl_row = 15;
                    f.low_cid_row = 25;
                    f.echo_request_row = 35;
                    f.info_request_row = 45;
                  },
                  host_rejected_the_intruder}),
    [](const auto& info) { return std::string(info.param.name); });

// Connect pressed again while connected: the module refuses the page with a
// Command Status, which fails the connect and leaves nothing behind.
TEST_F(InStep, RefusedCommandLeavesNothingBehind) {
  start_sim();
  connect_camera(0);
  EXPECT_EQ(host_connect(s, s.found_devices[0]), kStatusFail);
  EXPECT_EQ(opcodes_since(0).back(), kCreateConnection);
  EXPECT_EQ(s.link_connected, 1);
  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
}

// A camera that pauses past the packet bound: the capture fails where the
// rows stopped; its late rows come after the next command has gone out and
// pay for the failed picture, so the next key and picture are their own.
struct AfterAPause {
  const char* name;
  bool key_first;
};

class PausedCamera : public SimSession, public ::testing::WithParamInterface<AfterAPause> {};

TEST_P(PausedCamera, FailsThatPictureOnly) {
  SimOptions options = fast_sim_options();
  options.faults.pause_row = 40;
  options.faults.pause_ms = 4500;
  start_sim(options);
  connect_camera(0);
  EXPECT_EQ(capture(), kStatusFail);
  EXPECT_EQ(s.frame_length, 40 * 192);
  sim->set_faults({});
  if (GetParam().key_first) {
    ASSERT_EQ(key(kVkLeft), kStatusOk);
    EXPECT_EQ(s.key_answer[0], 'L');
  }
  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
}

INSTANTIATE_TEST_SUITE_P(InStep, PausedCamera,
                         ::testing::Values(AfterAPause{"then_a_picture", false}, AfterAPause{"then_a_key", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The module's chaos with one kind of fault at every chance.
SimChaos every_time(std::uint32_t kind) {
  SimChaos chaos;
  chaos.on = true;
  chaos.seed = 7;
  chaos.rate = 1.0;
  chaos.kinds = kind;
  return chaos;
}

// A third device pages the host while its own page is under way: it is
// rejected, and the link is the camera's.
TEST_F(InStep, APageDuringThePageIsRejected) {
  SimOptions options = fast_sim_options();
  options.faults.chaos = every_time(kChaosPageConnect);
  start_sim(options);
  connect_camera(0);
  EXPECT_TRUE(host_rejected_the_intruder(*sim));
  EXPECT_EQ(s.remote_address, reversed_address(kDefaultCameraAddress));
  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
}

// An answer that comes after its key gave up pays that key's debt, not the
// next key's.
TEST_F(InStep, ALateAnswerIsNotTheNextKeys) {
  start_sim();
  connect_camera(0);
  SimFaults late;
  late.chaos = every_time(kChaosPause);
  sim->set_faults(late);
  EXPECT_EQ(key(kVkLeft), kStatusFail);
  sim->set_faults({});
  ASSERT_EQ(key(kVkRight), kStatusOk);
  EXPECT_EQ(s.key_answer[0], 'R');
  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
}

// The U key's picture with a gap among its rows, as on a radio link: it is
// read by count, so none of it passes for the next exchange's.
TEST_F(InStep, TheUKeysPictureIsReadByCount) {
  SimOptions options = fast_sim_options();
  options.faults.pause_row = 30;
  options.faults.pause_ms = 150;
  start_sim(options);
  connect_camera(0);
  ASSERT_EQ(key(kVkU), kStatusOk);
  sim->set_faults({});
  ASSERT_EQ(key(kVkLeft), kStatusOk);
  EXPECT_EQ(s.key_answer[0], 'L');
  ASSERT_EQ(capture(), kStatusOk);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
}

// A module left sending an earlier run's picture when the port is opened:
// start-up finds its answers anyway, and the first picture is whole.
TEST_F(InStep, OpenOnAModuleStillSendingAnEarlierPicture) {
  SimOptions options = fast_sim_options();
  options.paced = true;
  options.faults.stale_stream = true;
  start_sim(options);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the stream is under way
  connect_camera(0);
  ASSERT_EQ(capture(), kStatusOk) << failure_text(s.last_failure);
  EXPECT_EQ(picture.pixels, converted(sim->camera_view(0)).pixels);
}
}  // namespace
