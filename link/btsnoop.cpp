#include "btsnoop.h"

#include <chrono>
#include <cstring>

namespace {
constexpr std::uint8_t kH4Command = 0x01;
constexpr std::uint8_t kH4Event = 0x04;

void put_u32_be(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

void put_u64_be(std::uint8_t* out, std::uint64_t value) {
  put_u32_be(out, static_cast<std::uint32_t>(value >> 32));
  put_u32_be(out + 4, static_cast<std::uint32_t>(value));
}
}  // namespace

std::int64_t btsnoop_system_clock() {
  // C++20 fixes the system clock's epoch at the Unix epoch.
  auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count();
}

// 0  8 "btsnoop\0"
// 8  4 version, 1
// 12 4 datalink, 1002 (H4)
void btsnoop_file_header(std::uint8_t (&out)[kBtsnoopFileHeaderSize]) {
  std::memcpy(out, "btsnoop\0", 8);
  put_u32_be(out + 8, kBtsnoopVersion);
  put_u32_be(out + 12, kBtsnoopDatalinkH4);
}

// 0  4 original length
// 4  4 included length
// 8  4 flags
// 12 4 cumulative drops, always 0
// 16 8 timestamp, microseconds since year 0
void btsnoop_record_header(std::uint8_t (&out)[kBtsnoopRecordHeaderSize], std::uint32_t original_length,
                           std::uint32_t included_length, std::uint32_t flags, std::int64_t unix_microseconds) {
  put_u32_be(out, original_length);
  put_u32_be(out + 4, included_length);
  put_u32_be(out + 8, flags);
  put_u32_be(out + 12, 0);
  put_u64_be(out + 16, static_cast<std::uint64_t>(unix_microseconds + kBtsnoopUnixEpochOffset));
}

std::uint32_t btsnoop_flags(std::uint8_t h4_indicator, bool received) {
  std::uint32_t flags = received ? kBtsnoopReceived : 0;
  if (h4_indicator == kH4Command || h4_indicator == kH4Event) flags |= kBtsnoopCommandOrEvent;
  return flags;
}

bool BtsnoopWriter::open(const std::string& path) {
  close();
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) return false;
  std::uint8_t header[kBtsnoopFileHeaderSize];
  btsnoop_file_header(header);
  if (std::fwrite(header, 1, sizeof header, file_) != sizeof header || std::fflush(file_) != 0) {
    close();
    return false;
  }
  return true;
}

void BtsnoopWriter::close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  records_ = 0;
}

bool BtsnoopWriter::write_packet(const std::uint8_t* packet, std::size_t length, bool received) {
  return write_packet(packet, length, static_cast<std::uint32_t>(length), received);
}

bool BtsnoopWriter::write_packet(const std::uint8_t* packet, std::size_t length, std::uint32_t original_length,
                                 bool received) {
  if (length == 0) return false;  // no indicator, nothing a reader could decode
  return write_record(packet, length, original_length, btsnoop_flags(packet[0], received), clock());
}

bool BtsnoopWriter::write_record(const std::uint8_t* packet, std::size_t length, std::uint32_t original_length,
                                 std::uint32_t flags, std::int64_t unix_microseconds) {
  if (file_ == nullptr) return false;
  std::uint8_t header[kBtsnoopRecordHeaderSize];
  btsnoop_record_header(header, original_length, static_cast<std::uint32_t>(length), flags, unix_microseconds);
  bool written = std::fwrite(header, 1, sizeof header, file_) == sizeof header &&
                 std::fwrite(packet, 1, length, file_) == length;
  // Flushed record by record: a process that dies next still leaves it whole.
  if (std::fflush(file_) != 0) written = false;
  if (written) ++records_;
  return written;
}
