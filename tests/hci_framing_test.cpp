// Command framing and the two completion handshakes.
#include "hci_framing.h"

#include "wire.h"

namespace {
constexpr std::uint16_t kReset = 0x0C03;
constexpr std::uint16_t kReadBdAddr = 0x1009;

TEST(HciOpcode, GroupAndCommandFieldsPack) {
  EXPECT_EQ(hci_opcode(0x03, 0x03), 0x0C03);
  EXPECT_EQ(hci_opcode(0x09, 0x04), 0x1009);
  EXPECT_EQ(hci_opcode(0x0A, 0x01), 0x040A);
  EXPECT_EQ(hci_opcode(0xFF, 0x3F), 0xFCFF);  // bits 8 and 9 stay clear with byte-sized fields
}

using HciFraming = WireTest;

TEST_F(HciFraming, CommandHeaderIsIndicatorThenOpcodeLowHigh) {
  EXPECT_EQ(hci_write_command_header(s, 0x05, 0x01), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x01, 0x05, 0x04}));
}

TEST_F(HciFraming, CommandHeaderStopsAtTheFirstFailedWrite) {
  link.fail_write_number = 1;
  EXPECT_EQ(hci_write_command_header(s, 0x03, 0x03), kStatusFail);
  EXPECT_EQ(written(), (Bytes{0x01}));
}

TEST_F(HciFraming, U16FieldsGoLowByteFirst) {
  write_u16_le(s, 0x1234);
  EXPECT_EQ(written(), (Bytes{0x34, 0x12}));
  link.feed({0x46, 0x00});
  std::uint16_t value = 0;
  EXPECT_EQ(read_u16_le(s, &value), kStatusOk);
  EXPECT_EQ(value, 0x0046);
}

TEST_F(HciFraming, U16ReadThatFailsStoresNothing) {
  link.feed({0x46});
  std::uint16_t value = 0xBEEF;
  EXPECT_EQ(read_u16_le(s, &value), kStatusFail);
  EXPECT_EQ(value, 0xBEEF);
}

struct HandshakeCase {
  const char* name;
  Bytes input;
  Status result;
  std::size_t left_unread;
};

// Command Complete for HCI_Reset (no return bytes). Every event is read
// whole; only the answer to this opcode ends the wait.
class CommandCompleteCases : public WireTest, public ::testing::WithParamInterface<HandshakeCase> {};

TEST_P(CommandCompleteCases, ReadsEveryEventWholeAndJudgesOnlyItsOwnAnswer) {
  const auto& c = GetParam();
  link.feed(c.input + Bytes{0x04, 0x3E, 0x00});  // a packet after the answer stays unread
  EXPECT_EQ(hci_wait_command_complete(s, 0x03, 0x03, 0, nullptr), c.result);
  EXPECT_EQ(unread(), c.left_unread);
}

