#pragma once
// A scripted backend for tests: it records every byte written, hands out the
// scripted inbound bytes one read at a time, and can end a chosen read with
// a failure. It keeps a clock of its own that moves only when a wait does:
// bytes scheduled for later arrive when a wait reaches their time, and when
// the script runs dry a read waits out its deadline (a silent module), the
// time that wait had left being recorded. A read after its deadline ends the
// same way even with bytes waiting.
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "serial_link.h"

struct ScriptedSerial final : SerialBackend {
  enum class OpenOutcome { ok, device_missing, configuration_refused };

  // What the script says.
  OpenOutcome open_outcome = OpenOutcome::ok;
  std::deque<std::uint8_t> inbound;
  std::deque<std::uint8_t> answers;  // arrive once the host writes again, as a peer's answer does
  // Bytes that arrive at a time on the line's clock, in time order.
  struct Later {
    Deadline at;
    std::vector<std::uint8_t> bytes;
  };
  std::deque<Later> later;
  // Answers that come this long after the host writes again: each is
  // scheduled when the next byte is written.
  std::deque<std::pair<std::chrono::milliseconds, std::vector<std::uint8_t>>> delayed_answers;
  std::map<std::size_t, ReadEnd> read_endings;  // read number (from 0) -> how it ends
  std::size_t fail_write_number = SIZE_MAX;     // this write (from 0) and every later one fail

  // What happened.
  std::vector<std::uint8_t> written;
  std::vector<std::uint8_t> opened_ports;  // COMn's n (0 for a port named otherwise)
  LineSettings opened_line;                 // the line of the last open
  std::size_t closes = 0;
  std::size_t reads = 0;
  std::size_t writes = 0;
  std::vector<std::chrono::milliseconds> dry_wait_budgets;  // time left when the script ran dry
  // Reads made in a wait whose deadline was already reported: a reader that
  // should have stopped. The fuzz harnesses require none.
  std::size_t reads_after_deadline = 0;
  Deadline expired_deadline{};

  void feed(const std::vector<std::uint8_t>& bytes) { inbound.insert(inbound.end(), bytes.begin(), bytes.end()); }
  // Bytes that are not there yet when the host first looks, but come as the
  // answer to what it writes next.
  void answer(const std::vector<std::uint8_t>& bytes) { answers.insert(answers.end(), bytes.begin(), bytes.end()); }
  // The same, `delay` after that write (delays count from the write, not
  // from one another, and must not decrease).
  void answer_after(std::chrono::milliseconds delay, const std::vector<std::uint8_t>& bytes) {
    delayed_answers.emplace_back(delay, bytes);
  }
  // Bytes that arrive `delay` from now on the line's clock.
  void feed_after(std::chrono::milliseconds delay, const std::vector<std::uint8_t>& bytes);
  // The line's clock moves on, as time passes while nobody reads.
  void pass(std::chrono::milliseconds time) { clock_ += time; }
  // Ends the read `reads_from_now` reads ahead (0: the next one) with `how`.
  void end_read(std::size_t reads_from_now, ReadEnd how) { read_endings[reads + reads_from_now] = how; }
  std::vector<std::uint8_t> take_written() {
    std::vector<std::uint8_t> out;
    out.swap(written);
    return out;
  }

  Status open_port(const PortName& port, const LineSettings& line, PortHandle& handle) override;
  void close_port(PortHandle& handle) override;
  Status write_byte(const PortHandle& handle, std::uint8_t byte, Deadline deadline) override;
  ReadEnd read_byte(const PortHandle& handle, std::uint8_t& out, Deadline deadline,
                    const std::atomic<bool>& cancel) override;
  Deadline now() const override { return clock_; }

 private:
  void release_due();
  Deadline clock_ = Deadline{} + std::chrono::hours(1);
};
