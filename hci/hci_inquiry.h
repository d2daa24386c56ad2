#pragma once
// Inquiry with the General Inquiry Access Code and the table of discovered
// devices, held in display order (most significant byte first).
#include <cstdint>
#include <string>

#include "host_state.h"

inline constexpr std::uint8_t kDiscoveryInquiryLength = 4;  // x 1.28 s = 5.12 s

Status hci_inquiry(HostState& s, DeviceAddress* table, std::uint8_t* count, std::uint8_t maximum,
                   std::uint8_t inquiry_length);
// One device as an inquiry result reports it.
struct InquiryResponse {
  DeviceAddress address{};  // display order
  std::uint8_t scan_repetition_mode = 0;
  std::uint16_t clock_offset = 0;  // bits 0 to 14
};
// An event of 255 parameter bytes holds at most 18 responses of 14 bytes.
inline constexpr std::size_t kMaxResponsesPerEvent = 18;
// The responses of one Inquiry Result event of any of its three forms (0);
// any other event is handled and fails; Inquiry Complete ends the
// collection, and one with a non-zero status (kept in inquiry_status) fails
// the inquiry.
inline constexpr Status kStatusInquiryOver = 2;
inline constexpr Status kStatusInquiryFailed = 3;
Status hci_read_inquiry_result(HostState& s, InquiryResponse* responses, std::uint8_t* taken);
// What the device reported for paging it, kept for Create_Connection.
void remember_page(HostState& s, const InquiryResponse& response);
Status discover_devices(HostState& s, DeviceAddress* table, std::uint8_t* count, std::uint8_t maximum);

// Twelve upper-case hex digits of a display-order address: 123456789ABC.
std::string address_text(const DeviceAddress& display_order);
