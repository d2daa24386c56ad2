#pragma once
// Steering the remote camera: eight keys, seven one-letter commands, and the
// 72-packet picture behind the Up key.
#include <cstdint>

#include "channel_ledger.h"  // kPictureRows, kRowBytes
#include "frame_convert.h"
#include "host_state.h"


// Virtual-key codes of the key table.
inline constexpr std::uint32_t kVkLeft = 0x25;
inline constexpr std::uint32_t kVkUp = 0x26;
inline constexpr std::uint32_t kVkRight = 0x27;
inline constexpr std::uint32_t kVkDown = 0x28;
inline constexpr std::uint32_t kVkH = 0x48;
inline constexpr std::uint32_t kVkK = 0x4B;
inline constexpr std::uint32_t kVkM = 0x4D;
inline constexpr std::uint32_t kVkU = 0x55;

// Where a capture lands and how the shell hears of it; the shell repaints
// after a capture, and a terminal may show progress per packet.
struct CameraView {
  Picture* picture = nullptr;
  void (*repaint)(void* context) = nullptr;
  void (*packet_done)(void* context, int packets, int frame_length) = nullptr;
  void* context = nullptr;
};

// The letter a key sends, or 0 for a key outside the table. Up sends "U"
// and captures; the U key sends "U" alone.
char camera_key_letter(std::uint32_t virtual_key);

// Handles one key-down. Refused (-1, nothing sent) while a button operation
// owns the link or while no channel is open; a key outside the table does
// nothing. Otherwise the result is that of the command or the capture.
Status camera_key_down(HostState& s, CameraView& view, std::uint32_t virtual_key);

// Sends the letter and waits for what it is owed (l2cap/channel_ledger.h):
// one answer frame, kept in key_answer (and appended to frame_buffer); for
// "U" a whole picture, read and dropped. 0 when it came, on a line that
// stayed in step. Nothing is sent on a link or channel that went down.
Status camera_simple_command(HostState& s, char letter);

// Sends "U" and collects the 72 rows that answer it into frame_buffer,
// converts whatever arrived and repaints. 0 when all 72 came, each a
// 192-byte frame, on a line that stayed in step.
Status capture_frame(HostState& s, CameraView& view);
