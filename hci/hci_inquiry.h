#pragma once
// Inquiry with the General Inquiry Access Code and the table of discovered
// devices, held in display order (most significant byte first).
#include <cstdint>
#include <string>

#include "host_state.h"

inline constexpr std::uint8_t kDiscoveryInquiryLength = 4;  // x 1.28 s = 5.12 s

Status hci_inquiry(HostState& s, DeviceAddress* table, std::uint8_t* count, std::uint8_t maximum,
                   std::uint8_t inquiry_length);
// One Inquiry Result into the slot (0); any other event is handled and fails;
// Inquiry Complete ends the collection, and one with a non-zero status
// (kept in inquiry_status) fails the inquiry.
inline constexpr Status kStatusInquiryOver = 2;
inline constexpr Status kStatusInquiryFailed = 3;
Status hci_read_inquiry_result(HostState& s, DeviceAddress& slot);
Status discover_devices(HostState& s, DeviceAddress* table, std::uint8_t* count, std::uint8_t maximum);

// Twelve upper-case hex digits of a display-order address: 123456789ABC.
std::string address_text(const DeviceAddress& display_order);
