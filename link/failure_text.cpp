#include "failure_text.h"

#include <cstdio>
#include <cstring>

#include "host_state.h"
#include "line_text.h"

namespace {
struct Named {
  std::uint16_t value;
  const char* name;
};

constexpr Named kCommands[] = {
    {0x0C03, "HCI_Reset"},         {0x1009, "Read_BD_ADDR"},      {0x0C13, "Write_Local_Name"},
    {0x0C1A, "Write_Scan_Enable"}, {0x0401, "Inquiry"},           {0x0405, "Create_Connection"},
    {0x0406, "Disconnect"},        {0x0409, "Accept_Connection_Request"},
    {0x040A, "Reject_Connection_Request"},
};

// The results of an L2CAP Connection Response.
constexpr Named kChannelResults[] = {
    {0x0001, "pending"},
    {0x0002, "PSM not supported"},
    {0x0003, "security block"},
    {0x0004, "no resources"},
};

constexpr Named kEvents[] = {
    {0x01, "Inquiry Complete"},       {0x03, "Connection Complete"}, {0x05, "Disconnection Complete"},
    {0x0E, "Command Complete"},       {0x0F, "Command Status"},
};

// The Bluetooth Core error codes a module of this kind gives most often.
constexpr Named kStatuses[] = {
    {0x01, "unknown HCI command"},
    {0x02, "unknown connection"},
    {0x03, "hardware failure"},
    {0x04, "page timeout"},
    {0x05, "authentication failure"},
    {0x06, "PIN or key missing"},
    {0x07, "memory capacity exceeded"},
    {0x08, "connection timeout"},
    {0x09, "connection limit exceeded"},
    {0x0B, "connection exists"},
    {0x0C, "command disallowed"},
    {0x0D, "limited resources"},
    {0x0E, "security reasons"},
    {0x0F, "unacceptable address"},
    {0x11, "unsupported feature or parameter"},
    {0x12, "invalid parameters"},
    {0x13, "remote user terminated"},
    {0x16, "local host terminated"},
    {0x18, "pairing not allowed"},
    {0x25, "encryption mode not acceptable"},
    {0x2F, "insufficient security"},
    {0x37, "simple pairing not supported by host"},
};

template <std::size_t N>
const char* find_name(const Named (&table)[N], std::uint16_t value) {
  for (const Named& n : table)
    if (n.value == value) return n.name;
  return nullptr;
}

std::string seconds(std::uint32_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
  return text;
}

std::string hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

std::string event_name(std::uint8_t code) {
  const char* name = find_name(kEvents, code);
  return name != nullptr ? name : "event " + hex2(code);
}

// "Connection Complete status 0x04 (page timeout)"; a Command Status is a status already.
std::string answer_text(std::uint8_t event, std::uint8_t status) {
  const char* name = hci_status_name(status);
  return event_name(event) + (event == 0x0F ? " " : " status ") + hex2(status) +
         (*name != '\0' ? std::string(" (") + name + ")" : std::string());
}

// "authentication failure, 0x05"
std::string status_text(std::uint8_t status) {
  const char* name = find_name(kStatuses, status);
  return (name != nullptr ? std::string(name) + ", " : std::string()) + hex2(status);
}

std::string os_text(int error) { return error != 0 ? std::strerror(error) : "it hung up or is not open"; }

// A wait that ended early: `subject` did not come ("no Command Complete").
// The deadline's text is the caller's; the others are the same everywhere.
std::string ended_early(const FailureReason& r, const std::string& awaited) {
  const auto end = static_cast<ReadEnd>(r.read_end);
  if (end == ReadEnd::cancelled) return "interrupted after " + seconds(r.waited_ms) + " waiting for " + awaited;
  if (end == ReadEnd::module_failed)
    return "the module reported a hardware error (code " + hex2(r.hci_status) + ") while the host waited for " +
           awaited + "; close the port and open it again";
  return "the port failed after " + seconds(r.waited_ms) + " waiting for " + awaited + " (" + os_text(r.os_error) + ")";
}

bool by_deadline(const FailureReason& r) { return static_cast<ReadEnd>(r.read_end) == ReadEnd::deadline; }

// "no <awaited> within <bound>", or how the wait ended otherwise.
std::string not_in_time(const FailureReason& r, const std::string& awaited) {
  return by_deadline(r) ? "no " + awaited + " within " + seconds(r.bound_ms) : ended_early(r, awaited);
}
}  // namespace

