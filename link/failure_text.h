#pragma once
// The reason of a failed operation in words, for the shells: the driver's
// step lines, the window's message details. Off the protocol path.
#include <cstdint>
#include <string>

#include "failure_reason.h"

// e.g. "Create_Connection: Connection Complete status 0x04 (page timeout) after 5.1 s",
// "HCI_Reset: no Command Complete within 2.0 s"; "" when nothing was recorded.
std::string failure_text(const FailureReason& reason);

// "HCI_Reset", "Create_Connection", ...; "command 0xNNNN" for others.
std::string command_name(std::uint16_t opcode);
// The meaning of a common HCI status ("page timeout"); "" when not known.
const char* hci_status_name(std::uint8_t status);
