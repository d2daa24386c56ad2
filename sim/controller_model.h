#pragma once
// The virtual Bluetooth controller and the cameras in its range, without any
// I/O: bytes from the host go in one at a time, bytes for the host come out
// of a queue, and timed events (inquiry end, page timeout) are released by
// advance(). The pty and the line pacing live in virtual_module.cpp, so this
// part can be driven byte-exactly by a test.
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "chaos.h"
#include "sim_options.h"
#include "virtual_camera.h"

using SimClock = std::chrono::steady_clock;

// One command the host sent, as the controller parsed it.
struct ReceivedCommand {
  std::uint16_t opcode = 0;
  std::vector<std::uint8_t> parameters;
};

// One L2CAP signalling command the host sent on CID 0x0001.
struct SignalCommand {
  std::uint8_t code = 0;
  std::uint8_t id = 0;
  std::vector<std::uint8_t> data;  // as long as its Length field says (cut at the frame's end)
};

// The line stops for `duration` once `at` bytes have gone out in all.
struct PauseMark {
  std::uint64_t at = 0;
  SimClock::duration duration{};
};

struct SimCamera {
  DeviceAddress address{};  // display order
  bool is_camera = true;    // false: the intruder, who takes a link and ignores its data
  CameraScene scene;
  // The baseband link to the module.
  bool linked = false;
  bool paging_host = false;  // a Connection Request of ours awaits the host's answer
  std::uint16_t handle = 0;
  // The one L2CAP channel.
  bool channel_open = false;
  std::uint16_t own_cid = 0;
  std::uint16_t host_cid = 0;  // where our data goes
  std::uint8_t next_signal_id = 1;
  // Frames the camera still had to send when its link went (chaos): sent on
  // its channel as soon as one is open again.
  std::vector<std::vector<std::uint8_t>> carried;
  // Security (SimPairing). The key outlives links and HCI_Reset: the camera keeps it.
  std::optional<LinkKey> key;    // the one it holds for the module's address
  bool authenticated = false;    // this link
  enum class Asked : std::uint8_t { nothing, link_key, pin, io_capability, confirmation };
  Asked asked = Asked::nothing;  // the request the host's module awaits an answer to
  bool pairing_for_connect = false;  // the page waits for it: Connection Complete comes after
  bool opens_after_pairing = false;  // its own page: it opens the channel once authenticated
  // The host's Connection Request the camera holds pending.
  bool request_held = false;
  std::uint8_t held_id = 0;
  std::uint16_t held_cid = 0;
};

// The key a camera makes with the host's module by legacy pairing: byte i is
// PIN[i mod length] ^ host[i mod 6] ^ camera[i mod 6] ^ i, the addresses in
// wire order (display order given here). Deterministic, so tests can write
// the bytes out; it is no Bluetooth Core E21/E22 key.
LinkKey sim_link_key(const DeviceAddress& host, const DeviceAddress& camera, const std::string& pin);

class ControllerModel {
 public:
  explicit ControllerModel(const SimOptions& options);

  void host_byte(std::uint8_t byte, SimClock::time_point now);
  void advance(SimClock::time_point now);
  std::optional<SimClock::time_point> next_timer() const;

  std::deque<std::uint8_t>& output() { return output_; }
  std::uint64_t bytes_queued_total() const { return queued_total_; }
  // Once this many bytes have gone out, the port is to vanish.
  std::optional<std::uint64_t> vanish_point() const { return vanish_point_; }

  // A camera pages the host (a peer-initiated connection). False when it
  // cannot: no such camera, already linked or paging, or page scan is off.
  bool page_host(std::size_t camera_index);
  // A device that is no camera (sim_wire::kIntruderAddress) pages the host.
  // False when it cannot: already linked or paging, or page scan is off.
  bool intruder_pages_host();
  const SimCamera& intruder() const { return intruder_; }
  void set_faults(const SimFaults& faults);
  const SimFaults& faults() const { return faults_; }

