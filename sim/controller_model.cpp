#include "controller_model.h"

#include <algorithm>
#include <utility>

using namespace sim_wire;

namespace {
constexpr std::uint8_t kEvInquiryComplete = 0x01;
constexpr std::uint8_t kEvInquiryResult = 0x02;
constexpr std::uint8_t kEvConnectionComplete = 0x03;
constexpr std::uint8_t kEvConnectionRequest = 0x04;
constexpr std::uint8_t kEvDisconnectionComplete = 0x05;
constexpr std::uint8_t kEvCommandComplete = 0x0E;
constexpr std::uint8_t kEvCommandStatus = 0x0F;
constexpr std::uint8_t kEvNumberOfCompletedPackets = 0x13;
constexpr std::uint8_t kEvPinCodeRequest = 0x16;
constexpr std::uint8_t kEvLinkKeyRequest = 0x17;
constexpr std::uint8_t kEvLinkKeyNotification = 0x18;
constexpr std::uint8_t kEvInquiryResultWithRssi = 0x22;
constexpr std::uint8_t kEvExtendedInquiryResult = 0x2F;
constexpr std::uint8_t kEvIoCapabilityRequest = 0x31;
constexpr std::uint8_t kEvUserConfirmationRequest = 0x33;
constexpr std::uint8_t kEvSimplePairingComplete = 0x36;
constexpr std::uint8_t kKeyTypeCombination = 0x00;

constexpr std::uint8_t kSigCommandReject = 0x01;
constexpr std::uint8_t kSigConnectionRequest = 0x02;
constexpr std::uint8_t kSigConnectionResponse = 0x03;
constexpr std::uint8_t kSigDisconnectionRequest = 0x06;
constexpr std::uint8_t kSigDisconnectionResponse = 0x07;
constexpr std::uint16_t kCidSignalling = 0x0001;
constexpr std::uint16_t kCidFirstDynamic = 0x0040;
// Connection Response: result, then status (for a pending result).
constexpr std::uint16_t kResultSuccess = 0x0000;
constexpr std::uint16_t kResultPending = 0x0001;
constexpr std::uint16_t kResultPsmNotSupported = 0x0002;
constexpr std::uint16_t kResultSecurityBlock = 0x0003;
constexpr std::uint16_t kResultNoResources = 0x0004;
constexpr std::uint16_t kStatusNoInformation = 0x0000;
constexpr std::uint16_t kStatusAuthenticationPending = 0x0001;
constexpr std::uint16_t kStatusAuthorizationPending = 0x0002;

constexpr std::uint8_t kScanPage = 0x02;
constexpr std::uint8_t kLinkTypeAcl = 0x01;
constexpr std::uint8_t kPbFirstFlushable = 0x20;  // PB 2 in the handle's high byte
constexpr std::uint8_t kPbContinuation = 0x10;    // PB 1
// Imaging major class (0x06), camera minor bit (0x20): 0x000620, low byte first.
constexpr std::uint8_t kCameraClass[3] = {0x20, 0x06, 0x00};
// The intruder is a phone: 0x5A020C, low byte first.
constexpr std::uint8_t kPhoneClass[3] = {0x0C, 0x02, 0x5A};
// The injected payloads hold bytes that look like packet starts, so a reader
// that skips them byte by byte instead of whole is caught.
constexpr std::uint8_t kStrayPayload[8] = {0x04, 0x0E, 0x04, 0x01, 0x02, 0x2A, 0x20, 0x00};
constexpr std::uint8_t kLowCidPayload[20] = {0x02, 0x2A, 0x20, 0xC4, 0x00, 0x04, 0x0F, 0x04, 0x00, 0x01,
                                             0x04, 0x13, 0x05, 0x01, 0x2A, 0x00, 0x01, 0x00, 0x55, 0xAA};
const std::vector<std::uint8_t> kEchoData{'e', 'c', 'h', 'o'};
// Chaos: an unasked frame on the camera's own channel, and the channel of a
// row sent where the host has none.
constexpr std::uint8_t kChannelStrayPayload[4] = {'S', 0x5A, 0x5A, 0x5A};
constexpr std::uint16_t kForeignCid = 0x0047;
constexpr auto kInquiryUnit = std::chrono::microseconds(1'280'000);
constexpr auto kPageTimeout = std::chrono::microseconds(5'120'000);
// The LMP response timeout: how long the camera's link manager waits for
// each answer of the host's side while it authenticates.
constexpr auto kPairingTimeout = std::chrono::microseconds(30'000'000);
constexpr std::size_t kEirSize = 240;
constexpr std::uint8_t kEirCompleteName = 0x09;
// The most responses of 14 bytes one event of 255 parameter bytes holds.
constexpr int kMostResponsesPerEvent = 18;

std::uint8_t low(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
std::uint8_t high(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
std::uint16_t u16_at(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

DeviceAddress wire_of(const DeviceAddress& display) { return reversed_address(display); }

SimClock::duration scaled(std::chrono::microseconds base, double scale) {
  return std::chrono::duration_cast<SimClock::duration>(
      std::chrono::duration<double, std::micro>(static_cast<double>(base.count()) * std::max(scale, 0.0)));
}

// Commands answered by Command Complete, and how many return bytes follow the status.
bool completes_with_returns(std::uint16_t opcode, std::size_t& returns) {
  switch (opcode) {
    case kOpReset: case kOpWriteLocalName: case kOpWriteScanEnable: returns = 0; return true;
    case kOpReadBdAddr:  // BD_ADDR
    case kOpCreateConnectionCancel: case kOpLinkKeyReply: case kOpLinkKeyNegativeReply: case kOpPinCodeReply:
    case kOpPinCodeNegativeReply: case kOpIoCapabilityNegativeReply: case kOpUserConfirmationNegativeReply:
      returns = 6;
      return true;
    default: return false;
  }
}
}  // namespace

ControllerModel::ControllerModel(const SimOptions& options)
    : module_address_(options.module_address),
      peer_opens_channel_(options.peer_opens_channel),
      inquiry_time_scale_(options.inquiry_time_scale),
      page_timeout_scale_(options.page_timeout_scale),
      pairing_timeout_scale_(options.pairing_timeout_scale),
      camera_inquiry_(options.camera_inquiry),
      inquiry_form_(options.inquiry_form),
      responses_per_event_(static_cast<std::size_t>(std::clamp(options.responses_per_event, 1, kMostResponsesPerEvent))),
      faults_(options.faults) {
  std::vector<DeviceAddress> addresses = options.cameras;
  if (addresses.empty()) addresses.push_back(kDefaultCameraAddress);
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    SimCamera cam;
    cam.address = addresses[i];
    cam.own_cid = static_cast<std::uint16_t>(kCidFirstDynamic + i);
    cameras_.push_back(cam);
  }
  camera_inquiry_.resize(cameras_.size());
  give_keys_if_paired(faults_.pairing);
  intruder_.address = kIntruderAddress;
  intruder_.is_camera = false;
  stale_streaming_ = faults_.stale_stream;
  chaos_random_.state = faults_.chaos.seed;
}

void ControllerModel::set_faults(const SimFaults& faults) {
  // Turning the stale stream on while running plays a module left sending
  // by a run that has just ended; it stops at the next HCI_Reset.
  if (faults.stale_stream && !faults_.stale_stream) stale_streaming_ = true;
  // Chaos switched on, or on a new seed, starts that seed's sequence.
  if (faults.chaos.on && (!faults_.chaos.on || faults.chaos.seed != faults_.chaos.seed))
    chaos_random_.state = faults.chaos.seed;
  if (!faults_.pairing.paired) give_keys_if_paired(faults.pairing);
  faults_ = faults;
}

// Cameras paired with the module before: each holds the key its PIN made.
void ControllerModel::give_keys_if_paired(const SimPairing& pairing) {
  if (!pairing.paired || pairing.pin.empty()) return;
  for (SimCamera& cam : cameras_) cam.key = sim_link_key(module_address_, cam.address, pairing.pin);
}

// Host -> module, one byte at a time (the host writes one byte per call):
//   01 | opcode (2) | length (1) | parameters
//   02 | handle + flags (2) | length (2) | data
// Any other byte where an indicator belongs is dropped.
void ControllerModel::host_byte(std::uint8_t byte, SimClock::time_point now) {
  now_ = now;
  switch (state_) {
    case ParseState::indicator:
      packet_.clear();
      if (byte == 0x01) {
        state_ = ParseState::command_header;
        expected_ = 3;
      } else if (byte == 0x02) {
        state_ = ParseState::acl_header;
        expected_ = 4;
      }
      return;
    case ParseState::command_header:
    case ParseState::command_parameters:
    case ParseState::acl_header:
    case ParseState::acl_data:
      packet_.push_back(byte);
      break;
  }
  if (packet_.size() < expected_) return;
  if (state_ == ParseState::command_header && packet_[2] != 0) {
    state_ = ParseState::command_parameters;
    expected_ = 3u + packet_[2];
    return;
  }
  if (state_ == ParseState::acl_header && u16_at(&packet_[2]) != 0) {
    state_ = ParseState::acl_data;
    expected_ = 4u + u16_at(&packet_[2]);
    return;
  }
  const bool command = state_ == ParseState::command_header || state_ == ParseState::command_parameters;
  state_ = ParseState::indicator;
  if (command) {
    std::vector<std::uint8_t> parameters(packet_.begin() + 3, packet_.end());
    handle_command(u16_at(&packet_[0]), parameters, now);
  } else {
    handle_acl(packet_);
  }
}

void ControllerModel::advance(SimClock::time_point now) {
  now_ = now;
  if (faults_.silent) return;
  if (held_ && held_->due <= now) release_held();
  // Released in due order; a timer never starts another one.
  std::sort(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) { return a.due < b.due; });
  while (!timers_.empty() && timers_.front().due <= now) {
    Timer t = timers_.front();
    timers_.erase(timers_.begin());
    SimCamera* cam = camera_by_wire_address(t.wire_address.data());
    switch (t.kind) {
      case TimerKind::inquiry_complete:
        inquiry_active_ = false;
        emit_event(kEvInquiryComplete, {0x00});
        break;
      case TimerKind::page_timeout: emit_connection_complete(kStatusPageTimeout, 0x0000, t.wire_address); break;
      case TimerKind::pairing_timeout:
        if (cam != nullptr) pairing_failed(*cam, kStatusLmpResponseTimeout);
        break;
      case TimerKind::channel_answer:
        if (cam != nullptr) final_channel_answer(*cam);
        break;
    }
  }
}

std::optional<SimClock::time_point> ControllerModel::next_timer() const {
  std::optional<SimClock::time_point> next;
  for (const Timer& t : timers_)
    if (!next || t.due < *next) next = t.due;
  if (held_ && (!next || held_->due < *next)) next = held_->due;
  return next;
}

bool ControllerModel::page_host(std::size_t camera_index) {
  if (camera_index >= cameras_.size()) return false;
  return page_from(cameras_[camera_index], kCameraClass);
}

bool ControllerModel::intruder_pages_host() { return page_from(intruder_, kPhoneClass); }

bool ControllerModel::page_from(SimCamera& peer, const std::uint8_t* device_class) {
  if (faults_.silent || peer.linked || peer.paging_host || (scan_enable_ & kScanPage) == 0) return false;
  peer.paging_host = true;
  // BD_ADDR (wire order) | Class_of_Device (3) | Link_Type
  DeviceAddress wire = wire_of(peer.address);
  std::vector<std::uint8_t> p(wire.begin(), wire.end());
  p.insert(p.end(), device_class, device_class + 3);
  p.push_back(kLinkTypeAcl);
  emit_event(kEvConnectionRequest, p);
  return true;
}

// One row of camera 0's view at a time, rows 0..71 over and over, as the
// earlier run's picture that never stopped. That picture was of a darker
// scene: some of its samples are 0x04 followed by a large value, which a
// host hunting for packet starts byte by byte takes for a long event.
void ControllerModel::queue_stale_row() {
  if (!stale_streaming_ || cameras_.empty()) return;
  CameraFrame frame = render_camera_view(cameras_[0].scene);
  std::uint8_t* row = frame.data() + stale_row_ * kPicturePacketBytes;
  for (std::size_t i = 0; i + 1 < kPicturePacketBytes; i += 24) {
    row[i] = 0x04;
    row[i + 1] = 0xF0;
  }
  emit_l2cap(kStaleHandle, kStaleCid, row, kPicturePacketBytes);
  stale_row_ = (stale_row_ + 1) % kPictureRows;
}

void ControllerModel::handle_command(std::uint16_t opcode, const std::vector<std::uint8_t>& p,
                                     SimClock::time_point now) {
  commands_.push_back({opcode, p});
  if (faults_.silent) return;
  if (faults_.failing_opcode != 0 && opcode == faults_.failing_opcode) {
    fail_command(opcode);
    return;
  }
  switch (opcode) {
    case kOpReset:
      reset();
      emit_command_complete(opcode, 0x00);
      return;
    case kOpReadBdAddr: {
      DeviceAddress wire = wire_of(module_address_);
      emit_command_complete(opcode, 0x00, {wire.begin(), wire.end()});
      return;
    }
    case kOpWriteLocalName:
      local_name_ = p;
      emit_command_complete(opcode, 0x00);
      return;
    case kOpWriteScanEnable:
      if (!p.empty()) scan_enable_ = p[0];
      emit_command_complete(opcode, 0x00);
      return;
    case kOpInquiry: inquiry(p, now); return;
    case kOpCreateConnection: create_connection(p, now); return;
    case kOpDisconnect: disconnect(p); return;
    case kOpAcceptConnection:
    case kOpRejectConnection: answer_page(opcode, p); return;
    case kOpCreateConnectionCancel: cancel_connection(p); return;
    case kOpLinkKeyReply:
    case kOpLinkKeyNegativeReply:
    case kOpPinCodeReply:
    case kOpPinCodeNegativeReply:
    case kOpIoCapabilityNegativeReply:
    case kOpUserConfirmationNegativeReply: pairing_answer(opcode, p); return;
    default:
      emit_command_status(opcode, kStatusUnknownCommand);
      return;
  }
}

// A command answered with a failure status and none of its later events.
void ControllerModel::fail_command(std::uint16_t opcode) {
  std::size_t returns = 0;
  if (completes_with_returns(opcode, returns))
    emit_command_complete(opcode, faults_.failing_status, std::vector<std::uint8_t>(returns, 0x00));
  else
    emit_command_status(opcode, faults_.failing_status);
}

// The radio forgets its links and any inquiry or page; Scan_Enable is kept.
void ControllerModel::reset() {
  timers_.clear();
  inquiry_active_ = false;
  stale_streaming_ = false;
  held_.reset();
  for (SimCamera& cam : cameras_) {
    cam.linked = false;
    cam.paging_host = false;
    cam.channel_open = false;
    cam.carried.clear();
    drop_pairing(cam);
  }
  intruder_.linked = false;
  intruder_.paging_host = false;
  intruder_.channel_open = false;
}

// LAP (3) | Inquiry_Length | Num_Responses
void ControllerModel::inquiry(const std::vector<std::uint8_t>& p, SimClock::time_point now) {
  if (p.size() < 5 || inquiry_active_) {
    emit_command_status(kOpInquiry, kStatusCommandDisallowed);
    return;
  }
  emit_command_status(kOpInquiry, 0x00);
  const std::uint8_t length = p[3];
  const std::uint8_t wanted = p[4];  // 0: no limit
  std::vector<const SimCamera*> found;
  for (const SimCamera& cam : cameras_) {
    if (wanted != 0 && found.size() == wanted) break;
    found.push_back(&cam);
  }
  emit_inquiry_results(found);
  if (wanted != 0 && found.size() == wanted) {
    emit_event(kEvInquiryComplete, {0x00});
    return;
  }
  inquiry_active_ = true;
  timers_.push_back({now + scaled(kInquiryUnit * length, inquiry_time_scale_), TimerKind::inquiry_complete, {}});
}

// Num_Responses N, then the Core's arrays, each N long: BD_ADDR (wire),
// Page_Scan_Repetition_Mode, reserved (2 bytes in Inquiry Result, 1 in the
// others), Class_of_Device (3), Clock_Offset (2), and RSSI in the RSSI and
// extended forms; the extended form has one response and 240 bytes of EIR
// data after it. With the defaults: one standard result an event, R1, clock
// offset 0.
void ControllerModel::emit_inquiry_results(const std::vector<const SimCamera*>& found) {
  const std::size_t per_event = inquiry_form_ == SimInquiryForm::extended ? 1 : responses_per_event_;
  for (std::size_t first = 0; first < found.size(); first += per_event) {
    const std::vector<const SimCamera*> group(found.begin() + static_cast<std::ptrdiff_t>(first),
                                              found.begin() + static_cast<std::ptrdiff_t>(std::min(first + per_event, found.size())));
    auto info = [this](const SimCamera* cam) -> const SimCameraInquiry& {
      return camera_inquiry_[static_cast<std::size_t>(cam - cameras_.data())];
    };
    std::vector<std::uint8_t> r{static_cast<std::uint8_t>(group.size())};
    for (const SimCamera* cam : group) {
      const DeviceAddress wire = wire_of(cam->address);
      r.insert(r.end(), wire.begin(), wire.end());
    }
    for (const SimCamera* cam : group) r.push_back(info(cam).page_scan_repetition_mode);
    r.insert(r.end(), group.size() * (inquiry_form_ == SimInquiryForm::standard ? 2 : 1), 0x00);
    for (std::size_t i = 0; i < group.size(); ++i) r.insert(r.end(), std::begin(kCameraClass), std::end(kCameraClass));
    for (const SimCamera* cam : group) {
      const std::uint16_t offset = info(cam).clock_offset & 0x7FFF;
      r.insert(r.end(), {low(offset), high(offset)});
    }
    std::uint8_t code = kEvInquiryResult;
    if (inquiry_form_ != SimInquiryForm::standard) {
      for (const SimCamera* cam : group) r.push_back(static_cast<std::uint8_t>(info(cam).rssi));
      code = kEvInquiryResultWithRssi;
    }
    if (inquiry_form_ == SimInquiryForm::extended) {
      // One EIR structure, the complete local name: length (type + name) | 0x09 | name; zeros after.
      const std::string& name = info(group.front()).name;
      const std::size_t size = std::min(name.size(), kEirSize - 2);
      std::vector<std::uint8_t> eir{static_cast<std::uint8_t>(size + 1), kEirCompleteName};
      eir.insert(eir.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(size));
      eir.resize(kEirSize, 0x00);
      r.insert(r.end(), eir.begin(), eir.end());
      code = kEvExtendedInquiryResult;
    }
    emit_event(code, r);
  }
}

// BD_ADDR (wire) | Packet_Type (2) | PSRM | PSM | Clock_Offset (2) | Allow_Role_Switch
void ControllerModel::create_connection(const std::vector<std::uint8_t>& p, SimClock::time_point now) {
  if (p.size() < 6) {
    emit_command_status(kOpCreateConnection, kStatusCommandDisallowed);
    return;
  }
  SimCamera* cam = camera_by_wire_address(p.data());
  if (cam != nullptr && (cam->linked || cam->paging_host || cam->pairing_for_connect)) {
    emit_command_status(kOpCreateConnection, kStatusConnectionExists);
    return;
  }
  emit_command_status(kOpCreateConnection, 0x00);
  if (faults_.chaos.on && cam != &intruder_) {
    // A third device pages the host while its own page is under way.
    ChaosRecord& record = new_chaos_record(ChaosRecordType::connect);
    const SimChaos& c = faults_.chaos;
    if (chaos_draw(chaos_random_, c.rate, (c.kinds & kChaosPageConnect) != 0).hit && intruder_pages_host())
      record.faults.push_back({ChaosFaultKind::page, kChaosAtConnect, 0, 0});
  }
  DeviceAddress wire{};
  std::copy(p.begin(), p.begin() + 6, wire.begin());
  if (cam == nullptr || faults_.camera_unreachable) {
    timers_.push_back({now + scaled(kPageTimeout, page_timeout_scale_), TimerKind::page_timeout, wire});
    return;
  }
  // A camera whose module authenticates every link does it before the link
  // is reported up.
  if (cam->is_camera && !faults_.pairing.pin.empty() && faults_.pairing.on_connect) {
    cam->pairing_for_connect = true;
    start_authentication(*cam);
    return;
  }
  bring_link_up(*cam);
}

// The link is up: a new handle, no channel yet.
void ControllerModel::bring_link_up(SimCamera& cam) {
  cam.linked = true;
  cam.channel_open = false;
  cam.authenticated = false;
  cam.handle = allocate_handle();
  emit_connection_complete(0x00, cam.handle, wire_of(cam.address));
}

// BD_ADDR (wire). Command Complete: Status | BD_ADDR. A page still under way
// ends with Connection Complete, status 0x02, after it (Core, Create
// Connection Cancel); a link already reported up gets 0x0B, an address
// nobody pages 0x02.
void ControllerModel::cancel_connection(const std::vector<std::uint8_t>& p) {
  if (p.size() < 6) {
    emit_command_complete(kOpCreateConnectionCancel, kStatusInvalidParameters, std::vector<std::uint8_t>(6, 0x00));
    return;
  }
  DeviceAddress wire{};
  std::copy(p.begin(), p.begin() + 6, wire.begin());
  const std::vector<std::uint8_t> address(wire.begin(), wire.end());
  SimCamera* cam = camera_by_wire_address(wire.data());
  const auto page = std::find_if(timers_.begin(), timers_.end(), [&wire](const Timer& t) {
    return t.kind == TimerKind::page_timeout && t.wire_address == wire;
  });
  if (page != timers_.end() || (cam != nullptr && cam->pairing_for_connect)) {
    if (page != timers_.end()) timers_.erase(page);
    else drop_pairing(*cam);  // the authentication inside the page is given up too
    emit_command_complete(kOpCreateConnectionCancel, 0x00, address);
    emit_connection_complete(kStatusUnknownConnection, 0x0000, wire);
    return;
  }
  emit_command_complete(kOpCreateConnectionCancel,
                        cam != nullptr && cam->linked ? kStatusConnectionExists : kStatusUnknownConnection, address);
}

// Handle (2) | Reason
void ControllerModel::disconnect(const std::vector<std::uint8_t>& p) {
  SimCamera* cam = p.size() >= 2 ? camera_by_handle(u16_at(p.data()) & 0x0FFF) : nullptr;
  if (cam == nullptr) {
    emit_command_status(kOpDisconnect, kStatusUnknownConnection);
    return;
  }
  emit_command_status(kOpDisconnect, 0x00);
  cam->linked = false;
  cam->channel_open = false;
  drop_pairing(*cam);
  // Status | Handle (2) | Reason
  emit_event(kEvDisconnectionComplete,
             {0x00, low(cam->handle), high(cam->handle), kReasonLocalHostTerminated});
}

// BD_ADDR (wire) | Role (accept) or Reason (reject)
void ControllerModel::answer_page(std::uint16_t opcode, const std::vector<std::uint8_t>& p) {
  SimCamera* cam = p.size() >= 7 ? camera_by_wire_address(p.data()) : nullptr;
  if (cam == nullptr || !cam->paging_host) {
    emit_command_status(opcode, kStatusUnknownConnection);
    return;
  }
  emit_command_status(opcode, 0x00);
  cam->paging_host = false;
  DeviceAddress wire = wire_of(cam->address);
  if (opcode == kOpRejectConnection) {
    // The refusal reaches the host as a failed Connection Complete whose
    // status is the reason it gave; no handle was ever given out.
    emit_connection_complete(p[6], 0x0000, wire);
    return;
  }
  const bool opens = cam->is_camera && peer_opens_channel_ && !faults_.camera_mute;
  if (cam->is_camera && !faults_.pairing.pin.empty()) {
    // It authenticates the link it asked for, then opens its channel.
    cam->opens_after_pairing = opens;
    if (faults_.pairing.on_connect) {
      cam->pairing_for_connect = true;
    } else {
      bring_link_up(*cam);
    }
    start_authentication(*cam);
    return;
  }
  bring_link_up(*cam);
  if (opens) camera_opens_channel(*cam);
}

void ControllerModel::camera_opens_channel(SimCamera& cam) {
  emit_signal(cam, kSigConnectionRequest, next_signal_id(cam), {kCameraPsm, cam.own_cid});
}

// Handle + PB/BC (2) | Data_Total_Length (2) | L2CAP length (2) | CID (2) | payload
void ControllerModel::handle_acl(const std::vector<std::uint8_t>& packet) {
  ++acl_packets_;
  if (faults_.silent) return;
  const std::uint16_t handle = u16_at(&packet[0]) & 0x0FFF;
  SimCamera* cam = camera_by_handle(handle);
  if (cam == nullptr) return;  // no such link: dropped at the baseband
  // Flow control first: the controller has passed the packet on.
  ack_start_ = output_.size() + faults_.noise.size();
  emit_event(kEvNumberOfCompletedPackets, {0x01, low(handle), high(handle), 0x01, 0x00});
  if (!cam->is_camera || faults_.camera_mute || packet.size() < 8) return;
  const std::size_t l2cap_length = u16_at(&packet[4]);
  const std::uint16_t cid = u16_at(&packet[6]);
  const std::size_t size = std::min(l2cap_length, packet.size() - 8);
  if (cid == kCidSignalling)
    handle_signal(*cam, packet.data() + 8, size);
  else if (cid >= kCidFirstDynamic)
    handle_camera_data(*cam, packet.data() + 8, size);
}

// A signalling frame holds one or more commands, each
// Code | Identifier | Length (2) | data, 16-bit fields low byte first.
void ControllerModel::handle_signal(SimCamera& cam, const std::uint8_t* data, std::size_t size) {
  while (size >= 4) {
    const std::size_t length = std::min<std::size_t>(u16_at(data + 2), size - 4);
    handle_signal_command(cam, data[0], data[1], data + 4, length);
    data += 4 + length;
    size -= 4 + length;
  }
}

void ControllerModel::handle_signal_command(SimCamera& cam, std::uint8_t code, std::uint8_t id,
                                            const std::uint8_t* d, std::size_t length) {
  host_signals_.push_back({code, id, std::vector<std::uint8_t>(d, d + length)});
  switch (code) {
    case kSigConnectionRequest: {  // PSM | source CID
      if (length < 4) break;
      const std::uint16_t requester = u16_at(d + 2);
      if (faults_.channel_refused) {
        emit_signal(cam, kSigConnectionResponse, id, {0x0000, requester, kResultNoResources, 0x0000});
        return;
      }
      answer_connection_request(cam, id, requester, false);
      return;
    }
    case kSigConnectionResponse:  // destination CID (the host's) | source CID (ours) | result | status
      if (length < 8) break;
      if (u16_at(d + 4) == 0x0000 && u16_at(d + 6) == 0x0000) {
        cam.channel_open = true;
        cam.host_cid = u16_at(d);
        send_carried(cam);
      }
      return;
    case kSigDisconnectionRequest:  // destination CID | source CID, echoed in the response
      if (length < 4) break;
      cam.channel_open = false;
      cam.request_held = false;
      emit_signal(cam, kSigDisconnectionResponse, id, {u16_at(d), u16_at(d + 2)});
      return;
    case kSigDisconnectionResponse:
      cam.channel_open = false;
      return;
    // The answers to the camera's own Echo and Information Requests, and a
    // rejection of one, are taken quietly.
    case kSigCommandReject:
    case kSigEchoResponse:
    case kSigInformationResponse:
      return;
    default:
      break;
  }
  // Reason 0x0000: command not understood.
  emit_signal(cam, kSigCommandReject, id, {0x0000});
}

// The host's Connection Request (its identifier and source CID). Every
// Connection Response is destination CID (ours, 0 on a refusal) | source CID
// (the requester's) | result | status. A camera that asks for a PIN holds
// it pending (authentication pending) until the link is authenticated;
// `pending_sent`: the requester has had its pending answer already.
void ControllerModel::answer_connection_request(SimCamera& cam, std::uint8_t id, std::uint16_t requester,
                                                bool pending_sent) {
  const SimChannelAnswer answer = faults_.channel_answer;
  if (answer == SimChannelAnswer::psm_not_supported) {
    emit_signal(cam, kSigConnectionResponse, id, {0x0000, requester, kResultPsmNotSupported, kStatusNoInformation});
    return;
  }
  const bool needs_pairing = !faults_.pairing.pin.empty() && !cam.authenticated;
  if (!needs_pairing && answer == SimChannelAnswer::success) {
    cam.request_held = false;
    cam.held_id = id;
    cam.held_cid = requester;
    open_held_channel(cam);
    return;
  }
  cam.request_held = true;
  cam.held_id = id;
  cam.held_cid = requester;
  if (!pending_sent)
    emit_signal(cam, kSigConnectionResponse, id,
                {cam.own_cid, requester, kResultPending,
                 needs_pairing ? kStatusAuthenticationPending : kStatusAuthorizationPending});
  if (needs_pairing) {
    if (cam.asked == SimCamera::Asked::nothing) start_authentication(cam);
    return;
  }
  if (answer != SimChannelAnswer::pending_forever)
    timers_.push_back({now_ + std::chrono::milliseconds(std::max(faults_.channel_pending_ms, 0)),
                       TimerKind::channel_answer, wire_of(cam.address)});
}

void ControllerModel::open_held_channel(SimCamera& cam) {
  cam.request_held = false;
  cam.channel_open = true;
  cam.host_cid = cam.held_cid;
  emit_signal(cam, kSigConnectionResponse, cam.held_id, {cam.own_cid, cam.held_cid, kResultSuccess, kStatusNoInformation});
  send_carried(cam);
}

// The answer that follows "pending" when its time comes.
void ControllerModel::final_channel_answer(SimCamera& cam) {
  if (!cam.linked || !cam.request_held) return;
  std::uint16_t result = kResultSuccess;
  switch (faults_.channel_answer) {
    case SimChannelAnswer::pending_security: result = kResultSecurityBlock; break;
    case SimChannelAnswer::pending_no_resources: result = kResultNoResources; break;
    default: break;
  }
  if (result == kResultSuccess) {
    open_held_channel(cam);
    return;
  }
  cam.request_held = false;
  emit_signal(cam, kSigConnectionResponse, cam.held_id, {0x0000, cam.held_cid, result, kStatusNoInformation});
}

// The camera's link manager challenges the host's side first, whatever key
// it holds (LMP_au_rand): the host's module asks its host for a key.
void ControllerModel::start_authentication(SimCamera& cam) {
  const DeviceAddress wire = wire_of(cam.address);
  cam.asked = SimCamera::Asked::link_key;
  emit_event(kEvLinkKeyRequest, {wire.begin(), wire.end()});
  arm_pairing_timer(cam);
}

// No key, or not the camera's: it pairs (LMP_in_rand), and the host's module
// asks for a PIN, or, from a camera that tries Secure Simple Pairing, for
// the IO capabilities or a confirmation.
void ControllerModel::ask_for_pairing(SimCamera& cam) {
  const DeviceAddress wire = wire_of(cam.address);
  std::vector<std::uint8_t> p(wire.begin(), wire.end());
  switch (faults_.pairing.ssp) {
    case SimSsp::off:
      cam.asked = SimCamera::Asked::pin;
      emit_event(kEvPinCodeRequest, p);
      break;
    case SimSsp::io_capability:
      cam.asked = SimCamera::Asked::io_capability;
      emit_event(kEvIoCapabilityRequest, p);
      break;
    case SimSsp::confirmation:
      // BD_ADDR | Numeric_Value (4)
      cam.asked = SimCamera::Asked::confirmation;
      for (int shift = 0; shift < 32; shift += 8) p.push_back(static_cast<std::uint8_t>(kConfirmationValue >> shift));
      emit_event(kEvUserConfirmationRequest, p);
      break;
  }
  arm_pairing_timer(cam);
}

// Link_Key_Request_Reply: BD_ADDR | Link_Key (16). Link_Key_Request_Negative_Reply,
// PIN_Code_Request_Negative_Reply, User_Confirmation_Request_Negative_Reply:
// BD_ADDR. PIN_Code_Request_Reply: BD_ADDR | PIN_Code_Length | PIN_Code (16).
// IO_Capability_Request_Negative_Reply: BD_ADDR | Reason. Each is answered by
// Command Complete: Status | BD_ADDR. An answer to no request: status 0x02
// when the address has no link (nor a page waiting on it), else 0x0C.
void ControllerModel::pairing_answer(std::uint16_t opcode, const std::vector<std::uint8_t>& p) {
  const std::size_t needed = opcode == kOpLinkKeyReply ? 22 : opcode == kOpPinCodeReply ? 23
                             : opcode == kOpIoCapabilityNegativeReply ? 7 : 6;
  if (p.size() < needed) {
    std::vector<std::uint8_t> address(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(p.size(), 6)));
    address.resize(6, 0x00);
    emit_command_complete(opcode, kStatusInvalidParameters, address);
    return;
  }
  const std::vector<std::uint8_t> address(p.begin(), p.begin() + 6);
  SimCamera::Asked expected = SimCamera::Asked::link_key;
  if (opcode == kOpPinCodeReply || opcode == kOpPinCodeNegativeReply) expected = SimCamera::Asked::pin;
  if (opcode == kOpIoCapabilityNegativeReply) expected = SimCamera::Asked::io_capability;
  if (opcode == kOpUserConfirmationNegativeReply) expected = SimCamera::Asked::confirmation;
  SimCamera* cam = camera_by_wire_address(p.data());
  if (cam == nullptr || cam->asked != expected) {
    const bool known = cam != nullptr && (cam->linked || cam->pairing_for_connect);
    emit_command_complete(opcode, known ? kStatusCommandDisallowed : kStatusUnknownConnection, address);
    return;
  }
  const std::string& pin = faults_.pairing.pin;
  if (opcode == kOpPinCodeReply && (p[6] == 0 || p[6] > kPinMaxLength)) {
    emit_command_complete(opcode, kStatusInvalidParameters, address);  // still asked
    return;
  }
  emit_command_complete(opcode, 0x00, address);
  switch (opcode) {
    case kOpLinkKeyReply:
      if (cam->key && std::equal(cam->key->begin(), cam->key->end(), p.begin() + 6)) authenticated(*cam);
      else if (faults_.pairing.refuse_wrong_key) pairing_failed(*cam, cam->key ? kStatusAuthenticationFailure : kStatusPinOrKeyMissing);
      else ask_for_pairing(*cam);
      return;
    case kOpLinkKeyNegativeReply: ask_for_pairing(*cam); return;
    case kOpPinCodeReply: {
      if (pin != std::string(p.begin() + 7, p.begin() + 7 + p[6])) {
        pairing_failed(*cam, kStatusAuthenticationFailure);
        return;
      }
      // BD_ADDR | Link_Key (16) | Key_Type: a combination key
      cam->key = sim_link_key(module_address_, cam->address, pin);
      std::vector<std::uint8_t> notification = address;
      notification.insert(notification.end(), cam->key->begin(), cam->key->end());
      notification.push_back(kKeyTypeCombination);
      emit_event(kEvLinkKeyNotification, notification);
      authenticated(*cam);
      return;
    }
    case kOpPinCodeNegativeReply: pairing_failed(*cam, kStatusPinOrKeyMissing); return;
    case kOpIoCapabilityNegativeReply:
    case kOpUserConfirmationNegativeReply: {
      // Secure Simple Pairing ends on both sides: Simple Pairing Complete, Status | BD_ADDR.
      const std::uint8_t status = opcode == kOpIoCapabilityNegativeReply ? p[6] : kStatusAuthenticationFailure;
      std::vector<std::uint8_t> complete{status};
      complete.insert(complete.end(), address.begin(), address.end());
      emit_event(kEvSimplePairingComplete, complete);
      pairing_failed(*cam, status);
      return;
    }
    default: return;
  }
}

