#include "link_keys.h"

#include <cstdio>
#include <sstream>

#include "settings.h"

namespace {
constexpr const char* kHeader =
    "# Corvanta Controller link keys: one device a line, ADDRESS KEY TYPE:\n"
    "# the address AA:BB:CC:DD:EE:FF, the key's 16 bytes as the module gave\n"
    "# them in 32 hex digits, and the module's Key_Type as a decimal number.\n";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Two hex digits at `at` into `byte`.
bool hex_byte(const std::string& text, std::size_t at, std::uint8_t& byte) {
  const int high = hex_value(text[at]);
  const int low = hex_value(text[at + 1]);
  if (high < 0 || low < 0) return false;
  byte = static_cast<std::uint8_t>(high * 16 + low);
  return true;
}

bool is_comment(const std::string& line) {
  const auto first = line.find_first_not_of(" \t\r");
  return first == std::string::npos || line[first] == '#';
}

// Empty when `line` is an entry (into `entry`), else why not.
std::string parse_line(const std::string& line, LinkKeyEntry& entry) {
  std::istringstream fields(line);
  std::string address, key, type, extra;
  if (!(fields >> address >> key >> type) || (fields >> extra)) return "not ADDRESS KEY TYPE";
  if (!parse_colon_address(address, entry.address)) return "\"" + address + "\" is no address AA:BB:CC:DD:EE:FF";
  bool digits = key.size() == 2 * kLinkKeySize;
  for (std::size_t i = 0; digits && i < kLinkKeySize; ++i) digits = hex_byte(key, 2 * i, entry.key[i]);
  if (!digits) return "the key is not 32 hex digits";
  unsigned value = 0;
  bool number = !type.empty() && type.size() <= 3;
  for (char c : type) {
    number = number && c >= '0' && c <= '9';
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (!number || value > 255) return "\"" + type + "\" is no key type (0 to 255)";
  entry.type = static_cast<std::uint8_t>(value);
  return {};
}

// The lines of the file's text, each without its line end.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The file's text, "" when there is none; false when it cannot be read.
bool read_key_file(const std::filesystem::path& path, std::string& text, std::string& error) {
  if (read_whole_file(path, text) != FileRead::unreadable) return true;
  error = "cannot read " + path_text(path);
  return false;
}

// The file again without the lines of `address` (damaged lines and comments
// stay as they were), with `added` at the end when given; `dropped` counts
// the lines left out.
std::string rewritten(const std::string& text, const DeviceAddress& address, const std::string& added, int& dropped) {
  std::string out;
  dropped = 0;
  for (const std::string& line : lines_of(text)) {
    LinkKeyEntry entry;
    if (!is_comment(line) && parse_line(line, entry).empty() && entry.address == address) {
      ++dropped;
      continue;
    }
    out += line + "\n";
  }
  if (out.empty() && !added.empty()) out = kHeader;
  return out + added;
}

bool write_key_file(const std::filesystem::path& path, const std::string& text, std::string& error) {
  return make_parent_directory(path, error) && write_file_atomically(path, text, error, true);
}
}  // namespace

std::string colon_address_text(const DeviceAddress& a) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
  return text;
}

bool parse_colon_address(const std::string& text, DeviceAddress& display_order) {
  if (text.size() != 17) return false;
  DeviceAddress address{};
  for (std::size_t i = 0; i < address.size(); ++i) {
    if (i > 0 && text[3 * i - 1] != ':') return false;
    if (!hex_byte(text, 3 * i, address[i])) return false;
  }
  display_order = address;
  return true;
}

std::vector<LinkKeyEntry> parse_link_keys(const std::string& text, std::vector<std::string>& problems) {
  std::vector<LinkKeyEntry> entries;
  int number = 0;
  for (const std::string& line : lines_of(text)) {
    ++number;
    if (is_comment(line)) continue;
    LinkKeyEntry entry;
    if (const std::string why = parse_line(line, entry); !why.empty()) {
      problems.push_back("line " + std::to_string(number) + ": " + why + "; ignored");
      continue;
    }
    entries.push_back(entry);
  }
  return entries;
}

std::string link_key_line(const LinkKeyEntry& entry) {
  std::string line = colon_address_text(entry.address) + " ";
  for (std::uint8_t byte : entry.key) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", byte);
    line += hex;
  }
  return line + " " + std::to_string(entry.type);
}

bool find_link_key(const std::filesystem::path& path, const DeviceAddress& address, LinkKeyEntry& found,
                   std::vector<std::string>& problems) {
  std::string text;
  std::string error;
  if (!read_key_file(path, text, error)) {
    problems.push_back(error + "; no stored key is used");
    return false;
  }
  std::vector<std::string> found_problems;
  bool any = false;
  for (const LinkKeyEntry& entry : parse_link_keys(text, found_problems)) {
    if (entry.address != address) continue;
    found = entry;  // the last line of the device counts
    any = true;
  }
  for (const std::string& problem : found_problems) problems.push_back(path_text(path) + " " + problem);
  return any;
}

bool store_link_key(const std::filesystem::path& path, const LinkKeyEntry& entry, std::string& error) {
  std::string text;
  if (!read_key_file(path, text, error)) return false;
  int dropped = 0;
  return write_key_file(path, rewritten(text, entry.address, link_key_line(entry) + "\n", dropped), error);
}

bool remove_link_key(const std::filesystem::path& path, const DeviceAddress& address, bool& removed,
                     std::string& error) {
  removed = false;
  std::string text;
  if (!read_key_file(path, text, error)) return false;
  int dropped = 0;
  const std::string kept = rewritten(text, address, "", dropped);
  if (dropped == 0) return true;  // nothing to remove: the file stays as it is
  removed = true;
  return write_key_file(path, kept, error);
}
