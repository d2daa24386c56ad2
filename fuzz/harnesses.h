#pragma once
// The fuzz harnesses' bodies: each takes one input (what the module, or for
// the virtual module what the host, sends), runs the real protocol code on
// it through the scripted link, checks the invariants after every call and
// returns what broke ("" when nothing did). The libFuzzer programs abort on
// a non-empty answer; the regression replay test expects every kept input
// to give "".
#include <cstddef>
#include <cstdint>
#include <string>

using FuzzBody = std::string (*)(const std::uint8_t* data, std::size_t size);

struct FuzzHarness {
  const char* name;  // also the folder of its corpus and regression cases
  FuzzBody run;
};

// The inbound dispatch from a starting state the input's first 3 bytes
// choose (link up or down, channel open or not, flag cells, frame_length).
std::string fuzz_inbound(const std::uint8_t* data, std::size_t size);
// Start-up: the four commands and their answers.
std::string fuzz_startup(const std::uint8_t* data, std::size_t size);
// Discovery: an inquiry into the table of up to four devices.
std::string fuzz_inquiry(const std::uint8_t* data, std::size_t size);
// Connect to the first device, then disconnect.
std::string fuzz_connect(const std::uint8_t* data, std::size_t size);
// A capture on an open channel, with the conversion of what arrived.
std::string fuzz_capture(const std::uint8_t* data, std::size_t size);
// The virtual module's parser of host bytes, and what it answers.
std::string fuzz_module(const std::uint8_t* data, std::size_t size);
// Keys and captures against a scripted camera with scheduled faults, judged
// by an oracle: every picture and answer reported good is its own
// (exchange_oracle.cpp).
std::string fuzz_exchanges(const std::uint8_t* data, std::size_t size);

inline constexpr FuzzHarness kFuzzHarnesses[] = {
    {"inbound", fuzz_inbound}, {"startup", fuzz_startup}, {"inquiry", fuzz_inquiry},
    {"connect", fuzz_connect}, {"capture", fuzz_capture}, {"module", fuzz_module},
    {"exchanges", fuzz_exchanges},
};