// The camera requested the authentication (its host, or its module's
// Authentication_Enable): Authentication Complete goes to its host, and the
// host's module sends none.
void ControllerModel::authenticated(SimCamera& cam) {
  cam.asked = SimCamera::Asked::nothing;
  drop_timers(cam, TimerKind::pairing_timeout);
  if (cam.pairing_for_connect) {
    cam.pairing_for_connect = false;
    bring_link_up(cam);
  }
  cam.authenticated = true;
  if (cam.opens_after_pairing) {
    cam.opens_after_pairing = false;
    camera_opens_channel(cam);
  }
  if (cam.request_held) answer_connection_request(cam, cam.held_id, cam.held_cid, true);
}

// Inside a page, the link never comes up: Connection Complete with the
// status. On a live link, a held Connection Request is refused (security
// block), or the camera ends the link with the status as the reason.
void ControllerModel::pairing_failed(SimCamera& cam, std::uint8_t status) {
  cam.asked = SimCamera::Asked::nothing;
  drop_timers(cam, TimerKind::pairing_timeout);
  if (cam.pairing_for_connect) {
    drop_pairing(cam);
    emit_connection_complete(status, 0x0000, wire_of(cam.address));
    return;
  }
  if (!cam.linked) return;
  if (faults_.pairing.on_failure == SimAuthFailure::refuse_channel && cam.request_held && !cam.opens_after_pairing) {
    cam.request_held = false;
    emit_signal(cam, kSigConnectionResponse, cam.held_id, {0x0000, cam.held_cid, kResultSecurityBlock, kStatusNoInformation});
    return;
  }
  emit_event(kEvDisconnectionComplete, {0x00, low(cam.handle), high(cam.handle), status});
  cam.linked = false;
  cam.channel_open = false;
  drop_pairing(cam);
}

