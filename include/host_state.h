#pragma once
// The one instance of host-side protocol state, shared by the link, HCI,
// L2CAP, host and camera layers. Every field starts at zero (the line at its
// default settings); the program holds one, and each test makes a fresh one.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "device_address.h"
#include "pairing.h"
#include "failure_reason.h"
#include "line_settings.h"
#include "status.h"

struct SerialBackend;  // link/serial_link.h: the platform port behind the four link operations
struct HostState;

// The native port handle (a POSIX file descriptor, a Win32 HANDLE). `held`
// tells whether a port is held: 0 is a valid descriptor.
struct PortHandle {
  bool held = false;
  std::intptr_t native = 0;
};

// Why the last serial read ended.
enum class ReadEnd : std::uint8_t {
  byte,        // a byte came
  deadline,    // the current wait's deadline passed first
  cancelled,   // a cancel request (or the console keystroke on Win32)
  port_error,  // no port held, or the port reported an error or end of file
  module_failed,  // the module reported a hardware error: nothing it sends is trusted until it is reset
};

inline constexpr std::size_t kFrameBufferSize = 96 * 72 * 2;  // one UYVY picture
inline constexpr std::size_t kMaxFoundDevices = 4;
// One signalling frame held whole before it is read: the smallest signalling
// MTU a BR/EDR device may use is 48; anything longer is refused unread.
inline constexpr std::size_t kSignalFrameSize = 64;
// A key's answer as kept for the shell (a longer answer keeps its start).
inline constexpr std::size_t kKeyAnswerSize = 16;
// Exchanges whose frames the camera may owe at once (l2cap/channel_ledger.h).
inline constexpr std::size_t kLedgerDepth = 8;
// One inbound packet held whole before it is handled: the ACL header and the
// longest ACL data a BR/EDR module sends (1,021 bytes); an event (2 + 255)
// fits too. A longer ACL packet is read whole all the same, its excess
// counted and not kept.
inline constexpr std::size_t kInboundPacketSize = 4 + 1021;

// What the camera owes for one command sent on the channel: a key owes one
// answer frame, a picture 72 rows. Frames pay the oldest debt first.
struct ChannelDebt {
  std::uint32_t number = 0;      // the command's number on the channel, from 1
  std::uint16_t frames_owed = 0;
  std::uint16_t frames_paid = 0;
  std::uint16_t frame_size = 0;  // only a frame of exactly this length pays (0: any frame)
  // Its exchange ended without it: late frames still pay it, and are dropped.
  bool lapsed = false;
  // A key sent while a picture's rows were still owed: a frame of a row's
  // length that reaches it is a row too many, not its answer.
  bool behind_rows = false;
  // Sent while a key's answer was owed: one of its frames may have paid that
  // key, if the camera answered out of order.
  bool behind_key = false;
};

// The account the host keeps of the channel, first in, first out: the camera's
// frames carry no numbers, so whose a frame is follows from the order alone.
struct ChannelLedger {
  std::array<ChannelDebt, kLedgerDepth> debts{};
  std::uint8_t first = 0;  // ring: the oldest debt
  std::uint8_t count = 0;
  std::uint32_t last_number = 0;
  // The debt of the exchange under way (0: none): its frames are kept.
  std::uint32_t watched = 0;
  bool watched_paid = false;  // it was paid in full
  // The camera's last sign of life: its last frame, or the last command it
  // was sent, whichever came later. Measures the quiet that writes debts off.
  std::chrono::steady_clock::time_point last_activity{};
  // The rows of the watched picture come with gaps between them: the longest
  // so far, from the end of one row to the start of the next, bounds how long
  // the host looks for a row too many after the last.
  std::chrono::steady_clock::time_point watched_last_row{};
  std::chrono::milliseconds watched_longest_gap{};
  // The account may be wrong: bytes were read out of step, a row came that
  // nobody owed, or a frame came that an earlier key may have been paid with.
  // Everything owed was written off; the next command waits until the camera
  // has been quiet for the write-off time, so that nothing still on its way
  // is taken for the answer. `doubts` counts these, so that an exchange can
  // tell one came while it was under way.
  bool in_doubt = false;
  std::uint32_t doubts = 0;
  LedgerDoubt last_doubt = LedgerDoubt::none;
  // A lapsed picture was written off because a frame that is no row came
  // where a key's answer was owed behind it: its rows may yet come, so what
  // was paid after it is trusted only once the camera has been quiet for the
  // write-off time.
  bool settle_by_quiet = false;
  std::uint32_t frames_written_off = 0;
  std::uint32_t stray_frames = 0;    // whole frames that paid nothing
  std::uint32_t surplus_rows = 0;    // rows nobody owed
  std::uint32_t foreign_frames = 0;  // frames on a channel the host does not have
};

