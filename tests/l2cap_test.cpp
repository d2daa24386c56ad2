// ACL framing, the data path into frame_buffer, and channel signalling.
#include "acl.h"
#include "channel_ledger.h"
#include "hci_inbound.h"
#include "l2cap_signal.h"
#include "wire.h"

namespace {
// An inbound ACL packet on handle 0x002A with the given flags byte, CID and payload.
Bytes acl_packet(std::uint16_t cid, const Bytes& payload, std::uint8_t flags = 0x20) {
  auto length = static_cast<std::uint16_t>(payload.size());
  auto total = static_cast<std::uint16_t>(length + 4);
  return Bytes{0x02, 0x2A, flags, static_cast<std::uint8_t>(total & 0xFF), static_cast<std::uint8_t>(total >> 8),
               static_cast<std::uint8_t>(length & 0xFF), static_cast<std::uint8_t>(length >> 8),
               static_cast<std::uint8_t>(cid & 0xFF), static_cast<std::uint8_t>(cid >> 8)} +
         payload;
}
// An ACL packet of the given flags byte carrying raw data bytes (a fragment).
Bytes acl_fragment(std::uint8_t flags, const Bytes& data) {
  auto total = static_cast<std::uint16_t>(data.size());
  return Bytes{0x02, 0x2A, flags, static_cast<std::uint8_t>(total & 0xFF), static_cast<std::uint8_t>(total >> 8)} + data;
}
Bytes signal(std::uint8_t code, std::uint8_t id, const Bytes& data) {
  auto length = static_cast<std::uint8_t>(data.size());
  return acl_packet(0x0001, Bytes{code, id, length, 0x00} + data);
}

// Frames are kept only when they pay the exchange under way: here one that
// takes any frame, for as many as come.
struct L2cap : WireTest {
  L2cap() {
    link_up();
    ledger_owe(s, 1000, 0);
  }
};

TEST_F(L2cap, SendDataFramesOnePacketOnTheChannel) {
  s.pb_flag = 2;
  s.channel_id = 0x0046;
  const std::uint8_t payload = 0x4C;
  EXPECT_EQ(l2cap_send_data(s, &payload, 1), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, 0x4C}));
}

TEST_F(L2cap, HeaderSumsHandleBoundaryAndBroadcastFlags) {
  struct Case {
    std::uint8_t handle_high, pb, bc, third_byte;
  };
  for (auto c : {Case{0x00, 0, 0, 0x00}, Case{0x00, 2, 0, 0x20}, Case{0x0F, 1, 0, 0x1F}, Case{0x03, 2, 1, 0x63},
                 Case{0x0E, 3, 3, 0xFE}}) {
    s.handle_high = c.handle_high;
    s.pb_flag = c.pb;
    s.bc_flag = c.bc;
    acl_write_header(s);
    EXPECT_EQ(written(), (Bytes{0x02, 0x2A, c.third_byte})) << int(c.pb) << "/" << int(c.bc);
  }
}

TEST_F(L2cap, AFailedWriteEndsThePacketAndIsReported) {
  const std::uint8_t payload = 0x4C;
  for (std::size_t at : {0u, 3u, 9u}) {
    link.fail_write_number = link.writes + at;
    EXPECT_EQ(l2cap_send_data(s, &payload, 1), kStatusFail) << at;
    EXPECT_EQ(written().size(), at);
  }
  link.fail_write_number = link.writes + 12;
  EXPECT_EQ(l2cap_open_channel(s), kStatusFail);
  EXPECT_EQ(s.channel_state, kChannelClosed);
}

TEST_F(L2cap, InboundDataIsAppendedAndTakesTheFlags) {
  s.frame_length = 5;
  link.feed(acl_packet(0x0046, {0x4C}));
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(s.pb_flag, 2);
  EXPECT_EQ(s.bc_flag, 0);
  EXPECT_EQ(s.frame_length, 6);
  EXPECT_EQ(s.frame_buffer[5], 0x4C);
}