void ControllerModel::arm_pairing_timer(SimCamera& cam) {
  drop_timers(cam, TimerKind::pairing_timeout);
  timers_.push_back({now_ + scaled(kPairingTimeout, pairing_timeout_scale_), TimerKind::pairing_timeout,
                     wire_of(cam.address)});
}

void ControllerModel::drop_timers(const SimCamera& cam, TimerKind kind) {
  const DeviceAddress wire = wire_of(cam.address);
  std::erase_if(timers_, [&](const Timer& t) { return t.kind == kind && t.wire_address == wire; });
}

// The link went (or never came): nothing is asked or held any more. The key stays.
void ControllerModel::drop_pairing(SimCamera& cam) {
  cam.asked = SimCamera::Asked::nothing;
  cam.authenticated = false;
  cam.pairing_for_connect = false;
  cam.opens_after_pairing = false;
  cam.request_held = false;
  drop_timers(cam, TimerKind::pairing_timeout);
  drop_timers(cam, TimerKind::channel_answer);
}

void ControllerModel::set_camera_key(std::size_t index, const std::optional<LinkKey>& key) {
  if (index < cameras_.size()) cameras_[index].key = key;
}

LinkKey sim_link_key(const DeviceAddress& host, const DeviceAddress& camera, const std::string& pin) {
  const DeviceAddress h = wire_of(host);
  const DeviceAddress c = wire_of(camera);
  LinkKey key{};
  for (std::size_t i = 0; i < key.size(); ++i)
    key[i] = static_cast<std::uint8_t>((pin.empty() ? 0 : pin[i % pin.size()]) ^ h[i % 6] ^ c[i % 6] ^ i);
  return key;
}