// The inbound packet under way, read whole before anything in it is judged.
// A wait that ends inside it leaves it here, and the next read goes on with
// it, so a packet cut by a deadline stays one packet.
struct InboundPacket {
  std::uint8_t indicator = 0;  // 0: none under way
  std::uint32_t have = 0;      // bytes after the indicator read so far (past the buffer: counted, not kept)
  // Its rest did not come within a packet's bound (as opposed to a wait of
  // its exchange's ending while it came): its length may be false.
  bool stalled = false;
  std::chrono::steady_clock::time_point began_at{};  // when its indicator was read
  std::array<std::uint8_t, kInboundPacketSize> bytes{};
};

// Upcall from the HCI reader into the layer above it (set by l2cap_attach),
// so that hci/ never names a routine of l2cap/.
using LayerRoutine = Status (*)(HostState&);

// Progress of a long wait, for a shell that shows it (the driver on stderr).
// Optional: the layers call it only when set, from inside the wait, so it
// must return quickly and never use the link.
//   device_found: an Inquiry Result was stored; count entries so far,
//                 address the new entry (display order).
//   paging:       Create_Connection was accepted (Command Status 0x00) and
//                 the page to address (display order) is under way.
enum class ProgressEvent : std::uint8_t { device_found, paging };
struct ProgressHook {
  void (*routine)(void* context, ProgressEvent event, int count, const DeviceAddress& address) = nullptr;
  void* context = nullptr;
};

struct HostState {
  // Link (link/): the injected backend and the held port.
  SerialBackend* serial = nullptr;
  PortHandle port_handle;
  std::chrono::steady_clock::time_point read_deadline{};  // the current wait's deadline
  std::chrono::milliseconds wait_bound{};                 // and the bound it was started with
  ReadEnd last_read_end = ReadEnd::byte;
  int last_port_error = 0;  // errno of the last failed read or write (0: none given)
  // Every byte read from the port, and when the last one was: what a wait
  // heard, whatever it was.
  std::uint64_t bytes_heard = 0;
  std::chrono::steady_clock::time_point last_heard{};
  std::atomic<bool> cancel_requested{false};  // ends every wait at once (window closing, Ctrl-C)
  // The line the port was opened with (link/): every line time is taken at
  // its speed, and a failure can name it.
  LineSettings line;

  // Start-up (hci/): the module's own address, wire order.
  DeviceAddress local_address{};
  // Commands the module takes now (Num_HCI_Command_Packets of its last
  // Command Complete or Command Status): 0 holds the next command back.
  std::uint8_t command_credits = 1;
  // The module reported a hardware error (event 0x10) with this code: every
  // wait ends, and every step fails, until the port is opened again.
  bool module_failed = false;
  std::uint8_t module_error_code = 0;

  // Discovery (hci/): display order, filled from entry 0.
  std::array<DeviceAddress, kMaxFoundDevices> found_devices{};
  std::uint8_t found_count = 0;
  std::uint8_t inquiry_status = 0;  // of the last Inquiry Complete
  // How to page each device the last inquiry found, as it reported it.
  struct PageParams {
    DeviceAddress address{};  // display order
    std::uint8_t scan_repetition_mode = 0;
    std::uint16_t clock_offset = 0;  // bits 0 to 14, as reported
  };
  std::array<PageParams, kMaxFoundDevices> inquiry_pages{};
  std::uint8_t inquiry_page_count = 0;

  // Link events (hci/).
  DeviceAddress remote_address{};  // wire order
  std::uint8_t link_connected = 0;
  std::uint8_t handle_low = 0;
  std::uint8_t handle_high = 0;  // the second handle byte exactly as received
  std::uint8_t link_loss_reason = 0;  // the Reason of the Disconnection Complete that took the link down
  // A page of the host's own is under way (Create_Connection accepted, no
  // outcome yet): it alone may bring a link up, and nobody may page the host.
  bool page_under_way = false;
  // The host accepted a Connection Request from remote_address: its
  // Connection Complete brings the link up.
  bool accept_pending = false;

