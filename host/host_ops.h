#pragma once
// The host operations the shell starts, each reduced to one status byte.
#include <cstdint>
#include <mutex>

#include "hci_inquiry.h"   // discover_devices
#include "hci_startup.h"   // module_start_up
#include "host_state.h"
#include "port_name.h"

struct SerialBackend;

// Gives a fresh HostState its serial backend and hooks the layers together.
void host_attach(HostState& s, SerialBackend& serial);

// Opens the port with the line given (which s.line then holds).
Status host_open(HostState& s, const PortName& port, const LineSettings& line);
// COMn at the default line: 57,600 baud, no flow control.
Status host_open(HostState& s, std::uint8_t port_number);
Status host_connect(HostState& s, const DeviceAddress& display_order);
Status host_disconnect(HostState& s);
Status host_close(HostState& s);
Status host_send_command(HostState& s, const std::uint8_t* bytes, std::uint8_t count);

// The link has one owner at a time. A button operation holds it for its
// whole run (waiting for a key command to finish); a key command only tries,
// and is refused while an operation runs.
class LinkOwner {
 public:
  explicit LinkOwner(HostState& s) : lock_(s.link_owner) {}
  LinkOwner(HostState& s, std::try_to_lock_t) : lock_(s.link_owner, std::try_to_lock) {}
  bool owns() const { return lock_.owns_lock(); }

 private:
  std::unique_lock<std::mutex> lock_;
};