// The first payload byte is the command letter; data before the channel is
// open, or an empty frame, gets no answer.
void ControllerModel::handle_camera_data(SimCamera& cam, const std::uint8_t* data, std::size_t size) {
  if (!cam.channel_open || size == 0) return;
  const char letter = static_cast<char>(data[0]);
  // What the camera held back goes first, unless this answer is of the other
  // kind (a key's answer and a picture may pass one another).
  if (held_ && held_->picture == (letter == 'U')) release_held();
  if (letter == 'U') {
    send_picture(cam);
    return;
  }
  std::vector<std::uint8_t> answer{'?'};
  if (steer_camera(cam.scene, letter)) {
    const auto steered = steering_answer(cam.scene, letter);
    answer.assign(steered.begin(), steered.end());
  }
  if (!faults_.chaos.on) {
    emit_l2cap(cam.handle, cam.host_cid, answer.data(), answer.size());
    return;
  }
  ChaosRecord& record = new_chaos_record(ChaosRecordType::key);
  record.letter = letter;
  record.answer = answer;
  const ChaosPlan plan = draw_chaos_plan(false);
  chaos_last_whole_ = true;
  chaos_edit_packet(ack_start_, kChaosAtEvent, plan, record);
  if (plan.link_loss.hit) {
    chaos_lose_link(cam, {answer}, kChaosAtAnswer, record);
    return;
  }
  if (plan.reorder.hit && !held_) {
    // Late, past the host's 3 s wait for a packet; a picture asked for
    // meanwhile goes first.
    chaos_hold(cam, {answer}, false, std::chrono::milliseconds(3200 + plan.reorder.a % 2701), kChaosAtAnswer,
               record);
    return;
  }
  if (plan.stray.hit) chaos_inject(cam, static_cast<int>(plan.stray.a % 4), kChaosAtAnswer, record);
  if (plan.pause.hit) {
    // Late: past the host's 3 s wait for a packet, short of the 6 s after
    // which the host takes what the camera owes for dropped.
    const auto ms = static_cast<std::uint32_t>(3200 + plan.pause.a % 2701);
    pauses_.push_back({queued_total_, std::chrono::milliseconds(ms)});
    record.faults.push_back({ChaosFaultKind::pause, kChaosAtAnswer, ms, 0});
  }
  const std::size_t start = output_.size();
  const std::size_t frame_bytes = 4 + answer.size();
  if (plan.fragments.hit) {
    fragment_override_ = static_cast<std::uint16_t>(1 + plan.fragments.a % (frame_bytes - 1));
    record.faults.push_back({ChaosFaultKind::fragments, kChaosAtAnswer, fragment_override_, 0});
  }
  emit_l2cap(cam.handle, cam.host_cid, answer.data(), answer.size());
  fragment_override_ = 0;
  chaos_edit_packet(start, kChaosAtAnswer, plan, record);
}

