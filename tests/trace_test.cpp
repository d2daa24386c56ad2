// The btsnoop trace of the serial link: file layout, H4 packet tracking, and
// what Wireshark's and BlueZ's readers make of a traced exchange.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>

#include "btsnoop.h"
#include "hci_framing.h"
#include "hci_startup.h"
#include "run_command.h"
#include "trace_serial.h"
#include "wire.h"

namespace {
constexpr std::int64_t kSomeUnixTime = 1'700'000'000'123'456;  // 2023-11-14 22:13:20.123456 UTC

std::int64_t fixed_clock() { return kSomeUnixTime; }

// A file name no other test (nor another build running the same test) uses.
std::string temp_path(const char* stem) {
  std::random_device random;
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return ::testing::TempDir() + stem + "_" + test->name() + "_" + std::to_string(random()) + ".btsnoop";
}

Bytes file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint32_t u32_be(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
         static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

struct Record {
  std::uint32_t flags;
  Bytes packet;
  bool operator==(const Record&) const = default;
};

void PrintTo(const Record& r, std::ostream* os) {
  *os << "{flags " << r.flags << ":";
  for (auto b : r.packet) *os << ' ' << std::hex << static_cast<int>(b) << std::dec;
  *os << '}';
}

// Reads back the records of a trace; a malformed file fails the test.
std::vector<Record> read_records(const std::string& path) {
  Bytes file = file_bytes(path);
  std::vector<Record> records;
  EXPECT_GE(file.size(), kBtsnoopFileHeaderSize);
  std::size_t at = kBtsnoopFileHeaderSize;
  while (at + kBtsnoopRecordHeaderSize <= file.size()) {
    std::uint32_t original = u32_be(file, at);
    std::uint32_t included = u32_be(file, at + 4);
    EXPECT_EQ(original, included);
    EXPECT_EQ(u32_be(file, at + 12), 0u) << "drops";
    at += kBtsnoopRecordHeaderSize;
    if (at + included > file.size()) break;
    records.push_back({u32_be(file, at - 16), Bytes(file.begin() + static_cast<std::ptrdiff_t>(at),
                                                    file.begin() + static_cast<std::ptrdiff_t>(at + included))});
    at += included;
  }
  EXPECT_EQ(at, file.size()) << "trailing bytes";
  return records;
}

Record sent(const Bytes& packet) { return {btsnoop_flags(packet[0], false), packet}; }
Record received(const Bytes& packet) { return {btsnoop_flags(packet[0], true), packet}; }

// ---------------------------------------------------------------- file layout

TEST(BtsnoopLayout, FileHeaderIsMagicVersionOneAndTheH4Datalink) {
  std::uint8_t header[kBtsnoopFileHeaderSize];
  btsnoop_file_header(header);
  EXPECT_EQ(Bytes(header, header + sizeof header),
            (Bytes{'b', 't', 's', 'n', 'o', 'o', 'p', 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x03, 0xEA}));
}

TEST(BtsnoopLayout, RecordHeaderIsBigEndianWithTimestampFromYearZero) {
  std::uint8_t header[kBtsnoopRecordHeaderSize];
  btsnoop_record_header(header, 0x00010203, 0x00000104, 0x00000003, kSomeUnixTime);
  // 1,700,000,000,123,456 us + 62,168,256,000,000,000 us = 0x00E2E7D7274FA240
  EXPECT_EQ(Bytes(header, header + sizeof header),
            (Bytes{0x00, 0x01, 0x02, 0x03, 0x00, 0x00, 0x01, 0x04, 0x00, 0x00, 0x00, 0x03,
                   0x00, 0x00, 0x00, 0x00, 0x00, 0xE2, 0xE7, 0xD7, 0x27, 0x4F, 0xA2, 0x40}));
}

TEST(BtsnoopLayout, UnixEpochIsDay719528FromYearZero) {
  std::uint8_t header[kBtsnoopRecordHeaderSize];
  btsnoop_record_header(header, 1, 1, 0, 0);
  EXPECT_EQ(Bytes(header + 16, header + 24), (Bytes{0x00, 0xDC, 0xDD, 0xB3, 0x0F, 0x2F, 0x80, 0x00}));
}

struct FlagCase {
  std::uint8_t indicator;
  bool received;
  std::uint32_t flags;
};

TEST(BtsnoopLayout, FlagsCarryDirectionAndKind) {
  const FlagCase cases[] = {
      {0x01, false, 0x02},  // command, host -> module
      {0x04, true, 0x03},   // event, module -> host
      {0x02, false, 0x00},  // ACL out
      {0x02, true, 0x01},   // ACL in
      {0x03, true, 0x01},   // SCO in
  };
  for (const auto& c : cases)
    EXPECT_EQ(btsnoop_flags(c.indicator, c.received), c.flags)
        << "indicator " << int{c.indicator} << (c.received ? " in" : " out");
}

TEST(BtsnoopWriter, WritesHeaderThenOneFlushedRecordPerPacket) {
  std::string path = temp_path("writer");
  BtsnoopWriter writer;
  writer.clock = fixed_clock;
  ASSERT_TRUE(writer.open(path));
  const Bytes reset{0x01, 0x03, 0x0C, 0x00};
  ASSERT_TRUE(writer.write_packet(reset.data(), reset.size(), false));
  // Read while the writer is still open: the record must already be on disk.
  EXPECT_EQ(file_bytes(path),
            (Bytes{'b', 't', 's', 'n', 'o', 'o', 'p', 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x03, 0xEA,
                   0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x02,
                   0x00, 0x00, 0x00, 0x00, 0x00, 0xE2, 0xE7, 0xD7, 0x27, 0x4F, 0xA2, 0x40,
                   0x01, 0x03, 0x0C, 0x00}));
  EXPECT_EQ(writer.records_written(), 1u);
  writer.close();
  std::remove(path.c_str());
}

TEST(BtsnoopWriter, CutShortPacketKeepsItsOriginalLength) {
  std::string path = temp_path("cut");
  BtsnoopWriter writer;
  writer.clock = fixed_clock;
  ASSERT_TRUE(writer.open(path));
  const Bytes start{0x02, 0x2A, 0x20, 0x00, 0x01};
  ASSERT_TRUE(writer.write_packet(start.data(), start.size(), 0x105, true));
  Bytes file = file_bytes(path);
  ASSERT_EQ(file.size(), 16u + 24u + 5u);
  EXPECT_EQ(u32_be(file, 16), 0x105u);
  EXPECT_EQ(u32_be(file, 20), 5u);
  EXPECT_EQ(u32_be(file, 24), 0x01u);
  writer.close();
  std::remove(path.c_str());
}

TEST(BtsnoopWriter, FailsWithoutAFile) {
  BtsnoopWriter writer;
  const Bytes reset{0x01, 0x03, 0x0C, 0x00};
  EXPECT_FALSE(writer.write_packet(reset.data(), reset.size(), false));
  EXPECT_FALSE(writer.open(::testing::TempDir() + "no_such_directory/x/trace.btsnoop"));
  EXPECT_FALSE(writer.is_open());
  EXPECT_FALSE(writer.write_packet(reset.data(), reset.size(), false));
  EXPECT_EQ(writer.records_written(), 0u);
}

// ------------------------------------------------------------ packet tracking

const Bytes kReset{0x01, 0x03, 0x0C, 0x00};
const Bytes kResetComplete{0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
const Bytes kAclOut{0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, 0x4C};
const Bytes kNocp{0x04, 0x13, 0x05, 0x01, 0x2A, 0x00, 0x01, 0x00};
const Bytes kEmptyAclIn{0x02, 0x2A, 0x20, 0x00, 0x00};
const Bytes kScoIn{0x03, 0x2B, 0x00, 0x02, 0xAA, 0xBB};

// An ACL packet of 300 data bytes: its length needs both bytes.
Bytes long_acl_in() {
  Bytes packet{0x02, 0x2A, 0x20, 0x2C, 0x01};
  for (int i = 0; i < 300; ++i) packet.push_back(static_cast<std::uint8_t>(i * 7));
  return packet;
}

// Both directions of one exchange, as they crossed the link. The inbound
// stream carries noise that cannot start a packet.
Bytes outbound_stream() { return kReset + kAclOut + kReset; }
Bytes inbound_stream() {
  return Bytes{0x00, 0xFF} + kResetComplete + Bytes{0x05, 0x80} + kNocp + kEmptyAclIn + long_acl_in() +
         Bytes{0x00} + kScoIn + Bytes{0xF0};
}
std::vector<Record> expected_outbound() { return {sent(kReset), sent(kAclOut), sent(kReset)}; }
std::vector<Record> expected_inbound() {
  return {received(kResetComplete), received(kNocp), received(kEmptyAclIn), received(long_acl_in()),
          received(kScoIn)};
}

std::vector<Record> only(const std::vector<Record>& records, bool inbound) {
  std::vector<Record> kept;
  for (const auto& r : records)
    if (((r.flags & kBtsnoopReceived) != 0) == inbound) kept.push_back(r);
  return kept;
}

TEST(H4PacketTracker, FindsEveryPacketAndSkipsNoise) {
  H4PacketTracker tracker;
  std::vector<Bytes> packets;
  for (auto byte : inbound_stream())
    if (tracker.take(byte)) packets.emplace_back(tracker.packet(), tracker.packet() + tracker.length());
  EXPECT_EQ(packets, (std::vector<Bytes>{kResetComplete, kNocp, kEmptyAclIn, long_acl_in(), kScoIn}));
}

TEST(H4PacketTracker, HeaderLengthsByIndicator) {
  EXPECT_EQ(h4_header_length(0x01), 3u);
  EXPECT_EQ(h4_header_length(0x02), 4u);
  EXPECT_EQ(h4_header_length(0x03), 3u);
  EXPECT_EQ(h4_header_length(0x04), 2u);
  EXPECT_EQ(h4_header_length(0x00), 0u);
  EXPECT_EQ(h4_header_length(0x05), 0u);
  EXPECT_EQ(h4_header_length(0xFF), 0u);
}

TEST(H4PacketTracker, LargestAclPacketFits) {
  H4PacketTracker tracker;
  Bytes packet{0x02, 0x2A, 0x20, 0xFF, 0xFF};
  packet.resize(H4PacketTracker::kCapacity, 0x5A);
  std::size_t completed = 0;
  for (auto byte : packet) completed += tracker.take(byte) ? 1 : 0;
  EXPECT_EQ(completed, 1u);
  EXPECT_EQ(tracker.length(), H4PacketTracker::kCapacity);
}

TEST(H4PacketTracker, DroppedPartialDoesNotSwallowTheNextPacket) {
  H4PacketTracker tracker;
  for (auto byte : Bytes{0x04, 0x0E, 0x04, 0x01}) EXPECT_FALSE(tracker.take(byte));
  tracker.drop_partial();
  bool completed = false;
  for (auto byte : kNocp) completed = tracker.take(byte);
  EXPECT_TRUE(completed);
  EXPECT_EQ(Bytes(tracker.packet(), tracker.packet() + tracker.length()), kNocp);
}

// A traced scripted link with a port held.
struct TraceTest : ::testing::Test {
  ScriptedSerial link;
  BtsnoopWriter writer;
  std::unique_ptr<TraceSerial> trace = std::make_unique<TraceSerial>(link, writer);
  HostState s;
  std::string path = temp_path("trace");

  TraceTest() {
    writer.clock = fixed_clock;
    host_attach(s, *trace);
    s.port_handle.held = true;  // as if a port were open
    start_wait(s, std::chrono::minutes(1));
  }
  void SetUp() override { ASSERT_TRUE(writer.open(path)); }
  void TearDown() override {
    writer.close();
    std::remove(path.c_str());
  }
  void write_all(const Bytes& bytes) {
    for (auto b : bytes) ASSERT_EQ(serial_write_byte(s, b), kStatusOk);
  }
  void read_count(std::size_t count) {
    start_wait(s, std::chrono::minutes(1));  // a wait of its own, whatever ended before
    std::uint8_t byte = 0;
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(serial_read_byte(s, &byte), kStatusOk);
  }
};

TEST_F(TraceTest, RecordsAppearInTheOrderPacketsComplete) {
  link.feed(inbound_stream());
  write_all(kReset);
  read_count(2 + 3);  // noise, then the Command Complete only begun
  write_all(kAclOut);  // completes while the event is still half read
  read_count(inbound_stream().size() - 5);
  write_all(kReset);
  std::vector<Record> expected{sent(kReset), sent(kAclOut)};
  for (const auto& r : expected_inbound()) expected.push_back(r);
  expected.push_back(sent(kReset));
  EXPECT_EQ(read_records(path), expected);
}

TEST_F(TraceTest, RandomChunksOfBothDirectionsGiveTheSamePackets) {
  std::mt19937 random(20240611);
  const Bytes out = outbound_stream();
  const Bytes in = inbound_stream();
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(writer.open(path));
    std::size_t out_at = 0, in_at = 0;
    link.feed(in);
    while (out_at < out.size() || in_at < in.size()) {
      std::size_t chunk = std::uniform_int_distribution<std::size_t>(1, 12)(random);
      bool write_next = in_at == in.size() || (out_at < out.size() && random() % 2 == 0);
      if (write_next) {
        chunk = std::min(chunk, out.size() - out_at);
        write_all(Bytes(out.begin() + static_cast<std::ptrdiff_t>(out_at),
                        out.begin() + static_cast<std::ptrdiff_t>(out_at + chunk)));
        out_at += chunk;
      } else {
        chunk = std::min(chunk, in.size() - in_at);
        read_count(chunk);
        in_at += chunk;
      }
    }
    std::vector<Record> records = read_records(path);
    EXPECT_EQ(records.size(), expected_outbound().size() + expected_inbound().size());
    EXPECT_EQ(only(records, false), expected_outbound());
    EXPECT_EQ(only(records, true), expected_inbound());
  }
}

TEST_F(TraceTest, HostAbandoningAnEventMidwayDoesNotSplitItsRecord) {
  // The host's wait expires in the middle of an event; the rest of it is
  // read later, with the next packet behind it.
  const Bytes status = command_status(0x0C03);
  link.feed(Bytes(status.begin(), status.begin() + 3));
  EXPECT_EQ(hci_wait_command_complete(s, 0x03, 0x03, 0, nullptr), kStatusFail);
  link.feed(Bytes(status.begin() + 3, status.end()) + kResetComplete);
  read_count(link.inbound.size());
  EXPECT_EQ(read_records(path), (std::vector<Record>{received(status), received(kResetComplete)}));
}

TEST_F(TraceTest, ReadsEndingWithoutAByteAreNotTraced) {
  link.feed(kResetComplete);
  link.end_read(3, ReadEnd::port_error);
  link.end_read(4, ReadEnd::cancelled);
  std::uint8_t byte = 0;
  std::size_t bytes_read = 0;
  for (int i = 0; i < 12; ++i)
    if (serial_read_byte(s, &byte) == kStatusOk) ++bytes_read;
  EXPECT_EQ(bytes_read, kResetComplete.size());
  EXPECT_EQ(read_records(path), (std::vector<Record>{received(kResetComplete)}));
}

TEST_F(TraceTest, FailedWriteIsNotTraced) {
  link.fail_write_number = 3;
  write_all({0x01, 0x03, 0x0C});
  // Had this length byte counted, the next byte would end a 1-byte command.
  EXPECT_EQ(serial_write_byte(s, 0x01), kStatusFail);
  link.fail_write_number = SIZE_MAX;
  write_all({0x00});
  EXPECT_EQ(read_records(path), (std::vector<Record>{sent(kReset)}));
}

TEST_F(TraceTest, ClosingOrReopeningDropsPartialPackets) {
  link.feed({0x04, 0x0E, 0x04});
  read_count(3);
  write_all({0x01, 0x03});
  ASSERT_EQ(serial_close(s), kStatusOk);
  ASSERT_EQ(serial_open(s, 1), kStatusOk);
  link.feed(kNocp);
  read_count(kNocp.size());
  write_all({0x01, 0x09});
  ASSERT_EQ(serial_open(s, 2), kStatusOk);  // releases port 1 first
  write_all(kReset);
  EXPECT_EQ(read_records(path), (std::vector<Record>{received(kNocp), sent(kReset)}));
  EXPECT_EQ(link.opened_ports, (Bytes{1, 2}));
}

// Straight on the backend seam: the close alone forgets the partial packets.
TEST_F(TraceTest, ClosingAloneDropsPartialPackets) {
  link.feed(Bytes{0x04, 0x0E} + kNocp);
  read_count(2);
  write_all({0x01, 0x03, 0x0C});
  PortHandle handle{true, 1};
  trace->close_port(handle);
  const auto deadline = link.now() + std::chrono::minutes(1);
  std::uint8_t byte = 0;
  for (std::size_t i = 0; i < kNocp.size(); ++i)
    ASSERT_EQ(trace->read_byte(handle, byte, deadline, s.cancel_requested), ReadEnd::byte);
  for (auto b : kReset) ASSERT_EQ(trace->write_byte(handle, b, deadline), kStatusOk);
  EXPECT_EQ(read_records(path), (std::vector<Record>{received(kNocp), sent(kReset)}));
}

TEST_F(TraceTest, OpeningDropsPartialPacketsEvenWithoutAClose) {
  link.feed({0x04, 0x0E});
  read_count(2);
  write_all({0x01, 0x03, 0x0C});
  PortHandle fresh;
  ASSERT_EQ(trace->open_port(com_port(3), LineSettings{}, fresh), kStatusOk);
  link.feed(kNocp);
  read_count(kNocp.size());
  write_all(kReset);
  EXPECT_EQ(read_records(path), (std::vector<Record>{received(kNocp), sent(kReset)}));
}

// ----------------------------------------------------- external trace readers

// A module start-up (reset, address, name, scan enable) traced end to end.
struct StartUpTrace : TraceTest {
  void SetUp() override {
    TraceTest::SetUp();
    link.feed(command_complete(0x0C03) +
              Bytes{0x04, 0x0E, 0x0A, 0x01, 0x09, 0x10, 0x00, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6} +
              command_complete(0x0C13) + command_complete(0x0C1A));
    ASSERT_EQ(module_start_up(s, kLocalDeviceName), kStatusOk);
  }
};

// Direction 0x00 is host -> controller; every record carries the fixed clock.
TEST_F(StartUpTrace, TsharkReadsEveryPacketInOrder) {
  REQUIRE_TOOL("tshark");
  CommandRun tshark = run_command("tshark -r '" + path +
                                  "' -T fields -e frame.number -e hci_h4.type -e hci_h4.direction"
                                  " -e bthci_cmd.opcode -e bthci_evt.code -e frame.time_epoch 2>/dev/null");
  ASSERT_EQ(tshark.exit_status, 0) << tshark.output;
  const std::string& output = tshark.output;
  EXPECT_EQ(output,
            "1\t0x01\t0x00\t0x0c03\t\t1700000000.123456000\n"
            "2\t0x04\t0x01\t\t0x0e\t1700000000.123456000\n"
            "3\t0x01\t0x00\t0x1009\t\t1700000000.123456000\n"
            "4\t0x04\t0x01\t\t0x0e\t1700000000.123456000\n"
            "5\t0x01\t0x00\t0x0c13\t\t1700000000.123456000\n"
            "6\t0x04\t0x01\t\t0x0e\t1700000000.123456000\n"
            "7\t0x01\t0x00\t0x0c1a\t\t1700000000.123456000\n"
            "8\t0x04\t0x01\t\t0x0e\t1700000000.123456000\n");
}

TEST_F(StartUpTrace, BtmonDecodesTheCommandsAndTheLocalName) {
  REQUIRE_TOOL("btmon");
  CommandRun btmon = run_command("btmon -r '" + path + "' 2>&1");
  ASSERT_EQ(btmon.exit_status, 0) << btmon.output;
  const std::string& output = btmon.output;
  const char* expected_in_order[] = {"< HCI Command: Reset",          "> HCI Event: Command Complete",
                                     "< HCI Command: Read BD ADDR",   "Address: A6:A5:A4:A3:A2:A1",
                                     "< HCI Command: Write Local Name", "Name: quorel",
                                     "< HCI Command: Write Scan Enable", "> HCI Event: Command Complete"};
  std::size_t at = 0;
  for (const char* text : expected_in_order) {
    std::size_t found = output.find(text, at);
    ASSERT_NE(found, std::string::npos) << "missing after offset " << at << ": " << text << "\n" << output;
    at = found + 1;
  }
}
}  // namespace
