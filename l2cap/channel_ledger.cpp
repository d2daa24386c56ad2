#include "channel_ledger.h"

#include <algorithm>

#include "acl.h"
#include "hci_inbound.h"
#include "wait_bounds.h"

namespace {
using std::chrono::milliseconds;

ChannelDebt& debt_at(HostState& s, std::size_t i) {
  return s.ledger.debts[(s.ledger.first + i) % kLedgerDepth];
}
const ChannelDebt& debt_at(const HostState& s, std::size_t i) {
  return s.ledger.debts[(s.ledger.first + i) % kLedgerDepth];
}

bool is_picture(const ChannelDebt& d) { return d.frame_size == kRowBytes; }

// The oldest debt leaves the account, paid in full or written off.
void settle_oldest(HostState& s) {
  ChannelLedger& l = s.ledger;
  const ChannelDebt& d = l.debts[l.first];
  l.frames_written_off += static_cast<std::uint32_t>(d.frames_owed - d.frames_paid);
  if (d.number == l.watched) l.watched_paid = d.frames_paid == d.frames_owed;
  l.first = static_cast<std::uint8_t>((l.first + 1) % kLedgerDepth);
  --l.count;
}

std::uint32_t line_bytes_of(const ChannelDebt& d) {
  const std::uint32_t each = is_picture(d) ? wait_bounds::kRowLineBytes : wait_bounds::kAnswerLineBytes;
  return each * static_cast<std::uint32_t>(d.frames_owed - d.frames_paid);
}

// A key's answer is owed somewhere behind the oldest debt.
bool key_owed_behind_oldest(const HostState& s) {
  for (std::size_t i = 1; i < s.ledger.count; ++i)
    if (!is_picture(debt_at(s, i))) return true;
  return false;
}

const ChannelDebt* watched_debt(const HostState& s) { return ledger_find(s, s.ledger.watched); }

// A row of the watched picture is kept, and the gap before it measured.
void keep_row_time(HostState& s) {
  ChannelLedger& l = s.ledger;
  if (l.watched_last_row != Deadline{} && s.rx_frame_began_at > l.watched_last_row)
    l.watched_longest_gap =
        std::max(l.watched_longest_gap, std::chrono::duration_cast<milliseconds>(s.rx_frame_began_at - l.watched_last_row));
  l.watched_last_row = link_now(s);
}

void keep_frame(HostState& s, const ChannelDebt& d) {
  const std::size_t held = std::min<std::size_t>(s.rx_channel_length, s.rx_channel_frame.size());
  // Appended as frame_append_byte would, a byte at a time: what passes the
  // buffer is dropped.
  const auto length = static_cast<std::size_t>(std::max<std::int16_t>(s.frame_length, 0));
  const std::size_t kept = std::min(held, s.frame_buffer.size() - std::min(length, s.frame_buffer.size()));
  std::copy_n(s.rx_channel_frame.begin(), kept, s.frame_buffer.begin() + static_cast<std::ptrdiff_t>(length));
  s.frame_length = static_cast<std::int16_t>(length + kept);
  if (is_picture(d)) {
    keep_row_time(s);
    return;
  }
  s.key_answer_length = s.rx_channel_length;
  std::copy_n(s.rx_channel_frame.begin(), std::min(held, s.key_answer.size()), s.key_answer.begin());
}

// A frame that is no row where a picture's rows are owed, or comes with
// nothing owed. It pays nothing; but where the exchange under way was sent
// behind a key's answer, that key may have been paid with one of its rows
// (the camera answering out of order), so its count is not to be trusted.
void take_stray(HostState& s) {
  ++s.ledger.stray_frames;
  const ChannelDebt* watched = watched_debt(s);
  if (watched != nullptr && watched->behind_key) ledger_doubt(s, LedgerDoubt::stray_frame);
}
}  // namespace

void ledger_write_off_all(HostState& s) {
  while (s.ledger.count > 0) settle_oldest(s);
}

void ledger_doubt(HostState& s, LedgerDoubt why) {
  ChannelLedger& l = s.ledger;
  ledger_write_off_all(s);
  l.in_doubt = true;
  ++l.doubts;
  l.last_doubt = why;
}

void ledger_channel_gone(HostState& s) {
  if (s.ledger.count > 0) ledger_doubt(s, LedgerDoubt::channel_gone);
}

