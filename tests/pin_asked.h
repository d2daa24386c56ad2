#pragma once
// The protocol asking a window for a PIN, as the worker would: on a thread
// of its own, so that the test can act as the user meanwhile.
#include <atomic>
#include <string>
#include <thread>

#include "host_state.h"

struct PinAsked {
  std::thread thread;
  std::atomic<bool> done{false};
  std::size_t length = 99;
  PinCode pin{};

  PinAsked(HostState& host, const DeviceAddress& address) {
    thread = std::thread([this, &host, address] {
      length = host.pairing.pin_for(host.pairing.context, address, pin);
      done = true;
    });
  }
  ~PinAsked() { thread.join(); }
  std::string answer() const { return std::string(pin.begin(), pin.begin() + static_cast<std::ptrdiff_t>(length)); }
};
