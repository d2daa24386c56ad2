#include "serial_link.h"

#include <algorithm>
#include <cerrno>

#include "wait_bounds.h"

namespace {
// errno after a failed backend call; "try again" is only what the backend
// saw before it waited, not the reason the wait failed.
int os_error_now() { return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno; }

bool names_a_port(const PortName& port) {
  switch (port.kind) {
    case PortKind::com: return port.number >= 1 && port.number <= kHighestComPort;
    case PortKind::device: return !port.text.empty();
    case PortKind::tcp: return !port.text.empty() && port.number != 0;
  }
  return false;
}

void note_open_failure(HostState& s, const PortName& port, int os_error) {
  FailureReason reason;
  reason.point = FailurePoint::port_open;
  reason.detail = port.kind == PortKind::com ? port.number : kPortNamedOtherwise;
  reason.os_error = os_error;
  note_failure(s, reason);
}
}  // namespace

Status serial_open(HostState& s, const PortName& port, const LineSettings& line) {
  // A name that is no port leaves the held port alone.
  if (!names_a_port(port) || s.serial == nullptr) {
    note_open_failure(s, port, 0);
    return kStatusFail;
  }
  // Reopening always releases the held port first, even if the new one fails.
  if (s.port_handle.held) s.serial->close_port(s.port_handle);
  s.port_handle = PortHandle{};
  s.line = line;
  errno = 0;
  if (!failed(s.serial->open_port(port, line, s.port_handle))) return kStatusOk;
  note_open_failure(s, port, errno);
  return kStatusFail;
}

Status serial_open(HostState& s, std::uint8_t port_number) { return serial_open(s, com_port(port_number), LineSettings{}); }

Status serial_close(HostState& s) {
  if (!s.port_handle.held || s.serial == nullptr) return kStatusFail;
  s.serial->close_port(s.port_handle);
  s.port_handle = PortHandle{};
  return kStatusOk;
}

Status serial_write_byte(HostState& s, std::uint8_t byte) {
  FailureReason reason;
  reason.point = FailurePoint::port_write;
  reason.bound_ms = static_cast<std::uint32_t>(wait_bounds::kWriteByte.count());
  if (!s.port_handle.held || s.serial == nullptr) {
    reason.read_end = static_cast<std::uint8_t>(ReadEnd::port_error);  // no port held
    note_failure(s, reason);
    return kStatusFail;
  }
  const auto start = link_now(s);
  errno = 0;
  if (!failed(s.serial->write_byte(s.port_handle, byte, start + wait_bounds::kWriteByte))) return kStatusOk;
  // errno 0: the byte did not drain in time (or the port hung up).
  s.last_port_error = os_error_now();
  reason.os_error = s.last_port_error;
  reason.read_end = static_cast<std::uint8_t>(reason.os_error == 0 ? ReadEnd::deadline : ReadEnd::port_error);
  reason.waited_ms = static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(link_now(s) - start).count());
  note_failure(s, reason);
  return kStatusFail;
}

namespace {
// What a read heard: every byte counts, whatever it turns out to be. A read
// that ended at its deadline with some bytes heard the last of them at some
// time before: that time is taken as its end, so that a quiet line is never
// taken for quieter than it was.
void heard(HostState& s, std::size_t count) {
  if (count == 0) return;
  s.bytes_heard += count;
  s.last_heard = link_now(s);
}
}  // namespace

Status serial_read_byte(HostState& s, std::uint8_t* out) {
  std::uint8_t byte = 0;
  ReadEnd end = ReadEnd::port_error;
  errno = 0;
  if (s.port_handle.held && s.serial != nullptr)
    end = s.serial->read_byte(s.port_handle, byte, s.read_deadline, s.cancel_requested);
  s.last_read_end = end;
  if (end == ReadEnd::port_error) s.last_port_error = os_error_now();
  heard(s, end == ReadEnd::byte ? 1 : 0);
  *out = end == ReadEnd::byte ? byte : 0;
  return end == ReadEnd::byte ? kStatusOk : kStatusFail;
}

Deadline link_now(const HostState& s) {
  return s.serial != nullptr ? s.serial->now() : std::chrono::steady_clock::now();
}

Status serial_read_bytes(HostState& s, std::uint8_t* out, std::size_t n) {
  std::size_t got = 0;
  return serial_read_some(s, out, n, got);
}

Status serial_read_some(HostState& s, std::uint8_t* out, std::size_t n, std::size_t& got) {
  std::uint8_t dropped[64];
  got = 0;
  while (got < n) {
    const std::size_t chunk = out != nullptr ? n - got : std::min(n - got, sizeof dropped);
    std::uint8_t* into = out != nullptr ? out + got : dropped;
    std::size_t came = 0;
    ReadEnd end = ReadEnd::port_error;
    errno = 0;
    if (s.port_handle.held && s.serial != nullptr)
      end = s.serial->read_bytes(s.port_handle, into, chunk, s.read_deadline, s.cancel_requested, came);
    s.last_read_end = end;
    if (end == ReadEnd::port_error) s.last_port_error = os_error_now();
    came = std::min(came, chunk);
    got += came;
    heard(s, came);
    if (end != ReadEnd::byte) return kStatusFail;
  }
  return kStatusOk;
}

void start_wait(HostState& s, std::chrono::milliseconds bound) {
  s.read_deadline = link_now(s) + bound;
  s.wait_bound = bound;
}

void start_wait_until(HostState& s, Deadline deadline) {
  const auto now = link_now(s);
  s.read_deadline = deadline;
  s.wait_bound = std::chrono::duration_cast<std::chrono::milliseconds>(deadline > now ? deadline - now : now - now);
}

bool link_went_quiet(const HostState& s) { return s.last_read_end != ReadEnd::byte; }

void fill_read_end(const HostState& s, FailureReason& reason) {
  reason.read_end = static_cast<std::uint8_t>(s.last_read_end);
  if (s.last_read_end == ReadEnd::port_error) reason.os_error = s.last_port_error;
  if (s.last_read_end == ReadEnd::module_failed) reason.hci_status = s.module_error_code;
}

void clear_failure(HostState& s) {
  s.last_failure = FailureReason{};
  s.last_port_error = 0;
}

void note_failure(HostState& s, FailureReason reason) {
  if (s.last_failure.point == FailurePoint::none) s.last_failure = reason;
}

namespace {
// The current wait's bound and the time since it began, in milliseconds.
void fill_wait_times(const HostState& s, FailureReason& reason) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  const auto began = s.read_deadline - s.wait_bound;
  reason.bound_ms = static_cast<std::uint32_t>(s.wait_bound.count());
  const auto waited = duration_cast<milliseconds>(link_now(s) - began).count();
  reason.waited_ms = static_cast<std::uint32_t>(waited < 0 ? 0 : waited);
}
}  // namespace

void note_wait_failure(HostState& s, FailurePoint point, std::uint16_t opcode, std::uint8_t awaited_event,
                       std::uint16_t detail) {
  FailureReason reason;
  reason.point = point;
  reason.opcode = opcode;
  reason.event = awaited_event;
  reason.detail = detail;
  fill_read_end(s, reason);
  fill_wait_times(s, reason);
  note_failure(s, reason);
}

void note_answer_failure(HostState& s, FailurePoint point, std::uint16_t opcode, std::uint8_t event,
                         std::uint8_t status, std::uint8_t length) {
  FailureReason reason;
  reason.point = point;
  reason.answered = true;
  reason.opcode = opcode;
  reason.event = event;
  reason.hci_status = status;
  reason.length = length;
  fill_wait_times(s, reason);
  note_failure(s, reason);
}