// One UYVY row of 192 bytes per packet, top row first.
void ControllerModel::send_picture(SimCamera& cam) {
  const CameraFrame frame = render_camera_view(cam.scene);
  auto row_of = [&frame](int row) {
    return std::vector<std::uint8_t>(frame.begin() + row * kPicturePacketBytes,
                                     frame.begin() + (row + 1) * kPicturePacketBytes);
  };
  ChaosRecord* record = nullptr;
  ChaosPlan plan;
  // Chaos that changes which rows go and when (-1: none).
  int lose_link_at = -1;  // the link goes before this row
  int hold_at = -1;       // from this row on the camera holds back
  int twice_at = -1;      // this row goes twice (72: a row too many after the last)
  int inside_at = -1;     // the line stops inside this row's packet
  std::uint32_t gap_ms = 0;
  if (faults_.chaos.on) {
    record = &new_chaos_record(ChaosRecordType::picture);
    record->scene = cam.scene;
    record->digest = fnv1a64(frame.data(), frame.size());
    plan = draw_chaos_plan(true);
    chaos_edit_packet(ack_start_, kChaosAtEvent, plan, *record);
    if (plan.link_loss.hit) lose_link_at = static_cast<int>(1 + plan.link_loss.a % (kPictureRows - 1));
    else if (plan.reorder.hit && !held_) hold_at = static_cast<int>(1 + plan.reorder.a % (kPictureRows - 1));
    if (plan.pause_inside.hit) inside_at = static_cast<int>(plan.pause_inside.a % kPictureRows);
    if (plan.gaps.hit) {
      gap_ms = static_cast<std::uint32_t>(10 + plan.gaps.a % 51);
      record->faults.push_back({ChaosFaultKind::gap, 1, gap_ms, 0});
    }
    // A row too many follows the last at the camera's pace only in a picture
    // sent whole and without stopping, after an answer sent whole and in
    // order (one held back would be paid with this picture's first row):
    // then the host can tell it (README, Staying in step).
    const bool undisturbed = !plan.lost.hit && !plan.pause.hit && inside_at < 0 && lose_link_at < 0 &&
                             hold_at < 0 && !held_;
    if (plan.twice.hit && undisturbed && chaos_last_whole_) twice_at = static_cast<int>(plan.twice.a % (kPictureRows + 1));
    chaos_last_whole_ = !plan.lost.hit;
  }
  int sent = 0;
  for (int row = 0; row < kPictureRows && row < faults_.picture_rows; ++row) {
    if (row == lose_link_at || row == hold_at) {
      // What is left of the picture (its lost rows stay lost).
      std::vector<std::vector<std::uint8_t>> rest;
      for (int r = row; r < kPictureRows && r < faults_.picture_rows; ++r)
        if (r != faults_.dropped_picture_row && !chaos_row_lost(plan, r)) rest.push_back(row_of(r));
      if (row == lose_link_at) chaos_lose_link(cam, std::move(rest), row, *record);
      else chaos_hold(cam, std::move(rest), true, std::chrono::milliseconds(3200 + plan.reorder.b % 2701), row, *record);
      return;
    }
    inject_before_row(cam, row);
    if (record != nullptr) chaos_before_row(cam, plan, row, *record);
    if (gap_ms > 0 && row > 0) pauses_.push_back({queued_total_, std::chrono::milliseconds(gap_ms)});
    if (row == faults_.dropped_picture_row) continue;
    if (record != nullptr && chaos_row_lost(plan, row)) {
      record->faults.push_back({ChaosFaultKind::lost_row, row, 0, 0});
      continue;
    }
    if (row == faults_.picture_noise_row)
      for (std::uint8_t b : faults_.picture_noise) send_byte(b);
    const std::size_t start = output_.size();
    const std::uint64_t start_total = queued_total_;
    if (record != nullptr && plan.fragments.hit && row == static_cast<int>(plan.fragments.a % kPictureRows)) {
      // Any size short of the whole 196-byte frame.
      fragment_override_ = static_cast<std::uint16_t>(1 + plan.fragments.b % (kPicturePacketBytes + 3));
      record->faults.push_back({ChaosFaultKind::fragments, row, fragment_override_, 0});
    }
    emit_l2cap(cam.handle, cam.host_cid, frame.data() + row * kPicturePacketBytes, kPicturePacketBytes);
    fragment_override_ = 0;
    if (record != nullptr) chaos_edit_packet(start, row, plan, *record);
    if (row == inside_at) {
      // Up to 5.9 s, after any byte of the packet but its last.
      const std::uint64_t size = queued_total_ - start_total;
      const auto offset = static_cast<std::uint32_t>(1 + plan.pause_inside.b % (size - 1));
      const auto ms = static_cast<std::uint32_t>(100 + plan.pause_inside.c % 5801);
      pauses_.push_back({start_total + offset, std::chrono::milliseconds(ms)});
      record->faults.push_back({ChaosFaultKind::pause_inside, row, ms, offset});
    }
    if (row == twice_at) {
      emit_l2cap(cam.handle, cam.host_cid, frame.data() + row * kPicturePacketBytes, kPicturePacketBytes);
      record->faults.push_back({ChaosFaultKind::twice, row, 0, 0});
    }
    ++sent;
    if (sent == faults_.vanish_after_picture_rows) {
      vanish_point_ = queued_total_;
      return;
    }
  }
  if (twice_at == kPictureRows) {
    if (gap_ms > 0) pauses_.push_back({queued_total_, std::chrono::milliseconds(gap_ms)});
    emit_l2cap(cam.handle, cam.host_cid, frame.data(), kPicturePacketBytes);
    record->faults.push_back({ChaosFaultKind::twice, kPictureRows, 0, 0});
  }
}

