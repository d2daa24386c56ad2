// Modules as they come: at their own line speed, with RTS/CTS flow control,
// behind a TCP server, and one set to another speed than the host's.
#include "hci_inquiry.h"
#include "sim_session.h"
#include "tcp_serial.h"

namespace {
using RealModules = SimSession;

// Start-up, inquiry, connect, a picture pixel-exact, disconnect, close.
void whole_session(SimSession& t, const PortName& port, const LineSettings& line) {
  ASSERT_EQ(host_open(t.s, port, line), kStatusOk);
  ASSERT_EQ(module_start_up(t.s, kLocalDeviceName), kStatusOk);
  t.discover(1);
  ASSERT_EQ(host_connect(t.s, t.s.found_devices[0]), kStatusOk);
  ASSERT_EQ(t.key(kVkLeft), kStatusOk);
  ASSERT_EQ(t.capture(), kStatusOk);
  EXPECT_EQ(t.picture.pixels, converted(t.sim->camera_view(0)).pixels);
  ASSERT_EQ(host_disconnect(t.s), kStatusOk);
  EXPECT_EQ(t.s.link_connected, 0);
}

// The module paces its line at its own speed and hears the host only while
// the host's side of the pty is set the same way.
TEST_F(RealModules, WholeSessionsAtTheModulesOwnLine) {
  for (LineSettings line : {LineSettings{115200, FlowControl::rtscts}, LineSettings{921600, FlowControl::none}}) {
    SCOPED_TRACE(line.baud);
    SimOptions options = fast_sim_options();
    options.paced = true;
    options.line = line;
    options.fixed_line = true;
    start_sim(options);
    whole_session(*this, com_port(kSimPort), line);
    EXPECT_EQ(s.line.baud, line.baud);
    EXPECT_EQ(host_close(s), kStatusOk);
    sim->stop();
  }
}

// A module fixed at 115,200 hears the host at 57,600 as garbage: it answers
// nothing at all, so Reset's wait runs out. At its own speed it starts.
TEST_F(RealModules, AModuleAtAnotherSpeedAnswersNothing) {
  SimOptions options = fast_sim_options();
  options.line = LineSettings{115200, FlowControl::none};
  options.fixed_line = true;
  start_sim(options);
  ASSERT_EQ(host_open(s, com_port(kSimPort), LineSettings{}), kStatusOk);
  EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusFail);
  EXPECT_EQ(s.last_read_end, ReadEnd::deadline);
  EXPECT_TRUE(sim->commands_received().empty());
  EXPECT_EQ(sim->bytes_sent(), 0u);
  // The right speed but not the flow control is as deaf.
  ASSERT_EQ(host_open(s, com_port(kSimPort), LineSettings{115200, FlowControl::rtscts}), kStatusOk);
  EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusFail);
  EXPECT_TRUE(sim->commands_received().empty());
  ASSERT_EQ(host_open(s, com_port(kSimPort), LineSettings{115200, FlowControl::none}), kStatusOk);
  EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusOk);
}

// H4 over TCP on the loopback address: the same session, and a connection
// the module closes ends the wait as an unplugged adapter does.
TEST_F(RealModules, WholeSessionOverTcp) {
  SimOptions options = fast_sim_options();
  options.tcp = true;
  start_sim_over_tcp(options);
  TcpSerial tcp;
  host_attach(s, tcp);
  whole_session(*this, PortName{PortKind::tcp, sim->tcp_port(), "127.0.0.1"}, LineSettings{});
  ASSERT_EQ(host_connect(s, s.found_devices[0]), kStatusOk);
  sim->vanish();
  EXPECT_EQ(capture(), kStatusFail);
  EXPECT_EQ(s.last_read_end, ReadEnd::port_error);
  EXPECT_EQ(host_close(s), kStatusOk);
  // Nobody listens any more: the next open is refused at once.
  EXPECT_EQ(host_open(s, PortName{PortKind::tcp, sim->tcp_port(), "127.0.0.1"}, LineSettings{}), kStatusFail);
  EXPECT_FALSE(s.port_handle.held);
  EXPECT_EQ(tcp.last_open_error, "Connection refused");
}
}  // namespace
