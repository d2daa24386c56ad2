#include "camera_commands.h"

#include <algorithm>

#include "acl.h"
#include "channel_ledger.h"
#include "hci_framing.h"
#include "hci_inbound.h"
#include "host_ops.h"
#include "serial_link.h"
#include "wait_bounds.h"

char camera_key_letter(std::uint32_t virtual_key) {
  switch (virtual_key) {
    case kVkLeft: return 'L';
    case kVkUp: return 'U';
    case kVkRight: return 'R';
    case kVkDown: return 'D';
    case kVkH: return 'H';
    case kVkK: return 'K';
    case kVkM: return 'M';
    case kVkU: return 'U';
    default: return 0;
  }
}

Status camera_key_down(HostState& s, CameraView& view, std::uint32_t virtual_key) {
  char letter = camera_key_letter(virtual_key);
  if (letter == 0) return kStatusOk;
  // A key never shares the link with a running operation, and without an
  // open channel there is nobody to answer: refuse rather than wait.
  LinkOwner owner(s, std::try_to_lock);
  if (!owner.owns()) return kStatusFail;  // the reason belongs to the operation that holds the link
  clear_failure(s);
  if (s.channel_state != kChannelOpen) {
    FailureReason reason;
    reason.point = FailurePoint::key_refused;
    reason.detail = static_cast<std::uint8_t>(letter);
    note_failure(s, reason);
    return kStatusFail;
  }
  if (virtual_key == kVkUp) return capture_frame(s, view);
  return camera_simple_command(s, letter);
}

namespace {
// One command on the channel and the frames it is owed.
struct Exchange {
  DebtWait wait;
  std::uint32_t faults_before = 0;
};

Status note_link_gone(HostState& s) {
  FailureReason reason;
  reason.point = s.link_connected == 0 ? FailurePoint::link_lost : FailurePoint::channel_closed;
  reason.detail = s.link_loss_reason;
  note_failure(s, reason);
  return kStatusFail;
}

bool link_gone(const HostState& s) { return s.link_connected == 0 || s.channel_state != kChannelOpen; }

// Signs of lost or added bytes since `before` fail what they concern, and
// the account, read out of step, is in doubt.
Status judge_line(HostState& s, std::uint32_t before, FailurePoint point) {
  if (s.stream_faults == before) return kStatusOk;
  ledger_doubt(s, LedgerDoubt::line_damaged);
  FailureReason reason;
  reason.point = point;
  reason.detail = static_cast<std::uint16_t>(std::min<std::uint32_t>(s.stream_faults - before, UINT16_MAX));
  note_failure(s, reason);
  return kStatusFail;
}

// An account in doubt (or a lapsed picture written off on evidence) is
// settled by quiet: the camera has sent nothing for the write-off time, so
// nothing it may still owe is on its way. A packet whose rest never came in
// that time is forgotten.
Status wait_for_quiet(HostState& s) {
  const Deadline began = link_now(s);
  const Deadline give_up = began + wait_bounds::kQuietBeforeCommand;
  for (;;) {
    if (ledger_settle_if_quiet(s)) {
      hci_drop_packet_under_way(s);
      return kStatusOk;
    }
    if (!ledger_needs_quiet(s)) return kStatusOk;
    const Deadline now = link_now(s);
    bool began_packet = false;
    if (now < give_up) {
      const auto left = wait_bounds::kDebtWriteOff - ledger_camera_quiet(s) + wait_bounds::kFirstLook;
      hci_read_packet_within(s, std::min(now + left, give_up), give_up, &began_packet);
    }
    if (link_now(s) >= give_up || (!began_packet && s.last_read_end != ReadEnd::deadline)) {
      FailureReason reason;
      reason.point = FailurePoint::camera_not_quiet;
      fill_read_end(s, reason);
      reason.bound_ms = static_cast<std::uint32_t>(wait_bounds::kQuietBeforeCommand.count());
      reason.waited_ms = static_cast<std::uint32_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(link_now(s) - began).count());
      note_failure(s, reason);
      return kStatusFail;
    }
  }
}

