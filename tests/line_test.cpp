// The names of ports and lines as users write them, and the line times
// every bound takes from the line's speed: tables of hand-worked values.
#include <gtest/gtest.h>

#include "line_text.h"
#include "port_name.h"
#include "wait_bounds.h"

namespace {
TEST(PortNames, TextsAndWhatTheyName) {
  struct Case {
    const char* text;
    bool names_a_port;
    PortKind kind;
    std::uint16_t number;
    const char* path_or_host;
    const char* as_text;
  } cases[] = {
      {"COM5", true, PortKind::com, 5, "", "COM5"},
      {"com12", true, PortKind::com, 12, "", "COM12"},
      {"7", true, PortKind::com, 7, "", "COM7"},
      {"COM255", true, PortKind::com, 255, "", "COM255"},
      {"/dev/ttyUSB0", true, PortKind::device, 0, "/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"\\\\.\\COM12", true, PortKind::device, 0, "\\\\.\\COM12", "\\\\.\\COM12"},
      {"tcp:localhost:6402", true, PortKind::tcp, 6402, "localhost", "tcp:localhost:6402"},
      {"tcp:[::1]:65535", true, PortKind::tcp, 65535, "::1", "tcp:[::1]:65535"},
      {"COM0", false, {}, 0, "", ""},       {"COM256", false, {}, 0, "", ""},
      {"COM", false, {}, 0, "", ""},        {"COM 5", false, {}, 0, "", ""},
      {"", false, {}, 0, "", ""},           {"tcp:localhost", false, {}, 0, "", ""},
      {"tcp::6402", false, {}, 0, "", ""},  {"tcp:host:0", false, {}, 0, "", ""},
      {"tcp:host:65536", false, {}, 0, "", ""}, {"printer", false, {}, 0, "", ""},
  };
  for (const Case& c : cases) {
    PortName port{PortKind::com, 99, "untouched"};
    ASSERT_EQ(parse_port_name(c.text, port), c.names_a_port) << c.text;
    if (!c.names_a_port) {
      EXPECT_EQ(port.number, 99) << c.text;
      continue;
    }
    EXPECT_EQ(port.kind, c.kind) << c.text;
    EXPECT_EQ(port.number, c.number) << c.text;
    EXPECT_EQ(port.text, c.path_or_host) << c.text;
    EXPECT_EQ(port_name_text(port), c.as_text) << c.text;
  }
}

TEST(LineTexts, RatesFlowAndWords) {
  struct Case {
    const char* text;
    bool taken;
    std::uint32_t baud;
    FlowControl flow;
    const char* words;
  } cases[] = {
      {"57600", true, 57600, FlowControl::none, "57,600 baud, no flow control"},
      {"115200,rtscts", true, 115200, FlowControl::rtscts, "115,200 baud, RTS/CTS flow control"},
      {"9600,none", true, 9600, FlowControl::none, "9,600 baud, no flow control"},
      {"14400", true, 14400, FlowControl::none, "14,400 baud, no flow control"},
      {"3000000,rtscts", true, 3000000, FlowControl::rtscts, "3,000,000 baud, RTS/CTS flow control"},
      {"12345", false, 0, {}, ""}, {"4800", false, 0, {}, ""}, {"115200,xonxoff", false, 0, {}, ""},
      {"", false, 0, {}, ""},      {"+57600", false, 0, {}, ""},
  };
  for (const Case& c : cases) {
    LineSettings line{1, FlowControl::rtscts};
    ASSERT_EQ(parse_line_text(c.text, line), c.taken) << c.text;
    if (!c.taken) {
      EXPECT_EQ(line.baud, 1u) << c.text;
      continue;
    }
    EXPECT_EQ(line.baud, c.baud) << c.text;
    EXPECT_EQ(line.flow, c.flow) << c.text;
    EXPECT_EQ(line_settings_text(line), c.words) << c.text;
  }
}

// A picture is 72 rows of 201 bytes on the line; a byte is 10 bits.
TEST(LineTimes, FollowTheLinesSpeed) {
  using std::chrono::milliseconds;
  using std::chrono::nanoseconds;
  struct Case {
    std::uint32_t baud;
    milliseconds picture;        // 144,720 bits, rounded up
    milliseconds picture_bound;  // twice that, plus the 3 s packet bound
    nanoseconds byte;
    std::chrono::microseconds first_look, confirm_look;  // 1 ms and 10 ms at 57,600 baud
  } cases[] = {
      {9600, milliseconds(15075), milliseconds(30150 + 3000), nanoseconds(1041666), std::chrono::microseconds(6000),
       std::chrono::microseconds(60000)},
      {57600, milliseconds(2513), milliseconds(5026 + 3000), nanoseconds(173611), std::chrono::microseconds(1000),
       std::chrono::microseconds(10000)},
      {115200, milliseconds(1257), milliseconds(2514 + 3000), nanoseconds(86805), std::chrono::microseconds(500),
       std::chrono::microseconds(5000)},
      {921600, milliseconds(158), milliseconds(316 + 3000), nanoseconds(10850), std::chrono::microseconds(62),
       std::chrono::microseconds(625)},
      {3000000, milliseconds(49), milliseconds(98 + 3000), nanoseconds(3333), std::chrono::microseconds(19),
       std::chrono::microseconds(192)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wait_bounds::line_time(72 * wait_bounds::kRowLineBytes, c.baud), c.picture) << c.baud;
    EXPECT_EQ(wait_bounds::exchange_bound(72 * wait_bounds::kRowLineBytes, wait_bounds::kInboundPacket, c.baud),
              c.picture_bound)
        << c.baud;
    EXPECT_EQ(wait_bounds::byte_time(c.baud), c.byte) << c.baud;
    EXPECT_EQ(wait_bounds::first_look(c.baud), c.first_look) << c.baud;
    EXPECT_EQ(wait_bounds::confirm_look(c.baud), c.confirm_look) << c.baud;
  }
}
}  // namespace
