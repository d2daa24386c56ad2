#include "pairing_shell.h"

#include <algorithm>

#include "link_keys.h"

namespace {
ShellPairing& pairing_of(void* context) { return *static_cast<ShellPairing*>(context); }

void tell(ShellPairing& pairing, const std::string& text) {
  if (pairing.tell != nullptr) pairing.tell(pairing.context, text);
}

std::size_t pin_for(void* context, const DeviceAddress& address, PinCode& pin) {
  ShellPairing& pairing = pairing_of(context);
  if (pairing.ask_pin == nullptr) return 0;
  return std::min(pairing.ask_pin(pairing.context, address, pin), kPinMaxLength);
}

bool key_for(void* context, const DeviceAddress& address, LinkKey& key) {
  ShellPairing& pairing = pairing_of(context);
  if (pairing.key_file.empty()) return false;
  LinkKeyEntry entry;
  std::vector<std::string> problems;
  const bool found = find_link_key(pairing.key_file, address, entry, problems);
  for (const std::string& problem : problems) {
    if (std::find(pairing.problems_told.begin(), pairing.problems_told.end(), problem) != pairing.problems_told.end())
      continue;
    pairing.problems_told.push_back(problem);
    tell(pairing, problem);
  }
  if (found) key = entry.key;
  return found;
}

void key_made(void* context, const DeviceAddress& address, const LinkKey& key, std::uint8_t key_type) {
  ShellPairing& pairing = pairing_of(context);
  std::string error;
  if (pairing.key_file.empty()) return;
  if (!store_link_key(pairing.key_file, LinkKeyEntry{address, key, key_type}, error))
    tell(pairing, "the new link key for " + colon_address_text(address) + " could not be kept (" + error +
                      "): the next connect pairs again");
}

void key_refused(void* context, const DeviceAddress& address) {
  ShellPairing& pairing = pairing_of(context);
  bool removed = false;
  std::string error;
  if (pairing.key_file.empty()) return;
  if (!remove_link_key(pairing.key_file, address, removed, error)) {
    tell(pairing, "the stored key for " + colon_address_text(address) + " was refused, and could not be forgotten (" +
                      error + ")");
  } else if (removed) {
    tell(pairing, "the stored key for " + colon_address_text(address) +
                      " was refused and forgotten; connect again to pair anew");
  }
}
}  // namespace

std::string pin_problem(const std::string& pin) {
  if (pin.empty() || pin.size() > kPinMaxLength) return "is 1 to 16 characters";
  for (char c : pin) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return "has a control character";
  }
  if (pin.front() == ' ' || pin.back() == ' ') return "begins or ends with a blank";
  return {};
}

std::size_t pin_code_from_text(const std::string& pin, PinCode& code) {
  if (!pin_problem(pin).empty()) return 0;
  code = PinCode{};
  std::copy(pin.begin(), pin.end(), code.begin());
  return pin.size();
}

PairingHooks pairing_hooks(ShellPairing& pairing) {
  PairingHooks hooks;
  hooks.context = &pairing;
  hooks.pin_for = pin_for;
  hooks.key_for = key_for;
  hooks.key_made = key_made;
  hooks.key_refused = key_refused;
  return hooks;
}