  std::size_t camera_count() const { return cameras_.size(); }
  const SimCamera& camera(std::size_t index) const { return cameras_[index]; }
  // The key a camera keeps for the module's address: set one, or none (a
  // camera that has forgotten the host).
  void set_camera_key(std::size_t index, const std::optional<LinkKey>& key);
  std::uint8_t scan_enable() const { return scan_enable_; }
  const std::vector<ReceivedCommand>& commands() const { return commands_; }
  std::size_t acl_packets_received() const { return acl_packets_; }
  // Every signalling command the host sent, in order.
  const std::vector<SignalCommand>& host_signals() const { return host_signals_; }

  // Camera pauses not yet taken by the line, in output order.
  std::deque<PauseMark>& pauses() { return pauses_; }
  // The stale stream of an earlier run: true until HCI_Reset arrives, and
  // each call of queue_stale_row() queues its next picture row.
  bool stale_streaming() const { return stale_streaming_; }
  void queue_stale_row();

  // Chaos (SimFaults::chaos): one record for each picture, key answer and
  // Create_Connection, in the order they came.
  const std::vector<ChaosRecord>& chaos_records() const { return chaos_records_; }
  std::vector<ChaosRecord> take_chaos_records() { return std::exchange(chaos_records_, {}); }

 private:
  enum class TimerKind { inquiry_complete, page_timeout, pairing_timeout, channel_answer };
  struct Timer {
    SimClock::time_point due;
    TimerKind kind;
    DeviceAddress wire_address{};  // the address nobody answered, or the camera's
  };
  enum class ParseState { indicator, command_header, command_parameters, acl_header, acl_data };

  void handle_command(std::uint16_t opcode, const std::vector<std::uint8_t>& p, SimClock::time_point now);
  void handle_acl(const std::vector<std::uint8_t>& packet);
  void handle_signal(SimCamera& cam, const std::uint8_t* data, std::size_t size);
  void handle_signal_command(SimCamera& cam, std::uint8_t code, std::uint8_t id, const std::uint8_t* d,
                             std::size_t length);
  std::uint8_t next_signal_id(SimCamera& cam);
  void handle_camera_data(SimCamera& cam, const std::uint8_t* data, std::size_t size);

  void inquiry(const std::vector<std::uint8_t>& p, SimClock::time_point now);
  void create_connection(const std::vector<std::uint8_t>& p, SimClock::time_point now);
  void disconnect(const std::vector<std::uint8_t>& p);
  void answer_page(std::uint16_t opcode, const std::vector<std::uint8_t>& p);
  void cancel_connection(const std::vector<std::uint8_t>& p);
  void bring_link_up(SimCamera& cam);
  void give_keys_if_paired(const SimPairing& pairing);
  void reset();
  void emit_inquiry_results(const std::vector<const SimCamera*>& found);

  // Pairing: the camera's link manager asks, the host answers.
  void pairing_answer(std::uint16_t opcode, const std::vector<std::uint8_t>& p);
  void start_authentication(SimCamera& cam);
  void ask_for_pairing(SimCamera& cam);
  void authenticated(SimCamera& cam);
  void pairing_failed(SimCamera& cam, std::uint8_t status);
  void arm_pairing_timer(SimCamera& cam);
  void drop_timers(const SimCamera& cam, TimerKind kind);
  void drop_pairing(SimCamera& cam);
  // The channel: the host's Connection Request answered, held or refused.
  void answer_connection_request(SimCamera& cam, std::uint8_t id, std::uint16_t requester, bool pending_sent);
  void final_channel_answer(SimCamera& cam);
  void open_held_channel(SimCamera& cam);
  void camera_opens_channel(SimCamera& cam);
  void fail_command(std::uint16_t opcode);

