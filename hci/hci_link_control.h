#pragma once
// The link control commands that make, answer and drop the one ACL link.
#include <cstdint>

#include "host_state.h"

// address in display order, as held in found_devices
Status hci_create_connection(HostState& s, const DeviceAddress& address);
// Create_Connection_Cancel for a page the host gave up waiting for.
Status hci_cancel_page(HostState& s, const DeviceAddress& address);
Status hci_wait_connection_complete(HostState& s);
Status hci_disconnect(HostState& s);
// addresses in wire order
Status hci_accept_connection_request(HostState& s, const DeviceAddress& address, std::uint8_t role);
Status hci_reject_connection_request(HostState& s, const DeviceAddress& address, std::uint8_t reason);
// Drops a link the host did not ask for, at once: its Command Status and
// Disconnection Complete are read later like any other event.
Status hci_disconnect_unwanted(HostState& s, std::uint8_t handle_low, std::uint8_t handle_high);
