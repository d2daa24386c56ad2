// Inquiry, the result reader and the discovery table.
#include "hci_inquiry.h"

#include "hci_framing.h"
#include "hci_link_control.h"
#include "wire.h"

namespace {
const Bytes kInquiryCommand{0x01, 0x01, 0x04, 0x05, 0x33, 0x8B, 0x9E, 0x04, 0x04};
const Bytes kInquiryComplete{0x04, 0x01, 0x01, 0x00};

// One Inquiry Result event with the given responses (addresses in wire order).
Bytes inquiry_result(const std::vector<DeviceAddress>& responses) {
  auto n = static_cast<std::uint8_t>(responses.size());
  Bytes event{0x04, 0x02, static_cast<std::uint8_t>(1 + 14 * n), n};
  for (const auto& a : responses) event.insert(event.end(), a.begin(), a.end());
  event.insert(event.end(), n, 0x01);      // page scan repetition mode
  event.insert(event.end(), n, 0x00);      // page scan period mode
  event.insert(event.end(), n, 0x00);      // page scan mode
  event.insert(event.end(), 3u * n, 0x0C);  // class of device
  event.insert(event.end(), 2u * n, 0x04);  // clock offset (0x04: no event indicator here)
  return event;
}

DeviceAddress wire(std::uint8_t last) { return {last, 0x9A, 0x78, 0x56, 0x34, 0x12}; }
DeviceAddress display(std::uint8_t last) { return {0x12, 0x34, 0x56, 0x78, 0x9A, last}; }

using Inquiry = WireTest;

struct CollectionCase {
  const char* name;
  int results;
  Bytes after;  // what the module sends after the results
  std::uint8_t count;
  std::size_t left_unread;
};

class InquiryCollection : public WireTest, public ::testing::WithParamInterface<CollectionCase> {};

TEST_P(InquiryCollection, FillsTheTableFromEntryZero) {
  const auto& c = GetParam();
  Bytes input = command_status(0x0401);
  for (int i = 0; i < c.results; ++i) input = input + inquiry_result({wire(static_cast<std::uint8_t>(0xB0 + i))});
  link.feed(input + c.after);
  s.found_count = 9;
  EXPECT_EQ(discover_devices(s, s.found_devices.data(), &s.found_count, 4), kStatusOk);
  EXPECT_EQ(written(), kInquiryCommand);
  EXPECT_EQ(s.found_count, c.count);
  for (int i = 0; i < c.count; ++i) EXPECT_EQ(s.found_devices[i], display(static_cast<std::uint8_t>(0xB0 + i)));
  EXPECT_EQ(unread(), c.left_unread);
}

INSTANTIATE_TEST_SUITE_P(
    Results, InquiryCollection,
    ::testing::Values(CollectionCase{"none", 0, kInquiryComplete, 0, 0},
                      CollectionCase{"two", 2, kInquiryComplete, 2, 0},
                      // The maximum ends the collection; Inquiry Complete stays for the next reader.
                      CollectionCase{"four", 4, kInquiryComplete, 4, 4},
                      // Flow control is no result and no end.
                      CollectionCase{"flow_control_between", 1, completed_packets() + inquiry_result({wire(0xB1)}) + kInquiryComplete, 2, 0},
                      // A silent module ends the collection at the inquiry's deadline.
                      CollectionCase{"silent_after_one", 1, {}, 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// The three forms of result, fields laid out as arrays: every response is
// taken, with its page scan repetition mode and clock offset (bit 15 is not
// part of it); Create_Connection then pages with them.
TEST_F(Inquiry, EveryResponseOfEveryFormIsTakenWithItsPageParameters) {
  const Bytes plain_two{0x04, 0x02, 29, 2,                                   // two responses
                        0x01, 0x9A, 0x78, 0x56, 0x34, 0x12, 0x02, 0x9A, 0x78, 0x56, 0x34, 0x12,
                        0x01, 0x02,                                          // R1, R2
                        0x00, 0x00, 0x00, 0x00,                              // reserved
                        0x0C, 0x02, 0x5A, 0x20, 0x06, 0x00,                  // classes
                        0x34, 0x12, 0xFF, 0xFF};                            // clock offsets
  const Bytes rssi{0x04, 0x22, 15, 1, 0x03, 0x9A, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x20, 0x06, 0x00, 0x21, 0x43, 0xC4};
  Bytes extended{0x04, 0x2F, 255, 1, 0x04, 0x9A, 0x78, 0x56, 0x34, 0x12, 0x01, 0x00, 0x20, 0x06, 0x00, 0x55, 0x05, 0xB0};
  extended.resize(2 + 1 + 255, 0x00);  // the EIR data
  link.feed(command_status(0x0401) + plain_two + rssi + extended + kInquiryComplete);
  EXPECT_EQ(discover_devices(s, s.found_devices.data(), &s.found_count, 4), kStatusOk);
  ASSERT_EQ(s.found_count, 4);
  const std::uint16_t offsets[] = {0x1234, 0x7FFF, 0x4321, 0x0555};
  const std::uint8_t modes[] = {0x01, 0x02, 0x00, 0x01};
  for (std::uint8_t i = 0; i < 4; ++i) {
    EXPECT_EQ(s.found_devices[i], display(static_cast<std::uint8_t>(i + 1))) << int(i);
    EXPECT_EQ(s.inquiry_pages[i].scan_repetition_mode, modes[i]) << int(i);
    EXPECT_EQ(s.inquiry_pages[i].clock_offset, offsets[i]) << int(i);
  }
  // Paged with what it reported, the offset marked valid; an address not
  // found by the inquiry with R2 and no offset.
  written();
  link.feed(command_status(0x0405, 0x0C) + command_status(0x0405, 0x0C));
  hci_create_connection(s, display(0x02));
  EXPECT_EQ(written(), (Bytes{0x01, 0x05, 0x04, 0x0D, 0x02, 0x9A, 0x78, 0x56, 0x34, 0x12, 0x10, 0x00, 0x02, 0x00,
                              0xFF, 0xFF, 0x00}));
  hci_create_connection(s, display(0x09));
  EXPECT_EQ(written(), (Bytes{0x01, 0x05, 0x04, 0x0D, 0x09, 0x9A, 0x78, 0x56, 0x34, 0x12, 0x10, 0x00, 0x02, 0x00,
                              0x00, 0x00, 0x00}));
}

TEST_F(Inquiry, ADeviceReportedTwiceTakesOneSlot) {
  link.feed(command_status(0x0401) + inquiry_result({wire(0xB0)}) + inquiry_result({wire(0xB1)}) +
            inquiry_result({wire(0xB0)}) + inquiry_result({wire(0xB2)}) + kInquiryComplete);
  EXPECT_EQ(discover_devices(s, s.found_devices.data(), &s.found_count, 4), kStatusOk);
  EXPECT_EQ(s.found_count, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(s.found_devices[i], display(static_cast<std::uint8_t>(0xB0 + i)));
}

TEST_F(Inquiry, EventWithNoResponsesTakesNoSlot) {
  s.found_devices[0] = display(0x77);
  link.feed(command_status(0x0401) + inquiry_result({}) + kInquiryComplete);
  EXPECT_EQ(discover_devices(s, s.found_devices.data(), &s.found_count, 4), kStatusOk);
  EXPECT_EQ(s.found_count, 0);
}

TEST_F(Inquiry, RefusedCommandLeavesTheCountAlone) {
  link.feed(command_status(0x0401, 0x0C));
  s.found_count = 3;
  EXPECT_EQ(discover_devices(s, s.found_devices.data(), &s.found_count, 4), kStatusFail);
  EXPECT_EQ(s.found_count, 3);
}

TEST_F(Inquiry, MaximumZeroReadsNoResult) {
  link.feed(command_status(0x0401) + kInquiryComplete);
  EXPECT_EQ(hci_inquiry(s, s.found_devices.data(), &s.found_count, 0, 4), kStatusOk);
  EXPECT_EQ(written(), (Bytes{0x01, 0x01, 0x04, 0x05, 0x33, 0x8B, 0x9E, 0x04, 0x00}));
  EXPECT_EQ(s.found_count, 0);
  EXPECT_EQ(unread(), kInquiryComplete.size());
}

TEST_F(Inquiry, CollectionWaitsTheInquiryTimePlusAMargin) {
  link.feed(command_status(0x0401));
  EXPECT_EQ(hci_inquiry(s, s.found_devices.data(), &s.found_count, 4, 4), kStatusOk);
  EXPECT_EQ(s.found_count, 0);
  ASSERT_EQ(link.dry_wait_budgets.size(), 1u);
  EXPECT_GT(link.dry_wait_budgets[0].count(), 5120);  // never shorter than the inquiry itself
  EXPECT_LE(link.dry_wait_budgets[0].count(), 5120 + 2000);
}

TEST_F(Inquiry, ForeignEventIsConsumedWholeAndEndsTheCollection) {
  link.feed(command_status(0x0401) + Bytes{0x04, 0x05, 0x04, 0x00, 0x2A, 0x00, 0x13, 0x99});
  InquiryResponse responses[kMaxResponsesPerEvent];
  std::uint8_t taken = 9;
  EXPECT_EQ(hci_read_inquiry_result(s, responses, &taken), kStatusFail);  // reads the Command Status as foreign
  EXPECT_EQ(hci_read_inquiry_result(s, responses, &taken), kStatusFail);
  EXPECT_EQ(taken, 0);
  EXPECT_EQ(unread(), 1u);
}

TEST_F(Inquiry, CompleteLeftByAFullTableDoesNotFailTheNextCommand) {
  Bytes input = command_status(0x0401);
  for (int i = 0; i < 4; ++i) input = input + inquiry_result({wire(static_cast<std::uint8_t>(0xB0 + i))});
  link.feed(input + kInquiryComplete + command_status(0x0405));
  EXPECT_EQ(discover_devices(s, s.found_devices.data(), &s.found_count, 4), kStatusOk);
  EXPECT_EQ(unread(), kInquiryComplete.size() + 7);
  EXPECT_EQ(hci_wait_command_status(s, 0x05, 0x01), kStatusOk);  // Create_Connection's answer
  EXPECT_EQ(unread(), 0u);
}

TEST(AddressText, TwelveUpperCaseDigitsMostSignificantFirst) {
  EXPECT_EQ(address_text(reversed_address({0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12})), "123456789ABC");
  EXPECT_EQ(address_text({0x00, 0x0A, 0xFF, 0x01, 0x10, 0xE0}), "000AFF0110E0");
}
}  // namespace