  void send_byte(std::uint8_t byte);
  void emit_noise();
  void emit_event(std::uint8_t code, const std::vector<std::uint8_t>& parameters);
  void emit_command_complete(std::uint16_t opcode, std::uint8_t status,
                             const std::vector<std::uint8_t>& returns = {});
  void emit_command_status(std::uint16_t opcode, std::uint8_t status);
  void emit_connection_complete(std::uint8_t status, std::uint16_t handle, const DeviceAddress& wire_address);
  void emit_signal(const SimCamera& cam, std::uint8_t code, std::uint8_t id,
                   const std::vector<std::uint16_t>& fields);
  void emit_l2cap(std::uint16_t handle, std::uint16_t cid, const std::uint8_t* payload, std::size_t size);
  void emit_acl_packet(std::uint16_t handle, std::uint8_t pb, const std::uint8_t* data, std::size_t size);
  void emit_signal_bytes(const SimCamera& cam, std::uint8_t code, std::uint8_t id,
                         const std::vector<std::uint8_t>& data);
  void send_picture(SimCamera& cam);
  void inject_before_row(SimCamera& cam, int row);
  enum class Injection { page, stray_acl, low_cid, echo_request, info_request };
  bool inject(SimCamera& cam, Injection what);

  // One camera answer's chaos: a draw for each kind.
  struct ChaosPlan {
    ChaosDraw pause, lost, page, stray, fragments, drop, add;
    ChaosDraw channel_stray, twice, gaps, pause_inside, reorder, link_loss, substitute;
    // Where the byte faults fall: a row (or kChaosAtAnswer), or the event before.
    int drop_at = -100;
    int add_at = -100;
    int substitute_at = -100;
  };
  static constexpr int kChaosNowhere = -100;
  ChaosRecord& new_chaos_record(ChaosRecordType type);
  ChaosPlan draw_chaos_plan(bool picture);
  static bool chaos_row_lost(const ChaosPlan& plan, int row);
  void chaos_before_row(SimCamera& cam, const ChaosPlan& plan, int row, ChaosRecord& record);
  void chaos_inject(SimCamera& cam, int which, int at, ChaosRecord& record);
  void chaos_edit_packet(std::size_t start, int at, const ChaosPlan& plan, ChaosRecord& record);
  // The link goes now; `rest` is what the camera sends once its channel is back.
  void chaos_lose_link(SimCamera& cam, std::vector<std::vector<std::uint8_t>> rest, int at, ChaosRecord& record);
  // Frames the camera holds back until `due` while it answers what comes meanwhile.
  void chaos_hold(SimCamera& cam, std::vector<std::vector<std::uint8_t>> frames, bool picture,
                  SimClock::duration hold, int at, ChaosRecord& record);
  void release_held();
  void send_carried(SimCamera& cam);
  bool page_from(SimCamera& peer, const std::uint8_t* device_class);

  SimCamera* camera_by_wire_address(const std::uint8_t* wire);
  SimCamera* camera_by_handle(std::uint16_t handle);
  std::uint16_t allocate_handle();

  DeviceAddress module_address_;  // display order
  bool peer_opens_channel_;
  double inquiry_time_scale_;
  double page_timeout_scale_;
  double pairing_timeout_scale_;
  std::vector<SimCameraInquiry> camera_inquiry_;  // one per camera
  SimInquiryForm inquiry_form_;
  std::size_t responses_per_event_;
  SimFaults faults_;
  std::vector<SimCamera> cameras_;
  SimCamera intruder_;

  std::uint8_t scan_enable_ = 0;
  std::vector<std::uint8_t> local_name_;
  bool inquiry_active_ = false;
  std::vector<Timer> timers_;
  std::uint16_t next_handle_ = 0x002A;

  ParseState state_ = ParseState::indicator;
  std::vector<std::uint8_t> packet_;
  std::size_t expected_ = 0;

  std::deque<std::uint8_t> output_;
  std::uint64_t queued_total_ = 0;
  std::optional<std::uint64_t> vanish_point_;
  std::vector<ReceivedCommand> commands_;
  std::size_t acl_packets_ = 0;
  std::vector<SignalCommand> host_signals_;
  std::deque<PauseMark> pauses_;
  bool stale_streaming_ = false;
  int stale_row_ = 0;

