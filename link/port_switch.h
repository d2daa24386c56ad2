#pragma once
// The backend a port's name asks for: a TCP address goes to the TCP
// backend, any other name to the serial port. Each shell holds one over its
// two backends, so that the layers above see one link whatever the user
// chose.
#include "serial_link.h"

struct PortSwitch final : SerialBackend {
  PortSwitch(SerialBackend& serial, SerialBackend& tcp) : serial_(serial), tcp_(tcp) {}

  Status open_port(const PortName& port, const LineSettings& line, PortHandle& handle) override {
    open_ = port.kind == PortKind::tcp ? &tcp_ : &serial_;
    return open_->open_port(port, line, handle);
  }
  void close_port(PortHandle& handle) override { open_->close_port(handle); }
  Status write_byte(const PortHandle& handle, std::uint8_t byte, Deadline deadline) override {
    return open_->write_byte(handle, byte, deadline);
  }
  ReadEnd read_byte(const PortHandle& handle, std::uint8_t& out, Deadline deadline,
                    const std::atomic<bool>& cancel) override {
    return open_->read_byte(handle, out, deadline, cancel);
  }
  ReadEnd read_bytes(const PortHandle& handle, std::uint8_t* out, std::size_t n, Deadline deadline,
                     const std::atomic<bool>& cancel, std::size_t& got) override {
    return open_->read_bytes(handle, out, n, deadline, cancel, got);
  }
  Deadline now() const override { return open_->now(); }

 private:
  SerialBackend& serial_;
  SerialBackend& tcp_;
  SerialBackend* open_ = &serial_;  // the backend of the last open
};
