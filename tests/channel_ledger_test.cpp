// The account of what the camera owes: frames pay the oldest debt, and
// whole exchanges over scripted streams that used to be told apart by
// timing. The line's clock is the scripted one, so pauses of seconds cost
// nothing here.
#include "channel_ledger.h"

#include "camera_commands.h"
#include "hci_inbound.h"
#include "wait_bounds.h"
#include "wire.h"

namespace {
using std::chrono::milliseconds;

// An ACL packet on handle 0x002A, channel 0x0046, with this payload; the
// L2CAP length may claim another size than the payload has.
Bytes data_packet(const Bytes& payload, int claimed = -1) {
  const auto n = static_cast<std::uint16_t>(payload.size());
  const auto l2cap = static_cast<std::uint16_t>(claimed < 0 ? n : claimed);
  return Bytes{0x02, 0x2A, 0x20, static_cast<std::uint8_t>((n + 4) & 0xFF), static_cast<std::uint8_t>((n + 4) >> 8),
               static_cast<std::uint8_t>(l2cap & 0xFF), static_cast<std::uint8_t>(l2cap >> 8), 0x46, 0x00} +
         payload;
}
// Row r of picture p: every picture and row holds other bytes.
Bytes row_bytes(int p, int r, std::size_t size = 192) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(p * 61 + r * 7 + i * 3 + 1);
  return b;
}
Bytes rows(int p, int from, int to) {  // rows from..to-1 of picture p, one packet each
  Bytes out;
  for (int r = from; r < to; ++r) out = out + data_packet(row_bytes(p, r));
  return out;
}
Bytes picture_frame(int p) {
  Bytes out;
  for (int r = 0; r < 72; ++r) out = out + row_bytes(p, r);
  return out;
}
Bytes answer(char letter) { return Bytes{static_cast<std::uint8_t>(letter), 0x10, 0x20, 0x01}; }
// A frame on another CID of the camera's link.
Bytes frame_on(std::uint16_t cid, const Bytes& payload) {
  Bytes p = data_packet(payload);
  p[7] = static_cast<std::uint8_t>(cid & 0xFF);
  p[8] = static_cast<std::uint8_t>(cid >> 8);
  return p;
}
Bytes rows_twice(int p, int twice) { return rows(p, 0, twice + 1) + rows(p, twice, 72); }  // 73 rows
// Bytes from..to-1 of b (to -1: its end).
Bytes part(const Bytes& b, int from, int to = -1) {
  return Bytes(b.begin() + from, to < 0 ? b.end() : b.begin() + to);
}
Bytes drop_last_byte(Bytes b) {
  b.pop_back();
  return b;
}
const Bytes kCompletedPackets{0x04, 0x13, 0x05, 0x01, 0x2A, 0x00, 0x01, 0x00};

// --- the account alone ---

struct PayCase {
  const char* name;
  std::vector<ChannelDebt> owed;  // (number), frames owed, (paid), frame size, lapsed
  std::vector<std::uint16_t> frames;  // lengths of the frames that arrive
  std::vector<std::uint16_t> still_owed;  // (owed - paid) of each debt left, oldest first
  std::uint32_t stray;
  std::uint32_t written_off;
  std::uint32_t surplus = 0;  // rows nobody owed (each puts the account in doubt)
};

class LedgerPayments : public WireTest, public ::testing::WithParamInterface<PayCase> {};

