#pragma once
// The serial line the module needs: its speed and whether it uses RTS/CTS
// hardware flow control (8N1 always). The defaults are the line this
// program has always spoken: 57,600 baud, no flow control.
#include <array>
#include <cstdint>

enum class FlowControl : std::uint8_t { none, rtscts };

struct LineSettings {
  std::uint32_t baud = 57600;
  FlowControl flow = FlowControl::none;
};

inline constexpr bool operator==(const LineSettings& a, const LineSettings& b) {
  return a.baud == b.baud && a.flow == b.flow;
}

// The rates a port may be set to: the usual UART rates up to 921,600 and the
// three higher ones modules use. Linux and Windows both take any of them.
inline constexpr std::array<std::uint32_t, 12> kLineRates = {9600,   14400,  19200,  38400,   57600,   115200,
                                                             230400, 460800, 921600, 1000000, 1500000, 3000000};

inline constexpr bool line_rate_supported(std::uint32_t baud) {
  for (std::uint32_t rate : kLineRates)
    if (rate == baud) return true;
  return false;
}
