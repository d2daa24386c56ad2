#pragma once
// The names a user gives a port: COMn (or just n), a device path, or
// tcp:HOST:PORT for a module behind a TCP server (ser2net, an emulator).
// The same text means the same port in the driver's --port, the windows'
// port box and the settings file.
#include <cstdint>
#include <string>

enum class PortKind : std::uint8_t { com, device, tcp };

inline constexpr std::uint16_t kHighestComPort = 255;

struct PortName {
  PortKind kind = PortKind::com;
  std::uint16_t number = 0;  // COMn's n (1..255), or the TCP port (1..65535)
  std::string text;          // the device path, or the TCP host
};

inline PortName com_port(std::uint16_t number) { return PortName{PortKind::com, number, {}}; }

// "COM12", "com3", "7", "/dev/ttyUSB0", "\\.\COM12", "tcp:localhost:6402",
// "tcp:[::1]:6402". False (out untouched) for a text that names no port.
bool parse_port_name(const std::string& text, PortName& out);
// The text a user would give for it: "COM12", the path, "tcp:HOST:PORT".
std::string port_name_text(const PortName& port);
