#include "hci_startup.h"

#include <cstring>

#include "hci_framing.h"
#include "serial_link.h"
#include "wait_bounds.h"

namespace {
constexpr std::uint8_t kOcfReset = 0x03;
constexpr std::uint8_t kOcfReadBdAddr = 0x09;
constexpr std::uint8_t kOcfWriteLocalName = 0x13;
constexpr std::uint8_t kOcfWriteScanEnable = 0x1A;

// Header and parameter length of a command; the parameters follow.
Status begin_command(HostState& s, std::uint8_t ocf, std::uint8_t ogf, std::uint8_t length) {
  if (failed(hci_write_command_header(s, ocf, ogf))) return kStatusFail;
  return serial_write_byte(s, length);
}

// A module left transmitting by an earlier run may still be sending when
// HCI_Reset goes out, and any of its bytes can look like a packet start with
// a length that would swallow the answer. So the answer is looked for as a
// whole in the raw stream: 04 0E 04 | credits (any) | 03 0C | status.
constexpr std::uint8_t kResetAnswer[] = {kIndicatorEvent, kEventCommandComplete, 0x04, 0x00, 0x03, 0x0C};
constexpr std::size_t kCreditsAt = 3;

constexpr std::uint16_t kResetOpcode = 0x0C03;

Status find_reset_answer(HostState& s) {
  start_wait(s, wait_bounds::kCommandHandshake);
  auto no_answer = [&s] {
    note_wait_failure(s, FailurePoint::command, kResetOpcode, kEventCommandComplete);
    return kStatusFail;
  };
  std::uint8_t window[sizeof kResetAnswer] = {};  // the last bytes read, oldest first
  std::size_t filled = 0;
  for (;;) {
    std::uint8_t byte = 0;
    if (failed(serial_read_byte(s, &byte))) return no_answer();
    if (filled == sizeof window) std::memmove(window, window + 1, sizeof window - 1);
    window[filled == sizeof window ? filled - 1 : filled++] = byte;
    bool match = filled == sizeof window;
    for (std::size_t i = 0; match && i < sizeof window; ++i) match = i == kCreditsAt || window[i] == kResetAnswer[i];
    if (!match) continue;
    std::uint8_t status = 0xFF;
    if (failed(serial_read_byte(s, &status))) return no_answer();
    if (status == 0x00) return kStatusOk;
    note_answer_failure(s, FailurePoint::command, kResetOpcode, kEventCommandComplete, status, kResetAnswer[2]);
    return kStatusFail;
  }
}
}  // namespace

// 01 03 0C 00 -> Command Complete 04 0E 04 01 03 0C 00
Status hci_reset(HostState& s) {
  if (failed(begin_command(s, kOcfReset, kOgfControllerBaseband, 0))) return kStatusFail;
  return find_reset_answer(s);
}

// 01 09 10 00 -> 04 0E 0A 01 09 10 00 + BD_ADDR (wire order, stored as received)
Status hci_read_bd_addr(HostState& s, std::uint8_t* dest) {
  if (failed(begin_command(s, kOcfReadBdAddr, kOgfInformational, 0))) return kStatusFail;
  return hci_wait_command_complete(s, kOcfReadBdAddr, kOgfInformational, 6, dest);
}

// 01 13 0C F8 + the name + zeros up to 248 bytes
Status hci_write_local_name(HostState& s, const char* name) {
  const void* terminator = std::memchr(name, '\0', kLocalNameSize);
  if (terminator == nullptr) return kStatusFail;  // no room for the zero: send nothing
  auto length = static_cast<std::size_t>(static_cast<const char*>(terminator) - name);
  if (failed(begin_command(s, kOcfWriteLocalName, kOgfControllerBaseband,
                           static_cast<std::uint8_t>(kLocalNameSize))))
    return kStatusFail;
  for (std::size_t i = 0; i < kLocalNameSize; ++i) {
    auto byte = static_cast<std::uint8_t>(i < length ? name[i] : 0);
    if (failed(serial_write_byte(s, byte))) return kStatusFail;
  }
  return hci_wait_command_complete(s, kOcfWriteLocalName, kOgfControllerBaseband, 0, nullptr);
}

// 01 1A 0C 01 value
Status hci_write_scan_enable(HostState& s, std::uint8_t value) {
  if (failed(begin_command(s, kOcfWriteScanEnable, kOgfControllerBaseband, 1))) return kStatusFail;
  if (failed(serial_write_byte(s, value))) return kStatusFail;
  return hci_wait_command_complete(s, kOcfWriteScanEnable, kOgfControllerBaseband, 0, nullptr);
}

Status module_start_up(HostState& s, const char* name) {
  if (failed(hci_reset(s))) return kStatusFail;
  if (failed(hci_read_bd_addr(s, s.local_address.data()))) return kStatusFail;
  if (failed(hci_write_local_name(s, name))) return kStatusFail;
  return hci_write_scan_enable(s, kScanInquiryAndPage);
}
