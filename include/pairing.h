#pragma once
// What the host needs for legacy pairing from whoever keeps link keys and
// asks the user for a PIN (the shells): the protocol layers call these from
// inside a wait, on the thread that runs the operation, when the module asks
// (PIN Code Request, Link Key Request) or tells (Link Key Notification).
// Each routine is optional; one not set answers as "none".
#include <array>
#include <cstddef>
#include <cstdint>

#include "device_address.h"

inline constexpr std::size_t kLinkKeySize = 16;
inline constexpr std::size_t kPinMaxLength = 16;
using LinkKey = std::array<std::uint8_t, kLinkKeySize>;
using PinCode = std::array<std::uint8_t, kPinMaxLength>;

struct PairingHooks {
  void* context = nullptr;
  // The PIN for the device at `address` (display order): its length, 1 to
  // 16, with the PIN in `pin`; 0 when there is none (the module is told so
  // at once). May block while the user is asked, within its own bound (30 s
  // for a dialog), and must not use the link.
  std::size_t (*pin_for)(void* context, const DeviceAddress& address, PinCode& pin) = nullptr;
  // The stored link key for `address`: true with the key in `key`.
  bool (*key_for)(void* context, const DeviceAddress& address, LinkKey& key) = nullptr;
  // Pairing made a new key for `address` (Key_Type as the module gave it).
  void (*key_made)(void* context, const DeviceAddress& address, const LinkKey& key, std::uint8_t key_type) = nullptr;
  // `address` refused the key it was given: it is no longer any good.
  void (*key_refused)(void* context, const DeviceAddress& address) = nullptr;
};
