#pragma once
// The virtual module's chaos: its random numbers, and the record it keeps of
// what each camera answer held and what was done to it, so that a soak can
// tell a good picture from a wrong one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim_options.h"
#include "virtual_camera.h"

// splitmix64: small, and the same numbers on every platform and library.
struct ChaosRandom {
  std::uint64_t state = 0;
  std::uint64_t next();
};

// One opportunity's draw: whether the fault fires, and the numbers that place
// it. Always the same count of draws, so that which kinds are on, and the
// rate, never move the others.
struct ChaosDraw {
  bool hit = false;
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  std::uint64_t c = 0;
};
ChaosDraw chaos_draw(ChaosRandom& random, double rate, bool kind_on);

enum class ChaosFaultKind : std::uint8_t {
  pause,         // value: milliseconds
  lost_row,
  page,          // the intruder's Connection Request
  stray_acl,     // an 8-byte frame for handle 0x0ABC
  low_cid,       // a 20-byte frame on CID 0x0003
  echo_request,
  info_request,
  fragments,     // value: the largest fragment's data bytes
  drop_byte,     // offset: in the packet as it would have gone out
  add_byte,      // offset: of the new byte in the packet; value: the byte
  channel_frame,  // an unasked 4-byte frame on the camera's channel
  foreign_row,    // a 192-byte frame on CID 0x0047, where the host has no channel
  twice,          // the row sent twice (at row 72: a row too many after the last)
  gap,            // value: milliseconds before each row after the first
  pause_inside,   // offset: the row's bytes before the pause; value: milliseconds
  held,           // value: milliseconds the rest was held back; what the host asked meanwhile went first
  link_loss,      // the link went before this row or answer; the rest follows on the next channel
  substitute,     // offset: of the changed byte in the packet; value: the new byte
};
inline constexpr int kChaosKindCount = 18;

// Where a fault sits: a picture row (0..71), or one of these.
inline constexpr int kChaosAtAnswer = -1;   // a key's answer
inline constexpr int kChaosAtEvent = -2;    // the Number Of Completed Packets event for the command
inline constexpr int kChaosAtConnect = -3;  // between Create_Connection's Command Status and Connection Complete

struct ChaosFault {
  ChaosFaultKind kind = ChaosFaultKind::pause;
  int at = 0;
  std::uint32_t value = 0;
  std::uint32_t offset = 0;
};

enum class ChaosRecordType : std::uint8_t { picture, key, connect };

struct ChaosRecord {
  ChaosRecordType type = ChaosRecordType::picture;
  std::uint32_t number = 0;  // 1-based among the records of its type
  CameraScene scene;         // picture: what the camera saw
  std::uint64_t digest = 0;  // picture: FNV-1a of the intended 13,824-byte frame
  char letter = 0;           // key
  std::vector<std::uint8_t> answer;  // key: the answer's payload
  std::vector<ChaosFault> faults;    // in the order they were applied
};

// 64-bit FNV-1a.
std::uint64_t fnv1a64(const std::uint8_t* data, std::size_t size);

const char* chaos_fault_name(ChaosFaultKind kind);
// One line, no newline: see sim/README.md.
std::string format_chaos_record(const ChaosRecord& record);

// "SEED[:RATE]": a decimal seed, a rate from 0 to 1.
bool parse_chaos_seed(const std::string& text, SimChaos& chaos);
// Comma-separated names: pause, lost, page-picture, page-connect, stray,
// fragments, drop, add, channel-stray, twice, gaps, pause-inside, reorder,
// link-loss, substitute, or all (every one but substitute).
bool parse_chaos_kinds(const std::string& text, std::uint32_t& kinds);
