#pragma once
// Shared fixture for the protocol tests: a fresh HostState on a scripted
// link with a port held, and byte-vector helpers.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "host_ops.h"
#include "scripted_serial.h"
#include "serial_link.h"

using Bytes = std::vector<std::uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct WireTest : ::testing::Test {
  ScriptedSerial link;
  HostState s;

  WireTest() {
    host_attach(s, link);
    s.port_handle.held = true;  // as if a port were open
    // A routine tested alone reads inside a wait, as its callers start one.
    start_wait(s, std::chrono::minutes(1));
  }
  Bytes written() { return link.take_written(); }
  std::size_t unread() const { return link.inbound.size(); }
  // Puts a link up with handle 0x002A to `peer` (wire order).
  void link_up(const DeviceAddress& peer = {0x55, 0x44, 0x33, 0x22, 0x11, 0x00}) {
    s.remote_address = peer;
    s.handle_low = 0x2A;
    s.handle_high = 0x00;
    s.link_connected = 1;
  }
};

// Common packets the module sends.
inline Bytes command_complete(std::uint16_t opcode, std::uint8_t status = 0) {
  return {0x04, 0x0E, 0x04, 0x01, static_cast<std::uint8_t>(opcode & 0xFF),
          static_cast<std::uint8_t>(opcode >> 8), status};
}
inline Bytes command_status(std::uint16_t opcode, std::uint8_t status = 0) {
  return {0x04, 0x0F, 0x04, status, 0x01, static_cast<std::uint8_t>(opcode & 0xFF),
          static_cast<std::uint8_t>(opcode >> 8)};
}
// Number Of Completed Packets for handle 0x002A, one packet.
inline Bytes completed_packets() { return {0x04, 0x13, 0x05, 0x01, 0x2A, 0x00, 0x01, 0x00}; }
