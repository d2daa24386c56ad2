#pragma once
// A 6-byte Bluetooth device address. The same type carries two byte orders:
// wire order (least significant byte first, as in HCI packets) and display
// order (most significant byte first, as the discovery table and its texts).
#include <array>
#include <cstdint>

using DeviceAddress = std::array<std::uint8_t, 6>;

// Reverses a wire-order address into display order and back.
inline DeviceAddress reversed_address(const DeviceAddress& a) {
  return {a[5], a[4], a[3], a[2], a[1], a[0]};
}