std::uint32_t ledger_owe(HostState& s, std::uint16_t frames, std::uint16_t frame_size) {
  ChannelLedger& l = s.ledger;
  if (l.watched != 0) ledger_lapse(s, l.watched);  // one exchange at a time: an earlier one is over
  if (l.count == kLedgerDepth) return 0;
  bool rows_ahead = false;
  bool key_ahead = false;
  for (std::size_t i = 0; i < l.count; ++i) (is_picture(debt_at(s, i)) ? rows_ahead : key_ahead) = true;
  ChannelDebt& d = debt_at(s, l.count);
  d = ChannelDebt{++l.last_number, frames, 0, frame_size, false, rows_ahead && frame_size != kRowBytes, key_ahead};
  if (d.number == 0) d.number = ++l.last_number;  // 0 means none
  ++l.count;
  l.watched = d.number;
  l.watched_paid = false;
  l.watched_last_row = Deadline{};
  l.watched_longest_gap = milliseconds{};
  l.last_activity = link_now(s);
  return d.number;
}

const ChannelDebt* ledger_find(const HostState& s, std::uint32_t number) {
  for (std::size_t i = 0; i < s.ledger.count; ++i)
    if (debt_at(s, i).number == number) return &debt_at(s, i);
  return nullptr;
}

bool ledger_owes_before(const HostState& s, std::uint32_t number) {
  return s.ledger.count > 0 && debt_at(s, 0).number != number;
}

std::uint32_t ledger_owed_line_bytes(const HostState& s) {
  std::uint32_t bytes = 0;
  for (std::size_t i = 0; i < s.ledger.count; ++i) bytes += line_bytes_of(debt_at(s, i));
  return bytes;
}

void ledger_lapse(HostState& s, std::uint32_t number) {
  for (std::size_t i = 0; i < s.ledger.count; ++i)
    if (debt_at(s, i).number == number) debt_at(s, i).lapsed = true;
  if (s.ledger.watched == number) s.ledger.watched = 0;
}

milliseconds ledger_camera_quiet(const HostState& s) {
  const Deadline last = std::max(s.ledger.last_activity, s.last_heard);
  const auto quiet = std::chrono::duration_cast<milliseconds>(link_now(s) - last);
  return std::max(quiet, milliseconds{0});
}

bool ledger_needs_quiet(const HostState& s) { return s.ledger.in_doubt || s.ledger.settle_by_quiet; }

bool ledger_settle_if_quiet(HostState& s) {
  ChannelLedger& l = s.ledger;
  if (ledger_camera_quiet(s) < wait_bounds::kDebtWriteOff) return false;
  ledger_write_off_all(s);
  l.in_doubt = false;
  l.settle_by_quiet = false;
  return true;
}

void ledger_take_frame(HostState& s) {
  ChannelLedger& l = s.ledger;
  l.last_activity = link_now(s);
  const bool row = s.rx_channel_length == kRowBytes;
  while (l.count > 0) {
    ChannelDebt& d = l.debts[l.first];
    if (is_picture(d) && !row) {
      // Not a row where rows are owed. Where a lapsed picture's rows are the
      // oldest debt and a key's answer is owed behind them, it can be that
      // answer: the camera has moved on past those rows. Otherwise nothing
      // owed can be paid with it.
      if (!d.lapsed || !key_owed_behind_oldest(s)) return take_stray(s);
      settle_oldest(s);
      l.settle_by_quiet = true;
      continue;
    }
    if (!is_picture(d) && row && d.behind_rows) break;  // a row too many, not the key's answer
    ++d.frames_paid;
    if (d.number == l.watched) keep_frame(s, d);
    if (d.frames_paid == d.frames_owed) settle_oldest(s);
    return;
  }
  if (!row) return take_stray(s);
  // A row nobody owed: a picture had more than it has, so the count of
  // every exchange since may be off by it.
  ++l.surplus_rows;
  ledger_doubt(s, LedgerDoubt::surplus_row);
}

DebtWait l2cap_debt_wait(HostState& s, std::uint32_t number) {
  DebtWait w;
  w.number = number;
  w.began = link_now(s);
  w.behind = ledger_owes_before(s, number);
  w.owed_line_bytes = ledger_owed_line_bytes(s);
  w.heard_at_begin = s.bytes_heard;
  w.doubts = s.ledger.doubts;
  const auto quiet = w.behind ? wait_bounds::kDebtWriteOff : wait_bounds::kInboundPacket;
  w.base = wait_bounds::exchange_bound(w.owed_line_bytes, quiet, s.line.baud);
  w.whole = w.began + w.base;
  return w;
}