  // ACL and the data path (l2cap/).
  std::uint8_t pb_flag = 0;
  std::uint8_t bc_flag = 0;
  std::array<std::uint8_t, kFrameBufferSize> frame_buffer{};
  std::int16_t frame_length = 0;
  // The frame of channel data under way, held until it is whole and judged.
  std::array<std::uint8_t, kFrameBufferSize> rx_channel_frame{};
  std::uint16_t rx_channel_length = 0;  // may pass the buffer: the rest is not kept
  ChannelLedger ledger;
  std::array<std::uint8_t, kKeyAnswerSize> key_answer{};
  std::uint16_t key_answer_length = 0;  // the whole answer's length

  // The packet the reader is taking in (hci/).
  InboundPacket rx_packet;

  // An L2CAP frame that arrives in several ACL fragments (l2cap/): its
  // channel, when its first packet began, and how many of its bytes are
  // still to come in continuations.
  std::uint16_t rx_frame_cid = 0;
  std::chrono::steady_clock::time_point rx_frame_began_at{};
  std::uint16_t rx_frame_missing = 0;
  std::array<std::uint8_t, kSignalFrameSize> signal_frame{};
  std::uint16_t signal_frame_length = 0;  // may pass the buffer: then the frame is refused

  // What the reader has taken in, so that a wait counts only what it waits
  // for: whole frames of channel data, and the peer's answers to the
  // signalling requests the host sent. Both only ever count up (and wrap).
  std::uint32_t channel_frames = 0;
  std::uint32_t signal_answers = 0;
  // Signs that the line lost or gained bytes: a byte that opens no packet,
  // a frame cut short by the next, a packet longer than its own frame, an
  // event of the wrong size, an ACL length no module sends. Only counts up;
  // an exchange during which it moved, or before whose command it moved, is
  // not trusted.
  std::uint32_t stream_faults = 0;

  // Signalling and the channel (l2cap/).
  std::uint8_t signal_id = 0;
  std::uint16_t remote_psm = 0;
  std::uint16_t channel_id = 0;
  // The camera's own end of the channel, from its Connection Response (0:
  // none given): channel data counts on channel_id, on the host's CID and here.
  std::uint16_t peer_channel_id = 0;
  std::uint8_t channel_state = 0;  // 0 closed, 4 open
  // The host's own Connection Request is out and no final answer has come;
  // a "pending" answer came meanwhile. The channel opens only on success.
  bool channel_opening = false;
  bool channel_pending = false;
  // The result of a Connection Response that refused the host's channel (0:
  // none since the request): not judged, but the likely reason nothing answers.
  std::uint16_t channel_refusal = 0;

  // Upcalls set by l2cap_attach().
  LayerRoutine acl_inbound = nullptr;     // the rest of an ACL packet after its indicator
  LayerRoutine link_went_down = nullptr;  // the channel closes with the link

  // Why the current operation failed: the first failure judged since it
  // began (later ones follow from it). Cleared as each operation starts.
  FailureReason last_failure;

  // Set by a shell that shows progress; see report_progress().
  ProgressHook progress;
  // Set by a shell that keeps link keys and asks for PINs (include/pairing.h).
  PairingHooks pairing;
  // What pairing the host tried with the device it connects to (hci/), so
  // that a failure can say what was refused.
  struct PairingTried {
    DeviceAddress address{};  // display order, of the last request
    bool key_given = false;     // a stored link key was offered
    bool key_refused = false;   // ... and the device asked for a PIN after it
    bool pin_given = false;     // a PIN was sent
    bool pin_withheld = false;  // none could be had: the module was told so
    bool other_method = false;  // Secure Simple Pairing was asked for, and refused
    bool paired = false;        // a new key came
    std::uint8_t auth_status = 0;  // of the last Authentication Complete
  };
  PairingTried pairing_tried;
  // Time spent asking the user for a PIN, which no wait counts against its
  // bound: it only grows.
  std::chrono::nanoseconds waited_for_user{};

  // One owner of the link at a time: a button operation takes it and waits
  // for it; a key command only tries (host/link_owner.h).
  std::mutex link_owner;
};

inline void report_progress(const HostState& s, ProgressEvent event, int count, const DeviceAddress& address) {
  if (s.progress.routine != nullptr) s.progress.routine(s.progress.context, event, count, address);
}

inline constexpr std::uint8_t kChannelClosed = 0;
inline constexpr std::uint8_t kChannelOpen = 4;
