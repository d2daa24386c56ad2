#include "hci_inquiry.h"

#include <cstdio>

#include "hci_framing.h"
#include "serial_link.h"
#include "wait_bounds.h"

namespace {
constexpr std::uint8_t kOcfInquiry = 0x01;
constexpr std::uint8_t kGiacLap[3] = {0x33, 0x8B, 0x9E};  // 0x9E8B33, low byte first
}  // namespace

// 01 01 04 05 | 33 8B 9E | length | maximum -> Command Status, then results
Status hci_inquiry(HostState& s, DeviceAddress* table, std::uint8_t* count, std::uint8_t maximum,
                   std::uint8_t inquiry_length) {
  if (failed(hci_write_command_header(s, kOcfInquiry, kOgfLinkControl))) return kStatusFail;
  if (failed(serial_write_byte(s, 5))) return kStatusFail;
  for (std::uint8_t byte : kGiacLap)
    if (failed(serial_write_byte(s, byte))) return kStatusFail;
  if (failed(serial_write_byte(s, inquiry_length))) return kStatusFail;
  if (failed(serial_write_byte(s, maximum))) return kStatusFail;
  if (failed(hci_wait_command_status(s, kOcfInquiry, kOgfLinkControl))) return kStatusFail;

  // One deadline for the whole collection: the inquiry time plus a margin.
  // A read that fails (Inquiry Complete, a foreign event, the deadline) ends it.
  start_wait(s, wait_bounds::inquiry_wait(inquiry_length));
  for (std::uint8_t i = 0; i < maximum; ++i) {
    if (failed(hci_read_inquiry_result(s, table[i]))) {
      *count = i;
      return kStatusOk;
    }
  }
  *count = maximum;
  return kStatusOk;
}

// 04 02 L N | N x BD_ADDR (wire order) | N x PSRM | N x PSPM | N x PSM | N x CoD(3) | N x clock offset(2)
Status hci_read_inquiry_result(HostState& s, DeviceAddress& slot) {
  std::uint8_t code = 0;
  std::uint8_t length = 0;
  if (failed(hci_read_event_code(s, &code)) || failed(serial_read_byte(s, &length))) return kStatusFail;
  if (code != kEventInquiryResult) {
    hci_discard_bytes(s, length);  // the whole foreign event is consumed
    return kStatusFail;
  }
  std::uint8_t responses = 0;
  if (failed(serial_read_byte(s, &responses))) return kStatusFail;
  // Each response overwrites the slot: it keeps the last one, in display order.
  for (unsigned r = 0; r < responses; ++r)
    for (int k = 0; k < 6; ++k)
      if (failed(serial_read_byte(s, &slot[static_cast<std::size_t>(5 - k)]))) return kStatusFail;
  // Page scan repetition, period and mode, class of device, clock offset.
  return hci_discard_bytes(s, responses * (1u + 1u + 1u + 3u + 2u));
}

Status discover_devices(HostState& s, DeviceAddress* table, std::uint8_t* count, std::uint8_t maximum) {
  return hci_inquiry(s, table, count, maximum, kDiscoveryInquiryLength);
}

std::string address_text(const DeviceAddress& a) {
  char text[13];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
  return text;
}
