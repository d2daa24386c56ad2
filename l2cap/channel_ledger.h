#pragma once
// The account of what the camera owes on the channel. Every command sent on
// it adds a debt: a key one answer frame, "U" 72 rows of exactly 192 bytes.
// Every whole frame of channel data that arrives pays the oldest debt it can,
// so a picture is the 72 rows that answer its own "U" and a key's answer is
// the frame that pays its own debt, however late or early they come.
//
// A debt whose exchange ended without it stays owed ("lapsed") and the
// camera's late frames pay it first; they are dropped. It is written off
//  - when the camera shows it has moved on: a frame that is not a row
//    arrives while the oldest debt is a lapsed picture's rows, and since the
//    camera answers in order, those rows will never come;
//  - when the camera has sent nothing for kDebtWriteOff while owing;
//  - when the channel or the link is gone.
// An exchange that begins while older debts are owed waits for them too,
// within the write-off time, before it can end; so each exchange leaves the
// account settled up to itself, or owing only what its camera still sends.
#include <cstdint>

#include "host_state.h"
#include "serial_link.h"

// Frames a picture owes and the length of each.
inline constexpr std::uint16_t kPictureRows = 72;
inline constexpr std::uint16_t kRowBytes = 192;

// Forgets every debt (a new channel, or one that is gone). The frames still
// owed are counted as written off.
void ledger_write_off_all(HostState& s);
// A debt for a command about to be sent, watched as the exchange under way:
// its frames are kept. Its number, or 0 when kLedgerDepth debts are owed.
std::uint32_t ledger_owe(HostState& s, std::uint16_t frames, std::uint16_t frame_size);
// The debt with this number, or nullptr once it is settled (paid or written off).
const ChannelDebt* ledger_find(const HostState& s, std::uint32_t number);
// Debts before `number` still owed.
bool ledger_owes_before(const HostState& s, std::uint32_t number);
// The line bytes of every frame still owed, for the bound of an exchange.
std::uint32_t ledger_owed_line_bytes(const HostState& s);
// The exchange under way gives up on its debt: it stays owed, lapsed.
void ledger_lapse(HostState& s, std::uint32_t number);
// Writes everything off once the camera has been quiet for the write-off
// time while owing; true when it did.
bool ledger_write_off_if_quiet(HostState& s);

// The whole frame held in rx_channel_frame pays the oldest debt it can. A
// frame that pays the watched debt is kept: appended to frame_buffer, and a
// key's answer also in key_answer. Any other frame is dropped.
void ledger_take_frame(HostState& s);

// One exchange's wait for its debt.
struct DebtWait {
  std::uint32_t number = 0;
  Deadline began{};
  Deadline whole{};     // no read of this exchange goes past it
  bool behind = false;  // older debts were owed when it began
};
// The wait of the debt just owed: its bounds follow from what is owed in all.
DebtWait l2cap_debt_wait(HostState& s, std::uint32_t number);
// Reads until one more frame pays the debt (0, also when that settles it),
// or until the wait is over (-1): the camera went quiet (the debt lapses,
// or behind older debts everything is written off), the whole bound passed
// (it lapses), the port failed, or the channel or the link went down (all
// is written off). The failure reason is noted.
Status l2cap_collect(HostState& s, DebtWait& w, FailurePoint point, std::uint16_t detail);
