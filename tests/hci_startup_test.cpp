// The four start-up commands and their order.
#include "hci_startup.h"

#include <string>

#include "wire.h"

namespace {
using HciStartup = WireTest;

Bytes name_command(const std::string& name) {
  Bytes bytes(4 + 248, 0x00);
  bytes[0] = 0x01;
  bytes[1] = 0x13;
  bytes[2] = 0x0C;
  bytes[3] = 0xF8;
  for (std::size_t i = 0; i < name.size(); ++i) bytes[4 + i] = static_cast<std::uint8_t>(name[i]);
  return bytes;
}

TEST_F(HciStartup, ResetSendsItsHeaderAndConsumesTheSevenByteAnswer) {
  link.feed(command_complete(0x0C03) + Bytes{0x04});
  EXPECT_EQ(hci_reset(s), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x01, 0x03, 0x0C, 0x00}));
  EXPECT_EQ(unread(), 1u);
}

TEST_F(HciStartup, ReadBdAddrStoresTheAddressInWireOrder) {
  link.feed({0x04, 0x0E, 0x0A, 0x01, 0x09, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
  EXPECT_EQ(hci_read_bd_addr(s, s.local_address.data()), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x01, 0x09, 0x10, 0x00}));
  EXPECT_EQ(s.local_address, (DeviceAddress{0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
}

TEST_F(HciStartup, ReadBdAddrStoresNothingFromAnAnswerCutShort) {
  link.feed({0x04, 0x0E, 0x0A, 0x01, 0x09, 0x10, 0x00, 0x11, 0x22});
  EXPECT_EQ(hci_read_bd_addr(s, s.local_address.data()), kStatusFail);
  EXPECT_EQ(s.local_address, DeviceAddress{});
}

// A module left sending an earlier picture: its bytes may look like packet
// starts with lengths that would swallow the answer, which is found anyway.
TEST_F(HciStartup, ResetFindsItsAnswerAmongStaleBytes) {
  const Bytes row_part{0x02, 0x2A, 0x20, 0xC8, 0x00, 0xC4, 0x00, 0x46, 0x00, 0x80, 0x10, 0x80, 0x10};
  const struct {
    const char* label;
    Bytes stale;
    Status result;
  } cases[] = {
      {"event_start_with_a_long_length", Bytes{0x04, 0x10, 0xF0, 0x04, 0x0E} + row_part, kStatusOk},
      {"answer_start_inside_the_data", row_part + Bytes{0x04, 0x0E, 0x04, 0x01, 0x03} + row_part, kStatusOk},
      {"refused_answer", row_part + command_complete(0x0C03, 0x01), kStatusFail},
  };
  for (const auto& c : cases) {
    link.inbound.clear();
    link.feed(c.stale + (c.result == kStatusOk ? command_complete(0x0C03) : Bytes{}) + Bytes{0x04, 0x3E, 0x00});
    EXPECT_EQ(hci_reset(s), c.result) << c.label;
    EXPECT_EQ(unread(), 3u) << c.label;
  }
}

struct NameCase {
  const char* label;
  std::string name;
};

class LocalNames : public WireTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(LocalNames, NameFillsTheFixedFieldWithZeros) {
  link.feed(command_complete(0x0C13));
  EXPECT_EQ(hci_write_local_name(s, GetParam().name.c_str()), kStatusOk);
  Bytes sent = written();
  EXPECT_EQ(sent.size(), 252u);
  EXPECT_EQ(sent, name_command(GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(Names, LocalNames,
                         ::testing::Values(NameCase{"quorel", "quorel"}, NameCase{"empty", ""},
                                           NameCase{"longest", std::string(247, 'q')}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(HciStartup, NameWithoutRoomForItsZeroSendsNothing) {
  std::string too_long(248, 'q');
  EXPECT_EQ(hci_write_local_name(s, too_long.c_str()), kStatusFail);
  EXPECT_TRUE(written().empty());
}

TEST_F(HciStartup, ScanEnableSendsTheValueByte) {
  link.feed(command_complete(0x0C1A));
  EXPECT_EQ(hci_write_scan_enable(s, kScanInquiryAndPage), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x01, 0x1A, 0x0C, 0x01, 0x03}));
}

TEST_F(HciStartup, StartUpRunsTheFourCommandsInOrder) {
  link.feed(command_complete(0x0C03) +
            Bytes{0x04, 0x0E, 0x0A, 0x01, 0x09, 0x10, 0x00, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6} +
            command_complete(0x0C13) + command_complete(0x0C1A));
  EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusOk);
  Bytes expected = Bytes{0x01, 0x03, 0x0C, 0x00} + Bytes{0x01, 0x09, 0x10, 0x00} + name_command("quorel") +
                   Bytes{0x01, 0x1A, 0x0C, 0x01, 0x03};
  EXPECT_EQ(written(), expected);
  EXPECT_EQ(s.local_address, (DeviceAddress{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6}));
  EXPECT_EQ(unread(), 0u);
}

TEST_F(HciStartup, RefusedResetEndsStartUpBeforeReadBdAddr) {
  link.feed(command_complete(0x0C03, 0x01));
  EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusFail);
  EXPECT_EQ(written(), (Bytes{0x01, 0x03, 0x0C, 0x00}));
}

TEST_F(HciStartup, OverlongNameFailsAfterResetAndAddressRead) {
  link.feed(command_complete(0x0C03) + Bytes{0x04, 0x0E, 0x0A, 0x01, 0x09, 0x10, 0x00, 1, 2, 3, 4, 5, 6});
  std::string too_long(300, 'x');
  EXPECT_EQ(module_start_up(s, too_long.c_str()), kStatusFail);
  EXPECT_EQ(written(), (Bytes{0x01, 0x03, 0x0C, 0x00, 0x01, 0x09, 0x10, 0x00}));
}

// Reset goes again every 2 s, for 10 s in all.
TEST_F(HciStartup, SilentModuleFailsStartUpAfterTheResets) {
  const Deadline began = link.now();
  EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusFail);
  const Bytes reset{0x01, 0x03, 0x0C, 0x00};
  EXPECT_EQ(written(), reset + reset + reset + reset + reset);
  EXPECT_EQ(s.last_read_end, ReadEnd::deadline);
  EXPECT_EQ(link.now() - began, std::chrono::seconds(10));
}

// Modules that start slowly, or hold commands back: what goes out, and when.
TEST_F(HciStartup, ResetIsSentAgainUntilAnsweredAndCreditsAreKept) {
  const Bytes reset{0x01, 0x03, 0x0C, 0x00};
  const Bytes read_address{0x01, 0x09, 0x10, 0x00};
  const Bytes nop{0x04, 0x0E, 0x03, 0x01, 0x00, 0x00};  // Command Complete for opcode 0x0000: one credit
  const Bytes no_credit_reset{0x04, 0x0E, 0x04, 0x00, 0x03, 0x0C, 0x00};
  struct Case {
    const char* name;
    std::vector<std::pair<int, Bytes>> module;  // milliseconds from the start, bytes
    Bytes written_before_read_address;
    int read_address_at_ms;  // when Read_BD_ADDR went out
  } cases[] = {
      // Answered 2.5 s late: a second Reset went at 2 s, and its answer is
      // waited for (2 s) before the module is given anything more.
      {"answered_late", {{2500, command_complete(0x0C03)}}, reset + reset, 4500},
      // The first Reset unheard, the second answered at once.
      {"answered_the_second_time", {{2001, command_complete(0x0C03)}}, reset + reset, 4001},
      // No credit granted with the answer: Read_BD_ADDR waits for the NOP.
      {"credit_from_a_nop", {{5, no_credit_reset}, {700, nop}}, reset, 700},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSerial line;
    HostState h;
    host_attach(h, line);
    h.port_handle.held = true;
    const Deadline began = line.now();
    for (const auto& [at, bytes] : c.module) line.feed_after(std::chrono::milliseconds(at), bytes);
    ASSERT_EQ(hci_reset(h), kStatusOk);
    EXPECT_EQ(line.take_written(), c.written_before_read_address);
    line.answer({0x04, 0x0E, 0x0A, 0x01, 0x09, 0x10, 0x00, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11});
    std::uint8_t address[6] = {};
    ASSERT_EQ(hci_read_bd_addr(h, address), kStatusOk);
    EXPECT_EQ(line.take_written(), read_address);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(line.now() - began).count(), c.read_address_at_ms);
  }
}

TEST(HciStartupNoPort, StartUpOnAPortNeverOpenedFailsAtTheFirstWrite) {
  ScriptedSerial link;
  HostState s;
  host_attach(s, link);
  EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusFail);
  EXPECT_EQ(link.writes, 0u);
}
}  // namespace
