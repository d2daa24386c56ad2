#include "settings.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "line_text.h"
#include "link_keys.h"
#include "pairing_shell.h"
#include "port_name.h"
#include "window_layout.h"

namespace {
std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// Empty when the key and value are taken, else why not.
std::string apply_setting(const std::string& key, const std::string& value, WindowSettings& settings) {
  if (key == "port") {
    PortName port;
    if (!parse_port_name(value, port)) return "\"" + value + "\" names no port (COMn, a device path or tcp:HOST:PORT)";
    settings.port = port_name_text(port);
  } else if (key == "baud") {
    if (!parse_line_rate(value, settings.line.baud))
      return "\"" + value + "\" is not a rate the line takes (" + line_rates_text() + ")";
  } else if (key == "flow") {
    if (!parse_flow_control(value, settings.line.flow)) return "\"" + value + "\" is no flow control (none or rtscts)";
  } else if (key.rfind("pin.", 0) == 0) {
    const std::string device = key.substr(4);
    DeviceAddress address{};
    if (!parse_colon_address(device, address)) return "\"" + device + "\" is no address AA:BB:CC:DD:EE:FF";
    if (const std::string why = pin_problem(value); !why.empty()) return "the PIN " + why;
    settings.pins[colon_address_text(address)] = value;
  } else if (key == "zoom") {
    const bool digit = value.size() == 1 && value[0] >= '0' + kMinZoom && value[0] <= '0' + kMaxZoom;
    if (!digit) return "\"" + value + "\" is no zoom (1 to 6)";
    settings.zoom = value[0] - '0';
  } else {
    return "unknown key \"" + key + "\" (port, baud, flow, zoom or pin.ADDRESS)";
  }
  return {};
}
}  // namespace

std::string path_text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

const char* const kLineOptionsUsage =
    "  --port PORT    the module's port: COMn, a device path or tcp:HOST:PORT\n"
    "  --baud RATE    the module's line speed (default 57600)\n"
    "  --flow FLOW    none (default) or rtscts\n";

void parse_settings(const std::string& text, WindowSettings& settings, std::vector<std::string>& problems) {
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const std::string content = trimmed(line);
    if (content.empty() || content[0] == '#') continue;
    const auto equals = content.find('=');
    std::string why;
    if (equals == std::string::npos) {
      why = "\"" + content + "\" is not key=value";
    } else {
      why = apply_setting(trimmed(content.substr(0, equals)), trimmed(content.substr(equals + 1)), settings);
    }
    if (!why.empty()) problems.push_back("line " + std::to_string(number) + ": " + why + "; ignored");
  }
}

std::string format_settings(const WindowSettings& settings) {
  std::string text =
      "# Corvanta Controller settings: port (COMn, a device path or tcp:HOST:PORT),\n"
      "# baud (the module's line speed), flow (none or rtscts), and pin.ADDRESS\n"
      "# (a remembered PIN of the device at AA:BB:CC:DD:EE:FF).\n";
  if (!settings.port.empty()) text += "port=" + settings.port + "\n";
  text += "baud=" + std::to_string(settings.line.baud) + "\n";
  text += std::string("flow=") + flow_control_name(settings.line.flow) + "\n";
  // The picture's zoom only when it is not the usual 1 (the window's settings).
  const int zoom = std::clamp(settings.zoom, kMinZoom, kMaxZoom);
  if (zoom != kMinZoom) text += "zoom=" + std::to_string(zoom) + "\n";
  for (const auto& [address, pin] : settings.pins) text += "pin." + address + "=" + pin + "\n";
  return text;
}

FileRead read_whole_file(const std::filesystem::path& path, std::string& text) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return error ? FileRead::unreadable : FileRead::missing;
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  if (!file) return FileRead::unreadable;
  text = bytes.str();
  return FileRead::read;
}

bool make_parent_directory(const std::filesystem::path& path, std::string& error) {
  std::error_code made;
  std::filesystem::create_directories(path.parent_path(), made);
  if (!made) return true;
  error = "cannot create " + path_text(path.parent_path()) + ": " + made.message();
  return false;
}

void read_settings_file(const std::filesystem::path& path, WindowSettings& settings,
                        std::vector<std::string>& problems) {
  std::string text;
  const FileRead read = read_whole_file(path, text);
  if (read == FileRead::unreadable) problems.push_back(path_text(path) + ": cannot be read; the defaults are used");
  if (read != FileRead::read) return;
  std::vector<std::string> found;
  parse_settings(text, settings, found);
  for (const std::string& problem : found) problems.push_back(path_text(path) + " " + problem);
}

bool write_settings_file(const std::filesystem::path& path, const WindowSettings& settings, std::string& error) {
  return make_parent_directory(path, error) && write_file_atomically(path, format_settings(settings), error);
}

bool take_line_options(std::vector<std::string>& args, WindowSettings& settings, std::string& error) {
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg != "--port" && arg != "--baud" && arg != "--flow") {
      rest.push_back(arg);
      continue;
    }
    if (i + 1 >= args.size()) {
      error = arg + " needs a value";
      return false;
    }
    const std::string why = apply_setting(arg.substr(2), args[++i], settings);
    if (!why.empty()) {
      error = arg + ": " + why;
      return false;
    }
  }
  args = rest;
  return true;
}
