#pragma once
// The single reader of everything the module sends that is not the answer
// to a command just written: one packet per call, routed by its indicator.
#include "host_state.h"

// A status hci_dispatch_event gives for a flow-control event it consumed:
// not a failure, and not one of the packets a caller counts.
inline constexpr Status kStatusNotCounted = 1;

// Reads one counted packet (Number Of Completed Packets events are read and
// skipped on the way) within one inbound-packet deadline.
Status process_inbound_packet(HostState& s);
Status hci_dispatch_event(HostState& s);
Status hci_handle_connection_complete(HostState& s);
Status hci_handle_connection_request(HostState& s);
Status hci_handle_disconnection_complete(HostState& s);
Status clear_link_state(HostState& s);
