#pragma once
// The status byte every link and protocol routine returns: 0 success, -1 failure.
// Callers test only the sign.
#include <cstdint>

using Status = std::int8_t;

inline constexpr Status kStatusOk = 0;
inline constexpr Status kStatusFail = -1;

inline constexpr bool failed(Status s) { return s < 0; }
