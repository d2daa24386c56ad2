#pragma once
// What the virtual module is asked to be: which cameras are in range, how
// fast its line and its radio run, and which faults it plays for tests.
#include <cstdint>
#include <string>
#include <vector>

#include "device_address.h"
#include "line_settings.h"
#include "pairing.h"

// Random faults drawn from a seed: the kinds, one bit each.
enum ChaosKind : std::uint32_t {
  kChaosPause = 1u << 0,        // the camera stops mid-picture, or answers a key late
  kChaosLostRow = 1u << 1,      // picture rows never sent
  kChaosPagePicture = 1u << 2,  // a third device pages the host between rows
  kChaosPageConnect = 1u << 3,  // ... or while the host's Create_Connection is under way
  kChaosStray = 1u << 4,        // another link's packet, a reserved CID's frame, an Echo or Information Request
  kChaosFragments = 1u << 5,    // one frame cut into ACL fragments
  kChaosDropByte = 1u << 6,     // a byte of one packet never reaches the host
  kChaosAddByte = 1u << 7,      // a byte the camera never sent appears inside one packet
  kChaosChannelStray = 1u << 8,  // an unasked frame on the camera's channel, or a row on another channel, among rows
  kChaosTwice = 1u << 9,         // a row sent twice, or one row too many after the last
  kChaosGaps = 1u << 10,         // a steady gap between a picture's rows
  kChaosPauseInside = 1u << 11,  // the camera stops inside a row's packet
  kChaosReorder = 1u << 12,      // a key's answer and a picture pass one another
  kChaosLinkLoss = 1u << 13,     // the link goes; the camera sends the rest on the next one
  kChaosSubstitute = 1u << 14,   // a byte of one packet changed: no host can tell (not in "all")
};
inline constexpr std::uint32_t kChaosAllKinds = (1u << 14) - 1;

// Each fault kind at each camera answer (a picture, a key's answer) and each
// Create_Connection is one chance of `rate`; the same seed and the same host
// bytes give the same faults.
struct SimChaos {
  bool on = false;
  std::uint64_t seed = 0;
  double rate = 0.05;
  std::uint32_t kinds = kChaosAllKinds;
};

// What a camera that asks for security does. The cameras pair the legacy way
// (Secure Simple Pairing off), with a PIN; see sim/README.md, Pairing.
enum class SimAuthFailure : std::uint8_t {
  refuse_channel,  // the held Connection Request is refused: result 0x0003, security block
  disconnect,      // the camera ends the link, the failure's status as the reason
};
enum class SimSsp : std::uint8_t {
  off,           // legacy pairing: PIN Code Request
  io_capability, // IO Capability Request instead
  confirmation,  // User Confirmation Request instead (a module that answered the IO capabilities itself)
};
struct SimPairing {
  std::string pin;                 // 1 to 16 bytes: the camera authenticates every link; empty: never
  bool on_connect = false;         // its module requires authentication (Write_Authentication_Enable 1): inside Create_Connection
  SimAuthFailure on_failure = SimAuthFailure::refuse_channel;
  bool refuse_wrong_key = false;   // a key it does not hold fails (0x05, or 0x06 without a key) instead of pairing again
  bool paired = false;             // it starts with the key its PIN makes for the module's address
  SimSsp ssp = SimSsp::off;        // it tries Secure Simple Pairing where it would ask for a PIN
};

// How a camera answers the host's L2CAP Connection Request.
enum class SimChannelAnswer : std::uint8_t {
  success,               // at once
  pending_success,       // pending (authorization), then success after channel_pending_ms
  pending_security,      // pending, then refused: 0x0003 security block
  pending_no_resources,  // pending, then refused: 0x0004 no resources
  pending_forever,       // pending, and nothing after
  psm_not_supported,     // refused at once: 0x0002
};