// A 7-byte frame in three fragments (the last one with an NOCP event before
// it), then a continuation that continues nothing.
TEST_F(L2cap, FragmentsMakeOneFrameAndNeverSetTheOutgoingFlag) {
  link.feed(acl_fragment(0x20, {7, 0, 0x46, 0, 1, 2}) + acl_fragment(0x10, {3, 4, 5}) + completed_packets() +
            acl_fragment(0x10, {6, 7, 0xEE}) + acl_fragment(0x10, {9, 9}));
  const Status expected[] = {kStatusOk, kStatusOk, kStatusFail, kStatusOk, kStatusFail};
  const std::uint32_t frames[] = {0, 0, 0, 1, 1};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(process_inbound_packet(s), expected[i]) << i;
    EXPECT_EQ(s.channel_frames, frames[i]) << i;
  }
  EXPECT_EQ(Bytes(s.frame_buffer.begin(), s.frame_buffer.begin() + s.frame_length), (Bytes{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(unread(), 0u);
  EXPECT_EQ(s.pb_flag, 2);
  acl_write_header(s);
  EXPECT_EQ(written(), (Bytes{0x02, 0x2A, 0x20}));  // a Disconnection Request still starts a packet
}

// A signalling frame split across fragments is answered once it is whole.
TEST_F(L2cap, FragmentedSignallingIsAnsweredWhenWhole) {
  s.pb_flag = 2;
  link.feed(acl_fragment(0x20, {0x04, 0x00, 0x01, 0x00, 0x08, 0x21}) + acl_fragment(0x10, {0x00, 0x00}));
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_TRUE(written().empty());
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x02, 0x2A, 0x20, 0x08, 0x00, 0x04, 0x00, 0x01, 0x00, 0x09, 0x21, 0x00, 0x00}));
}

struct RouteCase {
  const char* name;
  Bytes input;
  Status result;
  std::int16_t frame_length;
  std::size_t left_unread;
  std::uint32_t stream_faults = 0;  // signs that bytes were lost or added
};

class AclRoutes : public L2cap, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(AclRoutes, RoutesByChannelIdentifier) {
  const auto& c = GetParam();
  s.channel_id = 0x0046;
  s.peer_channel_id = 0x0041;
  link.feed(c.input);
  EXPECT_EQ(process_inbound_packet(s), c.result);
  EXPECT_EQ(s.frame_length, c.frame_length);
  EXPECT_EQ(unread(), c.left_unread);
  EXPECT_EQ(s.stream_faults, c.stream_faults);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, AclRoutes,
    ::testing::Values(
        // Only the channel's own CIDs carry its data: the host's 0x0046 and
        // the camera's end from its Connection Response (0x0041 here).
        RouteCase{"the_cameras_end", acl_packet(0x0041, {1, 2, 3}), kStatusOk, 3, 0},
        RouteCase{"another_dynamic_cid", acl_packet(0x0047, {1, 2, 3}) + acl_packet(0x46, {}), kStatusFail, 0, 9},
        RouteCase{"highest_cid", acl_packet(0xFFFF, {1}) + acl_packet(0x46, {}), kStatusFail, 0, 9},
        RouteCase{"empty_payload", acl_packet(0x0046, {}), kStatusOk, 0, 0},
        // Dropped whole, by the packet's own length: the next packet is intact.
        RouteCase{"null_cid", acl_packet(0x0000, {1, 2}) + acl_packet(0x46, {}), kStatusFail, 0, 9},
        RouteCase{"reserved_fixed_cid", acl_packet(0x0002, {0x04, 0x0E}) + acl_packet(0x46, {}), kStatusFail, 0, 9},
        RouteCase{"last_fixed_cid", acl_packet(0x003F, {1}) + acl_packet(0x46, {}), kStatusFail, 0, 9},
        RouteCase{"other_handle", Bytes{0x02, 0x2B, 0x20, 5, 0, 1, 0, 0x46, 0, 1} + acl_packet(0x46, {}), kStatusFail, 0, 9},
        RouteCase{"other_handle_high_nibble", Bytes{0x02, 0x2A, 0x21, 5, 0, 1, 0, 0x46, 0, 1} + acl_packet(0x46, {}), kStatusFail, 0, 9},
        // The packet's total length decides what is consumed; bytes past the
        // frame's own length are dropped.
        RouteCase{"bytes_past_the_frame", Bytes{0x02, 0x2A, 0x20, 0x08, 0x00, 0x02, 0x00, 0x46, 0x00, 7, 8, 9, 9}, kStatusOk, 2, 0, 1},
        // A frame is kept only once it is whole.
        RouteCase{"payload_cut_short", Bytes{0x02, 0x2A, 0x20, 0x07, 0x00, 0x03, 0x00, 0x46, 0x00, 7}, kStatusFail, 0, 0},
        RouteCase{"shorter_than_its_basic_header", Bytes{0x02, 0x2A, 0x20, 0x02, 0x00, 0x01, 0x00} + acl_packet(0x46, {}), kStatusFail, 0, 9, 1},
        RouteCase{"longer_than_any_module_sends", Bytes{0x02, 0x2B, 0x20, 0xFE, 0x03} + Bytes(1022, 0x11), kStatusFail, 0, 0, 1},
        RouteCase{"byte_that_opens_no_packet", Bytes{0x2A} + acl_packet(0x46, {}), kStatusFail, 0, 9, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(L2cap, FrameBufferIsNeverWrittenPastItsEnd) {
  s.frame_length = static_cast<std::int16_t>(kFrameBufferSize - 2);
  s.frame_buffer.fill(0xEE);
  link.feed(acl_packet(0x0046, {1, 2, 3, 4}) + acl_packet(0x0046, {5}));
  process_inbound_packet(s);
  EXPECT_EQ(s.frame_length, static_cast<std::int16_t>(kFrameBufferSize));
  EXPECT_EQ(s.frame_buffer[kFrameBufferSize - 2], 1);
  EXPECT_EQ(s.frame_buffer[kFrameBufferSize - 1], 2);
  process_inbound_packet(s);  // the stream stays in step
  EXPECT_EQ(unread(), 0u);
  EXPECT_EQ(s.channel_frames, 2u);
}

TEST_F(L2cap, AWholePictureFitsExactly) {
  for (int row = 0; row < 72; ++row) link.feed(acl_packet(0x0046, Bytes(192, static_cast<std::uint8_t>(row))));
  for (int row = 0; row < 72; ++row) EXPECT_EQ(process_inbound_packet(s), kStatusOk) << row;
  EXPECT_EQ(s.frame_length, 13824);
  EXPECT_EQ(s.frame_buffer[13823], 71);
}

// --- signalling ---

TEST_F(L2cap, SignalIdentifiersCountFromZeroAndWrap) {
  s.pb_flag = 2;
  l2cap_send_disconnection_response(s);
  l2cap_send_disconnection_response(s);
  Bytes sent = written();
  EXPECT_EQ(sent[10], 0x00);
  EXPECT_EQ(sent[13 + 4 + 10], 0x01);
  s.signal_id = 0xFF;
  l2cap_send_disconnection_response(s);
  EXPECT_EQ(written()[10], 0xFF);
  EXPECT_EQ(s.signal_id, 0x00);
}

TEST_F(L2cap, OpenSendsConnectionRequestAndWaitsForTheAnswer) {
  s.pb_flag = 2;
  EXPECT_EQ(l2cap_open_channel(s), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x02, 0x00, 0x04, 0x00, 0x00,
                              0x00, 0x46, 0x00}));
  EXPECT_EQ(s.channel_state, kChannelClosed);
  EXPECT_TRUE(s.channel_opening);
  EXPECT_EQ(s.channel_id, 0x0046);
  EXPECT_EQ(s.signal_id, 0x01);
}

TEST_F(L2cap, CloseSendsDisconnectionRequestForTheFixedChannel) {
  s.pb_flag = 2;
  s.signal_id = 0x05;
  s.channel_id = 0x0040;  // opened by the peer
  s.channel_state = kChannelOpen;
  EXPECT_EQ(l2cap_close_channel(s), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x06, 0x05, 0x04, 0x00, 0x46,
                              0x00, 0x46, 0x00}));
  EXPECT_EQ(s.channel_state, kChannelClosed);
  EXPECT_EQ(s.channel_id, 0x0046);
}

