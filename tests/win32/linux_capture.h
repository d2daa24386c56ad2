#pragma once
// What the Linux build saved for the frame these tests capture, so that a
// Windows picture is held against the other build rather than its own code.
#include <cstddef>
#include <cstdint>

// FNV-1a 64 of a byte string.
inline std::uint64_t fnv1a64(const std::uint8_t* bytes, std::size_t count) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (std::size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3u;
  return hash;
}

// The 20,790-byte .bmp the Linux x86-64 driver writes after one R:
//   build/tools/corvanta-cli --sim --fast open inquiry connect 0 key R capture r.bmp
// hashed apart from this code, in Python:
//   h = 0xcbf29ce484222325
//   for b in open('r.bmp', 'rb').read(): h = ((h ^ b) * 0x100000001b3) % 2**64
inline constexpr std::uint64_t kLinuxPannedRightBmp = 0x2218f2fccea10fae;
