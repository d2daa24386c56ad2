#include "channel_ledger.h"

#include <algorithm>

#include "acl.h"
#include "hci_inbound.h"
#include "wait_bounds.h"

namespace {
ChannelDebt& debt_at(HostState& s, std::size_t i) {
  return s.ledger.debts[(s.ledger.first + i) % kLedgerDepth];
}
const ChannelDebt& debt_at(const HostState& s, std::size_t i) {
  return s.ledger.debts[(s.ledger.first + i) % kLedgerDepth];
}

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
  const std::uint32_t each = d.frame_size == kRowBytes ? wait_bounds::kRowLineBytes : wait_bounds::kAnswerLineBytes;
  return each * static_cast<std::uint32_t>(d.frames_owed - d.frames_paid);
}

void keep_frame(HostState& s, const ChannelDebt& d) {
  const std::size_t held = std::min<std::size_t>(s.rx_channel_length, s.rx_channel_frame.size());
  for (std::size_t i = 0; i < held; ++i) frame_append_byte(s, s.rx_channel_frame[i]);
  if (d.frame_size != 0) return;
  s.key_answer_length = s.rx_channel_length;
  std::copy_n(s.rx_channel_frame.begin(), std::min(held, s.key_answer.size()), s.key_answer.begin());
}
}  // namespace

void ledger_write_off_all(HostState& s) {
  while (s.ledger.count > 0) settle_oldest(s);
}

std::uint32_t ledger_owe(HostState& s, std::uint16_t frames, std::uint16_t frame_size) {
  ChannelLedger& l = s.ledger;
  if (l.watched != 0) ledger_lapse(s, l.watched);  // one exchange at a time: an earlier one is over
  if (l.count == kLedgerDepth) return 0;
  ChannelDebt& d = debt_at(s, l.count);
  d = ChannelDebt{++l.last_number, frames, 0, frame_size, false};
  if (d.number == 0) d.number = ++l.last_number;  // 0 means none
  ++l.count;
  l.watched = d.number;
  l.watched_paid = false;
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

bool ledger_write_off_if_quiet(HostState& s) {
  if (s.ledger.count == 0 || link_now(s) - s.ledger.last_activity < wait_bounds::kDebtWriteOff) return false;
  ledger_write_off_all(s);
  return true;
}

void ledger_take_frame(HostState& s) {
  ChannelLedger& l = s.ledger;
  l.last_activity = link_now(s);
  while (l.count > 0) {
    ChannelDebt& d = l.debts[l.first];
    if (d.frame_size != 0 && s.rx_channel_length != d.frame_size) {
      // Not a row. Where a lapsed picture's rows are owed, the camera has
      // moved on past them; where the picture under way is, it is a stray
      // (a late answer whose debt was written off) and pays nothing.
      if (!d.lapsed) break;
      settle_oldest(s);
      continue;
    }
    ++d.frames_paid;
    if (d.number == l.watched) keep_frame(s, d);
    if (d.frames_paid == d.frames_owed) settle_oldest(s);
    return;
  }
  ++l.stray_frames;
}

DebtWait l2cap_debt_wait(HostState& s, std::uint32_t number) {
  DebtWait w;
  w.number = number;
  w.began = link_now(s);
  w.behind = ledger_owes_before(s, number);
  const auto quiet = w.behind ? wait_bounds::kDebtWriteOff : wait_bounds::kInboundPacket;
  w.whole = w.began + wait_bounds::exchange_bound(ledger_owed_line_bytes(s), quiet, s.line.baud);
  return w;
}

namespace {
// How a wait that ended without a frame is told.
void note_wait_end(HostState& s, const DebtWait& w, FailurePoint point, std::uint16_t detail,
                   std::chrono::milliseconds bound) {
  FailureReason reason;
  reason.point = point;
  reason.detail = detail;
  reason.read_end = static_cast<std::uint8_t>(s.last_read_end);
  if (s.last_read_end == ReadEnd::port_error) reason.os_error = s.last_port_error;
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
  ledger_write_off_all(s);  // nothing more can come on it
  return true;
}
}  // namespace

Status l2cap_collect(HostState& s, DebtWait& w, FailurePoint point, std::uint16_t detail) {
  using std::chrono::milliseconds;
  const ChannelDebt* debt = ledger_find(s, w.number);
  if (debt == nullptr) return kStatusFail;
  const std::uint16_t paid_before = debt->frames_paid;
  const milliseconds quiet = w.behind ? wait_bounds::kDebtWriteOff : wait_bounds::kInboundPacket;
  for (;;) {
    if (channel_gone(s)) return kStatusFail;
    const Deadline quiet_end = std::max(w.began, s.ledger.last_activity) + quiet;
    const Deadline now = link_now(s);
    if (now >= w.whole) {
      note_wait_end(s, w, point, detail, std::chrono::duration_cast<milliseconds>(w.whole - w.began));
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
    hci_read_packet_within(s, std::min(quiet_end, w.whole), w.whole, &began);
    debt = ledger_find(s, w.number);
    if (debt == nullptr && s.ledger.watched == w.number && s.ledger.watched_paid) return kStatusOk;
    if (debt == nullptr) return channel_gone(s), kStatusFail;  // written off with the channel
    if (debt->frames_paid != paid_before) return kStatusOk;
    if (!began && s.last_read_end != ReadEnd::deadline) {  // the port failed, or the user gave up
      note_wait_end(s, w, point, detail, quiet);
      ledger_lapse(s, w.number);
      return kStatusFail;
    }
  }
}
