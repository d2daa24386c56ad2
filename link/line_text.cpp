#include "line_text.h"

bool parse_line_rate(const std::string& text, std::uint32_t& baud) {
  if (text.empty() || text.size() > 7) return false;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (!line_rate_supported(value)) return false;
  baud = value;
  return true;
}

bool parse_flow_control(const std::string& text, FlowControl& flow) {
  if (text == "none") {
    flow = FlowControl::none;
  } else if (text == "rtscts") {
    flow = FlowControl::rtscts;
  } else {
    return false;
  }
  return true;
}

bool parse_line_text(const std::string& text, LineSettings& line) {
  const auto comma = text.find(',');
  LineSettings parsed;
  if (!parse_line_rate(text.substr(0, comma), parsed.baud)) return false;
  if (comma != std::string::npos && !parse_flow_control(text.substr(comma + 1), parsed.flow)) return false;
  line = parsed;
  return true;
}

const char* flow_control_name(FlowControl flow) { return flow == FlowControl::rtscts ? "rtscts" : "none"; }

std::string baud_text(std::uint32_t baud) {
  const std::string digits = std::to_string(baud);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped + " baud";
}

std::string line_settings_text(const LineSettings& line) {
  return baud_text(line.baud) + (line.flow == FlowControl::rtscts ? ", RTS/CTS flow control" : ", no flow control");
}

std::string line_rates_text() {
  std::string text;
  for (std::uint32_t rate : kLineRates) text += (text.empty() ? "" : ", ") + std::to_string(rate);
  return text;
}
