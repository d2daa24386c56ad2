#pragma once
// The virtual controller driven without a pty: host bytes in, module bytes
// out, byte-exact, on a clock the test moves.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "controller_model.h"

using Bytes = std::vector<std::uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Controller : ::testing::Test {
  SimOptions options;
  SimClock::time_point now{};
  std::unique_ptr<ControllerModel> model;

  Controller() {
    options.inquiry_time_scale = 1.0;
    make();
  }
  void make() { model = std::make_unique<ControllerModel>(options); }
  void send(const Bytes& bytes) {
    for (std::uint8_t b : bytes) model->host_byte(b, now);
  }
  Bytes out() {
    Bytes b(model->output().begin(), model->output().end());
    model->output().clear();
    return b;
  }
  Bytes exchange(const Bytes& bytes) {
    send(bytes);
    return out();
  }
  // What the module says once the clock has moved on by `by`.
  Bytes after(SimClock::duration by) {
    now += by;
    model->advance(now);
    return out();
  }
  // Start-up with scans on, then a link to the default camera (handle 0x002A).
  void link_up() {
    exchange({0x01, 0x1A, 0x0C, 0x01, 0x03});
    exchange({0x01, 0x05, 0x04, 0x0D, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA, 0x10, 0x00, 0x00, 0x00, 0x20, 0x80, 0x00});
  }
};
