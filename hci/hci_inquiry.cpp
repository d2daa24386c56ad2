#include "hci_inquiry.h"

#include <algorithm>
#include <cstdio>

#include "hci_framing.h"
#include "hci_inbound.h"
#include "serial_link.h"
#include "wait_bounds.h"

namespace {
constexpr std::uint8_t kOcfInquiry = 0x01;
constexpr std::uint8_t kGiacLap[3] = {0x33, 0x8B, 0x9E};  // 0x9E8B33, low byte first
}  // namespace

// 01 01 04 05 | 33 8B 9E | length | maximum -> Command Status, then results
Status hci_inquiry(HostState& s, DeviceAddress* table, std::uint8_t* count, std::uint8_t maximum,
                   std::uint8_t inquiry_length) {
  if (failed(hci_wait_command_credit(s, hci_opcode(kOcfInquiry, kOgfLinkControl)))) return kStatusFail;
  if (failed(hci_write_command_header(s, kOcfInquiry, kOgfLinkControl))) return kStatusFail;
  if (failed(serial_write_byte(s, 5))) return kStatusFail;
  for (std::uint8_t byte : kGiacLap)
    if (failed(serial_write_byte(s, byte))) return kStatusFail;
  if (failed(serial_write_byte(s, inquiry_length))) return kStatusFail;
  if (failed(serial_write_byte(s, maximum))) return kStatusFail;
  if (failed(hci_wait_command_status(s, kOcfInquiry, kOgfLinkControl))) return kStatusFail;

  // One deadline for the whole collection: the inquiry time plus a margin.
  // Inquiry Complete or the deadline ends it; other events are handled as
  // they come and never take a slot.
  start_wait(s, wait_bounds::inquiry_wait(inquiry_length));
  std::uint8_t found = 0;
  while (found < maximum) {
    const DeviceAddress before = table[found];
    Status result = hci_read_inquiry_result(s, table[found]);
    if (result == kStatusOk) {
      // A device that answers twice takes one slot: the second report puts
      // the slot back as it was.
      const bool again = table[found] != before && std::find(table, table + found, table[found]) != table + found;
      if (again) {
        table[found] = before;
        continue;
      }
      ++found;
      report_progress(s, ProgressEvent::device_found, found, table[found - 1]);
    } else if (result == kStatusInquiryFailed) {
      note_answer_failure(s, FailurePoint::command, hci_opcode(kOcfInquiry, kOgfLinkControl), kEventInquiryComplete,
                          s.inquiry_status, 1);
      return kStatusFail;  // the count keeps its old value
    } else if (result == kStatusInquiryOver || link_went_quiet(s)) {
      break;
    }
  }
  *count = found;
  // Not a failure of the protocol, but the reason a shell that needs a device gives.
  if (found == 0)
    note_wait_failure(s, FailurePoint::inquiry_empty, hci_opcode(kOcfInquiry, kOgfLinkControl), kEventInquiryComplete);
  return kStatusOk;
}

// 04 02 L N | N x BD_ADDR (wire order) | N x PSRM | N x PSPM | N x PSM | N x CoD(3) | N x clock offset(2)
Status hci_read_inquiry_result(HostState& s, DeviceAddress& slot) {
  std::uint8_t code = 0;
  std::uint8_t length = 0;
  std::uint8_t p[kEventParametersMax];
  if (failed(hci_next_event(s, &code, &length, p))) return kStatusFail;
  if (code == kEventInquiryComplete) {
    s.inquiry_status = length >= 1 ? p[0] : 0x00;
    return s.inquiry_status == 0x00 ? kStatusInquiryOver : kStatusInquiryFailed;
  }
  if (code != kEventInquiryResult || length < 1) {
    hci_handle_event(s, code, length, p);
    return kStatusFail;
  }
  // Each response overwrites the slot: it keeps the last one, in display order.
  const unsigned responses = p[0];
  for (unsigned r = 0; r < responses && 1 + 6 * (r + 1) <= length; ++r)
    for (std::size_t k = 0; k < 6; ++k) slot[5 - k] = p[1 + 6 * r + k];
  return kStatusOk;
}

Status discover_devices(HostState& s, DeviceAddress* table, std::uint8_t* count, std::uint8_t maximum) {
  if (failed(hci_module_usable(s))) return kStatusFail;
  return hci_inquiry(s, table, count, maximum, kDiscoveryInquiryLength);
}

std::string address_text(const DeviceAddress& a) {
  char text[13];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
  return text;
}
