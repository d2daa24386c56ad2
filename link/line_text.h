#pragma once
// Line settings in words and back: the options of the programs, the
// settings file, the messages.
#include <cstdint>
#include <string>

#include "line_settings.h"

// A rate of kLineRates, in decimal digits ("115200").
bool parse_line_rate(const std::string& text, std::uint32_t& baud);
// "none" or "rtscts".
bool parse_flow_control(const std::string& text, FlowControl& flow);
// "RATE" or "RATE,rtscts" (or "RATE,none").
bool parse_line_text(const std::string& text, LineSettings& line);
// The option and settings form: "none", "rtscts".
const char* flow_control_name(FlowControl flow);
// "115,200 baud".
std::string baud_text(std::uint32_t baud);
// "57,600 baud, no flow control", "115,200 baud, RTS/CTS flow control".
std::string line_settings_text(const LineSettings& line);
// The rates a port takes, for usage messages: "9600, 14400, ..., 3000000".
std::string line_rates_text();
