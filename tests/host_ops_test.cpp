// The host operations end to end over the scripted link.
#include "host_ops.h"

#include <thread>

#include "wire.h"

namespace {
const DeviceAddress kPeerWire{0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
const DeviceAddress kPeerDisplay{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

const Bytes kCreateConnection{0x01, 0x05, 0x04, 0x0D, 0x55, 0x44, 0x33, 0x22, 0x11,
                              0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};  // R2, no clock offset: an address given by hand
const Bytes kConnectionRequestSignal{0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00,
                                     0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x46, 0x00};
const Bytes kDisconnect{0x01, 0x06, 0x04, 0x03, 0x2A, 0x00, 0x13};  // remote user terminated

Bytes connection_complete() {
  return Bytes{0x04, 0x03, 0x0B, 0x00, 0x2A, 0x00} + Bytes(kPeerWire.begin(), kPeerWire.end()) + Bytes{0x01, 0x00};
}
Bytes peer_signal(std::uint8_t code, std::uint8_t id, const Bytes& data, std::uint8_t flags = 0x20) {
  auto n = static_cast<std::uint8_t>(data.size());
  return Bytes{0x02, 0x2A, flags, static_cast<std::uint8_t>(n + 8), 0x00, static_cast<std::uint8_t>(n + 4), 0x00,
               0x01, 0x00, code, id, n, 0x00} +
         data;
}
Bytes connection_response(std::uint16_t result) {
  return peer_signal(0x03, 0x00, {0x40, 0x00, 0x46, 0x00, static_cast<std::uint8_t>(result), 0x00, 0x00, 0x00});
}
Bytes disconnection_complete() { return {0x04, 0x05, 0x04, 0x00, 0x2A, 0x00, 0x16}; }

using HostOps = WireTest;

TEST(HostOpen, NamesOfNoPortFailAndChangeNothing) {
  for (const PortName& port : {com_port(0), PortName{PortKind::device, 0, ""}}) {
    ScriptedSerial link;
    HostState s;
    host_attach(s, link);
    s.link_connected = 1;
    s.channel_state = kChannelOpen;
    EXPECT_EQ(host_open(s, port, LineSettings{}), kStatusFail);
    EXPECT_TRUE(link.opened_ports.empty());
    EXPECT_EQ(s.link_connected, 1);
    EXPECT_EQ(s.channel_state, kChannelOpen);
  }
}

TEST_F(HostOps, OpenWhileLinkedClearsFlagsWithoutTraffic) {
  link_up();
  s.channel_state = kChannelOpen;
  EXPECT_EQ(host_open(s, 5), kStatusOk);
  EXPECT_EQ(link.opened_ports, (Bytes{5}));
  EXPECT_EQ(link.closes, 1u);  // the held port went first
  EXPECT_EQ(s.link_connected, 0);
  EXPECT_EQ(s.channel_state, kChannelClosed);
  EXPECT_EQ(s.remote_address, kPeerWire);
  EXPECT_EQ(s.handle_low, 0x2A);
  EXPECT_TRUE(written().empty());
  EXPECT_EQ(link.reads, 0u);
}

TEST_F(HostOps, ConnectBringsUpLinkAndChannel) {
  link.feed(command_status(0x0405) + connection_complete() + completed_packets() + connection_response(0));
  EXPECT_EQ(host_connect(s, kPeerDisplay), kStatusOk);
  EXPECT_EQ(written(), kCreateConnection + kConnectionRequestSignal);
  EXPECT_EQ(s.link_connected, 1);
  EXPECT_EQ(s.channel_state, kChannelOpen);
  EXPECT_EQ(s.channel_id, 0x0046);
  EXPECT_EQ(s.remote_address, kPeerWire);
  // The flow-control event did not take the peer's answer's place.
  EXPECT_EQ(unread(), 0u);
  EXPECT_EQ(s.signal_id, 0x00);  // overwritten by the response's identifier
}

TEST_F(HostOps, ConnectForcesBoundaryFlagTwoAndRestoresIt) {
  s.pb_flag = 1;
  // The answer comes with packet-boundary flag 3, which the cell then takes.
  link.feed(command_status(0x0405) + connection_complete() + Bytes{0x04, 0x30, 0x00} +
            peer_signal(0x03, 0x00, {0x40, 0x00, 0x46, 0x00, 0x00, 0x00, 0x00, 0x00}, 0x30));
  EXPECT_EQ(host_connect(s, kPeerDisplay), kStatusOk);
  Bytes sent = written();
  EXPECT_EQ(sent[kCreateConnection.size() + 2], 0x20);
  EXPECT_EQ(s.pb_flag, 3);
}

// The channel opens only on success; "pending" waits (30 s) for the final
// answer. Anything else fails connect, and the link goes.
TEST_F(HostOps, TheChannelsOutcomeDecidesConnect) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, Bytes>> peer;  // milliseconds after the Connection Request, answers
    Status status;
    std::uint16_t refusal;
    bool disconnected;
  } cases[] = {
      {"success", {{5, connection_response(0)}}, kStatusOk, 0, false},
      {"pending_then_success", {{5, connection_response(1)}, {20000, connection_response(0)}}, kStatusOk, 0, false},
      {"pending_then_refusal", {{5, connection_response(1)}, {20000, connection_response(3)}}, kStatusFail, 3, true},
      {"refusal", {{5, connection_response(2)}}, kStatusFail, 2, true},
      {"pending_past_its_bound", {{5, connection_response(1)}, {31000, connection_response(0)}}, kStatusFail, 0, true},
      {"no_answer", {}, kStatusFail, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSerial line;
    HostState h;
    host_attach(h, line);
    h.port_handle.held = true;
    line.feed(command_status(0x0405) + connection_complete());
    for (const auto& [after, bytes] : c.peer) line.answer_after(std::chrono::milliseconds(after), bytes);
    line.answer_after(std::chrono::milliseconds(40000), command_status(0x0406) + disconnection_complete());
    EXPECT_EQ(host_connect(h, kPeerDisplay), c.status);
    EXPECT_EQ(h.channel_state, c.status == kStatusOk ? kChannelOpen : kChannelClosed);
    if (failed(c.status) && c.refusal != 0) {
      EXPECT_EQ(h.last_failure.l2cap_result, c.refusal);
    }
    const Bytes sent = line.take_written();
    const Bytes tail(sent.end() - std::min<std::size_t>(sent.size(), kDisconnect.size()), sent.end());
    EXPECT_EQ(tail == kDisconnect, c.disconnected);
  }
}

TEST_F(HostOps, ConnectSucceedsWhenTheFirstPacketIsAnotherEvent) {
  link.feed(command_status(0x0405) + connection_complete() + Bytes{0x04, 0x30, 0x02, 0x04, 0x04} +
            connection_response(0));
  EXPECT_EQ(host_connect(s, kPeerDisplay), kStatusOk);
  EXPECT_EQ(unread(), 0u);  // the other event is passed over and the answer read
}

TEST_F(HostOps, ConnectThatFailsSendsNoChannelRequestAndKeepsTheFlag) {
  s.pb_flag = 3;
  link.feed(command_status(0x0405) + Bytes{0x04, 0x03, 0x0B, 0x04, 0x2A, 0x00} +
            Bytes(kPeerWire.begin(), kPeerWire.end()) + Bytes{0x01, 0x00});
  EXPECT_EQ(host_connect(s, kPeerDisplay), kStatusFail);
  EXPECT_EQ(written(), kCreateConnection);
  EXPECT_EQ(s.pb_flag, 3);
  EXPECT_EQ(s.link_connected, 0);
}

TEST(HostConnectNoPort, FailsOnAPortNeverOpened) {
  ScriptedSerial link;
  HostState s;
  host_attach(s, link);
  EXPECT_EQ(host_connect(s, kPeerDisplay), kStatusFail);
  EXPECT_TRUE(link.written.empty());
}

TEST_F(HostOps, DisconnectClosesChannelThenLink) {
  link_up();
  s.channel_id = 0x0046;
  s.channel_state = kChannelOpen;
  s.pb_flag = 2;
  s.signal_id = 0x01;
  link.feed(completed_packets() + peer_signal(0x07, 0x01, {0x46, 0x00, 0x46, 0x00}) + command_status(0x0406) +
            completed_packets() + disconnection_complete());
  EXPECT_EQ(host_disconnect(s), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x06, 0x01, 0x04, 0x00, 0x46,
                              0x00, 0x46, 0x00}) +
                           kDisconnect);
  EXPECT_EQ(s.channel_state, kChannelClosed);
  EXPECT_EQ(s.link_connected, 0);
  EXPECT_EQ(unread(), 0u);
  EXPECT_TRUE(link.dry_wait_budgets.empty());  // no wait was left to expire
}

