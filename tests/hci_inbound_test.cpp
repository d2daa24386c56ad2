// Inbound dispatch, the three link events, and the link control commands.
#include "hci_inbound.h"

#include "hci_link_control.h"
#include "wire.h"

namespace {
const DeviceAddress kPeerWire{0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
const DeviceAddress kPeerDisplay{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

Bytes connection_complete(std::uint8_t status, const DeviceAddress& a, std::uint8_t link_type = 0x01,
                          std::uint8_t handle_high = 0x00) {
  return Bytes{0x04, 0x03, 0x0B, status, 0x2A, handle_high} + Bytes(a.begin(), a.end()) + Bytes{link_type, 0x00};
}
Bytes connection_request(const DeviceAddress& a, std::uint8_t link_type) {
  return Bytes{0x04, 0x04, 0x0A} + Bytes(a.begin(), a.end()) + Bytes{0x0C, 0x02, 0x5A, link_type};
}
Bytes disconnection_complete(std::uint8_t handle_high = 0x00, std::uint8_t status = 0x00) {
  return {0x04, 0x05, 0x04, status, 0x2A, handle_high, 0x16};
}

using Inbound = WireTest;

struct PacketCase {
  const char* name;
  Bytes input;
  Status result;
  std::size_t left_unread;
};

// Packets that change nothing: how much of each is consumed.
class InboundConsumption : public WireTest, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(InboundConsumption, ReadsExactlyWhatItShould) {
  const auto& c = GetParam();
  link.feed(c.input);
  EXPECT_EQ(process_inbound_packet(s), c.result);
  EXPECT_EQ(unread(), c.left_unread);
  EXPECT_EQ(s.link_connected, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, InboundConsumption,
    ::testing::Values(
        PacketCase{"command_status_read_whole", {0x04, 0x0F, 0x04, 0x00, 0x01, 0x06, 0x04}, kStatusFail, 0},
        // A link event of the wrong length is still read whole by its own length.
        PacketCase{"connection_complete_wrong_length", Bytes{0x04, 0x03, 0x0A} + Bytes(10, 0x00), kStatusFail, 0},
        PacketCase{"connection_request_wrong_length", Bytes{0x04, 0x04, 0x09} + Bytes(9, 0x00), kStatusFail, 0},
        PacketCase{"disconnection_complete_wrong_length", Bytes{0x04, 0x05, 0x03, 0, 0, 0}, kStatusFail, 0},
        PacketCase{"other_event_no_parameters", {0x04, 0x30, 0x00, 0x04}, kStatusFail, 1},
        PacketCase{"sco_indicator_alone", {0x03, 0x2A, 0x00, 0x01, 0x7F}, kStatusFail, 4},
        PacketCase{"command_indicator_is_no_inbound_packet", {0x01, 0x03, 0x0C, 0x00}, kStatusFail, 3},
        PacketCase{"acl_while_link_down", {0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, 0x4C}, kStatusFail, 9},
        // With no link up, 0x02 opens no packet: its false length swallows nothing.
        PacketCase{"acl_indicator_alone_while_link_down", {0x02, 0xFF, 0xFF, 0x04, 0x30, 0x00}, kStatusFail, 5},
        PacketCase{"completed_packets_read_whole", completed_packets() + Bytes{0x04, 0x30, 0x00, 0x04}, kStatusFail, 4},
        PacketCase{"silent", {}, kStatusFail, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Inbound, AcceptedConnectionCompleteStoresHandleAndMarksLinkUp) {
  s.remote_address = kPeerWire;
  s.page_under_way = true;
  link.feed(connection_complete(0x00, kPeerWire));
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(s.handle_low, 0x2A);
  EXPECT_EQ(s.handle_high, 0x00);
  EXPECT_EQ(s.link_connected, 1);
}

struct RefusalCase {
  const char* name;
  Bytes event;
};

class RefusedConnectionComplete : public WireTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedConnectionComplete, StillReplacesTheHandle) {
  s.remote_address = kPeerWire;
  s.page_under_way = true;
  s.handle_low = 0x01;
  s.handle_high = 0x0F;
  link.feed(GetParam().event);
  EXPECT_EQ(process_inbound_packet(s), kStatusFail);
  EXPECT_EQ(s.handle_low, 0x2A);
  EXPECT_EQ(s.handle_high, 0x03);
  EXPECT_EQ(s.link_connected, 0);
  EXPECT_EQ(unread(), 0u);  // the whole event is read even when refused early
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusedConnectionComplete,
    ::testing::Values(RefusalCase{"page_timeout", connection_complete(0x04, kPeerWire, 0x01, 0x03)},
                      RefusalCase{"sco_link", connection_complete(0x00, kPeerWire, 0x00, 0x03)}),
    [](const auto& info) { return std::string(info.param.name); });

// A Connection Complete that no page and no accepted request waits for is
// not the host's link: one that came up is dropped at once, with Disconnect
// for its own handle (reason 0x13), and the host's handle stays as it was.
struct UnwantedCase {
  const char* name;
  bool page_under_way;
  Bytes event;
  Bytes answer;
};

class UnwantedConnectionComplete : public WireTest, public ::testing::WithParamInterface<UnwantedCase> {};

TEST_P(UnwantedConnectionComplete, IsNeverTakenForTheLink) {
  const auto& c = GetParam();
  s.remote_address = kPeerWire;
  s.page_under_way = c.page_under_way;
  s.handle_low = 0x01;
  link.feed(c.event);
  EXPECT_EQ(process_inbound_packet(s), kStatusFail);
  EXPECT_EQ(written(), c.answer);
  EXPECT_EQ(s.link_connected, 0);
  EXPECT_EQ(s.handle_low, 0x01);
}

const Bytes kDropHandle2A03{0x01, 0x06, 0x04, 0x03, 0x2A, 0x03, 0x13};

INSTANTIATE_TEST_SUITE_P(
    Unwanted, UnwantedConnectionComplete,
    ::testing::Values(
        UnwantedCase{"other_address_during_the_page", true,
                     connection_complete(0x00, {0x55, 0x44, 0x33, 0x22, 0x11, 0x01}, 0x01, 0x03), kDropHandle2A03},
        UnwantedCase{"after_the_page_gave_up", false, connection_complete(0x00, kPeerWire, 0x01, 0x03), kDropHandle2A03},
        UnwantedCase{"failed_and_unasked", false, connection_complete(0x04, kPeerWire, 0x01, 0x03), {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RequestCase {
  const char* name;
  std::uint8_t link_connected;
  std::uint8_t link_type;
  Bytes answer;  // the command the host sends back
  bool page_under_way = false;
};

class ConnectionRequests : public WireTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(ConnectionRequests, AcceptsOneAclLinkAndRejectsTheRest) {
  const auto& c = GetParam();
  const DeviceAddress requester{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  s.remote_address = kPeerWire;
  s.link_connected = c.link_connected;
  s.page_under_way = c.page_under_way;
  std::uint16_t opcode = c.answer[1] | c.answer[2] << 8;
  link.feed(connection_request(requester, c.link_type) + command_status(opcode));
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(written(), c.answer);
  EXPECT_EQ(unread(), 7u);  // the answer's Command Status is not waited for here
  const bool accepted = opcode == 0x0409;
  EXPECT_EQ(s.remote_address, accepted ? requester : kPeerWire);  // a refused requester is no peer
  EXPECT_EQ(s.accept_pending, accepted);
  EXPECT_EQ(s.link_connected, c.link_connected);  // only a Connection Complete raises it
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ConnectionRequests,
    ::testing::Values(
        RequestCase{"acl_while_free", 0, 0x01, {0x01, 0x09, 0x04, 0x07, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x01}},
        RequestCase{"acl_while_linked", 1, 0x01, {0x01, 0x0A, 0x04, 0x07, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x0D}},
        RequestCase{"sco_while_free", 0, 0x00, {0x01, 0x0A, 0x04, 0x07, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x0D}},
        RequestCase{"acl_during_the_hosts_own_page", 0, 0x01,
                    {0x01, 0x0A, 0x04, 0x07, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x0D}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Inbound, RejectThatTheModuleRefusesIsReadWholeLater) {
  s.link_connected = 1;
  link.feed(connection_request(kPeerWire, 0x01) + command_status(0x040A, 0x12) + Bytes{0x04, 0x30, 0x00});
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(process_inbound_packet(s), kStatusFail);
  EXPECT_EQ(unread(), 3u);
}

TEST_F(Inbound, AcceptedRequestIsFollowedByItsConnectionComplete) {
  link.feed(connection_request(kPeerWire, 0x01) + command_status(0x0409) + connection_complete(0x00, kPeerWire));
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(s.link_connected, 0);
  EXPECT_EQ(process_inbound_packet(s), kStatusFail);  // the Accept's Command Status
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(s.link_connected, 1);
}

TEST_F(Inbound, RejectedSecondLinkLeavesTheLiveHandleAlone) {
  link_up();
  s.channel_state = kChannelOpen;
  const DeviceAddress intruder{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  // Request, Reject's Command Status, then the controller's failed completion.
  link.feed(connection_request(intruder, 0x01) + command_status(0x040A) +
            Bytes{0x04, 0x03, 0x0B, 0x04, 0x00, 0x00} + Bytes(intruder.begin(), intruder.end()) + Bytes{0x01, 0x00});
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(process_inbound_packet(s), kStatusFail);
  EXPECT_EQ(process_inbound_packet(s), kStatusFail);
  EXPECT_EQ(s.handle_low, 0x2A);
  EXPECT_EQ(s.link_connected, 1);
  // The live link still answers to its own handle.
  link.feed(disconnection_complete());
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(s.link_connected, 0);
}

TEST_F(Inbound, DisconnectionCompleteTakesLinkAndChannelDown) {
  link_up();
  s.channel_state = kChannelOpen;
  link.feed(disconnection_complete());
  EXPECT_EQ(process_inbound_packet(s), kStatusOk);
  EXPECT_EQ(s.link_connected, 0);
  EXPECT_EQ(s.channel_state, kChannelClosed);
}

TEST_F(Inbound, DisconnectionCompleteComparesAllEightBitsOfTheHighByte) {
  link_up();
  s.channel_state = kChannelOpen;
  link.feed(disconnection_complete(0x10));  // differs only in the upper nibble
  EXPECT_EQ(process_inbound_packet(s), kStatusFail);
  EXPECT_EQ(s.link_connected, 1);
  EXPECT_EQ(s.channel_state, kChannelOpen);
}

TEST_F(Inbound, FailedDisconnectionCompleteKeepsTheLink) {
  link_up();
  link.feed(disconnection_complete(0x00, 0x0C));
  EXPECT_EQ(process_inbound_packet(s), kStatusFail);
  EXPECT_EQ(s.link_connected, 1);
}

TEST_F(Inbound, EachPacketWaitHasItsOwnBoundedDeadline) {
  EXPECT_EQ(process_inbound_packet(s), kStatusFail);
  EXPECT_EQ(process_inbound_packet(s), kStatusFail);
  ASSERT_EQ(link.dry_wait_budgets.size(), 2u);
  for (auto budget : link.dry_wait_budgets) {
    EXPECT_GT(budget.count(), 2000);
    EXPECT_LE(budget.count(), 3000);
  }
}

TEST_F(Inbound, VanishedPortEndsTheWaitAtOnce) {
  link.end_read(0, ReadEnd::port_error);
  EXPECT_EQ(process_inbound_packet(s), kStatusFail);
  EXPECT_EQ(link.reads, 1u);  // no spinning on a port that fails at once
  EXPECT_EQ(s.last_read_end, ReadEnd::port_error);
}

TEST_F(Inbound, ClearLinkStateDropsTheFlagOnly) {
  link_up();
  EXPECT_EQ(clear_link_state(s), kStatusOk);
  EXPECT_EQ(s.link_connected, 0);
  EXPECT_EQ(s.handle_low, 0x2A);
}

// --- link control ---

using LinkControl = WireTest;

// Create_Connection_Cancel for kPeerWire.
const Bytes kCancelPage{0x01, 0x08, 0x04, 0x06, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
const Bytes kCreateConnection{0x01, 0x05, 0x04, 0x0D, 0x55, 0x44, 0x33, 0x22, 0x11,
                              0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};  // R2, no clock offset: an address given by hand

TEST_F(LinkControl, CreateConnectionWritesSeventeenBytesAndBringsTheLinkUp) {
  link.feed(command_status(0x0405) + Bytes{0x55, 0x66} + connection_complete(0x00, kPeerWire));  // junk before the event is dropped
  EXPECT_EQ(hci_create_connection(s, kPeerDisplay), kStatusOk);
  EXPECT_EQ(written(), kCreateConnection);
  EXPECT_EQ(s.remote_address, kPeerWire);
  EXPECT_EQ(s.link_connected, 1);
  EXPECT_EQ(s.handle_low, 0x2A);
}

TEST_F(LinkControl, RefusedCreateConnectionLeavesThePeerAddress) {
  s.remote_address = {9, 9, 9, 9, 9, 9};
  link.feed(command_status(0x0405, 0x0C));
  EXPECT_EQ(hci_create_connection(s, kPeerDisplay), kStatusFail);
  EXPECT_EQ(s.remote_address, (DeviceAddress{9, 9, 9, 9, 9, 9}));
}

TEST_F(LinkControl, ConnectionCompleteFromAnotherPeerIsDroppedAndThePageGoesOn) {
  link.feed(command_status(0x0405) + connection_complete(0x00, {0x55, 0x44, 0x33, 0x22, 0x11, 0x01}, 0x01, 0x01) +
            connection_complete(0x00, kPeerWire));
  EXPECT_EQ(hci_create_connection(s, kPeerDisplay), kStatusOk);
  EXPECT_EQ(written(), (kCreateConnection + Bytes{0x01, 0x06, 0x04, 0x03, 0x2A, 0x01, 0x13}));
  EXPECT_EQ(s.handle_high, 0x00);
  EXPECT_EQ(s.link_connected, 1);
}

TEST_F(LinkControl, OtherEventWithElevenParametersIsNotAConnectionComplete) {
  link.feed(command_status(0x0405) + Bytes{0x04, 0x07, 0x0B} + Bytes(11, 0x00) + Bytes{0x99});
  EXPECT_EQ(hci_create_connection(s, kPeerDisplay), kStatusFail);
  EXPECT_EQ(unread(), 0u);
  EXPECT_EQ(s.link_connected, 0);
}

TEST_F(LinkControl, ConnectionCompleteOfAnotherLengthIsReadWholeAndNotTaken) {
  link.feed(command_status(0x0405) + Bytes{0x04, 0x03, 0x0C} + Bytes(12, 0x00) + connection_complete(0x00, kPeerWire));
  EXPECT_EQ(hci_create_connection(s, kPeerDisplay), kStatusOk);
  EXPECT_EQ(unread(), 0u);
}

// A third device that pages the host during its own page is rejected and
// keeps nothing: the page's own completion brings the link up.
TEST_F(LinkControl, AThirdDevicePagingDuringThePageIsRejected) {
  const DeviceAddress intruder{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  link.feed(command_status(0x0405) + connection_request(intruder, 0x01) + command_status(0x040A) +
            connection_complete(0x0D, intruder) + connection_complete(0x00, kPeerWire));
  EXPECT_EQ(hci_create_connection(s, kPeerDisplay), kStatusOk);
  EXPECT_EQ(written(), (kCreateConnection + Bytes{0x01, 0x0A, 0x04, 0x07, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x0D}));
  EXPECT_EQ(s.remote_address, kPeerWire);
  EXPECT_EQ(s.link_connected, 1);
  EXPECT_FALSE(s.page_under_way);
}

// The controller completes a page after the host gave up on it: that link
// is dropped, not taken.
// The host gives up at 7.12 s and cancels the page; the link that comes up
// at 8 s, while it waits for the cancel's answer, is disconnected at once.
TEST_F(LinkControl, APageCompletedAfterTheHostGaveUpIsDropped) {
  link.feed(command_status(0x0405));
  link.feed_after(std::chrono::seconds(8), connection_complete(0x00, kPeerWire));
  EXPECT_EQ(hci_create_connection(s, kPeerDisplay), kStatusFail);
  EXPECT_EQ(written(), kCreateConnection + kCancelPage + Bytes({0x01, 0x06, 0x04, 0x03, 0x2A, 0x00, 0x13}));
  EXPECT_EQ(s.link_connected, 0);
}

TEST_F(LinkControl, FlowControlDuringThePageIsSkipped) {
  link.feed(command_status(0x0405) + completed_packets() + connection_complete(0x00, kPeerWire));
  EXPECT_EQ(hci_create_connection(s, kPeerDisplay), kStatusOk);
  EXPECT_EQ(s.link_connected, 1);
}

// Then the page is cancelled, and its answer waited for as a command's.
TEST_F(LinkControl, SilentPageEndsAfterThePageTimeoutAndAMargin) {
  link.feed(command_status(0x0405));
  EXPECT_EQ(hci_create_connection(s, kPeerDisplay), kStatusFail);
  ASSERT_EQ(link.dry_wait_budgets.size(), 2u);
  EXPECT_GT(link.dry_wait_budgets[0].count(), 5120);  // the controller's own page timeout comes first
  EXPECT_LE(link.dry_wait_budgets[0].count(), 5120 + 2000);
  EXPECT_EQ(link.dry_wait_budgets[1].count(), 2000);
  EXPECT_EQ(written(), kCreateConnection + kCancelPage);
}

TEST_F(LinkControl, CreateConnectionOnAClosedPortFailsAtItsFirstWrite) {
  s.port_handle = PortHandle{};
  EXPECT_EQ(hci_create_connection(s, kPeerDisplay), kStatusFail);
  EXPECT_TRUE(written().empty());
}

TEST_F(LinkControl, DisconnectWritesSevenBytesAndStopsOnceTheLinkIsDown) {
  link_up();
  link.feed(command_status(0x0406) + completed_packets() + disconnection_complete() + Bytes{0x04, 0x30, 0x00});
  EXPECT_EQ(hci_disconnect(s), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x01, 0x06, 0x04, 0x03, 0x2A, 0x00, 0x13}));
  EXPECT_EQ(s.link_connected, 0);
  EXPECT_EQ(unread(), 3u);  // the link is down: nothing more was waited for
  EXPECT_TRUE(link.dry_wait_budgets.empty());
}

TEST_F(LinkControl, DisconnectWaitsForTheLinkToGoDownWithinOnePacketBound) {
  link_up();
  link.feed(command_status(0x0406) + Bytes{0x04, 0x30, 0x00} + Bytes{0x04, 0x31, 0x00} + Bytes{0x04, 0x32, 0x00});
  EXPECT_EQ(hci_disconnect(s), kStatusOk);
  EXPECT_EQ(unread(), 0u);
  EXPECT_EQ(s.link_connected, 1);
  ASSERT_EQ(link.dry_wait_budgets.size(), 1u);
  EXPECT_LE(link.dry_wait_budgets[0].count(), 3000);
}

// Only a refusal that leaves the link up, or a port lost meanwhile, fails; a
// link the module no longer knows is down, and so is its channel.
TEST_F(LinkControl, DisconnectOutcomes) {
  const struct {
    const char* label;
    Bytes input;
    std::size_t lost_at_read;  // the read at which the port vanishes (SIZE_MAX: never)
    Status result;
    std::uint8_t link_after;
  } cases[] = {
      {"refused", command_status(0x0406, 0x0C), SIZE_MAX, kStatusFail, 1},
      {"link_already_gone", command_status(0x0406, 0x02), SIZE_MAX, kStatusOk, 0},
      {"completion_refused", command_status(0x0406) + disconnection_complete(0x00, 0x0C), SIZE_MAX, kStatusFail, 1},
      {"port_lost_before_the_status", {}, 0, kStatusFail, 1},
      {"port_lost_before_the_completion", command_status(0x0406), 7, kStatusFail, 1},
  };
  for (const auto& c : cases) {
    link_up();
    s.channel_state = kChannelOpen;
    link.inbound.clear();
    link.read_endings.clear();
    link.feed(c.input);
    if (c.lost_at_read != SIZE_MAX) link.end_read(c.lost_at_read, ReadEnd::port_error);
    EXPECT_EQ(hci_disconnect(s), c.result) << c.label;
    EXPECT_EQ(s.link_connected, c.link_after) << c.label;
    EXPECT_EQ(s.channel_state, c.link_after == 0 ? kChannelClosed : kChannelOpen) << c.label;
  }
}

TEST_F(LinkControl, DisconnectSucceedsAndStopsWaitingWhenTheModuleFallsSilent) {
  link_up();
  link.feed(command_status(0x0406));
  EXPECT_EQ(hci_disconnect(s), kStatusOk);
  EXPECT_EQ(link.dry_wait_budgets.size(), 1u);  // one expired wait, not three
}

TEST_F(LinkControl, DisconnectFailsOnlyWhenAWriteFails) {
  link_up();
  link.fail_write_number = 4;
  EXPECT_EQ(hci_disconnect(s), kStatusFail);
  EXPECT_EQ(written(), (Bytes{0x01, 0x06, 0x04, 0x03}));
  EXPECT_EQ(link.reads, 0u);
}

TEST_F(LinkControl, AcceptGoesOutWithoutWaitingAndFailsOnlyOnAFailedWrite) {
  const DeviceAddress a{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  EXPECT_EQ(hci_accept_connection_request(s, a, 0x01), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x01, 0x09, 0x04, 0x07, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x01}));
  EXPECT_EQ(link.reads, 0u);
  link.fail_write_number = link.writes + 5;
  EXPECT_EQ(hci_accept_connection_request(s, a, 0x01), kStatusFail);
  EXPECT_EQ(written().size(), 5u);  // the packet ends at the failed write
}

TEST_F(LinkControl, RejectSendsTheAddressAsHeldAndTheReason) {
  EXPECT_EQ(hci_reject_connection_request(s, kPeerWire, 0x0D), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x01, 0x0A, 0x04, 0x07, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00, 0x0D}));
}
}  // namespace
