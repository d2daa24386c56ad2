#include "camera_commands.h"

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
  if (!owner.owns() || s.channel_state != kChannelOpen) return kStatusFail;
  if (virtual_key == kVkUp) return capture_frame(s, view);
  return camera_simple_command(s, letter);
}

Status camera_simple_command(HostState& s, char letter) {
  auto payload = static_cast<std::uint8_t>(letter);
  host_send_command(s, &payload, 1);
  return process_inbound_packet(s);
}

Status capture_frame(HostState& s, CameraView& view) {
  s.frame_length = 0;  // the old bytes stay until overwritten
  const std::uint8_t letter = 'U';
  host_send_command(s, &letter, 1);
  for (int packet = 1; packet <= kFramePackets; ++packet) {
    Status result = process_inbound_packet(s);
    if (view.packet_done != nullptr) view.packet_done(view.context, packet, s.frame_length);
    // A camera that has gone quiet sends no more rows: stop here instead of
    // waiting out each remaining packet's deadline.
    if (failed(result) && link_went_quiet(s)) break;
  }
  if (view.picture != nullptr)
    convert_frame(s.frame_buffer.data(), view.picture->pixels.data(), kPictureWidth, kPictureHeight);
  if (view.repaint != nullptr) view.repaint(view.context);
  return static_cast<std::size_t>(s.frame_length) == s.frame_buffer.size() ? kStatusOk : kStatusFail;
}