// The link goes (the radio lost the camera: Disconnection Complete, reason
// 0x08, connection timeout); the camera keeps what it had still to send.
void ControllerModel::chaos_lose_link(SimCamera& cam, std::vector<std::vector<std::uint8_t>> rest, int at,
                                      ChaosRecord& record) {
  emit_event(kEvDisconnectionComplete, {0x00, low(cam.handle), high(cam.handle), 0x08});
  cam.linked = false;
  cam.channel_open = false;
  cam.carried = std::move(rest);
  if (held_ && held_->cam == &cam) {  // what it held back it still has too
    cam.carried.insert(cam.carried.begin(), held_->frames.begin(), held_->frames.end());
    held_.reset();
  }
  record.faults.push_back({ChaosFaultKind::link_loss, at, 0, 0});
}

void ControllerModel::chaos_hold(SimCamera& cam, std::vector<std::vector<std::uint8_t>> frames, bool picture,
                                 SimClock::duration hold, int at, ChaosRecord& record) {
  held_ = Held{&cam, std::move(frames), picture, now_ + hold};
  record.faults.push_back(
      {ChaosFaultKind::held, at,
       static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(hold).count()), 0});
}

void ControllerModel::release_held() {
  Held held = std::move(*held_);
  held_.reset();
  SimCamera& cam = *held.cam;
  if (!cam.linked) {  // the link went meanwhile: sent on the next one
    cam.carried.insert(cam.carried.end(), held.frames.begin(), held.frames.end());
    return;
  }
  if (!cam.channel_open) return;
  for (const auto& f : held.frames) emit_l2cap(cam.handle, cam.host_cid, f.data(), f.size());
}

