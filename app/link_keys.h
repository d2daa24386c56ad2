#pragma once
// The link keys pairing made, kept between runs so that a device paired
// once connects again without a PIN. One file, the same format on both
// systems, one line a device:
//
//   # Corvanta Controller link keys
//   00:1B:DC:40:00:0A 000102030405060708090A0B0C0D0E0F 0
//
// the device's address, the key's 16 bytes in the order the module gave
// them (Link Key Notification, first byte first) as 32 hex digits, and the
// module's Key_Type as a decimal number (0 a combination key). Blank lines
// and lines that begin with '#' are comments; a device given twice keeps
// its last line. A line that is none of these is reported with its number
// and ignored, and kept as it is when the file is written again. The file
// lives at $XDG_STATE_HOME/corvanta/link-keys (~/.local/state/...) on
// Linux and at %LOCALAPPDATA%\Corvanta\link-keys on Windows, mode 0600 on
// POSIX, and is replaced whole through a temporary file. Toolkit-free: the
// driver and both windows use it.
#include <filesystem>
#include <string>
#include <vector>

#include "device_address.h"
#include "pairing.h"

struct LinkKeyEntry {
  DeviceAddress address{};  // display order
  LinkKey key{};
  std::uint8_t type = 0;
};

// Addresses as the file, the driver and the settings write them:
// "AA:BB:CC:DD:EE:FF", display order. The parse takes exactly that form
// (either case).
std::string colon_address_text(const DeviceAddress& display_order);
bool parse_colon_address(const std::string& text, DeviceAddress& display_order);

// The entries of a key file's text; each line that is malformed adds
// "line N: why; ignored" to `problems`.
std::vector<LinkKeyEntry> parse_link_keys(const std::string& text, std::vector<std::string>& problems);
// One entry's line, without its line end.
std::string link_key_line(const LinkKeyEntry& entry);

// link_keys_posix.cpp, link_keys_win32.cpp: where the file lives.
std::filesystem::path link_key_file_path();

// The key stored for `address` in the file at `path` (a missing file holds
// none): true with it in `found`. Problems are named after the file.
bool find_link_key(const std::filesystem::path& path, const DeviceAddress& address, LinkKeyEntry& found,
                   std::vector<std::string>& problems);
// Stores `entry`, in place of any key the device had, making the file and
// its directory when missing; false with `error` saying why.
bool store_link_key(const std::filesystem::path& path, const LinkKeyEntry& entry, std::string& error);
// Removes the device's key: `removed` tells whether there was one. False
// with `error` when the file cannot be read or written.
bool remove_link_key(const std::filesystem::path& path, const DeviceAddress& address, bool& removed,
                     std::string& error);
