#include "camera_commands.h"

#include <algorithm>

#include "acl.h"
#include "channel_ledger.h"
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

// Reads off what is waiting (late frames pay what they owe, link events are
// handled), lets a camera that has been quiet for the write-off time owe
// nothing any more, and sends nothing on a link or channel that went down.
// Then owes the command's frames and sends it.
Status begin_exchange(HostState& s, char letter, std::uint16_t frames, std::uint16_t frame_size, Exchange& x) {
  hci_drop_waiting_input(s);
  ledger_write_off_if_quiet(s);
  if (s.link_connected == 0 || s.channel_state != kChannelOpen) return note_link_gone(s);
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

// The frame that settled the exchange must end where the next packet
// begins: a byte lost from it or added to it shows there. Packets that
// follow at once are read, and no stream fault may have been seen since the
// command went out.
Status confirm_in_step(HostState& s, const Exchange& x) {
  hci_settle_line(s, wait_bounds::kConfirmLook, wait_bounds::kConfirmLook);
  if (s.stream_faults == x.faults_before) return kStatusOk;
  FailureReason reason;
  reason.point = FailurePoint::line_damaged;
  reason.detail = static_cast<std::uint16_t>(std::min<std::uint32_t>(s.stream_faults - x.faults_before, UINT16_MAX));
  note_failure(s, reason);
  return kStatusFail;
}

void note_picture_wait(HostState& s) {
  if (s.last_failure.point != FailurePoint::picture_row) return;
  s.last_failure.rows = kPictureRows;
  s.last_failure.l2cap_result = s.channel_refusal;
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
    return kStatusFail;
  }
  return confirm_in_step(s, x);
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
    whole = paid_in_full(s, x) && !failed(confirm_in_step(s, x));
  }
  if (view.picture != nullptr)
    convert_frame(s.frame_buffer.data(), view.picture->pixels.data(), kPictureWidth, kPictureHeight);
  if (view.repaint != nullptr) view.repaint(view.context);
  return whole ? kStatusOk : kStatusFail;
}
