#pragma once
// Why the last operation failed, kept beside its status byte: which command
// or wait, what the module or the peer answered, which bound expired and how
// long the host waited, the OS error. Fixed size and filled without
// allocation where the failure is judged; the shells turn it into words
// (failure_text, link/failure_text.h). It never changes a status.
#include <cstdint>

#include "line_settings.h"

// Where the failure was judged.
enum class FailurePoint : std::uint8_t {
  none,
  port_open,            // detail: COMn's n, or kPortNamedOtherwise; os_error
  port_write,           // a byte did not go out: os_error, or the write bound expired (os_error 0)
  command,              // opcode: an answer with a bad status or length, or no answer in time
  connection_complete,  // opcode Create_Connection: the page's outcome, or no outcome in time
  inquiry_empty,        // the collection ended with no device (the status stays 0)
  channel_answer,       // detail: the key's letter; no frame of channel data in time
  picture_row,          // detail: the row that did not come (from 1); rows: rows expected
  key_refused,          // a key with no channel open
  link_lost,            // detail: the Reason of the Disconnection Complete
  channel_closed,       // the camera closed the channel
  line_damaged,         // detail: stream faults seen; bytes were lost or added on the line
  camera_behind,        // detail: the key's letter; the camera owes kLedgerDepth exchanges already
  out_of_step,          // detail: why the account fell in doubt (LedgerDoubt, l2cap/channel_ledger.h)
  damaged_before,       // detail: stream faults seen before the command went out; nothing was sent
  camera_not_quiet,     // bound_ms: the camera did not go quiet so that a command could go out; nothing was sent
  no_credit,            // opcode: the module granted no command credit in time; the command was not sent
  module_failed,        // hci_status: the module's hardware error code; the step was not begun
  module_silent,        // opcode HCI_Reset: nothing at all came back; bound_ms, the line's speed and flow control
  pairing,              // detail: what was tried (PairingFailure); hci_status: the status that ended it
  channel_refused,      // l2cap_result: the camera's final answer to the host's Connection Request
  channel_unanswered,   // bound_ms: no answer to the host's Connection Request, or still pending at the end
};

// What pairing tried when it failed (FailurePoint::pairing).
enum class PairingFailure : std::uint8_t {
  pin_refused,    // the PIN sent was not the device's
  no_pin,         // the device asked for a PIN and none was given
  key_refused,    // the stored link key was refused: it has been forgotten
  other_method,   // the device asked for Secure Simple Pairing, which the host does not offer
  not_paired,     // the device refused to pair, or pairing failed before a PIN was asked
};

// Why the account of what the camera owes fell in doubt (l2cap/channel_ledger.h).
enum class LedgerDoubt : std::uint8_t {
  none,
  line_damaged,  // bytes were read out of step
  surplus_row,   // a row came that no picture owed
  stray_frame,   // a frame that is no row where an earlier key's answer was owed
  channel_gone,  // the channel or the link went while frames were owed
  unfinished,    // a packet began after the frame that settled an exchange, and did not end
};

// port_open's detail for a port named by a device path or a TCP address.
inline constexpr std::uint16_t kPortNamedOtherwise = 0xFFFF;

// How a wait ended, as ReadEnd (host_state.h) says; `answered` when a packet
// came and was judged instead.
struct FailureReason {
  FailurePoint point = FailurePoint::none;
  bool answered = false;        // an event came (event, hci_status, length are what it said)
  std::uint8_t read_end = 0;    // a ReadEnd value when not answered
  std::uint16_t opcode = 0;     // the command concerned
  std::uint8_t event = 0;       // the event seen, or the one awaited
  std::uint8_t hci_status = 0;  // the status it carried
  std::uint8_t length = 0;      // its parameter length
  std::uint16_t detail = 0;     // see FailurePoint
  std::uint16_t rows = 0;
  std::uint16_t l2cap_result = 0;  // the peer's refusal of the channel, when a channel wait failed after one
  std::uint32_t bound_ms = 0;   // the wait's bound
  std::uint32_t waited_ms = 0;  // time from the start of the wait to the failure
  int os_error = 0;             // errno where the OS gave one
  // The line in use, for a failure that may come of a wrong speed.
  LineSettings line;
};
