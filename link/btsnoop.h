#pragma once
// A btsnoop capture of the serial link, in the H4 (UART) datalink that
// Wireshark, tshark and btmon -r read. Each record is flushed as it is
// written, so a crash or Ctrl-C still leaves a readable file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

inline constexpr std::size_t kBtsnoopFileHeaderSize = 16;
inline constexpr std::size_t kBtsnoopRecordHeaderSize = 24;
inline constexpr std::uint32_t kBtsnoopVersion = 1;
inline constexpr std::uint32_t kBtsnoopDatalinkH4 = 1002;

// Record flags: bit 0 the direction, bit 1 the packet kind.
inline constexpr std::uint32_t kBtsnoopReceived = 0x01;       // module -> host
inline constexpr std::uint32_t kBtsnoopCommandOrEvent = 0x02;  // else ACL or SCO data

// btsnoop timestamps count microseconds from midnight, 1 January of year 0.
inline constexpr std::int64_t kBtsnoopUnixEpochOffset = 0x00DCDDB30F2F8000;

// Microseconds since the Unix epoch, from the system clock.
using BtsnoopClock = std::int64_t (*)();
std::int64_t btsnoop_system_clock();

// "btsnoop\0", version (u32 BE), datalink (u32 BE).
void btsnoop_file_header(std::uint8_t (&out)[kBtsnoopFileHeaderSize]);

// original length, included length, flags, cumulative drops (u32 BE each),
// timestamp (i64 BE, microseconds since year 0).
void btsnoop_record_header(std::uint8_t (&out)[kBtsnoopRecordHeaderSize], std::uint32_t original_length,
                           std::uint32_t included_length, std::uint32_t flags, std::int64_t unix_microseconds);

// The flags of one H4 packet, from its indicator byte and its direction.
std::uint32_t btsnoop_flags(std::uint8_t h4_indicator, bool received);

struct BtsnoopWriter {
  // Where record timestamps come from; tests put a fixed clock here.
  BtsnoopClock clock = btsnoop_system_clock;

  BtsnoopWriter() = default;
  BtsnoopWriter(const BtsnoopWriter&) = delete;
  BtsnoopWriter& operator=(const BtsnoopWriter&) = delete;
  ~BtsnoopWriter() { close(); }

  // Creates (truncates) the file and writes its header. False if the file
  // cannot be created or written; the writer is then closed.
  bool open(const std::string& path);
  void close();
  bool is_open() const { return file_ != nullptr; }

  // One H4 packet, indicator byte first, stamped with the clock now.
  // `original_length` exceeds `length` only when the packet was cut short.
  bool write_packet(const std::uint8_t* packet, std::size_t length, bool received);
  bool write_packet(const std::uint8_t* packet, std::size_t length, std::uint32_t original_length,
                    bool received);
  // The same with an explicit timestamp (microseconds since the Unix epoch).
  bool write_record(const std::uint8_t* packet, std::size_t length, std::uint32_t original_length,
                    std::uint32_t flags, std::int64_t unix_microseconds);

  std::size_t records_written() const { return records_; }

 private:
  std::FILE* file_ = nullptr;
  std::size_t records_ = 0;
};
