#pragma once
// The account of what the camera owes on the channel. Every command sent on
// it adds a debt: a key one answer frame, "U" 72 rows of exactly 192 bytes.
// Every whole frame of channel data that arrives pays the oldest debt it can,
// so a picture is the 72 rows that answer its own "U" and a key's answer is
// the frame that pays its own debt, however late or early they come.
//
// A debt whose exchange ended without it stays owed ("lapsed") and the
// camera's late frames pay it first; they are dropped. It is written off
//  - when a frame that is no row arrives while the oldest debt is a lapsed
//    picture's rows and a key's answer is owed behind it: that frame can be
//    the key's answer, so the camera has moved on past those rows. Only then:
//    any other frame that is no row is a stray and pays nothing. Since the
//    rows may come yet, whatever is paid after such a write-off is trusted
//    only once the camera has been quiet for the write-off time;
//  - when the camera has been quiet for kDebtWriteOff while owing;
//  - when the channel or the link is gone.
// An exchange that begins while older debts are owed waits for them too,
// within the write-off time, before it can end; so each exchange leaves the
// account settled up to itself, or owing only what its camera still sends.
//
// The account is in doubt, and everything owed is written off at once, when
// it cannot be trusted: bytes were read out of step (a stream fault), a row
// came that nobody owed, a frame that is no row came where an earlier key
// may have been paid with one of the picture's rows, or the channel went
// while frames were owed (a camera may carry on on the next one). The
// exchange under way then fails, and the next command waits until the
// camera has been quiet for the write-off time, so that nothing still on its
// way is taken for the new command's answer.
#include <chrono>
#include <cstdint>

#include "host_state.h"
#include "serial_link.h"

// Frames a picture owes and the length of each.
inline constexpr std::uint16_t kPictureRows = 72;
inline constexpr std::uint16_t kRowBytes = 192;

// Forgets every debt (a new channel, or quiet long enough). The frames still
// owed are counted as written off.
void ledger_write_off_all(HostState& s);
// The account cannot be trusted: everything is written off and the next
// command waits for the camera to go quiet.
void ledger_doubt(HostState& s, LedgerDoubt why);
// The channel or the link is gone: frames still owed will not come on it,
// but the camera may carry on with them on the next one.
void ledger_channel_gone(HostState& s);
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
// How long the camera has been quiet: nothing heard on the line and no
// command sent to it.
std::chrono::milliseconds ledger_camera_quiet(const HostState& s);
// Once the camera has been quiet for the write-off time, nothing it owed
// will come and no doubt is left: all is written off. True when it has been.
bool ledger_settle_if_quiet(HostState& s);
// Something must be settled by quiet before the account can be trusted.
bool ledger_needs_quiet(const HostState& s);

// The whole frame held in rx_channel_frame pays the oldest debt it can. A
// frame that pays the watched debt is kept: appended to frame_buffer, and a
// key's answer also in key_answer. Any other frame is dropped.
void ledger_take_frame(HostState& s);

// One exchange's wait for its debt.
struct DebtWait {
  std::uint32_t number = 0;
  Deadline began{};
  Deadline whole{};     // no read of this exchange goes past it, but for the line time of other traffic
  std::chrono::milliseconds base{};  // whole - began
  bool behind = false;  // older debts were owed when it began
  std::uint32_t owed_line_bytes = 0;  // of everything owed when it began
  std::uint64_t heard_at_begin = 0;
  std::uint32_t doubts = 0;  // the ledger's doubts when it began
};
// The wait of the debt just owed: its bounds follow from what is owed in all.
DebtWait l2cap_debt_wait(HostState& s, std::uint32_t number);
// Reads until one more frame pays the debt (0, also when that settles it),
// or until the wait is over (-1): the camera went quiet (the debt lapses,
// or behind older debts everything is written off), the whole bound passed
// (it lapses), the port failed, the account fell in doubt, or the channel or
// the link went down. The failure reason is noted.
Status l2cap_collect(HostState& s, DebtWait& w, FailurePoint point, std::uint16_t detail);
// Notes why the account fell in doubt during an exchange.
void l2cap_note_doubt(HostState& s);