// Reads off what is waiting (late frames pay what they owe, link events are
// handled) and sends nothing on a link or channel that went down meanwhile.
// Signs of lost or added bytes seen there fail this exchange before anything
// is sent: what they did to the account is undone, and the next command
// waits for quiet. An account in doubt waits for quiet here. Then owes the
// command's frames and sends it.
Status begin_exchange(HostState& s, char letter, std::uint16_t frames, std::uint16_t frame_size, Exchange& x) {
  if (failed(hci_module_usable(s))) return kStatusFail;
  const std::uint32_t faults_before = s.stream_faults;
  hci_drop_waiting_input(s);
  if (link_gone(s)) return note_link_gone(s);
  if (failed(judge_line(s, faults_before, FailurePoint::damaged_before))) return kStatusFail;
  if (failed(wait_for_quiet(s))) return kStatusFail;
  if (failed(judge_line(s, faults_before, FailurePoint::damaged_before))) return kStatusFail;
  if (link_gone(s)) return note_link_gone(s);
  const std::uint32_t number = ledger_owe(s, frames, frame_size);
  if (number == 0) {
    FailureReason reason;
    reason.point = FailurePoint::camera_behind;
    reason.detail = static_cast<std::uint8_t>(letter);
    note_failure(s, reason);
    return kStatusFail;
  }
  x.faults_before = s.stream_faults;
  x.wait = l2cap_debt_wait(s, number);
  const auto payload = static_cast<std::uint8_t>(letter);
  if (failed(host_send_command(s, &payload, 1))) {
    ledger_lapse(s, number);  // part of it may have gone out: an answer may still come
    return kStatusFail;
  }
  return kStatusOk;
}

bool paid_in_full(const HostState& s, const Exchange& x) {
  return ledger_find(s, x.wait.number) == nullptr && s.ledger.watched == x.wait.number && s.ledger.watched_paid;
}

// How long to look for what follows the frame that settled the exchange: a
// picture's look also covers the gaps its camera left between rows.
std::chrono::microseconds confirm_look(const HostState& s, bool picture) {
  const std::chrono::microseconds look = wait_bounds::confirm_look(s.line.baud);
  if (!picture) return look;
  const std::chrono::microseconds gaps = s.ledger.watched_longest_gap * 3 / 2 + look;
  return std::min<std::chrono::microseconds>(gaps, wait_bounds::kConfirmLookCap);
}

// The frame that settled the exchange must end where the next packet
// begins: a byte lost from it or added to it shows there, and a row too
// many follows at the camera's pace. Packets that begin within the look of
// the one before are read whole, a few at most (bytes that open none are
// read on past), and no stream fault may have been seen since the command
// went out, nor the account fallen in doubt. Behind a picture written off on evidence, the exchange is trusted
// only once the camera has been quiet for the write-off time.
Status confirm_in_step(HostState& s, const Exchange& x, bool picture) {
  const auto look = confirm_look(s, picture);
  const Deadline give_up = link_now(s) + wait_bounds::kSettleLimit;
  for (int packets = 0; packets < wait_bounds::kConfirmPackets && link_now(s) < give_up;) {
    const Deadline by = std::min(link_now(s) + look, give_up);
    bool began = false;
    if (!failed(hci_take_packet(s, by, by + wait_bounds::kPacketRest, &began))) {
      hci_handle_packet(s);
      ++packets;
    } else if (!began || hci_packet_under_way(s)) {
      break;  // nothing came, or a packet stopped: judged below
    }  // a byte that opened no packet: read on
  }
  // A frame that began in the look is read whole, however many fragments it
  // comes in, within the bound of a packet. One that does not end leaves
  // what followed the settling frame unknown: bytes may have been lost from
  // it, or it may be a row too many.
  const Deadline by = link_now(s) + wait_bounds::kPacketRest;
  while (hci_packet_under_way(s) || l2cap_frame_under_way(s)) {
    bool began = false;
    if (link_now(s) < by) hci_read_packet_within(s, by, by, &began);
    if (began) continue;
    ledger_doubt(s, LedgerDoubt::unfinished);
    break;
  }
  if (failed(judge_line(s, x.faults_before, FailurePoint::line_damaged))) return kStatusFail;
  if (s.ledger.doubts != x.wait.doubts) return l2cap_note_doubt(s), kStatusFail;
  if (!s.ledger.settle_by_quiet) return kStatusOk;
  if (failed(wait_for_quiet(s))) return kStatusFail;
  if (failed(judge_line(s, x.faults_before, FailurePoint::line_damaged))) return kStatusFail;
  if (s.ledger.doubts != x.wait.doubts) return l2cap_note_doubt(s), kStatusFail;
  return kStatusOk;
}

