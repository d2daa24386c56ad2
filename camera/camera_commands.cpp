#include "camera_commands.h"

#include "acl.h"
#include "hci_inbound.h"
#include "host_ops.h"
#include "serial_link.h"

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

Status camera_simple_command(HostState& s, char letter) {
  hci_drop_waiting_input(s);  // nothing stale may pass for the answer
  auto payload = static_cast<std::uint8_t>(letter);
  if (failed(host_send_command(s, &payload, 1))) return kStatusFail;
  Status answer = l2cap_wait_channel_frame(s);
  if (failed(answer)) {
    note_wait_failure(s, FailurePoint::channel_answer, 0, 0, payload);
    if (s.last_failure.point == FailurePoint::channel_answer) s.last_failure.l2cap_result = s.channel_refusal;
  }
  // "U" alone starts a whole picture, of which one frame is the answer; an
  // answer that did not come in time may still be coming. Either way the
  // rest is let pass before anything else is sent.
  if (letter == 'U' || failed(answer)) hci_wait_line_quiet(s);
  return answer;
}

Status capture_frame(HostState& s, CameraView& view) {
  hci_drop_waiting_input(s);  // rows of an earlier picture must not count in this one
  s.frame_length = 0;  // the old bytes stay until overwritten
  const std::uint8_t letter = 'U';
  int packets = 0;
  if (!failed(host_send_command(s, &letter, 1))) {
    // Only frames of channel data count; events and signalling on the way
    // are handled as they come. A camera that has gone quiet sends no more
    // rows: stop at the first expired wait, and let any late rows pass.
    while (packets < kFramePackets && !failed(l2cap_wait_channel_frame(s))) {
      ++packets;
      if (view.packet_done != nullptr) view.packet_done(view.context, packets, s.frame_length);
    }
    if (packets < kFramePackets) {
      note_wait_failure(s, FailurePoint::picture_row, 0, 0, static_cast<std::uint16_t>(packets + 1));
      if (s.last_failure.point == FailurePoint::picture_row) {
        s.last_failure.rows = kFramePackets;
        s.last_failure.l2cap_result = s.channel_refusal;
      }
      hci_wait_line_quiet(s);
    }
  }
  if (view.picture != nullptr)
    convert_frame(s.frame_buffer.data(), view.picture->pixels.data(), kPictureWidth, kPictureHeight);
  if (view.repaint != nullptr) view.repaint(view.context);
  const bool whole = packets == kFramePackets && static_cast<std::size_t>(s.frame_length) == s.frame_buffer.size();
  if (!whole && packets == kFramePackets) {
    FailureReason reason;
    reason.point = FailurePoint::picture_short;
    reason.detail = static_cast<std::uint16_t>(s.frame_length);
    note_failure(s, reason);
  }
  return whole ? kStatusOk : kStatusFail;
}