std::string command_name(std::uint16_t opcode) {
  const char* name = find_name(kCommands, opcode);
  if (name != nullptr) return name;
  char text[24];
  std::snprintf(text, sizeof text, "command 0x%04X", opcode);
  return text;
}

const char* hci_status_name(std::uint8_t status) {
  const char* name = find_name(kStatuses, status);
  return name != nullptr ? name : "";
}

namespace {
// "L2CAP result 0x0004, no resources"
std::string channel_result_text(std::uint16_t result) {
  char code[8];
  std::snprintf(code, sizeof code, "0x%04X", result);
  const char* name = find_name(kChannelResults, result);
  return std::string("L2CAP result ") + code + (name != nullptr ? std::string(", ") + name : std::string());
}

// "; the camera refused the channel (L2CAP result 0x0004, no resources)" or "".
std::string channel_refusal_text(std::uint16_t result) {
  if (result == 0) return {};
  return "; the camera refused the channel (" + channel_result_text(result) + ")";
}

std::string point_text(const FailureReason& r);
}  // namespace

std::string failure_text(const FailureReason& r) {
  if (r.point == FailurePoint::channel_refused || r.point == FailurePoint::pairing) return point_text(r);
  return point_text(r) + channel_refusal_text(r.l2cap_result);
}

namespace {
std::string point_text(const FailureReason& r) {
  const std::string letter(1, static_cast<char>(r.detail & 0xFF));
  switch (r.point) {
    case FailurePoint::none:
      return {};
    case FailurePoint::port_open: {
      const std::string why = r.os_error != 0 ? std::string(" (") + std::strerror(r.os_error) + ")" : std::string();
      if (r.detail == kPortNamedOtherwise) return "the port cannot be opened" + why;
      if (r.detail < 1 || r.detail > 255) return "COM" + std::to_string(r.detail) + " is not a port (COM1 to COM255)";
      return "COM" + std::to_string(r.detail) + " cannot be opened" + why;
    }
    case FailurePoint::port_write:
      if (r.os_error != 0) return std::string("write to the port failed (") + std::strerror(r.os_error) + ")";
      if (!by_deadline(r)) return "write to the port failed (no port open)";
      if (r.waited_ms < r.bound_ms) return "write to the port failed (the port hung up)";
      return "write to the port failed (a byte did not go out within " + seconds(r.bound_ms) + ")";
    case FailurePoint::command:
      if (!r.answered) return command_name(r.opcode) + ": " + not_in_time(r, event_name(r.event));
      if (r.hci_status != 0x00)
        return command_name(r.opcode) + ": " + answer_text(r.event, r.hci_status) + " after " +
               seconds(r.waited_ms);
      return command_name(r.opcode) + ": unexpected " + event_name(r.event) + " (parameter length " +
             std::to_string(r.length) + ")";
    case FailurePoint::connection_complete:
      if (!r.answered) return command_name(r.opcode) + ": " + not_in_time(r, event_name(r.event));
      if (r.hci_status != 0x00)
        return command_name(r.opcode) + ": " + answer_text(r.event, r.hci_status) + " after " +
               seconds(r.waited_ms);
      return command_name(r.opcode) + ": " + event_name(r.event) + " for link type " + hex2(r.length) + ", not ACL";
    case FailurePoint::inquiry_empty:
      if (static_cast<ReadEnd>(r.read_end) == ReadEnd::byte)
        return "Inquiry: no device answered; Inquiry Complete after " + seconds(r.waited_ms);
      if (by_deadline(r)) return "Inquiry: no device answered and no Inquiry Complete within " + seconds(r.bound_ms);
      return "Inquiry: no device answered; " + ended_early(r, "Inquiry Complete");
    case FailurePoint::channel_answer:
      return not_in_time(r, "answer to " + letter);
    case FailurePoint::picture_row: {
      const std::string row = "row " + std::to_string(r.detail) + " of " + std::to_string(r.rows);
      if (by_deadline(r)) return row + " did not come within " + seconds(r.bound_ms);
      return ended_early(r, row);
    }
    case FailurePoint::key_refused:
      return "key " + letter + ": no channel open";
    case FailurePoint::link_lost: {
      const char* name = hci_status_name(static_cast<std::uint8_t>(r.detail));
      if (r.detail == 0) return "the link was lost";
      return "the link was lost (Disconnection Complete reason " + hex2(r.detail) +
             (*name != '\0' ? std::string(", ") + name : std::string()) + ")";
    }
    case FailurePoint::channel_closed:
      return "the camera closed the channel";
    case FailurePoint::line_damaged:
      return "bytes were lost or added on the line (" + std::to_string(r.detail) +
             (r.detail == 1 ? " sign" : " signs") + "), so what came is not trusted";
    case FailurePoint::out_of_step:
      switch (static_cast<LedgerDoubt>(r.detail)) {
        case LedgerDoubt::surplus_row:
          return "the camera sent a row that no picture owed, so what came is not trusted";
        case LedgerDoubt::stray_frame:
          return "a frame that is no row came where an earlier key's answer may have taken a row, so what came is "
                 "not trusted";
        case LedgerDoubt::channel_gone:
          return "the channel went while the camera owed frames";
        case LedgerDoubt::unfinished:
          return "a packet that began right after it did not end within 3.0 s, so what came is not trusted";
        default:
          return "bytes were lost or added on the line, so what came is not trusted";
      }
    case FailurePoint::damaged_before:
      return "bytes were lost or added on the line before the command (" + std::to_string(r.detail) +
             (r.detail == 1 ? " sign" : " signs") + "), so nothing was sent";
    case FailurePoint::no_credit:
      return command_name(r.opcode) + ": the module granted no command credit within " + seconds(r.bound_ms) +
             ", so it was not sent";
    case FailurePoint::module_failed:
      return "the module reported a hardware error (code " + hex2(r.hci_status) +
             "); close the port and open it again";
    case FailurePoint::module_silent:
      return command_name(r.opcode) + ": nothing came back within " + seconds(r.bound_ms) +
             "; check the module's speed and flow control: " + line_settings_text(r.line);
    case FailurePoint::pairing: {
      // Built by appending: GCC 12 warns falsely (-Wrestrict) on "(" + string.
      std::string status = "(";
      if (r.hci_status == 0 && r.l2cap_result != 0) status += channel_result_text(r.l2cap_result);
      else status += status_text(r.hci_status);
      status += ")";
      switch (static_cast<PairingFailure>(r.detail)) {
        case PairingFailure::pin_refused: return "the camera refused the PIN " + status;
        case PairingFailure::no_pin: return "the camera asked for a PIN and none was given " + status;
        case PairingFailure::key_refused:
          return "the camera refused the stored link key " + status + "; the key is forgotten, so the next connect " +
                 "pairs anew";
        case PairingFailure::other_method:
          return "the camera asked for a way of pairing this program does not offer (Secure Simple Pairing) " + status;
        case PairingFailure::not_paired: return "the camera did not pair " + status;
      }
      return "pairing failed " + status;
    }
    case FailurePoint::channel_refused:
      return "the camera refused the channel (" + channel_result_text(r.l2cap_result) + ")";
    case FailurePoint::channel_unanswered:
      if (r.detail != 0) return "the camera left the channel pending for " + seconds(r.bound_ms);
      return not_in_time(r, "answer to the channel request");
    case FailurePoint::camera_not_quiet:
      if (!by_deadline(r)) return ended_early(r, "the camera to go quiet") + ", so nothing was sent";
      return "the camera did not go quiet within " + seconds(r.bound_ms) + ", so nothing was sent";
    case FailurePoint::camera_behind:
      return "key " + letter + ": the camera still owes answers to " + std::to_string(kLedgerDepth) +
             " earlier commands";
  }
  return {};
}
}  // namespace
