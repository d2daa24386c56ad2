#pragma once
// The one reader of what the module sends. Every packet is read whole, by
// its own length, before anything in it is judged, so that no packet can
// leave bytes behind to be taken for the next one. Events that nobody waits
// for are handled as they come; ACL data goes up to L2CAP.
#include <chrono>
#include <cstdint>

#include "host_state.h"
#include "serial_link.h"

// The largest event parameter block: its length is one byte.
inline constexpr std::size_t kEventParametersMax = 255;

// Reads one packet under the current wait's deadline and handles it: the
// status of its handler. A byte that opens no packet is consumed alone and
// fails (a stream fault); so is 0x02 while no link is up, since no ACL data
// can be meant for the host then, and a false length must not swallow what
// follows.
Status hci_read_packet(HostState& s);
// Waits until `first_byte_by` for a packet to begin; one that begins gets
// kPacketRest to finish, never past `finish_by`, and is handled. `began`
// tells whether one began; a packet cut short counts as a stream fault.
// A wait that ends with nothing takes one more short look, so that bytes
// already waiting on a host that was kept from running are not missed.
Status hci_read_packet_within(HostState& s, Deadline first_byte_by, Deadline finish_by, bool* began);
// The same within one inbound-packet deadline of its own.
Status process_inbound_packet(HostState& s);

// Reads packets within one inbound-packet deadline until `counter` (a count
// an upper layer keeps of what it has received) moves on; -1 when the wait
// expires first.
Status hci_read_until_counted(HostState& s, const std::uint32_t& counter);

// Reads packets until an event's code and parameters have been read whole
// (ACL data on the way is handled, stray bytes skipped). -1 when the wait
// ends first.
Status hci_next_event(HostState& s, std::uint8_t* code, std::uint8_t* length, std::uint8_t* parameters);
// Acts on an event read whole: the three link events; anything else (flow
// control, an answer to a command nobody waits for any more) is dropped, -1.
Status hci_handle_event(HostState& s, std::uint8_t code, std::uint8_t length, const std::uint8_t* parameters);
// Event code, length and parameters after an indicator 0x04, then handled.
Status hci_dispatch_event(HostState& s);

Status hci_handle_connection_complete(HostState& s, const std::uint8_t* parameters);
Status hci_handle_connection_request(HostState& s, const std::uint8_t* parameters);
Status hci_handle_disconnection_complete(HostState& s, const std::uint8_t* parameters);
Status clear_link_state(HostState& s);

// Reads and handles packets until none has begun for `quiet` (the first look
// waits only `first_look`). -1 when the port fails or the line is still busy
// after kSettleLimit, which no read outlasts.
Status hci_settle_line(HostState& s, std::chrono::milliseconds first_look, std::chrono::milliseconds quiet);
// What is already waiting is read off: a clean line costs one first look.
Status hci_drop_waiting_input(HostState& s);
// After a signalling exchange that may have left an answer arriving: read on
// until the line has been quiet for kLineQuiet.
Status hci_wait_line_quiet(HostState& s);
