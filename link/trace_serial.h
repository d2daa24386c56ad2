#pragma once
// A serial backend that records the traffic of the backend it wraps in a
// btsnoop file: one record per complete H4 packet, in the order the packets
// complete on the link.
#include <array>
#include <cstddef>
#include <cstdint>

#include "btsnoop.h"
#include "serial_link.h"

// Follows the H4 framing of one direction's byte stream. The host reads a
// byte per call and may abandon a packet half way and read its rest as if
// new packets began there; the tracker goes by the bytes that actually
// crossed the link, so its packets are the true ones.
struct H4PacketTracker {
  // The largest H4 packet: ACL indicator, 4-byte header, 65,535 data bytes.
  static constexpr std::size_t kCapacity = 1 + 4 + 65535;

  // Adds one byte. True when it completes a packet, which packet() and
  // length() then show until the next byte. A byte that cannot begin a
  // packet (noise, an unknown indicator) is skipped.
  bool take(std::uint8_t byte);
  // Forgets a packet begun but not finished (the port went away).
  void drop_partial();
  // Bytes held so far, indicator first.
  const std::uint8_t* packet() const { return bytes_.data(); }
  std::size_t length() const { return filled_; }

 private:
  std::array<std::uint8_t, kCapacity> bytes_{};
  std::size_t filled_ = 0;
  std::size_t total_ = 0;  // the whole packet's size, once its header is in; else 0
  bool complete_ = false;
};

// Bytes between the indicator and the payload: 3 command, 4 ACL, 3 SCO,
// 2 event; 0 for a byte that is no indicator.
std::size_t h4_header_length(std::uint8_t indicator);

// Holds two 64 KiB trackers: keep it in static storage or on the heap rather
// than on a small thread stack.
struct TraceSerial final : SerialBackend {
  TraceSerial(SerialBackend& inner, BtsnoopWriter& out) : inner_(inner), out_(out) {}

  Status open_port(const PortName& port, const LineSettings& line, PortHandle& handle) override;
  void close_port(PortHandle& handle) override;
  Status write_byte(const PortHandle& handle, std::uint8_t byte, Deadline deadline) override;
  ReadEnd read_byte(const PortHandle& handle, std::uint8_t& out, Deadline deadline,
                    const std::atomic<bool>& cancel) override;
  ReadEnd read_bytes(const PortHandle& handle, std::uint8_t* out, std::size_t n, Deadline deadline,
                     const std::atomic<bool>& cancel, std::size_t& got) override;
  Deadline now() const override { return inner_.now(); }

 private:
  void drop_partial_packets();

  SerialBackend& inner_;
  BtsnoopWriter& out_;
  H4PacketTracker sent_;      // host -> module
  H4PacketTracker received_;  // module -> host
};
