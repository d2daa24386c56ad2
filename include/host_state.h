#pragma once
// The one instance of host-side protocol state, shared by the link, HCI,
// L2CAP, host and camera layers. Every field starts at zero; the program
// holds one, and each test makes a fresh one.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "device_address.h"
#include "failure_reason.h"
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
};

inline constexpr std::size_t kFrameBufferSize = 96 * 72 * 2;  // one UYVY picture
inline constexpr std::size_t kMaxFoundDevices = 4;
// One signalling frame held whole before it is read: the smallest signalling
// MTU a BR/EDR device may use is 48; anything longer is refused unread.
inline constexpr std::size_t kSignalFrameSize = 64;

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
  std::atomic<bool> cancel_requested{false};  // ends every wait at once (window closing, Ctrl-C)

  // Start-up (hci/): the module's own address, wire order.
  DeviceAddress local_address{};

  // Discovery (hci/): display order, filled from entry 0.
  std::array<DeviceAddress, kMaxFoundDevices> found_devices{};
  std::uint8_t found_count = 0;

  // Link events (hci/).
  DeviceAddress remote_address{};  // wire order
  std::uint8_t link_connected = 0;
  std::uint8_t handle_low = 0;
  std::uint8_t handle_high = 0;  // the second handle byte exactly as received

  // ACL and the data path (l2cap/).
  std::uint8_t pb_flag = 0;
  std::uint8_t bc_flag = 0;
  std::array<std::uint8_t, kFrameBufferSize> frame_buffer{};
  std::int16_t frame_length = 0;

  // An L2CAP frame that arrives in several ACL fragments (l2cap/): its
  // channel, and how many of its bytes are still to come in continuations.
  std::uint16_t rx_frame_cid = 0;
  std::uint16_t rx_frame_missing = 0;
  std::array<std::uint8_t, kSignalFrameSize> signal_frame{};
  std::uint16_t signal_frame_length = 0;  // may pass the buffer: then the frame is refused

  // What the reader has taken in, so that a wait counts only what it waits
  // for: whole frames of channel data, and the peer's answers to the
  // signalling requests the host sent. Both only ever count up (and wrap).
  std::uint32_t channel_frames = 0;
  std::uint32_t signal_answers = 0;

  // Signalling and the channel (l2cap/).
  std::uint8_t signal_id = 0;
  std::uint16_t remote_psm = 0;
  std::uint16_t channel_id = 0;
  std::uint8_t channel_state = 0;  // 0 closed, 4 open
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

  // One owner of the link at a time: a button operation takes it and waits
  // for it; a key command only tries (host/link_owner.h).
  std::mutex link_owner;
};

inline void report_progress(const HostState& s, ProgressEvent event, int count, const DeviceAddress& address) {
  if (s.progress.routine != nullptr) s.progress.routine(s.progress.context, event, count, address);
}

inline constexpr std::uint8_t kChannelClosed = 0;
inline constexpr std::uint8_t kChannelOpen = 4;
