#pragma once
// Every wait for the module or the peer ends at a deadline. The bounds live
// here together so that they can be read, documented and tuned in one place
// (the README lists them).
#include <chrono>
#include <cstdint>

namespace wait_bounds {
using std::chrono::milliseconds;

// A command's Command Complete or Command Status: a controller answers within
// a few milliseconds; HCI_Reset on slow modules takes a few hundred.
inline constexpr milliseconds kCommandHandshake{2000};

// A module still starting up may not hear HCI_Reset: it is sent again after
// each handshake bound without an answer, for this long in all (as long as
// Linux gives a controller to come up).
inline constexpr milliseconds kStartUp{10000};

// Inquiry collection: Inquiry_Length x 1.28 s, plus a margin for the
// controller's own delay in sending Inquiry Complete.
inline constexpr milliseconds kInquiryUnit{1280};
inline constexpr milliseconds kInquiryMargin{2000};

// Connection Complete: the controller gives up paging after its page
// timeout (5.12 s by default) and then reports the failure itself.
inline constexpr milliseconds kPageTimeout{5120};
inline constexpr milliseconds kConnectionMargin{2000};

// Each counted inbound packet: a peer's answer, a picture row, a link event.
inline constexpr milliseconds kInboundPacket{3000};

// The line counts as quiet once no packet has begun for this long. After an
// exchange that may have left an answer still arriving (an expired wait, the
// U key's picture), the host reads on until then. At 57,600 baud a sender
// mid-packet leaves gaps of well under a millisecond (at 9,600 about one),
// and a camera between two rows a few; 40 ms is nothing to a person
// pressing keys.
inline constexpr milliseconds kLineQuiet{40};
// Before a key command, what is already waiting is read off; a first look
// this long finds a stream in progress without costing a clean exchange.
inline constexpr milliseconds kFirstLook{1};
// Reading a line until it is quiet never goes on longer than this, so an
// endless stream cannot hold the host (a whole picture is 2.5 s of line time
// at 57,600 baud).
inline constexpr milliseconds kSettleLimit{5000};

// A PIN asked of the user while the module waits for it: then the module is
// told there is none. A module gives the host about 30 s to answer.
inline constexpr milliseconds kPinAnswer{30000};

// A camera that answers the host's channel request "pending" may be pairing
// meanwhile (a PIN asked of the user among it): its final answer is waited
// for this long.
inline constexpr milliseconds kChannelPending{30000};

// A single byte written to a port that does not drain (a stuck adapter).
inline constexpr milliseconds kWriteByte{1000};

// The camera owes frames it has not sent: after this long with no frame
// from it, they are written off (it has dropped them). Longer than any
// pause of a camera that resumes, so that late frames find their debt.
inline constexpr milliseconds kDebtWriteOff{6000};
// After the frame that settles an exchange, a packet that begins within this
// long is read too: a byte lost from or added to that frame shows in the
// packet after it, which must begin where the frame ends. At 57,600 baud
// the next byte of a packet under way comes within 0.2 ms (at 9,600 within
// 1.1 ms), and a USB adapter passes on the bytes it has with the ones
// before them.
inline constexpr milliseconds kConfirmLook{10};
// The look reads on while packets begin within it of the one before, this
// many at most: enough for a stray or two before a row too many, and an
// endless stream of events holds it no longer.
inline constexpr int kConfirmPackets = 4;
// After a picture's last row the look also covers the longest gap the camera
// left between this picture's rows, with half as much again, so that a row
// too many sent at the camera's own pace is seen; never longer than this.
inline constexpr milliseconds kConfirmLookCap{250};
// The looks for a packet that begins at once (kFirstLook, kConfirmLook) are
// so many bytes' time on the line: as given at 57,600 baud, shorter on a
// faster line and longer on a slower one, so that a fast line pays no more
// of its time for them than a slow one.
inline constexpr std::chrono::microseconds look_at(milliseconds at_57600, std::uint32_t baud) {
  return std::chrono::microseconds(at_57600.count() * 1000LL * 57600 / baud);
}
inline constexpr std::chrono::microseconds first_look(std::uint32_t baud) { return look_at(kFirstLook, baud); }
inline constexpr std::chrono::microseconds confirm_look(std::uint32_t baud) { return look_at(kConfirmLook, baud); }
// Before a command goes out on an account in doubt, the host waits for the
// camera to be quiet for the write-off time; a line that never goes quiet
// holds it no longer than this.
inline constexpr milliseconds kQuietBeforeCommand{kDebtWriteOff + kSettleLimit};
// A packet that has begun gets this long to finish. Its line time is a
// fraction of that (a 1,021-byte ACL packet is 0.18 s at 57,600 baud, 1.1 s
// at 9,600), but a loaded host may not run for a while, and a passed
// deadline ends a read even with the rest of the packet waiting.
inline constexpr milliseconds kPacketRest{3000};

// A byte on the line is 10 bits: a start bit, 8 data bits, a stop bit.
inline constexpr std::uint32_t kLineBitsPerByte = 10;
// Bytes on the line for one picture row (H4, ACL and L2CAP headers, 192
// data bytes), and the allowance for a key's answer.
inline constexpr std::uint32_t kRowLineBytes = 1 + 4 + 4 + 192;
inline constexpr std::uint32_t kAnswerLineBytes = 64;

// The time `bytes` take on a line of `baud`, rounded up to whole
// milliseconds: a bound is never shorter than the line needs.
inline constexpr milliseconds line_time(std::uint32_t bytes, std::uint32_t baud) {
  return milliseconds((std::uint64_t{bytes} * kLineBitsPerByte * 1000 + baud - 1) / baud);
}
// One byte's time on a line of `baud`, for sleeps finer than a millisecond.
inline constexpr std::chrono::nanoseconds byte_time(std::uint32_t baud) {
  return std::chrono::nanoseconds(std::uint64_t{kLineBitsPerByte} * 1'000'000'000 / baud);
}
// A whole exchange: twice the line time of what is owed (a camera may send
// at half the line's rate, or leave gaps between rows), then the quiet that
// ends it (the packet bound, or the write-off time when older debts stood
// before it). Other traffic that comes meanwhile adds its own line time.
inline constexpr milliseconds exchange_bound(std::uint32_t owed_line_bytes, milliseconds quiet, std::uint32_t baud) {
  return line_time(owed_line_bytes, baud) * 2 + quiet;
}

inline constexpr milliseconds inquiry_wait(std::uint8_t inquiry_length) {
  return kInquiryUnit * inquiry_length + kInquiryMargin;
}
inline constexpr milliseconds connection_complete_wait() { return kPageTimeout + kConnectionMargin; }
}  // namespace wait_bounds
