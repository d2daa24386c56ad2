#include "port_name.h"

namespace {
// A decimal number of at most five digits in [low, high]; false otherwise.
bool parse_decimal(const std::string& text, unsigned low, unsigned high, unsigned& value) {
  if (text.empty() || text.size() > 5) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value >= low && value <= high;
}

bool parse_tcp(const std::string& rest, PortName& out) {
  // The port follows the last colon; a bracketed host may hold colons itself.
  const auto colon = rest.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = rest.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  unsigned port = 0;
  if (host.empty() || !parse_decimal(rest.substr(colon + 1), 1, 65535, port)) return false;
  out = PortName{PortKind::tcp, static_cast<std::uint16_t>(port), host};
  return true;
}
}  // namespace

bool parse_port_name(const std::string& text, PortName& out) {
  if (text.rfind("tcp:", 0) == 0) return parse_tcp(text.substr(4), out);
  if (text.find('/') != std::string::npos || text.find('\\') != std::string::npos) {
    out = PortName{PortKind::device, 0, text};
    return true;
  }
  std::string digits = text;
  if (text.size() > 3 && (text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
      (text[2] == 'M' || text[2] == 'm'))
    digits = text.substr(3);
  unsigned number = 0;
  if (!parse_decimal(digits, 1, kHighestComPort, number)) return false;
  out = com_port(static_cast<std::uint16_t>(number));
  return true;
}

std::string port_name_text(const PortName& port) {
  switch (port.kind) {
    case PortKind::com:
      return "COM" + std::to_string(port.number);
    case PortKind::device:
      return port.text;
    case PortKind::tcp:
      return "tcp:" + (port.text.find(':') != std::string::npos ? "[" + port.text + "]" : port.text) + ":" +
             std::to_string(port.number);
  }
  return {};
}
