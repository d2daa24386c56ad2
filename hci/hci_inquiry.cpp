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
  s.inquiry_page_count = 0;
  std::uint8_t found = 0;
  while (found < maximum) {
    InquiryResponse responses[kMaxResponsesPerEvent];
    std::uint8_t taken = 0;
    Status result = hci_read_inquiry_result(s, responses, &taken);
    if (result == kStatusInquiryFailed) {
      note_answer_failure(s, FailurePoint::command, hci_opcode(kOcfInquiry, kOgfLinkControl), kEventInquiryComplete,
                          s.inquiry_status, 1);
      return kStatusFail;  // the count keeps its old value
    }
    if (result == kStatusInquiryOver || (failed(result) && link_went_quiet(s))) break;
    for (std::uint8_t r = 0; r < taken && found < maximum; ++r) {
      // A device that answers twice takes one slot.
      if (std::find(table, table + found, responses[r].address) != table + found) continue;
      table[found] = responses[r].address;
      remember_page(s, responses[r]);
      ++found;
      report_progress(s, ProgressEvent::device_found, found, table[found - 1]);
    }
  }
  *count = found;
  // Not a failure of the protocol, but the reason a shell that needs a device gives.
  if (found == 0)
    note_wait_failure(s, FailurePoint::inquiry_empty, hci_opcode(kOcfInquiry, kOgfLinkControl), kEventInquiryComplete);
  return kStatusOk;
}

// Inquiry Result, Inquiry Result with RSSI and Extended Inquiry Result: a
// count N, then each field as an array of N, in this order:
//   02: BD_ADDR | PSRM | reserved | reserved | CoD (3) | clock offset (2)
//   22: BD_ADDR | PSRM | reserved | CoD (3) | clock offset (2) | RSSI
//   2F: the same as 22 for one response, then 240 bytes of EIR data
Status hci_read_inquiry_result(HostState& s, InquiryResponse* responses, std::uint8_t* taken) {
  *taken = 0;
  std::uint8_t code = 0;
  std::uint8_t length = 0;
  std::uint8_t p[kEventParametersMax];
  if (failed(hci_next_event(s, &code, &length, p))) return kStatusFail;
  if (code == kEventInquiryComplete) {
    s.inquiry_status = length >= 1 ? p[0] : 0x00;
    return s.inquiry_status == 0x00 ? kStatusInquiryOver : kStatusInquiryFailed;
  }
  const bool plain = code == kEventInquiryResult;
  if ((!plain && code != kEventInquiryResultWithRssi && code != kEventExtendedInquiryResult) || length < 1) {
    hci_handle_event(s, code, length, p);
    return kStatusFail;
  }
  const unsigned n = std::min<unsigned>(p[0], kMaxResponsesPerEvent);
  const unsigned clock_at = 1 + (plain ? 12 : 11) * unsigned{p[0]};
  if (clock_at + 2 * n > length) return kStatusFail;  // shorter than it says: its size was judged a stream fault
  for (unsigned r = 0; r < n; ++r) {
    InquiryResponse& out = responses[r];
    for (std::size_t k = 0; k < 6; ++k) out.address[5 - k] = p[1 + 6 * r + k];
    out.scan_repetition_mode = p[1 + 6 * p[0] + r];
    out.clock_offset = static_cast<std::uint16_t>((p[clock_at + 2 * r] | p[clock_at + 2 * r + 1] << 8) & 0x7FFF);
  }
  *taken = static_cast<std::uint8_t>(n);
  return kStatusOk;
}

void remember_page(HostState& s, const InquiryResponse& response) {
  if (s.inquiry_page_count == s.inquiry_pages.size()) return;
  s.inquiry_pages[s.inquiry_page_count++] = {response.address, response.scan_repetition_mode, response.clock_offset};
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