// Faults on request. Every field's default is "no fault".
struct SimFaults {
  bool silent = false;                // reads every byte, answers nothing
  std::uint16_t failing_opcode = 0;   // this command is answered with failing_status (0: none)
  std::uint8_t failing_status = 0x0C; // Command Disallowed
  std::vector<std::uint8_t> noise;    // bytes put on the line before every event
  std::vector<std::uint8_t> picture_noise;  // bytes put on the line before one picture row
  int picture_noise_row = -1;         // that row (-1: none)
  int dropped_picture_row = -1;       // this row of every picture is never sent
  int picture_rows = 72;              // a short picture sends only the first rows
  bool channel_refused = false;       // L2CAP Connection Response with result 0x0004
  bool camera_unreachable = false;    // nobody answers a page: Connection Complete 0x04
  bool camera_mute = false;           // the link comes up, the camera answers nothing on it
  int vanish_after_picture_rows = -1; // the pty closes after this many rows of a picture
  // Before this row of a picture (0..71), a device that is no camera pages the host.
  int intruder_page_row = -1;
  // Camera -> host L2CAP frames cut into ACL fragments of at most this many
  // data bytes (0: whole frames); 27 is one DH1 packet.
  std::uint16_t acl_fragment_size = 0;
  int stray_acl_row = -1;             // before this row: one ACL packet for another handle
  int low_cid_row = -1;               // before this row: one frame on CID 0x0003 of the camera's link
  int echo_request_row = -1;          // before this row: the camera sends an L2CAP Echo Request
  int info_request_row = -1;          // before this row: the camera sends an Information Request
  int pause_row = -1;                 // before this row the camera stops sending ...
  int pause_ms = 0;                   // ... for this long, then sends the rest of the picture
  // Still sending an earlier run's picture rows from start() until HCI_Reset arrives.
  bool stale_stream = false;
  SimChaos chaos;
  // Security and the channel's outcome (defaults: none asked, the channel taken at once).
  SimPairing pairing;
  SimChannelAnswer channel_answer = SimChannelAnswer::success;
  int channel_pending_ms = 500;       // from the pending answer to the final one
};

// Which inquiry result events the module sends (its inquiry mode).
enum class SimInquiryForm : std::uint8_t {
  standard,  // Inquiry Result 0x02
  rssi,      // Inquiry Result with RSSI 0x22
  extended,  // Extended Inquiry Result 0x2F, with the camera's name; one response an event
};

// What a camera's module answers an inquiry with.
struct SimCameraInquiry {
  std::uint8_t page_scan_repetition_mode = 0x01;  // R1
  std::uint16_t clock_offset = 0x0000;            // bits 14-0; bit 15 is reserved in a result
  std::int8_t rssi = -60;                         // dBm, in the RSSI and extended forms
  std::string name = "camera";                    // in the extended form
};

struct SimOptions {
  std::vector<DeviceAddress> cameras;  // display order (MSB first); empty -> one default camera
  bool paced = true;                   // at line.baud, 10 bits a byte, on the module->host direction
  // The module's line: its pace, and, when fixed_line is set, the only
  // settings of the host's side of the pty it hears. While the host's speed
  // or flow control differ it answers nothing, as a module fixed at its
  // speed hears only garbage.
  LineSettings line;
  bool fixed_line = false;
  // Served on 127.0.0.1:tcp_port instead of a pty (0: any free port, see
  // VirtualModule::tcp_port()).
  bool tcp = false;
  std::uint16_t tcp_port = 0;
  double inquiry_time_scale = 1.0;     // multiplies Inquiry_Length x 1.28 s
  double page_timeout_scale = 1.0;     // multiplies the 5.12 s page timeout
  double pairing_timeout_scale = 1.0;  // multiplies the 30 s a camera waits for the host's pairing answers
  // By camera index; a camera without an entry takes the defaults.
  std::vector<SimCameraInquiry> camera_inquiry;
  SimInquiryForm inquiry_form = SimInquiryForm::standard;
  int responses_per_event = 1;         // standard and RSSI forms: up to this many cameras in one event
  DeviceAddress module_address{0x5E, 0x00, 0x00, 0x00, 0x00, 0x01};  // display order
  bool peer_opens_channel = true;      // after an accepted page the camera opens the channel itself
  SimFaults faults;
};

inline constexpr DeviceAddress kDefaultCameraAddress{0xCA, 0xFE, 0x00, 0x00, 0x00, 0x01};

// Twelve hex digits, most significant first, with or without ':' or '-'
// between the bytes. False (address untouched) for anything else.
bool parse_device_address(const std::string& text, DeviceAddress& display_order);
