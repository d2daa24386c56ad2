#include "scripted_serial.h"

Status ScriptedSerial::open_port(const PortName& port, const LineSettings& line, PortHandle& handle) {
  const auto number = static_cast<std::uint8_t>(port.kind == PortKind::com ? port.number : 0);
  opened_ports.push_back(number);
  opened_line = line;
  if (open_outcome == OpenOutcome::device_missing) return kStatusFail;
  handle.held = true;
  handle.native = number;
  return open_outcome == OpenOutcome::ok ? kStatusOk : kStatusFail;
}

void ScriptedSerial::close_port(PortHandle& handle) {
  ++closes;
  handle = PortHandle{};
}

void ScriptedSerial::feed_after(std::chrono::milliseconds delay, const std::vector<std::uint8_t>& bytes) {
  later.push_back({clock_ + delay, bytes});
}

Status ScriptedSerial::write_byte(const PortHandle&, std::uint8_t byte, Deadline) {
  if (writes++ >= fail_write_number) return kStatusFail;
  written.push_back(byte);
  inbound.insert(inbound.end(), answers.begin(), answers.end());
  answers.clear();
  for (auto& [delay, bytes] : delayed_answers) feed_after(delay, bytes);
  delayed_answers.clear();
  return kStatusOk;
}

// Scheduled bytes whose time has come join the inbound bytes.
void ScriptedSerial::release_due() {
  while (!later.empty() && later.front().at <= clock_) {
    inbound.insert(inbound.end(), later.front().bytes.begin(), later.front().bytes.end());
    later.pop_front();
  }
}

ReadEnd ScriptedSerial::read_byte(const PortHandle&, std::uint8_t& out, Deadline deadline,
                                  const std::atomic<bool>& cancel) {
  std::size_t number = reads++;
  if (deadline == expired_deadline) ++reads_after_deadline;
  if (auto scripted = read_endings.find(number); scripted != read_endings.end()) {
    if (scripted->second == ReadEnd::deadline) expired_deadline = deadline;
    return scripted->second;
  }
  if (cancel.load()) return ReadEnd::cancelled;
  // As on a real port: a passed deadline ends the wait even with bytes
  // waiting, so an endless stream cannot hold a reader past its bound.
  if (clock_ >= deadline) {
    expired_deadline = deadline;
    return ReadEnd::deadline;
  }
  release_due();
  if (inbound.empty() && !later.empty() && later.front().at <= deadline) {
    clock_ = later.front().at;  // the wait lasts until they come
    release_due();
  }
  if (inbound.empty()) {
    dry_wait_budgets.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_));
    clock_ = deadline;
    expired_deadline = deadline;
    return ReadEnd::deadline;
  }
  out = inbound.front();
  inbound.pop_front();
  return ReadEnd::byte;
}