TEST_P(LedgerPayments, FramesPayTheOldestDebtTheyCan) {
  const auto& c = GetParam();
  for (const ChannelDebt& d : c.owed) {
    const std::uint32_t number = ledger_owe(s, d.frames_owed, d.frame_size);
    if (d.lapsed) ledger_lapse(s, number);
  }
  for (std::uint16_t length : c.frames) {
    s.rx_channel_length = length;
    ledger_take_frame(s);
  }
  std::vector<std::uint16_t> left;
  for (std::size_t i = 0; i < s.ledger.count; ++i) {
    const ChannelDebt& d = s.ledger.debts[(s.ledger.first + i) % kLedgerDepth];
    left.push_back(static_cast<std::uint16_t>(d.frames_owed - d.frames_paid));
  }
  EXPECT_EQ(left, c.still_owed);
  EXPECT_EQ(s.ledger.stray_frames, c.stray);
  EXPECT_EQ(s.ledger.frames_written_off, c.written_off);
  EXPECT_EQ(s.ledger.surplus_rows, c.surplus);
  EXPECT_EQ(s.ledger.in_doubt, c.surplus != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ledger, LedgerPayments,
    ::testing::Values(
        PayCase{"rows_pay_a_picture", {{0, 72, 0, 192, false}}, {192, 192, 192}, {69}, 0, 0},
        PayCase{"a_late_picture_is_paid_before_the_next", {{0, 42, 0, 192, true}, {0, 72, 0, 192, false}},
                {192, 192}, {40, 72}, 0, 0},
        // Not a row where a picture under way is owed: a stray, which pays nothing.
        PayCase{"other_lengths_are_no_rows", {{0, 72, 0, 192, false}}, {193, 191, 4, 192}, {71}, 3, 0},
        // Where a lapsed picture is owed, a frame that is no row shows the
        // camera has moved on: those rows are written off and the frame pays
        // the key after them.
        PayCase{"an_answer_writes_off_a_lapsed_picture", {{0, 72, 0, 192, true}, {0, 1, 0, 0, false}},
                {4}, {}, 0, 72},
        PayCase{"a_key_takes_any_frame", {{0, 1, 0, 0, false}}, {192}, {}, 0, 0},
        PayCase{"nothing_owed", {}, {4, 192}, {}, 1, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WireTest, ALedgerThatIsFullTakesNoMoreDebts) {
  for (std::size_t i = 0; i < kLedgerDepth; ++i) EXPECT_NE(ledger_owe(s, 1, 0), 0u);
  EXPECT_EQ(ledger_owe(s, 1, 0), 0u);
  ledger_write_off_all(s);
  EXPECT_EQ(s.ledger.frames_written_off, kLedgerDepth);
  EXPECT_NE(ledger_owe(s, 1, 0), 0u);
}

// --- whole exchanges ---

// One key or capture and what the camera sends for it, each part a time
// after the command goes out. The camera answers in order, so a part meant
// to follow late frames of an earlier exchange is timed after them.
using Camera = std::vector<std::pair<int, Bytes>>;
struct Step {
  char key;  // 'C': a capture (Up); otherwise the letter, 'U' being the U key
  Camera camera;
  Status expected;
  int picture = -1;  // a capture that succeeds holds this picture's rows
  int idle = 0;      // milliseconds that pass before the step
};
// Rows from..to-1 of picture p, one every `every` ms from `at`.
Camera paced_rows(int p, int from, int to, int at, int every) {
  Camera out;
  for (int r = from; r < to; ++r) out.emplace_back(at + (r - from) * every, data_packet(row_bytes(p, r)));
  return out;
}
Camera then(Camera a, const Camera& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct ExchangeCase {
  const char* name;
  std::vector<Step> steps;
};

class Exchanges : public WireTest, public ::testing::WithParamInterface<ExchangeCase> {
 protected:
  Picture shown;
  CameraView view{&shown, nullptr, nullptr, nullptr};
  Exchanges() {
    link_up();
    s.channel_id = 0x0046;
    s.channel_state = kChannelOpen;
  }
};

TEST_P(Exchanges, EachStepIsHonestAndPicturesAreTheirOwnRows) {
  int n = 0;
  for (const Step& step : GetParam().steps) {
    ++n;
    link.pass(milliseconds(step.idle));
    for (const auto& [after, bytes] : step.camera) link.answer_after(milliseconds(after), bytes);
    written();
    const Status status = step.key == 'C' ? capture_frame(s, view) : camera_simple_command(s, step.key);
    ASSERT_EQ(status, step.expected) << "step " << n;
    if (step.camera.empty()) {
      EXPECT_TRUE(written().empty()) << "step " << n << ": nothing is sent";
    }
    if (failed(status)) continue;
    if (step.key == 'C') {
      EXPECT_EQ(Bytes(s.frame_buffer.begin(), s.frame_buffer.end()), picture_frame(step.picture)) << "step " << n;
    } else if (step.key != 'U') {
      EXPECT_EQ(Bytes(s.key_answer.begin(), s.key_answer.begin() + s.key_answer_length), answer(step.key))
          << "step " << n;
    }
  }
}

// Rows 0 to 39 at once, the rest after a pause of 4.5 s: past the 3 s the
// capture waits for a row, and so after the next command has gone out.
const Step kPausedAt40{'C', {{0, rows(1, 0, 40)}, {4500, rows(1, 40, 72)}}, kStatusFail};

INSTANTIATE_TEST_SUITE_P(
    InStepByAccount, Exchanges,
    ::testing::Values(
        ExchangeCase{"pause_then_capture", {kPausedAt40, {'C', {{1600, rows(2, 0, 72)}}, kStatusOk, 2}}},
        ExchangeCase{"pause_then_key_then_capture",
                     {kPausedAt40, {'L', {{2000, data_packet(answer('L'))}}, kStatusOk},
                      {'C', {{0, rows(2, 0, 72)}}, kStatusOk, 2}}},
        // Row 40 never comes: the next picture's first row pays for it, so
        // that picture is not good; once the camera has been quiet for the
        // write-off time nothing is owed, and the one after is whole.
        ExchangeCase{"lost_row",
                     {{'C', {{0, rows(1, 0, 40) + rows(1, 41, 72)}}, kStatusFail},
                      {'C', {{0, rows(2, 0, 72)}}, kStatusFail},
                      {'C', {{0, rows(3, 0, 72)}}, kStatusOk, 3}}},
        // A key's answer shows the camera is past a picture it will not finish.
        ExchangeCase{"lost_rows_then_a_key",
                     {{'C', {{0, rows(1, 0, 50)}}, kStatusFail},
                      {'R', {{0, data_packet(answer('R'))}}, kStatusOk},
                      {'C', {{0, rows(2, 0, 72)}}, kStatusOk, 2}}},
        // The U key's picture with a gap among its rows, as on a radio link.
        ExchangeCase{"u_key_with_a_gap",
                     {{'U', {{0, rows(1, 0, 30)}, {150, rows(1, 30, 72)}}, kStatusOk},
                      {'L', {{0, data_packet(answer('L'))}}, kStatusOk},
                      {'C', {{0, rows(2, 0, 72)}}, kStatusOk, 2}}},
        ExchangeCase{"late_answer_is_not_the_next_keys",
                     {{'L', {{3500, data_packet(answer('L'))}}, kStatusFail},
                      {'R', {{600, data_packet(answer('R'))}}, kStatusOk}}},
        ExchangeCase{"rows_of_193_and_191_bytes",
                     {{'C',
                       {{0, rows(1, 0, 10) + data_packet(row_bytes(1, 10, 193)) + data_packet(row_bytes(1, 11, 191)) +
                                rows(1, 12, 72)}},
                       kStatusFail},
                      {'C', {{0, rows(2, 0, 72)}}, kStatusFail},
                      {'C', {{0, rows(3, 0, 72)}}, kStatusOk, 3}}},
        // The line damage puts the account in doubt: the next capture waits
        // for the camera to finish, so it is whole.
        ExchangeCase{"row_that_carries_100_of_its_192_bytes",
                     {{'C', {{0, rows(1, 0, 5) + data_packet(row_bytes(1, 5, 100), 192) + rows(1, 6, 72)}}, kStatusFail},
                      {'C', {{0, rows(2, 0, 72)}}, kStatusOk, 2},
                      {'C', {{0, rows(3, 0, 72)}}, kStatusOk, 3}}},
        ExchangeCase{"noise_between_rows",
                     {{'C', {{0, rows(1, 0, 10) + Bytes{0x00, 0xFF, 0x55} + rows(1, 10, 72)}}, kStatusFail},
                      {'C', {{0, rows(2, 0, 72)}}, kStatusOk, 2}}},
        ExchangeCase{"byte_added_after_the_last_row",
                     {{'C', {{0, rows(1, 0, 72) + Bytes{0x55}}}, kStatusFail},
                      {'C', {{0, rows(2, 0, 72)}}, kStatusOk, 2}}},
        ExchangeCase{"byte_lost_from_the_last_row_before_an_event",
                     {{'C', {{0, rows(1, 0, 71) + drop_last_byte(rows(1, 71, 72)) + kCompletedPackets}}, kStatusFail},
                      {'C', {{0, rows(2, 0, 72)}}, kStatusOk, 2}}},
        ExchangeCase{"byte_lost_from_a_key_answer_before_an_event",
                     {{'L', {{0, drop_last_byte(data_packet(answer('L'))) + kCompletedPackets}}, kStatusFail},
                      {'R', {{0, data_packet(answer('R'))}}, kStatusOk}}},
        // A frame that is no row comes while picture 1 is paused (after its
        // capture gave up on it) and no key is owed: it cannot be anybody's
        // answer, so it pays nothing and picture 1's rows still pay picture 1.
        ExchangeCase{"stray_frame_in_a_pause",
                     {{'C', {{0, rows(1, 0, 40)}, {3500, data_packet(Bytes{'S', 'Z', 'Z', 'Z'})}, {5000, rows(1, 40, 72)}},
                       kStatusFail},
                      {'C', {{2100, rows(2, 0, 72)}}, kStatusOk, 2},
                      {'C', {{0, rows(3, 0, 72)}}, kStatusOk, 3}}},
        // The same with a key owed: the stray may be its answer and is taken
        // for it, but picture 1's rows then come while the key waits to be
        // trusted, so the key is not reported answered.
        ExchangeCase{"stray_frame_in_a_pause_before_a_key",
                     {{'C', {{0, rows(1, 0, 40)}, {3500, data_packet(Bytes{'S', 'Z', 'Z', 'Z'})}, {5000, rows(1, 40, 72)}},
                       kStatusFail},
                      {'L', {{2100, data_packet(answer('L'))}}, kStatusFail},
                      {'C', {{0, rows(3, 0, 72)}}, kStatusOk, 3}}},
        // An Echo Request whose CID byte the line turned from 0x01 into 0x41:
        // no channel of the host's.
        ExchangeCase{"echo_request_on_cid_0x0041_in_a_pause",
                     {{'C',
                       {{0, rows(1, 0, 40)},
                        {3500, frame_on(0x0041, Bytes{0x08, 0x07, 0x02, 0x00, 0xAB, 0xCD})},
                        {5000, rows(1, 40, 72)}},
                       kStatusFail},
                      {'C', {{2100, rows(2, 0, 72)}}, kStatusOk, 2}}},
        // The first row after the pause is 191 bytes long: no row, and no key
        // is owed, so it pays nothing. Picture 1 then owes a row more than
        // its camera sends, so capture 2 is short; capture 3 is whole.
        ExchangeCase{"resumed_row_of_191_bytes",
                     {{'C', {{0, rows(1, 0, 40)}, {5000, data_packet(row_bytes(1, 40, 191)) + rows(1, 41, 72)}},
                       kStatusFail},
                      {'C', {{2100, rows(2, 0, 72)}}, kStatusFail},
                      {'C', {{0, rows(3, 0, 72)}}, kStatusOk, 3}}},
        // Picture 1 pauses; its rest comes while the host idles, and one row
        // of it lost its first byte. The signs are seen while reading off
        // before capture 2's "U": capture 2 fails before anything is sent,
        // and capture 3 waits for quiet, then is whole.
        ExchangeCase{"damage_seen_before_a_command",
                     {{'C', {{0, rows(1, 0, 37)}, {4000, rows(1, 37, 50) + part(rows(1, 50, 51), 1) + rows(1, 51, 72)}},
                       kStatusFail},
                      {'C', {}, kStatusFail, -1, 2000},
                      {'C', {{0, rows(3, 0, 72)}}, kStatusOk, 3}}},
        // A 192-byte frame on CID 0x0047, where the host has no channel,
        // among picture 1's rows.
        ExchangeCase{"row_on_another_cid",
                     {{'C', {{0, rows(1, 0, 30) + frame_on(0x0047, row_bytes(9, 9)) + rows(1, 30, 72)}}, kStatusOk, 1}}},
        // Row 40 twice, 15 ms between rows: the 73rd row comes at the
        // camera's pace, within the look after the 72nd. Picture 1 fails, and
        // no shift outlives it.
        ExchangeCase{"row_sent_twice_15_ms_apart",
                     {{'C', then(paced_rows(1, 0, 41, 0, 15), paced_rows(1, 40, 72, 615, 15)), kStatusFail},
                      {'C', {{0, rows(2, 0, 72)}}, kStatusOk, 2},
                      {'C', {{0, rows(3, 0, 72)}}, kStatusOk, 3}}},
        ExchangeCase{"row_sent_twice_back_to_back",
                     {{'C', {{0, rows_twice(1, 40)}}, kStatusFail},
                      {'U', {{0, rows_twice(2, 0)}}, kStatusFail},
                      {'L', {{0, data_packet(answer('L'))}}, kStatusOk},
                      {'C', {{0, rows(4, 0, 72)}}, kStatusOk, 4}}},
        // A pause of 4 s inside one row: the row stays one packet, and its
        // rest completes it. The host cannot tell when within the read that
        // was cut its last byte came, so it counts its quiet from the cut.
        ExchangeCase{"pause_inside_a_row",
                     {{'C', {{0, rows(1, 0, 40) + part(rows(1, 40, 41), 0, 100)}, {4000, part(rows(1, 40, 41), 100) + rows(1, 41, 72)}},
                       kStatusOk, 1},
                      {'C', {{1500, rows(2, 0, 72)}}, kStatusOk, 2}}},
        // A camera that leaves 52 ms between rows, steadily (40 % of the line).
        ExchangeCase{"rows_52_ms_apart",
                     {{'C', paced_rows(1, 0, 72, 0, 35 + 52), kStatusOk, 1},
                      {'C', paced_rows(2, 0, 72, 0, 35 + 52), kStatusOk, 2}}},
        // A key's answer, then module traffic that never stops for 6 s: the
        // look after the answer is short, and cuts nothing.
        ExchangeCase{"module_traffic_after_an_answer",
                     {{'L', then(Camera{{0, data_packet(answer('L'))}}, [] {
                        Camera events;
                        for (int t = 1; t < 6000; t += 2) events.emplace_back(t, kCompletedPackets);
                        return events;
                      }()), kStatusOk}}},
        // 3,000 completed-packets events (24,000 bytes, 4.2 s of line time)
        // before the rows.
        ExchangeCase{"three_thousand_events_before_the_rows",
                     {{'C', [] {
                        Camera c;
                        for (int i = 0; i < 3000; ++i) c.emplace_back(i * 1389 / 1000, kCompletedPackets);
                        return then(c, paced_rows(1, 0, 72, 4170, 35));
                      }(), kStatusOk, 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

// A capture's whole bound passes while row 36 is on the line, cut after any
// number of its 201 bytes. The rest of the row still completes that one
// packet when reading resumes: it pays picture 1, which owes it, and the
// pictures after it are whole.
TEST(CutRow, AtEveryOffsetTheRowStaysOnePacket) {
  const int bound = static_cast<int>(
      wait_bounds::exchange_bound(72 * wait_bounds::kRowLineBytes, wait_bounds::kInboundPacket, 57600).count());
  for (int cut = 1; cut < 201; ++cut) {
    SCOPED_TRACE(cut);
    ScriptedSerial link;
    HostState s;
    host_attach(s, link);
    s.port_handle.held = true;
    s.handle_low = 0x2A;
    s.link_connected = 1;
    s.channel_id = 0x0046;
    s.channel_state = kChannelOpen;
    Picture shown;
    CameraView view{&shown, nullptr, nullptr, nullptr};
    const Bytes row36 = rows(1, 36, 37);
    for (const auto& [at, bytes] : paced_rows(1, 0, 36, 0, (bound - 1000) / 36)) link.answer_after(milliseconds(at), bytes);
    link.answer_after(milliseconds(bound - 20), part(row36, 0, cut));
    link.answer_after(milliseconds(bound + 480), part(row36, cut));
    link.answer_after(milliseconds(bound + 580), rows(1, 37, 72));
    ASSERT_EQ(capture_frame(s, view), kStatusFail);
    for (int p = 2; p <= 3; ++p) {
      link.answer_after(milliseconds(1000), rows(p, 0, 72));
      ASSERT_EQ(capture_frame(s, view), kStatusOk) << "picture " << p;
      EXPECT_EQ(Bytes(s.frame_buffer.begin(), s.frame_buffer.end()), picture_frame(p));
    }
    EXPECT_EQ(s.stream_faults, 0u);
  }
}

// A camera whose every row comes just under the 3 s it is waited for: the
// capture as a whole still ends within the line time of its rows with a
// quarter more, plus the packet bound.
TEST_F(WireTest, ACaptureEndsWithinItsWholeBound) {
  link_up();
  s.channel_state = kChannelOpen;
  for (int r = 0; r < 72; ++r) link.answer_after(milliseconds(2900 * r), data_packet(row_bytes(1, r)));
  const Deadline began = link.now();
  CameraView view{};
  EXPECT_EQ(capture_frame(s, view), kStatusFail);
  const auto bound =
      wait_bounds::exchange_bound(72 * wait_bounds::kRowLineBytes, wait_bounds::kInboundPacket, s.line.baud);
  EXPECT_EQ(bound, milliseconds(8026));  // twice the 2,512.5 ms of 14,472 line bytes, rounded up, and 3 s
  EXPECT_LE(link.now() - began, bound + milliseconds(50));
}

// A line that never goes quiet holds a settle no longer than its limit.
TEST_F(WireTest, ASettleEndsAtItsLimitOnAnEndlessLine) {
  for (int t = 0; t < 8000; t += 20) link.feed_after(milliseconds(t), kCompletedPackets);
  const Deadline began = link.now();
  EXPECT_EQ(hci_wait_line_quiet(s), kStatusFail);
  EXPECT_LE(link.now() - began, wait_bounds::kSettleLimit);
}
}  // namespace