TEST_F(HostOps, DisconnectRequestCarriesTheLastInboundBoundaryFlag) {
  link_up();
  s.pb_flag = 0;  // nothing received since start
  link.feed(completed_packets() + peer_signal(0x07, 0x00, {0x46, 0x00, 0x46, 0x00}) + command_status(0x0406) +
            completed_packets() + disconnection_complete());
  EXPECT_EQ(host_disconnect(s), kStatusOk);
  EXPECT_EQ(written()[2], 0x00);
}

TEST_F(HostOps, DisconnectFailsOnlyWhenTheDisconnectCommandCannotBeWritten) {
  link_up();
  link.fail_write_number = 17;  // the signalling packet goes, the HCI command does not
  EXPECT_EQ(host_disconnect(s), kStatusFail);
  EXPECT_EQ(s.channel_state, kChannelClosed);
}

// The link stays marked up, as nothing was said to the module; the channel
// does not, so that no key goes out on a port that is gone.
TEST_F(HostOps, CloseWhileConnectedKeepsTheLinkMarkedUpButNotTheChannel) {
  link_up();
  s.channel_state = kChannelOpen;
  EXPECT_EQ(host_close(s), kStatusOk);
  EXPECT_EQ(s.link_connected, 1);
  EXPECT_EQ(s.channel_state, kChannelClosed);
  EXPECT_FALSE(s.port_handle.held);
  EXPECT_EQ(host_close(s), kStatusFail);
}

TEST_F(HostOps, SendCommandFramesTheLettersWithFlagTwo) {
  link_up();
  s.channel_id = 0x0046;
  s.pb_flag = 1;
  const std::uint8_t letter = 'L';
  EXPECT_EQ(host_send_command(s, &letter, 1), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, 0x4C}));
  EXPECT_EQ(s.pb_flag, 1);
}

TEST_F(HostOps, SendCommandWithNoBytesSendsAnEmptyFrame) {
  link_up();
  s.channel_id = 0x0046;
  EXPECT_EQ(host_send_command(s, nullptr, 0), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x02, 0x2A, 0x20, 0x04, 0x00, 0x00, 0x00, 0x46, 0x00}));
}

TEST_F(HostOps, LinkHasOneOwnerAtATime) {
  LinkOwner operation(s);
  ASSERT_TRUE(operation.owns());
  bool key_got_it = true;
  std::thread key([&] { key_got_it = LinkOwner(s, std::try_to_lock).owns(); });
  key.join();
  EXPECT_FALSE(key_got_it);
}
}  // namespace