void note_picture_wait(HostState& s) {
  if (s.last_failure.point != FailurePoint::picture_row) return;
  s.last_failure.rows = kPictureRows;
  s.last_failure.l2cap_result = s.channel_refusal;
}

// An exchange that ends without its frames: what its bytes showed counts
// against the account all the same. One that ends inside a packet that has
// stopped (its rest has not come for a packet's bound) may have lost its
// frames into a length that bytes added or lost made too long: the account
// is in doubt, so that the next command waits for quiet, and the packet,
// never finished, is dropped then.
void end_failed_exchange(HostState& s, const Exchange& x) {
  if (s.stream_faults != x.faults_before) ledger_doubt(s, LedgerDoubt::line_damaged);
  else if (hci_packet_stalled(s)) ledger_doubt(s, LedgerDoubt::unfinished);
}
}  // namespace

// A key owes one answer frame of any length; the U key a whole picture,
// which is read by count and dropped.
Status camera_simple_command(HostState& s, char letter) {
  const bool picture = letter == 'U';
  s.key_answer_length = 0;
  Exchange x;
  if (failed(begin_exchange(s, letter, picture ? kPictureRows : 1, picture ? kRowBytes : 0, x))) return kStatusFail;
  std::uint16_t frames = 0;
  const FailurePoint point = picture ? FailurePoint::picture_row : FailurePoint::channel_answer;
  while (ledger_find(s, x.wait.number) != nullptr) {
    const std::uint16_t detail = picture ? static_cast<std::uint16_t>(frames + 1) : static_cast<std::uint8_t>(letter);
    if (failed(l2cap_collect(s, x.wait, point, detail))) break;
    ++frames;
  }
  if (!paid_in_full(s, x)) {
    if (s.last_failure.point == FailurePoint::channel_answer) s.last_failure.l2cap_result = s.channel_refusal;
    note_picture_wait(s);
    end_failed_exchange(s, x);
    return kStatusFail;
  }
  return confirm_in_step(s, x, picture);
}

Status capture_frame(HostState& s, CameraView& view) {
  Exchange x;
  int rows = 0;
  bool whole = false;
  s.frame_length = 0;  // the old bytes stay until overwritten
  if (!failed(begin_exchange(s, 'U', kPictureRows, kRowBytes, x))) {
    // Only the rows that pay this picture's own "U" are kept; events,
    // signalling and late frames of earlier exchanges are handled as they come.
    while (ledger_find(s, x.wait.number) != nullptr &&
           !failed(l2cap_collect(s, x.wait, FailurePoint::picture_row, static_cast<std::uint16_t>(rows + 1)))) {
      ++rows;
      if (view.packet_done != nullptr) view.packet_done(view.context, rows, s.frame_length);
    }
    note_picture_wait(s);
    whole = paid_in_full(s, x) && !failed(confirm_in_step(s, x, true));
    if (!whole) end_failed_exchange(s, x);
  }
  if (view.picture != nullptr)
    convert_frame(s.frame_buffer.data(), view.picture->pixels.data(), kPictureWidth, kPictureHeight);
  if (view.repaint != nullptr) view.repaint(view.context);
  return whole ? kStatusOk : kStatusFail;
}