void ControllerModel::send_carried(SimCamera& cam) {
  for (const auto& f : cam.carried) emit_l2cap(cam.handle, cam.host_cid, f.data(), f.size());
  cam.carried.clear();
}

// What the row faults put on the line before `row` of a picture.
void ControllerModel::inject_before_row(SimCamera& cam, int row) {
  if (row == faults_.intruder_page_row) inject(cam, Injection::page);
  if (row == faults_.stray_acl_row) inject(cam, Injection::stray_acl);
  if (row == faults_.low_cid_row) inject(cam, Injection::low_cid);
  if (row == faults_.echo_request_row) inject(cam, Injection::echo_request);
  if (row == faults_.info_request_row) inject(cam, Injection::info_request);
  if (row == faults_.pause_row && faults_.pause_ms > 0)
    pauses_.push_back({queued_total_, std::chrono::milliseconds(faults_.pause_ms)});
}

// One packet that is not the camera's answer; false when it could not be
// sent (the intruder already paging or linked, page scan off).
bool ControllerModel::inject(SimCamera& cam, Injection what) {
  switch (what) {
    case Injection::page: return intruder_pages_host();
    case Injection::stray_acl: {
      // One whole frame on a link the host never had.
      std::vector<std::uint8_t> frame{low(sizeof kStrayPayload), 0x00, low(kStrayCid), high(kStrayCid)};
      frame.insert(frame.end(), std::begin(kStrayPayload), std::end(kStrayPayload));
      emit_acl_packet(kStrayHandle, kPbFirstFlushable, frame.data(), frame.size());
      return true;
    }
    case Injection::low_cid: emit_l2cap(cam.handle, kLowCid, kLowCidPayload, sizeof kLowCidPayload); return true;
    case Injection::echo_request:
      emit_signal_bytes(cam, kSigEchoRequest, next_signal_id(cam), kEchoData);
      return true;
    case Injection::info_request:
      emit_signal_bytes(cam, kSigInformationRequest, next_signal_id(cam),
                        {low(kInfoExtendedFeatures), high(kInfoExtendedFeatures)});
      return true;
  }
  return false;
}

ChaosRecord& ControllerModel::new_chaos_record(ChaosRecordType type) {
  ChaosRecord record;
  record.type = type;
  record.number = ++chaos_numbers_[static_cast<std::size_t>(type)];
  chaos_records_.push_back(record);
  return chaos_records_.back();
}

// Every kind is drawn at every answer, hit or not, so the faults of one kind
// stay where they are whichever other kinds are on.
ControllerModel::ChaosPlan ControllerModel::draw_chaos_plan(bool picture) {
  const SimChaos& c = faults_.chaos;
  auto draw = [&](std::uint32_t kind) { return chaos_draw(chaos_random_, c.rate, (c.kinds & kind) != 0); };
  ChaosPlan plan;
  plan.pause = draw(kChaosPause);
  if (picture) {
    plan.lost = draw(kChaosLostRow);
    plan.page = draw(kChaosPagePicture);
  }
  plan.stray = draw(kChaosStray);
  plan.fragments = draw(kChaosFragments);
  plan.drop = draw(kChaosDropByte);
  plan.add = draw(kChaosAddByte);
  plan.channel_stray = draw(kChaosChannelStray);
  plan.twice = draw(kChaosTwice);
  plan.gaps = draw(kChaosGaps);
  plan.pause_inside = draw(kChaosPauseInside);
  plan.reorder = draw(kChaosReorder);
  plan.link_loss = draw(kChaosLinkLoss);
  plan.substitute = draw(kChaosSubstitute);
  // A stray byte falls in one of the rows (or the key's answer) or in the
  // event before them.
  auto place = [picture](std::uint64_t a) {
    if (!picture) return a % 2 == 0 ? kChaosAtAnswer : kChaosAtEvent;
    const int at = static_cast<int>(a % (kPictureRows + 1));
    return at == kPictureRows ? kChaosAtEvent : at;
  };
  plan.drop_at = place(plan.drop.a);
  plan.add_at = place(plan.add.a);
  plan.substitute_at = place(plan.substitute.a);
  return plan;
}

// One to three rows, which may coincide.
bool ControllerModel::chaos_row_lost(const ChaosPlan& plan, int row) {
  if (!plan.lost.hit) return false;
  const auto count = static_cast<int>(1 + plan.lost.a % 3);
  for (int i = 0; i < count; ++i)
    if (static_cast<int>((plan.lost.b >> (16 * i)) % kPictureRows) == row) return true;
  return false;
}

// The plan's page, stray packet and pause that come before `row`.
void ControllerModel::chaos_before_row(SimCamera& cam, const ChaosPlan& plan, int row, ChaosRecord& record) {
  if (plan.page.hit && row == static_cast<int>(plan.page.a % kPictureRows) && inject(cam, Injection::page))
    record.faults.push_back({ChaosFaultKind::page, row, 0, 0});
  if (plan.stray.hit && row == static_cast<int>(plan.stray.a % kPictureRows))
    chaos_inject(cam, static_cast<int>(plan.stray.b % 4), row, record);
  // An unasked frame on the camera's channel, or a row on a channel the host
  // does not have; the first only where a row follows it (README, Staying in step).
  if (plan.channel_stray.hit && row == static_cast<int>(plan.channel_stray.a % kPictureRows)) {
    if (plan.channel_stray.b % 2 == 0) {
      if (!chaos_row_lost(plan, row) && row != faults_.dropped_picture_row) {
        emit_l2cap(cam.handle, cam.host_cid, kChannelStrayPayload, sizeof kChannelStrayPayload);
        record.faults.push_back({ChaosFaultKind::channel_frame, row, 0, 0});
      }
    } else {
      const CameraFrame other = render_camera_view(CameraScene{128, 128, 1});
      emit_l2cap(cam.handle, kForeignCid, other.data(), kPicturePacketBytes);
      record.faults.push_back({ChaosFaultKind::foreign_row, row, 0, 0});
    }
  }
  // Mid-picture: after row 0 at the earliest; up to 5.9 s, short of the 6 s
  // after which the host takes what the camera owes for dropped.
  if (plan.pause.hit && row == static_cast<int>(1 + plan.pause.a % (kPictureRows - 1))) {
    const auto ms = static_cast<std::uint32_t>(100 + plan.pause.b % 5801);
    pauses_.push_back({queued_total_, std::chrono::milliseconds(ms)});
    record.faults.push_back({ChaosFaultKind::pause, row, ms, 0});
  }
}

