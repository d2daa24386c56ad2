// corvanta-fuzz-seeds TRACE OUTDIR PREFIX: turns a driver's btsnoop trace of
// a whole session (open, inquiry, connect, keys, capture, disconnect) into
// one seed per harness, each the bytes its entry point reads:
//   startup  what the module sent after HCI_Reset up to the Inquiry
//   inquiry  what it sent after the Inquiry
//   connect  after Create_Connection and the channel open, then after the
//            channel close and Disconnect
//   capture  what it sent after the "U" that fetched a picture
//   inbound  3 state bytes (link up, channel open, frame_length 0) and
//            everything the module sent after the channel opened
//   module   every byte the host sent
// Written as OUTDIR/<harness>/PREFIX.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "btsnoop.h"

namespace {
using Bytes = std::vector<std::uint8_t>;

std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

struct Packet {
  bool received;
  Bytes bytes;  // indicator first
};

// What a host packet starts: a command's opcode, or the first payload byte
// of channel data (0 for signalling).
enum class Mark { none, reset, inquiry, create_connection, channel_open, capture, channel_close, disconnect, other };

Mark mark_of(const Bytes& p) {
  if (p[0] == 0x01 && p.size() >= 3) {
    const std::uint16_t opcode = static_cast<std::uint16_t>(p[1] | p[2] << 8);
    switch (opcode) {
      case 0x0C03: return Mark::reset;
      case 0x0401: return Mark::inquiry;
      case 0x0405: return Mark::create_connection;
      case 0x0406: return Mark::disconnect;
      default: return Mark::other;
    }
  }
  if (p[0] == 0x02 && p.size() >= 10) {
    const std::uint16_t cid = static_cast<std::uint16_t>(p[7] | p[8] << 8);
    if (cid == 0x0001) return p[9] == 0x02 ? Mark::channel_open : p[9] == 0x06 ? Mark::channel_close : Mark::other;
    return p[9] == 'U' ? Mark::capture : Mark::other;
  }
  return Mark::other;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "Usage: corvanta-fuzz-seeds TRACE OUTDIR PREFIX\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (file.size() < kBtsnoopFileHeaderSize || std::string(file.begin(), file.begin() + 7) != "btsnoop") {
    std::fprintf(stderr, "corvanta-fuzz-seeds: %s is no btsnoop file\n", argv[1]);
    return 1;
  }
  std::vector<Packet> packets;
  for (std::size_t at = kBtsnoopFileHeaderSize; at + kBtsnoopRecordHeaderSize <= file.size();) {
    const std::uint32_t included = be32(&file[at + 4]);
    const bool received = (be32(&file[at + 8]) & kBtsnoopReceived) != 0;
    at += kBtsnoopRecordHeaderSize;
    if (included == 0 || at + included > file.size()) break;
    packets.push_back({received, Bytes(file.begin() + at, file.begin() + at + included)});
    at += included;
  }

  // Module bytes after each kind of host packet, up to the next host packet.
  std::map<Mark, Bytes> after;
  Bytes host_bytes;
  Bytes after_channel_open_all;
  Mark last = Mark::none;
  bool channel_seen = false;
  for (const Packet& p : packets) {
    if (!p.received) {
      host_bytes.insert(host_bytes.end(), p.bytes.begin(), p.bytes.end());
      const Mark m = mark_of(p.bytes);
      // The start-up's later commands belong to the reset's segment.
      if (!(last == Mark::reset && m == Mark::other)) last = m;
      if (m == Mark::channel_open) channel_seen = true;
      continue;
    }
    Bytes& segment = after[last];
    segment.insert(segment.end(), p.bytes.begin(), p.bytes.end());
    if (channel_seen) after_channel_open_all.insert(after_channel_open_all.end(), p.bytes.begin(), p.bytes.end());
  }

  auto cat = [&](std::initializer_list<Mark> marks) {
    Bytes out;
    for (Mark m : marks) out.insert(out.end(), after[m].begin(), after[m].end());
    return out;
  };
  Bytes inbound{0x03, 0x00, 0x00};
  inbound.insert(inbound.end(), after_channel_open_all.begin(), after_channel_open_all.end());
  const std::map<std::string, Bytes> seeds = {
      {"startup", after[Mark::reset]},
      {"inquiry", after[Mark::inquiry]},
      {"connect", cat({Mark::create_connection, Mark::channel_open, Mark::channel_close, Mark::disconnect})},
      {"capture", after[Mark::capture]},
      {"inbound", inbound},
      {"module", host_bytes},
  };
  for (const auto& [harness, bytes] : seeds) {
    if (bytes.empty()) continue;
    const std::filesystem::path folder = std::filesystem::path(argv[2]) / harness;
    std::filesystem::create_directories(folder);
    std::ofstream out(folder / argv[3], std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::printf("%s/%s: %zu bytes\n", harness.c_str(), argv[3], bytes.size());
  }
  return 0;
}