TEST_F(L2cap, PeerOpensTheChannelWhileClosed) {
  s.pb_flag = 2;
  link.feed(signal(0x02, 0x07, {0x01, 0x00, 0x40, 0x00}));
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(s.channel_id, 0x0040);
  EXPECT_EQ(s.remote_psm, 0x0001);
  EXPECT_EQ(s.channel_state, kChannelOpen);
  Bytes sent = written();
  ASSERT_EQ(sent.size(), 21u);
  EXPECT_EQ(Bytes(sent.begin() + 3, sent.end()),
            (Bytes{0x10, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x03, 0x07, 0x08, 0x00, 0x40, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00,
                   0x00}));
  EXPECT_EQ(s.signal_id, 0x08);
}

TEST_F(L2cap, SecondChannelIsRefusedWithTheCurrentChannel) {
  s.channel_id = 0x0046;
  s.channel_state = kChannelOpen;
  s.remote_psm = 0x0003;
  link.feed(signal(0x02, 0x07, {0x01, 0x00, 0x40, 0x00}));
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  Bytes sent = written();
  EXPECT_EQ(Bytes(sent.begin() + 13, sent.end()), (Bytes{0x46, 0x00, 0x46, 0x00, 0x04, 0x00, 0x00, 0x00}));
  EXPECT_EQ(s.channel_id, 0x0046);
  EXPECT_EQ(s.remote_psm, 0x0003);
}

struct SignalCase {
  const char* name;
  std::uint8_t state_before;
  Bytes input;
  Status result;
  std::uint8_t state_after;
  std::size_t left_unread;
  bool answered;
  bool opening = false;  // the host's own Connection Request is out
};