// Stray packet `which`: another link's frame, a reserved CID's frame, an
// Echo Request or an Information Request.
void ControllerModel::chaos_inject(SimCamera& cam, int which, int at, ChaosRecord& record) {
  static constexpr std::pair<Injection, ChaosFaultKind> kinds[] = {
      {Injection::stray_acl, ChaosFaultKind::stray_acl},
      {Injection::low_cid, ChaosFaultKind::low_cid},
      {Injection::echo_request, ChaosFaultKind::echo_request},
      {Injection::info_request, ChaosFaultKind::info_request},
  };
  inject(cam, kinds[which].first);
  record.faults.push_back({kinds[which].second, at, 0, 0});
}

// The plan's dropped byte, then its added byte, then its changed byte, where
// they fall in the packet `at` that output_ holds from `start` to its end. A
// byte lost and a byte added in one packet would be a changed byte, which no
// host can tell (H4 has no checksum): they fall in one packet only when
// changed bytes are asked for (substitute).
void ControllerModel::chaos_edit_packet(std::size_t start, int at, const ChaosPlan& plan, ChaosRecord& record) {
  const bool drops_here = plan.drop.hit && plan.drop_at == at && output_.size() > start;
  if (drops_here) {
    const auto offset = static_cast<std::uint32_t>(plan.drop.b % (output_.size() - start));
    output_.erase(output_.begin() + static_cast<std::ptrdiff_t>(start + offset));
    --queued_total_;
    record.faults.push_back({ChaosFaultKind::drop_byte, at, 0, offset});
  }
  const bool substitutes = (faults_.chaos.kinds & kChaosSubstitute) != 0;
  if (plan.add.hit && plan.add_at == at && output_.size() > start + 1 && (!drops_here || substitutes)) {
    // Between two bytes of the packet, so it is inside it.
    const auto offset = static_cast<std::uint32_t>(1 + plan.add.b % (output_.size() - start - 1));
    const auto value = static_cast<std::uint8_t>(plan.add.c & 0xFF);
    output_.insert(output_.begin() + static_cast<std::ptrdiff_t>(start + offset), value);
    ++queued_total_;
    record.faults.push_back({ChaosFaultKind::add_byte, at, value, offset});
  }
  if (plan.substitute.hit && plan.substitute_at == at && output_.size() > start + 1) {
    const auto offset = static_cast<std::uint32_t>(1 + plan.substitute.b % (output_.size() - start - 1));
    std::uint8_t& byte = output_[start + offset];
    byte = static_cast<std::uint8_t>(byte ^ (1 + plan.substitute.c % 255));
    record.faults.push_back({ChaosFaultKind::substitute, at, byte, offset});
  }
}

// Identifiers run 1..255; 0 is not a valid one.
std::uint8_t ControllerModel::next_signal_id(SimCamera& cam) {
  if (cam.next_signal_id == 0) cam.next_signal_id = 1;
  return cam.next_signal_id++;
}

void ControllerModel::send_byte(std::uint8_t byte) {
  output_.push_back(byte);
  ++queued_total_;
}

void ControllerModel::emit_noise() {
  for (std::uint8_t b : faults_.noise) send_byte(b);
}

// 04 | code | length | parameters
void ControllerModel::emit_event(std::uint8_t code, const std::vector<std::uint8_t>& parameters) {
  emit_noise();
  send_byte(0x04);
  send_byte(code);
  send_byte(static_cast<std::uint8_t>(parameters.size()));
  for (std::uint8_t b : parameters) send_byte(b);
}

// Num_HCI_Command_Packets 1 | opcode (2) | status | return parameters
void ControllerModel::emit_command_complete(std::uint16_t opcode, std::uint8_t status,
                                            const std::vector<std::uint8_t>& returns) {
  std::vector<std::uint8_t> p{0x01, low(opcode), high(opcode), status};
  p.insert(p.end(), returns.begin(), returns.end());
  emit_event(kEvCommandComplete, p);
}

// status | Num_HCI_Command_Packets 1 | opcode (2)
void ControllerModel::emit_command_status(std::uint16_t opcode, std::uint8_t status) {
  emit_event(kEvCommandStatus, {status, 0x01, low(opcode), high(opcode)});
}

// Status | Handle (2) | BD_ADDR (wire) | Link_Type ACL | Encryption_Mode off
void ControllerModel::emit_connection_complete(std::uint8_t status, std::uint16_t handle,
                                               const DeviceAddress& wire_address) {
  std::vector<std::uint8_t> p{status, low(handle), high(handle)};
  p.insert(p.end(), wire_address.begin(), wire_address.end());
  p.push_back(kLinkTypeAcl);
  p.push_back(0x00);
  emit_event(kEvConnectionComplete, p);
}

// One L2CAP frame, L2CAP length (2) | CID (2) | payload, as one ACL packet
// with packet-boundary flag 2, or cut into fragments of at most
// acl_fragment_size data bytes: the first with flag 2, the rest with flag 1.
void ControllerModel::emit_l2cap(std::uint16_t handle, std::uint16_t cid, const std::uint8_t* payload,
                                 std::size_t size) {
  const auto l2cap_length = static_cast<std::uint16_t>(size);
  std::vector<std::uint8_t> frame{low(l2cap_length), high(l2cap_length), low(cid), high(cid)};
  frame.insert(frame.end(), payload, payload + size);
  const std::size_t chosen = fragment_override_ != 0 ? fragment_override_ : faults_.acl_fragment_size;
  const std::size_t piece = chosen == 0 ? frame.size() : chosen;
  for (std::size_t at = 0; at < frame.size(); at += piece)
    emit_acl_packet(handle, at == 0 ? kPbFirstFlushable : kPbContinuation, frame.data() + at,
                    std::min(piece, frame.size() - at));
}

// 02 | handle low | handle high + PB | Data_Total_Length (2) | data
void ControllerModel::emit_acl_packet(std::uint16_t handle, std::uint8_t pb, const std::uint8_t* data,
                                      std::size_t size) {
  send_byte(0x02);
  send_byte(low(handle));
  send_byte(static_cast<std::uint8_t>((high(handle) & 0x0F) | pb));
  const auto total = static_cast<std::uint16_t>(size);
  send_byte(low(total));
  send_byte(high(total));
  for (std::size_t i = 0; i < size; ++i) send_byte(data[i]);
}

// One signalling command on CID 0x0001: code | id | length (2) | 16-bit fields
void ControllerModel::emit_signal(const SimCamera& cam, std::uint8_t code, std::uint8_t id,
                                  const std::vector<std::uint16_t>& fields) {
  std::vector<std::uint8_t> data;
  for (std::uint16_t f : fields) {
    data.push_back(low(f));
    data.push_back(high(f));
  }
  emit_signal_bytes(cam, code, id, data);
}

void ControllerModel::emit_signal_bytes(const SimCamera& cam, std::uint8_t code, std::uint8_t id,
                                        const std::vector<std::uint8_t>& data) {
  const auto length = static_cast<std::uint16_t>(data.size());
  std::vector<std::uint8_t> command{code, id, low(length), high(length)};
  command.insert(command.end(), data.begin(), data.end());
  emit_l2cap(cam.handle, kCidSignalling, command.data(), command.size());
}

// Cameras first, then the intruder (who answers pages too).
SimCamera* ControllerModel::camera_by_wire_address(const std::uint8_t* wire) {
  for (SimCamera& cam : cameras_) {
    DeviceAddress w = wire_of(cam.address);
    if (std::equal(w.begin(), w.end(), wire)) return &cam;
  }
  DeviceAddress w = wire_of(intruder_.address);
  return std::equal(w.begin(), w.end(), wire) ? &intruder_ : nullptr;
}

SimCamera* ControllerModel::camera_by_handle(std::uint16_t handle) {
  for (SimCamera& cam : cameras_)
    if (cam.linked && cam.handle == handle) return &cam;
  return intruder_.linked && intruder_.handle == handle ? &intruder_ : nullptr;
}

std::uint16_t ControllerModel::allocate_handle() {
  const std::uint16_t handle = next_handle_;
  next_handle_ = static_cast<std::uint16_t>(next_handle_ >= 0x0EFF ? 0x002A : next_handle_ + 1);
  return handle;
}