INSTANTIATE_TEST_SUITE_P(
    Reset, CommandCompleteCases,
    ::testing::Values(
        HandshakeCase{"accepted", command_complete(kReset), kStatusOk, 3},
        HandshakeCase{"two_credits_offered", {0x04, 0x0E, 0x04, 0x02, 0x03, 0x0C, 0x00}, kStatusOk, 3},
        // An answer for another command is dropped whole and the wait goes on.
        HandshakeCase{"other_opcode_passed_over", command_complete(0x0C13) + command_complete(kReset), kStatusOk, 3},
        HandshakeCase{"opcode_high_differs", {0x04, 0x0E, 0x04, 0x01, 0x03, 0x10, 0x00}, kStatusFail, 0},
        HandshakeCase{"late_reject_status_passed_over", command_status(0x040A) + command_complete(kReset),
                      kStatusOk, 3},
        HandshakeCase{"nonzero_status", command_complete(kReset, 0x0C), kStatusFail, 3},
        HandshakeCase{"refused_by_command_status", command_status(kReset, 0x01), kStatusFail, 3},
        HandshakeCase{"command_status_instead", command_status(kReset), kStatusFail, 3},
        HandshakeCase{"length_differs", {0x04, 0x0E, 0x05, 0x01, 0x03, 0x0C, 0x00, 0x00}, kStatusFail, 3},
        HandshakeCase{"junk_before_event_skipped", Bytes{0x02, 0x2A, 0x20} + command_complete(kReset),
                      kStatusOk, 3},
        // With no link up 0x02 opens no packet; a 0x04 in junk still opens an
        // event whose length is believed.
        HandshakeCase{"junk_04_taken_for_an_event", Bytes{0x02, 0x04, 0x20} + command_complete(kReset),
                      kStatusFail, 0},
        // Flow control arrives for every ACL packet sent; it is not the answer.
        HandshakeCase{"completed_packets_skipped", completed_packets() + command_complete(kReset), kStatusOk, 3},
        HandshakeCase{"two_completed_packets_skipped",
                      completed_packets() + completed_packets() + command_complete(kReset), kStatusOk, 3},
        // An inquiry that reached its maximum leaves its Inquiry Complete behind.
        HandshakeCase{"leftover_inquiry_complete_skipped", Bytes{0x04, 0x01, 0x01, 0x00} + command_complete(kReset),
                      kStatusOk, 3},
        HandshakeCase{"link_event_first_handled", Bytes{0x04, 0x05, 0x04, 0x00, 0x2A, 0x00, 0x13} + command_complete(kReset),
                      kStatusOk, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HciFraming, CommandCompleteCopiesReturnBytesInOrder) {
  link.feed({0x04, 0x0E, 0x0A, 0x01, 0x09, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x99});
  std::uint8_t address[6] = {};
  EXPECT_EQ(hci_wait_command_complete(s, 0x09, 0x04, 6, address), kStatusOk);
  EXPECT_EQ(Bytes(address, address + 6), (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
  EXPECT_EQ(unread(), 1u);
}

TEST_F(HciFraming, CommandCompleteWithoutDestinationStillConsumesItsReturnBytes) {
  link.feed({0x04, 0x0E, 0x0A, 0x01, 0x09, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
  EXPECT_EQ(hci_wait_command_complete(s, 0x09, 0x04, 6, nullptr), kStatusOk);
  EXPECT_EQ(unread(), 0u);
}

TEST_F(HciFraming, NonzeroStatusConsumesReturnBytesButStoresNone) {
  link.feed({0x04, 0x0E, 0x0A, 0x01, 0x09, 0x10, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
  std::uint8_t address[6] = {};
  EXPECT_EQ(hci_wait_command_complete(s, 0x09, 0x04, 6, address), kStatusFail);
  EXPECT_EQ(unread(), 0u);
  EXPECT_EQ(Bytes(address, address + 6), Bytes(6, 0));
}

TEST_F(HciFraming, ReturnLengthIsNotWrappedToEightBits) {
  // n = 252 would wrap n + 4 to 0; the length byte 0 must not match it.
  link.feed({0x04, 0x0E, 0x00, 0x01, 0x03, 0x0C, 0x00});
  EXPECT_EQ(hci_wait_command_complete(s, 0x03, 0x03, 252, nullptr), kStatusFail);
}

class CommandStatusCases : public WireTest, public ::testing::WithParamInterface<HandshakeCase> {};

TEST_P(CommandStatusCases, ReadsEveryEventWholeAndJudgesOnlyItsOwnAnswer) {
  const auto& c = GetParam();
  link.feed(c.input);
  EXPECT_EQ(hci_wait_command_status(s, 0x05, 0x01), c.result);
  EXPECT_EQ(unread(), c.left_unread);
}

INSTANTIATE_TEST_SUITE_P(
    CreateConnection, CommandStatusCases,
    ::testing::Values(
        HandshakeCase{"accepted", command_status(0x0405), kStatusOk, 0},
        HandshakeCase{"two_credits_offered", {0x04, 0x0F, 0x04, 0x00, 0x02, 0x05, 0x04}, kStatusOk, 0},
        // Connect pressed while connected: refused, and nothing is left behind.
        HandshakeCase{"connection_exists", command_status(0x0405, 0x0B) + command_status(0x0405), kStatusFail, 7},
        HandshakeCase{"other_opcode_passed_over", command_status(0x0406) + command_status(0x0405), kStatusOk, 0},
        HandshakeCase{"command_complete_instead", command_complete(0x0405), kStatusFail, 0},
        HandshakeCase{"completed_packets_skipped", completed_packets() + command_status(0x0405), kStatusOk, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HciFraming, SilentModuleEndsTheHandshakeAtItsDeadline) {
  EXPECT_EQ(hci_wait_command_complete(s, 0x03, 0x03, 0, nullptr), kStatusFail);
  EXPECT_EQ(s.last_read_end, ReadEnd::deadline);
  ASSERT_EQ(link.dry_wait_budgets.size(), 1u);
  EXPECT_GT(link.dry_wait_budgets[0].count(), 1000);
  EXPECT_LE(link.dry_wait_budgets[0].count(), 2000);
}

TEST_F(HciFraming, ReadFailureMidEventEndsTheWait) {
  link.feed({0x04, 0x0E, 0x04, 0x01});
  link.end_read(2, ReadEnd::port_error);
  EXPECT_EQ(hci_wait_command_complete(s, 0x03, 0x03, 0, nullptr), kStatusFail);
  EXPECT_EQ(s.last_read_end, ReadEnd::port_error);
  EXPECT_EQ(unread(), 2u);  // the failed read took nothing
}
}  // namespace
