#include "sim_options.h"

#include <cctype>

// Twelve hex digits, most significant first, with or without ':' or '-'
// between the bytes: CAFE00000001, CA:FE:00:00:00:01.
bool parse_device_address(const std::string& text, DeviceAddress& display_order) {
  std::string digits;
  for (char c : text) {
    if (c == ':' || c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits.push_back(c);
  }
  if (digits.size() != 12) return false;
  for (std::size_t i = 0; i < 6; ++i)
    display_order[i] = static_cast<std::uint8_t>(std::stoi(digits.substr(2 * i, 2), nullptr, 16));
  return true;
}
