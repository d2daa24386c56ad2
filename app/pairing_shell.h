#pragma once
// A shell's side of pairing (include/pairing.h), the same for the driver and
// both windows: the link keys from the key file, and the PIN from whatever
// way the shell has of asking. Toolkit-free.
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "pairing.h"

// Empty when `pin` can be a PIN, else why not: 1 to 16 bytes of text (one
// character each in ASCII), no control characters, and no blank at either
// end (a settings value is read trimmed).
std::string pin_problem(const std::string& pin);
// The PIN's bytes into `code`; its length (0 for a text that is no PIN).
std::size_t pin_code_from_text(const std::string& pin, PinCode& code);

struct ShellPairing {
  std::filesystem::path key_file;  // "": no keys are kept
  // The shell's way of asking for a PIN (pairing.h's pin_for); none when
  // not set.
  std::size_t (*ask_pin)(void* context, const DeviceAddress& address, PinCode& pin) = nullptr;
  // What the user should be told, from inside a wait: a refused key that was
  // forgotten, a key that could not be kept, a damaged key file. Must be
  // quick and must not use the link.
  void (*tell)(void* context, const std::string& text) = nullptr;
  void* context = nullptr;
  // Problems of the key file already told this run: each is told once.
  std::vector<std::string> problems_told;
};

// Hooks whose routines use `pairing` (which must outlive them): key_for
// reads the key file, key_made stores the new key, key_refused removes the
// refused one and tells so, pin_for asks through ask_pin.
PairingHooks pairing_hooks(ShellPairing& pairing);
