#include "host_ops.h"

#include "acl.h"
#include "hci_framing.h"
#include "hci_inbound.h"
#include "hci_link_control.h"
#include "hci_security.h"
#include "l2cap_signal.h"
#include "serial_link.h"

void host_attach(HostState& s, SerialBackend& serial) {
  s.serial = &serial;
  l2cap_attach(s);
}

Status host_open(HostState& s, std::uint8_t port_number) { return host_open(s, com_port(port_number), LineSettings{}); }

Status host_open(HostState& s, const PortName& port, const LineSettings& line) {
  clear_failure(s);
  if (failed(serial_open(s, port, line))) return kStatusFail;
  // A fresh port knows nothing of an earlier link, or packet, or module
  // failure: nothing is sent.
  clear_link_state(s);
  clear_channel_state(s);
  hci_drop_packet_under_way(s);
  s.command_credits = 1;
  s.module_failed = false;
  return kStatusOk;
}

Status host_connect(HostState& s, const DeviceAddress& display_order) {
  clear_failure(s);
  if (failed(hci_module_usable(s))) return kStatusFail;
  hci_forget_pairing(s);
  if (failed(hci_create_connection(s, display_order))) return kStatusFail;
  std::uint8_t saved_pb = s.pb_flag;
  s.pb_flag = kPbFirstFlushable;
  if (failed(l2cap_open_channel(s))) return kStatusFail;
  s.pb_flag = saved_pb;
  // The channel is open only when the peer says so; a link without it is no
  // use, and goes, as after any failed connect.
  if (!failed(l2cap_wait_channel_outcome(s))) return kStatusOk;
  if (s.link_connected != 0) hci_disconnect(s);
  return kStatusFail;
}

Status host_disconnect(HostState& s) {
  clear_failure(s);
  if (failed(hci_module_usable(s))) return kStatusFail;
  if (failed(l2cap_close_channel(s))) return kStatusFail;
  if (failed(l2cap_wait_signal_answer(s))) hci_wait_line_quiet(s);  // the peer's Disconnection Response
  return hci_disconnect(s);
}

Status host_close(HostState& s) {
  clear_failure(s);
  // Keys must not go out on a port that is gone: the channel goes with it.
  clear_channel_state(s);
  return serial_close(s);
}

Status host_send_command(HostState& s, const std::uint8_t* bytes, std::uint8_t count) {
  std::uint8_t saved_pb = s.pb_flag;
  s.pb_flag = kPbFirstFlushable;
  if (failed(l2cap_send_data(s, bytes, count))) return kStatusFail;
  s.pb_flag = saved_pb;
  return kStatusOk;
}