class SignalHandling : public L2cap, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(SignalHandling, StateAndAnswer) {
  const auto& c = GetParam();
  s.channel_id = 0x0046;
  s.channel_state = c.state_before;
  s.channel_opening = c.opening;
  link.feed(c.input);
  EXPECT_EQ(process_inbound_packet(s), c.result);
  EXPECT_EQ(s.channel_state, c.state_after);
  EXPECT_EQ(unread(), c.left_unread);
  EXPECT_EQ(!written().empty(), c.answered);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, SignalHandling,
    ::testing::Values(
        SignalCase{"response_success", 0, signal(0x03, 0x00, {0x40, 0, 0x46, 0, 0, 0, 0, 0}), kStatusOk, 4, 0, false, true},
        SignalCase{"response_pending", 0, signal(0x03, 0x00, {0x40, 0, 0x46, 0, 1, 0, 0, 0}), kStatusOk, 0, 0, false, true},
        SignalCase{"response_refused", 0, signal(0x03, 0x00, {0, 0, 0x46, 0, 4, 0, 0, 0}), kStatusFail, 0, 0, false, true},
        SignalCase{"response_to_nothing_asked", 0, signal(0x03, 0x00, {0x40, 0, 0x46, 0, 0, 0, 0, 0}), kStatusFail, 0, 0, false},
        SignalCase{"configure_request_rejected", 4, signal(0x04, 0x01, {0x46, 0, 0, 0}), kStatusFail, 4, 0, true},
        SignalCase{"request_of_wrong_length_rejected", 0, signal(0x02, 0x01, {1, 0, 0x40, 0, 0, 0}), kStatusFail, 0, 0, true},
        SignalCase{"unasked_response_dropped", 4, signal(0x05, 0x01, {0x46, 0, 0, 0, 0, 0}), kStatusFail, 4, 0, false},
        SignalCase{"information_request_answered", 4, signal(0x0A, 0x02, {0x02, 0}), kStatusOk, 4, 0, true},
        SignalCase{"disconnect_request_for_us", 4, signal(0x06, 0x03, {0x46, 0, 0x46, 0}), kStatusOk, 0, 0, true},
        SignalCase{"disconnect_request_other_cid", 4, signal(0x06, 0x03, {0x47, 0, 0x46, 0}), kStatusFail, 4, 0, false},
        SignalCase{"disconnect_request_while_closed", 0, signal(0x06, 0x03, {0x46, 0, 0x46, 0}), kStatusFail, 0, 0, false},
        SignalCase{"disconnect_response_while_closed", 0, signal(0x07, 0x03, {0x46, 0, 0x46, 0}), kStatusOk, 0, 0, false},
        SignalCase{"disconnect_response_closes", 4, signal(0x07, 0x03, {0x99, 0, 0x98, 0}), kStatusOk, 0, 0, false},
        SignalCase{"echo_request_answered", 4, signal(0x08, 0x03, {0xAA}), kStatusOk, 4, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(L2cap, DisconnectionResponseCarriesTheRequestIdentifier) {
  s.channel_id = 0x0046;
  s.channel_state = kChannelOpen;
  s.pb_flag = 2;
  link.feed(signal(0x06, 0x33, {0x46, 0, 0x46, 0}));
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x07, 0x33, 0x04, 0x00, 0x46, 0x00,
                              0x46, 0x00}));
  EXPECT_EQ(s.signal_id, 0x34);
}
// The answers the Core requires, byte-exact: each carries the request's identifier.
TEST_F(L2cap, RequestsTheHostCannotServeGetTheirAnswer) {
  s.pb_flag = 2;
  const struct {
    const char* label;
    Bytes request;
    Bytes answer;  // after the ACL header 02 2A 20
  } cases[] = {
      {"echo", signal(0x08, 0x11, {1, 2, 3}), {0x08, 0x00, 0x04, 0x00, 0x01, 0x00, 0x09, 0x11, 0x00, 0x00}},
      {"information", signal(0x0A, 0x12, {0x02, 0x00}),
       {0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x0B, 0x12, 0x04, 0x00, 0x02, 0x00, 0x01, 0x00}},
      {"configure", signal(0x04, 0x13, {0x46, 0, 0, 0}),
       {0x0A, 0x00, 0x06, 0x00, 0x01, 0x00, 0x01, 0x13, 0x02, 0x00, 0x00, 0x00}},
      {"too_long_to_hold", signal(0x08, 0x14, Bytes(70, 0xAB)),
       {0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x01, 0x14, 0x04, 0x00, 0x01, 0x00, 0x40, 0x00}},
  };
  for (const auto& c : cases) {
    link.feed(c.request);
    process_inbound_packet(s);
    EXPECT_EQ(written(), (Bytes{0x02, 0x2A, 0x20} + c.answer)) << c.label;
    EXPECT_EQ(unread(), 0u) << c.label;
  }
}
}  // namespace
