#pragma once
// The four commands that bring the module into a known state after the port
// is opened: reset, read its address, name it, make it discoverable.
#include <cstdint>

#include "host_state.h"

inline constexpr std::size_t kLocalNameSize = 248;  // fixed Local_Name parameter
inline constexpr std::uint8_t kScanInquiryAndPage = 0x03;
inline constexpr const char* kLocalDeviceName = "quorel";

Status hci_reset(HostState& s);
Status hci_read_bd_addr(HostState& s, std::uint8_t* dest);
Status hci_write_local_name(HostState& s, const char* name);
Status hci_write_scan_enable(HostState& s, std::uint8_t value);
Status module_start_up(HostState& s, const char* name);