namespace {
// How a wait that ended without a frame is told.
void note_wait_end(HostState& s, const DebtWait& w, FailurePoint point, std::uint16_t detail,
                   std::chrono::milliseconds bound) {
  FailureReason reason;
  reason.point = point;
  reason.detail = detail;
  fill_read_end(s, reason);
  reason.bound_ms = static_cast<std::uint32_t>(bound.count());
  reason.waited_ms = static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(link_now(s) - w.began).count());
  note_failure(s, reason);
}

bool channel_gone(HostState& s) {
  if (s.link_connected != 0 && s.channel_state == kChannelOpen) return false;
  FailureReason reason;
  reason.point = s.link_connected == 0 ? FailurePoint::link_lost : FailurePoint::channel_closed;
  reason.detail = s.link_loss_reason;
  note_failure(s, reason);
  return true;
}

// The whole bound grows by the line time of whatever else came meanwhile
// (events, other links' data, strays) beyond what was owed, up to as much
// again as it was: other traffic takes the line, but a trickle stays bounded.
Deadline whole_bound(const HostState& s, const DebtWait& w) {
  const std::uint64_t heard = s.bytes_heard - w.heard_at_begin;
  const std::uint64_t other = heard > w.owed_line_bytes ? heard - w.owed_line_bytes : 0;
  const auto grown =
      wait_bounds::line_time(static_cast<std::uint32_t>(std::min<std::uint64_t>(other, UINT32_MAX)), s.line.baud);
  return w.whole + std::min(grown, w.base);
}
}  // namespace

void l2cap_note_doubt(HostState& s) {
  FailureReason reason;
  reason.point = FailurePoint::out_of_step;
  reason.detail = static_cast<std::uint16_t>(s.ledger.last_doubt);
  note_failure(s, reason);
}

Status l2cap_collect(HostState& s, DebtWait& w, FailurePoint point, std::uint16_t detail) {
  const ChannelDebt* debt = ledger_find(s, w.number);
  if (debt == nullptr) return kStatusFail;
  const std::uint16_t paid_before = debt->frames_paid;
  const milliseconds quiet = w.behind ? wait_bounds::kDebtWriteOff : wait_bounds::kInboundPacket;
  for (;;) {
    if (channel_gone(s)) return kStatusFail;
    if (s.ledger.doubts != w.doubts) return l2cap_note_doubt(s), kStatusFail;
    // Quiet is nothing heard at all: a camera's frames may queue behind other
    // traffic on the line.
    const Deadline quiet_end = std::max({w.began, s.ledger.last_activity, s.last_heard}) + quiet;
    const Deadline whole = whole_bound(s, w);
    const Deadline now = link_now(s);
    if (now >= whole) {
      note_wait_end(s, w, point, detail, std::chrono::duration_cast<milliseconds>(whole - w.began));
      ledger_lapse(s, w.number);
      return kStatusFail;
    }
    if (now >= quiet_end) {
      note_wait_end(s, w, point, detail, quiet);
      // Behind older debts, rows that came may have paid those instead of
      // this one: only the write-off time settles who owes what.
      if (w.behind) ledger_write_off_all(s);
      else ledger_lapse(s, w.number);
      return kStatusFail;
    }
    bool began = false;
    hci_read_packet_within(s, std::min(quiet_end, whole), whole, &began);
    if (channel_gone(s)) return kStatusFail;
    if (s.ledger.doubts != w.doubts) return l2cap_note_doubt(s), kStatusFail;
    debt = ledger_find(s, w.number);
    if (debt == nullptr && s.ledger.watched == w.number && s.ledger.watched_paid) return kStatusOk;
    if (debt == nullptr) return kStatusFail;
    if (debt->frames_paid != paid_before) return kStatusOk;
    if (!began && s.last_read_end != ReadEnd::deadline) {  // the port failed, or the user gave up
      note_wait_end(s, w, point, detail, quiet);
      ledger_lapse(s, w.number);
      return kStatusFail;
    }
  }
}
