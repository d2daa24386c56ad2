#include "harnesses.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "camera_commands.h"
#include "controller_model.h"
#include "hci_inbound.h"
#include "host_ops.h"
#include "scripted_serial.h"
#include "serial_link.h"

namespace {
// The camera of the recorded sessions: handle 0x002A, CAFE00000001.
constexpr DeviceAddress kPeerDisplay{0xCA, 0xFE, 0x00, 0x00, 0x00, 0x01};
constexpr DeviceAddress kPeerWire{0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA};
constexpr std::uint8_t kPeerHandle = 0x2A;
// Enough calls to read any input whole, few enough to stay fast.
constexpr int kMaxInboundCalls = 256;

// Length of the whole H4 packet starting at `at`, or 0 when the bytes there
// are no packet start or the packet is cut short.
std::size_t whole_packet_at(const std::vector<std::uint8_t>& out, std::size_t at, bool from_module) {
  const std::size_t left = out.size() - at;
  std::size_t length = 0;
  if (!from_module && out[at] == 0x01 && left >= 4) length = 4u + out[at + 3];
  else if (from_module && out[at] == 0x04 && left >= 3) length = 3u + out[at + 2];
  else if (out[at] == 0x02 && left >= 5) length = 5u + (out[at + 3] | out[at + 4] << 8);
  return length <= left ? length : 0;
}

std::string whole_packets(const std::vector<std::uint8_t>& out, bool from_module) {
  for (std::size_t at = 0; at < out.size();) {
    const std::size_t length = whole_packet_at(out, at, from_module);
    if (length == 0) return "output is not whole H4 packets at byte " + std::to_string(at);
    at += length;
  }
  return "";
}

// One host on a scripted link whose inbound bytes are the input.
struct Run {
  ScriptedSerial link;
  std::unique_ptr<HostState> s = std::make_unique<HostState>();  // on the heap: overruns reach ASan
  Run(const std::uint8_t* data, std::size_t size) {
    host_attach(*s, link);
    s->port_handle.held = true;
    link.inbound.assign(data, data + size);
  }

  void link_up() {
    s->remote_address = kPeerWire;
    s->handle_low = kPeerHandle;
    s->handle_high = 0x00;
    s->link_connected = 1;
  }

  // The invariants, after every call into the protocol code.
  std::string check(const char* after) const {
    const HostState& h = *s;
    std::string broke;
    if (h.frame_length < 0 || static_cast<std::size_t>(h.frame_length) > kFrameBufferSize)
      broke = "frame_length " + std::to_string(h.frame_length) + " past frame_buffer";
    else if (h.found_count > kMaxFoundDevices)
      broke = "found_count " + std::to_string(h.found_count);
    else if (h.link_connected > 1)
      broke = "link_connected " + std::to_string(h.link_connected);
    else if (h.channel_state != kChannelClosed && h.channel_state != kChannelOpen)
      broke = "channel_state " + std::to_string(h.channel_state);
    else if (h.pb_flag > 3 || h.bc_flag > 3)
      broke = "flag cell out of its two bits";
    else if (link.reads_after_deadline != 0)
      broke = "read on in a wait already reported expired";
    else
      broke = whole_packets(link.written, false);
    return broke.empty() ? broke : broke + " (after " + after + ")";
  }
};
}  // namespace

std::string fuzz_inbound(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return "";
  Run run(data + 3, size - 3);
  HostState& s = *run.s;
  if (data[0] & 0x01) run.link_up();
  s.channel_state = (data[0] & 0x02) ? kChannelOpen : kChannelClosed;
  s.pb_flag = (data[0] >> 2) & 0x03;
  s.bc_flag = (data[0] >> 4) & 0x03;
  s.frame_length = static_cast<std::int16_t>((data[1] | data[2] << 8) % (kFrameBufferSize + 1));
  for (int call = 0; call < kMaxInboundCalls && !run.link.inbound.empty(); ++call) {
    process_inbound_packet(s);
    if (std::string broke = run.check("process_inbound_packet"); !broke.empty()) return broke;
  }
  return "";
}

std::string fuzz_startup(const std::uint8_t* data, std::size_t size) {
  Run run(data, size);
  module_start_up(*run.s, kLocalDeviceName);
  return run.check("module_start_up");
}

std::string fuzz_inquiry(const std::uint8_t* data, std::size_t size) {
  Run run(data, size);
  HostState& s = *run.s;
  discover_devices(s, s.found_devices.data(), &s.found_count, kMaxFoundDevices);
  return run.check("discover_devices");
}

std::string fuzz_connect(const std::uint8_t* data, std::size_t size) {
  Run run(data, size);
  host_connect(*run.s, kPeerDisplay);
  if (std::string broke = run.check("host_connect"); !broke.empty()) return broke;
  host_disconnect(*run.s);
  return run.check("host_disconnect");
}

std::string fuzz_capture(const std::uint8_t* data, std::size_t size) {
  Run run(data, size);
  // The input is the camera's answer to "U": a capture reads off whatever
  // is waiting before it asks.
  run.link.inbound.swap(run.link.answers);
  run.link_up();
  run.s->channel_state = kChannelOpen;
  Picture picture;
  CameraView view;
  view.picture = &picture;
  capture_frame(*run.s, view);
  return run.check("capture_frame");
}

std::string fuzz_module(const std::uint8_t* data, std::size_t size) {
  ControllerModel model{SimOptions{}};
  SimClock::time_point now{};
  for (std::size_t i = 0; i < size; ++i) {
    model.host_byte(data[i], now);
    // Time moves on between bytes, so inquiries end and pages time out.
    now += std::chrono::milliseconds(50);
    model.advance(now);
    std::vector<std::uint8_t> out(model.output().begin(), model.output().end());
    model.output().clear();
    if (std::string broke = whole_packets(out, true); !broke.empty()) return broke + " (module)";
    for (std::size_t c = 0; c < model.camera_count(); ++c)
      if (model.camera(c).channel_open && !model.camera(c).linked) return "module: a channel open with no link";
  }
  return "";
}