  ChaosRandom chaos_random_;
  std::vector<ChaosRecord> chaos_records_;
  SimClock::time_point now_{};  // of the last host byte or advance()
  // Frames held back (chaos reorder): of a picture or of a key's answer.
  struct Held {
    SimCamera* cam = nullptr;
    std::vector<std::vector<std::uint8_t>> frames;
    bool picture = false;
    SimClock::time_point due{};
  };
  std::optional<Held> held_;
  // The camera's last answer was sent whole (no row lost): a row sent twice
  // is only played after such an answer, where counting can tell it.
  bool chaos_last_whole_ = true;
  std::uint32_t chaos_numbers_[3] = {};  // records so far, by type
  std::size_t ack_start_ = 0;            // where in output_ the last Number Of Completed Packets event begins
  std::uint16_t fragment_override_ = 0;  // a chaos fragment size for the frame being sent (0: none)
};

// Wire values the controller and its tests share.
namespace sim_wire {
inline constexpr std::uint16_t kOpInquiry = 0x0401;
inline constexpr std::uint16_t kOpCreateConnection = 0x0405;
inline constexpr std::uint16_t kOpDisconnect = 0x0406;
inline constexpr std::uint16_t kOpAcceptConnection = 0x0409;
inline constexpr std::uint16_t kOpRejectConnection = 0x040A;
inline constexpr std::uint16_t kOpCreateConnectionCancel = 0x0408;
inline constexpr std::uint16_t kOpLinkKeyReply = 0x040B;
inline constexpr std::uint16_t kOpLinkKeyNegativeReply = 0x040C;
inline constexpr std::uint16_t kOpPinCodeReply = 0x040D;
inline constexpr std::uint16_t kOpPinCodeNegativeReply = 0x040E;
inline constexpr std::uint16_t kOpUserConfirmationNegativeReply = 0x042D;
inline constexpr std::uint16_t kOpIoCapabilityNegativeReply = 0x0434;
inline constexpr std::uint16_t kOpReset = 0x0C03;
inline constexpr std::uint16_t kOpWriteLocalName = 0x0C13;
inline constexpr std::uint16_t kOpWriteScanEnable = 0x0C1A;
inline constexpr std::uint16_t kOpReadBdAddr = 0x1009;
inline constexpr std::uint8_t kStatusUnknownCommand = 0x01;
inline constexpr std::uint8_t kStatusUnknownConnection = 0x02;
inline constexpr std::uint8_t kStatusPageTimeout = 0x04;
inline constexpr std::uint8_t kStatusAuthenticationFailure = 0x05;
inline constexpr std::uint8_t kStatusPinOrKeyMissing = 0x06;
inline constexpr std::uint8_t kStatusConnectionExists = 0x0B;
inline constexpr std::uint8_t kStatusCommandDisallowed = 0x0C;
inline constexpr std::uint8_t kStatusInvalidParameters = 0x12;
inline constexpr std::uint8_t kStatusLmpResponseTimeout = 0x22;
inline constexpr std::uint8_t kReasonLocalHostTerminated = 0x16;
inline constexpr std::uint16_t kPicturePacketBytes = 192;
inline constexpr int kPictureRows = 72;
inline constexpr std::uint16_t kCameraPsm = 0x1001;
// The third device of the intruder fault: in range, never in inquiry results.
inline constexpr DeviceAddress kIntruderAddress{0x1D, 0x00, 0x00, 0x00, 0x00, 0x01};  // display order
// The injected packets: another link's frame, a frame on a reserved CID.
inline constexpr std::uint16_t kStrayHandle = 0x0ABC;
inline constexpr std::uint16_t kStrayCid = 0x0040;
inline constexpr std::uint16_t kLowCid = 0x0003;
// The stale stream's rows: the first link's handle, the host's usual CID.
inline constexpr std::uint16_t kStaleHandle = 0x002A;
inline constexpr std::uint16_t kStaleCid = 0x0046;
inline constexpr std::uint8_t kSigEchoRequest = 0x08;
inline constexpr std::uint8_t kSigEchoResponse = 0x09;
inline constexpr std::uint8_t kSigInformationRequest = 0x0A;
inline constexpr std::uint8_t kSigInformationResponse = 0x0B;
inline constexpr std::uint16_t kInfoExtendedFeatures = 0x0002;
// The Numeric_Value of the User Confirmation Request a camera that tries
// Secure Simple Pairing sends.
inline constexpr std::uint32_t kConfirmationValue = 123456;
}  // namespace sim_wire
