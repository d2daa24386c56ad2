#pragma once
// The one reader of what the module sends. Every packet is read whole, by
// its own length, before anything in it is judged, so that no packet can
// leave bytes behind to be taken for the next one; a wait that ends inside a
// packet leaves it under way, and the next read goes on with it. Events that nobody waits
// for are handled as they come; ACL data goes up to L2CAP.
#include <chrono>
#include <cstdint>

#include "host_state.h"
#include "serial_link.h"

// The largest event parameter block: its length is one byte.
inline constexpr std::size_t kEventParametersMax = 255;

// Takes in one packet whole, without handling it: waits until
// `first_byte_by` for a byte (the indicator of a new packet, or the next byte
// of the packet under way); once one came, the rest gets kPacketRest, never
// past `finish_by`. `began` tells whether a byte came. 0 when the packet is
// whole (hci_handle_packet handles it); -1 when the wait ended first (the
// packet stays under way and the next read goes on with it) or when a byte
// opened no packet (consumed alone: a stream fault). A wait that ends with
// nothing takes one more short look, so that bytes already waiting on a
// host that was kept from running are not missed.
Status hci_take_packet(HostState& s, Deadline first_byte_by, Deadline finish_by, bool* began);
// Handles the packet just taken in whole: its status.
Status hci_handle_packet(HostState& s);
// A packet begun and not yet whole.
bool hci_packet_under_way(const HostState& s);
// ... whose rest stopped coming: the packet's own bound passed with it
// unfinished, not the bound of the wait that read it.
bool hci_packet_stalled(const HostState& s);
// Forgets the packet under way (its rest will never come: the line has been
// quiet too long, or the port is new).
void hci_drop_packet_under_way(HostState& s);

// Reads one packet under the current wait's deadline and handles it: the
// status of its handler, -1 when none came whole.
Status hci_read_packet(HostState& s);
// The same, the first byte by `first_byte_by` and the rest by `finish_by`.
Status hci_read_packet_within(HostState& s, Deadline first_byte_by, Deadline finish_by, bool* began);
// The same within one inbound-packet deadline of its own.
Status process_inbound_packet(HostState& s);

// Reads packets within one inbound-packet deadline until `counter` (a count
// an upper layer keeps of what it has received) moves on; -1 when the wait
// expires first.
Status hci_read_until_counted(HostState& s, const std::uint32_t& counter);

// Reads packets until an event's code and parameters have been read whole
// (ACL data on the way is handled, stray bytes skipped). -1 when the wait
// ends first. An event of the wrong size for its code is a stream fault.
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
// after `limit`, which no read outlasts; a packet under way then stays under
// way, so the limit cuts nothing.
Status hci_settle_line(HostState& s, std::chrono::microseconds first_look, std::chrono::microseconds quiet,
                       std::chrono::microseconds limit);
// What is already waiting is read off: a clean line costs one first look.
Status hci_drop_waiting_input(HostState& s);
// After a signalling exchange that may have left an answer arriving: read on
// until the line has been quiet for kLineQuiet.
Status hci_wait_line_quiet(HostState& s);
