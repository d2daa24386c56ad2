#include "win32_serial.h"

#include <windows.h>
#include <conio.h>

#include <algorithm>
#include <string>

#include "wait_bounds.h"

namespace {
HANDLE handle_of(const PortHandle& handle) { return reinterpret_cast<HANDLE>(handle.native); }

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;  // 15
}  // namespace

Status Win32Serial::open_port(const PortName& port, const LineSettings& line, PortHandle& handle) {
  if (port.kind == PortKind::tcp) return kStatusFail;
  // "\\.\COMn" reaches every port, COM10 and up included, which the plain
  // "COMn" form does not.
  const std::string name = port.kind == PortKind::com ? "\\\\.\\COM" + std::to_string(port.number) : port.text;
  HANDLE opened = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return kStatusFail;
  // From here the handle is held, whatever a later step says.
  handle.held = true;
  handle.native = reinterpret_cast<std::intptr_t>(opened);
  byte_time_ = wait_bounds::byte_time(line.baud);

  // Every field that shapes the line is set here; none is left as the
  // driver had it, so a port another program left in XON/XOFF or DTR/DSR
  // handshaking speaks the module's line all the same.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(opened, &dcb)) return kStatusFail;
  dcb.BaudRate = line.baud;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fNull = FALSE;  // a received 0x00 is delivered like any other byte
  dcb.fErrorChar = FALSE;
  dcb.fAbortOnError = FALSE;  // a line error must not stop every later read and write
  // HCI traffic is binary: 0x11 and 0x13 are data, never XON and XOFF.
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  // DSR plays no part; DTR is raised, as a module that watches it expects.
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  // RTS/CTS: the port sends only while the module raises CTS, and drops RTS
  // while its own buffer is full. Without it RTS is simply raised.
  const bool rtscts = line.flow == FlowControl::rtscts;
  dcb.fOutxCtsFlow = rtscts ? TRUE : FALSE;
  dcb.fRtsControl = rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  if (!::SetCommState(opened, &dcb)) return kStatusFail;

  DWORD mask = 0;
  if (!::GetCommMask(opened, &mask)) return kStatusFail;
  if (!::SetCommMask(opened, EV_RXCHAR)) return kStatusFail;

  // An attempt to read k bytes returns once they have come, or after about
  // k ms: a single byte's after about 1 ms, so a short look costs no more
  // than it asks for. A write
  // gives up after the link's bound for one byte, so a port that does not
  // drain (flow control held off, a stuck adapter) cannot block for good.
  COMMTIMEOUTS timeouts{};
  if (!::GetCommTimeouts(opened, &timeouts)) return kStatusFail;
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 1;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(wait_bounds::kWriteByte.count());
  if (!::SetCommTimeouts(opened, &timeouts)) return kStatusFail;

  if (!::PurgeComm(opened, kPurgeAll)) return kStatusFail;
  ::Sleep(500);
  // A module left transmitting keeps sending through the settle time: what
  // came meanwhile belongs to nobody.
  if (!::PurgeComm(opened, PURGE_RXABORT | PURGE_RXCLEAR)) return kStatusFail;
  return kStatusOk;
}

void Win32Serial::close_port(PortHandle& handle) {
  if (handle.held) ::CloseHandle(handle_of(handle));
  handle = PortHandle{};
}

Status Win32Serial::write_byte(const PortHandle& handle, std::uint8_t byte, Deadline deadline) {
  if (std::chrono::steady_clock::now() >= deadline) return kStatusFail;
  // The port's write time-out ends a write that cannot drain: WriteFile then
  // succeeds with nothing written, which is a failed write here.
  DWORD written = 0;
  if (!::WriteFile(handle_of(handle), &byte, 1, &written, nullptr)) return kStatusFail;
  return written == 1 ? kStatusOk : kStatusFail;
}

ReadEnd Win32Serial::read_byte(const PortHandle& handle, std::uint8_t& out, Deadline deadline,
                               const std::atomic<bool>& cancel) {
  // A wait whose deadline has passed is over, even on a line that never stops
  // talking: no skipping loop can outlast it.
  if (std::chrono::steady_clock::now() >= deadline) return ReadEnd::deadline;
  for (;;) {
    DWORD count = 0;
    BOOL ok = ::ReadFile(handle_of(handle), &out, 1, &count, nullptr);
    // A keystroke waiting in the console abandons the wait, even when a byte
    // came in the same attempt; the keystroke stays in the console input.
    if (::_kbhit() || cancel.load()) {
      out = 0;
      return ReadEnd::cancelled;
    }
    if (count == 1) return ReadEnd::byte;
    // A removed adapter makes ReadFile fail at once: end the wait rather
    // than spin on it until the deadline.
    if (!ok) return ReadEnd::port_error;
    if (std::chrono::steady_clock::now() >= deadline) return ReadEnd::deadline;
  }
}

ReadEnd Win32Serial::read_bytes(const PortHandle& handle, std::uint8_t* out, std::size_t n, Deadline deadline,
                                const std::atomic<bool>& cancel, std::size_t& got) {
  // At most this many bytes a ReadFile: about as many milliseconds before a
  // cancel request or a keystroke is seen.
  constexpr std::size_t kSlice = 100;
  got = 0;
  while (got < n) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return ReadEnd::deadline;
    const std::size_t want = std::min(n - got, kSlice);
    // Bytes not yet in the driver come at the line's pace: sleep until they
    // can have come, then take them with one ReadFile. A read asked for
    // early may wake the reader for each byte (Wine's driver does: 4 % of a
    // core for a picture, against 1 % this way). The sleep never passes the
    // deadline and only delays the read, so it decides nothing.
    DWORD errors = 0;
    COMSTAT status{};
    if (::ClearCommError(handle_of(handle), &errors, &status) && status.cbInQue < want) {
      const long long missing_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       byte_time_ * static_cast<long long>(want - status.cbInQue))
                                       .count();
      const long long left_ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
      const long long sleep_ms = std::min(missing_ms, left_ms);
      if (sleep_ms > 0) ::Sleep(static_cast<DWORD>(sleep_ms));
    }
    DWORD count = 0;
    BOOL ok = ::ReadFile(handle_of(handle), out + got, static_cast<DWORD>(want), &count, nullptr);
    got += count;
    if (::_kbhit() || cancel.load()) return ReadEnd::cancelled;
    if (!ok) return ReadEnd::port_error;
  }
  return ReadEnd::byte;
}
