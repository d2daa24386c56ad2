// The exchanges harness: the host runs keys and captures against a scripted
// camera whose every frame says whose it is, while the input schedules the
// camera's faults: pauses (between frames or inside one, up to 5.9 s), lost
// rows and answers, stray packets (a third device's page, signalling, other
// links and channels, frames on the camera's own channel among rows), rows
// sent twice or one too many, steady gaps between rows, answers out of
// order, fragments, bytes lost or added on the line, and link losses after
// which the camera may carry on with what it had not sent. The line has a
// clock of its own at 5,760 bytes a second, so pauses of seconds and the
// host's bounds cost no time. After every call the oracle checks what the
// host reported: a picture reported good is exactly the 72 rows of the
// picture that answered its own "U", and a key reported answered holds its
// own answer.
//
// The faults stay within what counting frames can tell apart (the README's
// "Staying in step" lists what is beyond it): a row is sent twice only while
// no frame of this camera was ever lost, and only in a picture sent without
// a pause or a link loss, passing nothing; a frame on the camera's own channel
// is sent only among a picture's rows, with a row after it; the camera is
// never silent for the write-off time while it owes frames (a pause before a
// lost frame and a pause in the next exchange do not add up to it); and only
// a key's answer and a picture pass one another.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "camera_commands.h"
#include "failure_text.h"
#include "harnesses.h"
#include "host_ops.h"
#include "serial_link.h"

namespace {
using std::chrono::microseconds;
using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

constexpr microseconds kByteTime{1000000 / 5760};
constexpr std::uint8_t kHandle = 0x2A;
constexpr std::uint16_t kCid = 0x0046;
// Just under the write-off time (6 s): a camera silent for that long while it
// owes frames has dropped them, as far as counting can tell.
constexpr milliseconds kLongestSilence{5900};

// The input, read from the front; past its end every read gives 0.
struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
  bool done() const { return at >= size; }
};

// Row r of picture p, and the answer to command number n: each says whose it is.
Bytes row_of(std::uint16_t picture, int row) {
  Bytes b(192);
  b[0] = static_cast<std::uint8_t>(picture);
  b[1] = static_cast<std::uint8_t>(picture >> 8);
  b[2] = static_cast<std::uint8_t>(row);
  for (std::size_t i = 3; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(picture * 31 + row * 7 + i);
  return b;
}
Bytes answer_of(char letter, std::uint16_t number) {
  return {static_cast<std::uint8_t>(letter), static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
          0xA5};
}

Bytes acl(std::uint16_t handle, std::uint8_t pb, const Bytes& data) {
  const auto n = static_cast<std::uint16_t>(data.size());
  Bytes p{0x02, static_cast<std::uint8_t>(handle), static_cast<std::uint8_t>((handle >> 8) | pb << 4),
          static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)};
  p.insert(p.end(), data.begin(), data.end());
  return p;
}
// One L2CAP frame, whole or cut into ACL fragments of `fragment` bytes.
std::vector<Bytes> frame_packets(std::uint16_t cid, const Bytes& payload, std::size_t fragment) {
  const auto n = static_cast<std::uint16_t>(payload.size());
  Bytes frame{static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(cid),
              static_cast<std::uint8_t>(cid >> 8)};
  frame.insert(frame.end(), payload.begin(), payload.end());
  if (fragment == 0) fragment = frame.size();
  std::vector<Bytes> packets;
  for (std::size_t at = 0; at < frame.size(); at += fragment) {
    const auto end = frame.begin() + static_cast<long>(std::min(frame.size(), at + fragment));
    packets.push_back(acl(kHandle, at == 0 ? 2 : 1, Bytes(frame.begin() + static_cast<long>(at), end)));
  }
  return packets;
}
Bytes event(std::uint8_t code, const Bytes& parameters) {
  Bytes e{0x04, code, static_cast<std::uint8_t>(parameters.size())};
  e.insert(e.end(), parameters.begin(), parameters.end());
  return e;
}
const Bytes kIntruder{0x01, 0x00, 0x00, 0x00, 0x00, 0x1D};  // wire order

// What the camera and the module send, on one line: each packet is ready at
// a time, and the line sends them in that order, one byte per byte time.
class ScriptedLine final : public SerialBackend {
 public:
  Status open_port(const PortName&, const LineSettings&, PortHandle& handle) override {
    handle.held = true;
    return kStatusOk;
  }
  void close_port(PortHandle& handle) override { handle = PortHandle{}; }
  Status write_byte(const PortHandle&, std::uint8_t byte, Deadline) override;
  ReadEnd read_byte(const PortHandle&, std::uint8_t& out, Deadline deadline, const std::atomic<bool>& cancel) override;
  ReadEnd read_bytes(const PortHandle& handle, std::uint8_t* out, std::size_t n, Deadline deadline,
                     const std::atomic<bool>& cancel, std::size_t& got) override;
  Deadline now() const override { return clock_; }

  // Called before every read: the harness answers what the host has written.
  void (*before_read)(void* context) = nullptr;
  void* context = nullptr;

  // Kept in the order the line sends them: by the time they are ready, then
  // in the order sent.
  void send(Deadline ready, Bytes bytes) {
    if (pending_.empty() || pending_.back().ready <= ready) {
      pending_.push_back(Packet{ready, std::move(bytes)});
      return;
    }
    const auto at = std::upper_bound(pending_.begin(), pending_.end(), ready,
                                     [](Deadline r, const Packet& p) { return r < p.ready; });
    pending_.insert(at, Packet{ready, std::move(bytes)});
  }
  void pass(milliseconds time) { clock_ += time; }
  // Nothing more comes of what was queued (the link went down); the packet
  // on the line is finished, as a module sends whole packets.
  void drop_pending() { pending_.clear(); }

  Bytes written;  // everything the host wrote
  bool trace = false;
  std::size_t reads_after_deadline = 0;
  // A whole command packet the host wrote: a letter on the channel, or an
  // HCI command (opcode). The harness answers it.
  std::vector<Bytes> host_packets;

 private:
  struct Packet {
    Deadline ready;
    Bytes bytes;
  };
  Deadline clock_ = Deadline{} + std::chrono::hours(1);
  Deadline line_free_{};
  std::deque<Packet> pending_;
  Bytes flight_;  // the packet on the line, from flight_start_, one byte per byte time
  std::size_t flight_at_ = 0;
  Deadline flight_start_{};
  Deadline expired_{};
  Bytes partial_;  // the host's packet under way
};

Status ScriptedLine::write_byte(const PortHandle&, std::uint8_t byte, Deadline) {
  written.push_back(byte);
  partial_.push_back(byte);
  std::size_t whole = 0;
  if (partial_[0] == 0x01 && partial_.size() >= 4) whole = 4u + partial_[3];
  if (partial_[0] == 0x02 && partial_.size() >= 5) whole = 5u + (partial_[3] | partial_[4] << 8);
  if (whole != 0 && partial_.size() == whole) {
    if (trace)
      std::fprintf(stderr, "  %lld ms: host sends %02x %02x %02x ... (%zu bytes)\n",
                   static_cast<long long>(std::chrono::duration_cast<milliseconds>(clock_.time_since_epoch()).count() - 3600000),
                   partial_[0], partial_[1], partial_[2], partial_.size());
    host_packets.push_back(partial_);
    partial_.clear();
  }
  return kStatusOk;
}

ReadEnd ScriptedLine::read_byte(const PortHandle&, std::uint8_t& out, Deadline deadline,
                                const std::atomic<bool>& cancel) {
  if (before_read != nullptr) before_read(context);
  if (cancel.load()) return ReadEnd::cancelled;
  if (deadline == expired_) ++reads_after_deadline;
  if (clock_ >= deadline) {
    expired_ = deadline;
    return ReadEnd::deadline;
  }
  if (flight_at_ == flight_.size() && !pending_.empty()) {
    const Deadline start = std::max(line_free_, pending_.front().ready);
    if (start <= deadline) {
      flight_ = std::move(pending_.front().bytes);
      pending_.pop_front();
      flight_at_ = 0;
      flight_start_ = start;
      line_free_ = start + kByteTime * static_cast<long>(flight_.size());
    }
  }
  const Deadline due = flight_start_ + kByteTime * static_cast<long>(flight_at_);
  if (flight_at_ == flight_.size() || due > deadline) {
    clock_ = deadline;
    expired_ = deadline;
    return ReadEnd::deadline;
  }
  clock_ = std::max(clock_, due);
  out = flight_[flight_at_++];
  return ReadEnd::byte;
}

// The bytes of the packet on the line that are due by the deadline are
// taken at once; the rest byte by byte.
ReadEnd ScriptedLine::read_bytes(const PortHandle& handle, std::uint8_t* out, std::size_t n, Deadline deadline,
                                 const std::atomic<bool>& cancel, std::size_t& got) {
  for (got = 0; got < n;) {
    const ReadEnd end = read_byte(handle, out[got], deadline, cancel);
    if (end != ReadEnd::byte) return end;
    ++got;
    const auto due_by = (std::min(deadline, clock_ + std::chrono::hours(1)) - flight_start_) / kByteTime;
    const std::size_t due = std::min<std::size_t>(static_cast<std::size_t>(std::max<long>(due_by + 1, 0)), flight_.size());
    const std::size_t take = due > flight_at_ ? std::min(due - flight_at_, n - got) : 0;
    if (take == 0) continue;
    std::copy_n(flight_.begin() + static_cast<long>(flight_at_), take, out + got);
    flight_at_ += take;
    got += take;
    clock_ = std::max(clock_, flight_start_ + kByteTime * static_cast<long>(flight_at_ - 1));
  }
  return ReadEnd::byte;
}

// What one exchange's faults do to what the camera sends for it.
struct Faults {
  int pause_at = -1;  // before this frame the camera stops ...
  milliseconds pause{};
  int pause_inside = -1;  // ... or after this many bytes of it (-1: before it)
  int lose_from = -1;  // frames lose_from .. lose_from + lose_count - 1 never come
  int lose_count = 0;
  int stray_at = -1;  // before this frame: another packet
  std::uint8_t stray_kind = 0;
  int link_loss_at = -1;  // before this frame the link or the channel goes
  bool channel_only = false;
  bool carry_on = false;  // ... and the camera sends the rest once the channel is back
  long byte_at = -1;  // a byte of this exchange's line bytes is lost or added
  bool byte_added = false;
  std::uint8_t added = 0;
  std::size_t fragment = 0;
  milliseconds gap{};  // between one frame and the next, steadily
  int twice = -1;      // this frame is sent twice (72: one row too many after the last)
  bool overtakes = false;  // sent before what the camera still had to send of the exchange before
};

Faults read_faults(Input& in) {
  Faults f;
  const std::uint8_t kinds = in.byte();
  const std::uint8_t more = in.byte();
  if (kinds & 0x01) {
    f.pause_at = in.byte() % 73;
    // Up to 5.9 s: a camera that stays silent for the write-off time (6 s)
    // while it owes frames has dropped them, and counting cannot tell its
    // later frames from the next command's.
    f.pause = milliseconds(in.byte() % 237 * 25);
    if (more & 0x01) f.pause_inside = in.byte() % 200;
  }
  if (kinds & 0x02) {
    f.lose_from = in.byte() % 73;
    f.lose_count = 1 + in.byte() % 4;
  }
  if (kinds & 0x04) {
    f.stray_at = in.byte() % 73;
    f.stray_kind = in.byte();
  }
  if (kinds & 0x08) {
    f.byte_at = in.u16() % 15000;
    f.byte_added = (kinds & 0x10) != 0;
    f.added = in.byte();
  }
  if (kinds & 0x20) f.fragment = 7 + in.byte() % 60;
  if (kinds & 0x40) {
    f.link_loss_at = in.byte() % 73;
    f.channel_only = (kinds & 0x80) != 0;
    f.carry_on = (more & 0x10) != 0;
  }
  if (more & 0x02) f.gap = milliseconds(in.byte() % 61);
  if (more & 0x04) f.twice = in.byte() % 73;
  f.overtakes = (more & 0x08) != 0;
  return f;
}

// One host and its camera. Every command the camera gets has a number, and
// every "U" a picture number, both from 1.
struct World {
  ScriptedLine line;
  std::unique_ptr<HostState> s = std::make_unique<HostState>();
  std::size_t packets_seen = 0;
  std::uint16_t commands = 0;
  std::uint16_t pictures = 0;
  Deadline camera_free{};  // the camera answers in order: not before it is done with the last
  // The camera stays silent for less than the write-off time while it owes
  // frames: counted from the end of the last packet it put on the line, or
  // from the command that found it idle, whichever came later. A pause before
  // a lost frame and a pause in the next exchange would otherwise add up.
  Deadline heard_until{};
  Deadline owing_since{};
  bool last_was_picture = false;
  bool ever_lost = false;  // a frame of this camera's never came
  std::vector<Bytes> carried;  // frames the camera sends once its channel is back after a link loss
  // The exchange under way: its faults, and whether the camera has had its command.
  Faults faults;
  std::size_t exchange_from = 0;
  bool answered = true;

  World() {
    host_attach(*s, line);
    s->port_handle.held = true;
    line.context = this;
    line.before_read = [](void* c) { static_cast<World*>(c)->answer_what_was_written(); };
    connect();
  }
  void answer_what_was_written() {
    if (packets_seen == line.host_packets.size()) return;  // nothing new written
    const std::size_t first_new = packets_seen;
    module_answers();
    if (answered) return;
    exchange_from = std::max(exchange_from, first_new);
    if (char letter = letter_sent_since(exchange_from); letter != 0) {
      camera_answers(letter, faults);
      answered = true;
    }
  }
  void carry_on() {
    Deadline at = line.now();
    for (const Bytes& frame : carried)
      for (Bytes packet : frame_packets(kCid, frame, 0)) at = send_paced(at, std::move(packet), -1, {});
    carried.clear();
    camera_free = at;
  }
  void connect() {
    s->remote_address = {0x01, 0x00, 0x00, 0x00, 0xFE, 0xCA};
    s->handle_low = kHandle;
    s->handle_high = 0x00;
    s->link_connected = 1;
    s->channel_id = kCid;
    s->channel_state = kChannelOpen;
  }

  // The camera's frames for the command just sent, with the exchange's faults.
  void camera_answers(char letter, const Faults& f) {
    ++commands;
    if (camera_free <= line.now()) owing_since = line.now();
    const bool picture = letter == 'U';
    std::vector<Bytes> frames;
    if (picture) {
      ++pictures;
      for (int r = 0; r < 72; ++r) frames.push_back(row_of(pictures, r));
    } else {
      frames.push_back(answer_of(letter, commands));
    }
    const int count = static_cast<int>(frames.size());
    auto lost = [&](int i) { return i >= f.lose_from && i < f.lose_from + f.lose_count; };
    bool loses = false;
    for (int i = 0; i < count && i != f.link_loss_at; ++i) loses = loses || lost(i);
    // A byte lost or added in a fragmented frame can make a length that
    // reads the following fragments whole, as another link's packet, and
    // ends in step: those are lost as surely, and the last of them may
    // complete the damaged frame.
    loses = loses || (f.byte_at >= 0 && f.fragment != 0);
    // A row sent twice, only while no frame was ever lost (a lost row and a
    // row too many leave the count right and the picture wrong), and in a
    // picture sent without a pause or a link loss, so that the row too many
    // follows the last at the camera's pace (after a pause it may come after
    // the next picture's last row, and be taken for one of its rows).
    // Nor in a picture that passes a key's answer still to come: that key
    // takes the picture's first row.
    const bool undisturbed = (f.pause_at < 0 || f.pause_at >= count) &&
                             (f.link_loss_at < 0 || f.link_loss_at >= count) && !f.overtakes;
    const int twice = picture && !loses && !ever_lost && undisturbed ? f.twice : -1;
    ever_lost = ever_lost || loses;
    // A key's answer and a picture may pass one another; answers of one kind
    // stay in order (two keys' answers swapped look the same as in order).
    Deadline at = line.now() + milliseconds(2);
    if (!f.overtakes || picture == last_was_picture) at = std::max(at, camera_free);
    last_was_picture = picture;
    long line_byte = 0;
    for (int i = 0; i < count; ++i) {
      if (i == f.link_loss_at) {
        link_loss(at, f.channel_only);
        if (f.carry_on)
          for (int j = i; j < count; ++j)
            if (!lost(j)) carried.push_back(frames[static_cast<std::size_t>(j)]);
        break;
      }
      if (i == f.pause_at && f.pause_inside < 0) at += f.pause;
      if (i == f.stray_at) {
        // A frame on the camera's own channel comes only among rows, with a
        // row after it: where a key's answer is owed it would be taken for it.
        const bool on_channel = f.stray_kind % 7 == 5;
        const bool row_after = picture && !lost(i) && (f.link_loss_at < 0 || f.link_loss_at > i);
        if (!on_channel || row_after) deliver(at, stray(f.stray_kind));
      }
      if (lost(i)) continue;
      for (int copy = 0; copy < (i == twice ? 2 : 1); ++copy) {
        // A pause inside the frame falls after pause_inside of its bytes,
        // counted through all its fragments.
        long pause_in = i == f.pause_at && copy == 0 ? f.pause_inside : -1;
        for (Bytes packet : frame_packets(kCid, frames[static_cast<std::size_t>(i)], f.fragment)) {
          const long here = f.byte_at - line_byte;
          line_byte += static_cast<long>(packet.size());
          if (here >= 0 && here < static_cast<long>(packet.size())) {
            if (f.byte_added) packet.insert(packet.begin() + here, f.added);
            else packet.erase(packet.begin() + here);
          }
          const auto size = static_cast<long>(packet.size());
          at = send_paced(at, std::move(packet), pause_in >= 0 && pause_in < size ? static_cast<int>(pause_in) : -1,
                          f.pause);
          pause_in = pause_in >= size ? pause_in - size : -1;
        }
        at += f.gap;
      }
    }
    if (twice == count && f.link_loss_at < 0)  // one row too many after the last
      for (Bytes packet : frame_packets(kCid, row_of(pictures, 72), f.fragment)) at = send_paced(at, packet, -1, {});
    camera_free = std::max(camera_free, at);
  }

  // Puts bytes on the line at `at`, or sooner where the camera would
  // otherwise have been silent for the write-off time. When they go.
  Deadline deliver(Deadline at, Bytes bytes) {
    at = std::min(at, std::max(heard_until, owing_since) + kLongestSilence);
    heard_until = std::max(heard_until, at + kByteTime * static_cast<long>(bytes.size()));
    line.send(at, std::move(bytes));
    return at;
  }

  // Puts a packet on the line at `at`; split after `pause_inside` bytes by a
  // pause, when that falls inside it. The time the camera is done with it.
  Deadline send_paced(Deadline at, Bytes packet, int pause_inside, milliseconds pause) {
    const auto size = static_cast<long>(packet.size());
    if (pause_inside > 0 && pause_inside < size) {
      at = deliver(at, Bytes(packet.begin(), packet.begin() + pause_inside));
      at = deliver(at + kByteTime * pause_inside + pause, Bytes(packet.begin() + pause_inside, packet.end()));
      return at + kByteTime * (size - pause_inside);
    }
    if (pause_inside >= 0) at += pause;  // falls at the packet's edge
    at = deliver(at, std::move(packet));
    return at + kByteTime * size;
  }

  Bytes stray(std::uint8_t kind) {
    switch (kind % 7) {
      case 0: return event(0x13, {0x01, kHandle, 0x00, 0x01, 0x00});                  // Number Of Completed Packets
      case 1: {                                                                      // a third device pages the host
        Bytes p = kIntruder;
        p.insert(p.end(), {0x0C, 0x02, 0x5A, 0x01});
        return event(0x04, p);
      }
      case 2: return frame_packets(0x0001, {0x08, 0x33, 0x02, 0x00, 0xAB, 0xCD}, 0)[0];  // Echo Request
      case 3: return acl(0x0ABC, 2, {0x01, 0x00, 0x46, 0x00, 0x99});                  // another link's data
      case 4: return frame_packets(0x0003, {0x01, 0x02}, 0)[0];                        // a reserved fixed channel
      case 5: return frame_packets(kCid, {'S', 0x5A, 0x5A, 0x5A}, 0)[0];               // unasked, on the camera's channel
      default: return frame_packets(0x0047, row_of(0xEEEE, 0), 0)[0];                  // a row on a channel the host lacks
    }
  }

  void link_loss(Deadline at, bool channel_only) {
    if (channel_only)
      deliver(at, frame_packets(0x0001, {0x06, 0x44, 0x04, 0x00, 0x46, 0x00, 0x46, 0x00}, 0)[0]);
    else
      deliver(at, event(0x05, {0x00, kHandle, 0x00, 0x08}));
  }

  // The module answers the host's HCI commands: a Reject with its Command
  // Status and the refused link's failed completion, anything else with a
  // Command Status.
  void module_answers() {
    for (; packets_seen < line.host_packets.size(); ++packets_seen) {
      const Bytes& p = line.host_packets[packets_seen];
      if (p[0] != 0x01) continue;
      line.send(line.now() + milliseconds(1), event(0x0F, {0x00, 0x01, p[1], p[2]}));
      if (p[1] == 0x0A && p[2] == 0x04) {
        Bytes complete{0x0D, 0x00, 0x00};
        complete.insert(complete.end(), kIntruder.begin(), kIntruder.end());
        complete.insert(complete.end(), {0x01, 0x00});
        line.send(line.now() + milliseconds(2), event(0x03, complete));
      }
    }
  }

  // The letter of the channel command the host sent since `from`, or 0.
  char letter_sent_since(std::size_t from) const {
    for (std::size_t i = from; i < line.host_packets.size(); ++i) {
      const Bytes& p = line.host_packets[i];
      if (p[0] == 0x02 && p.size() == 10 && p[7] == (kCid & 0xFF)) return static_cast<char>(p[9]);
    }
    return 0;
  }
};

constexpr char kLetters[] = {'L', 'R', 'D', 'H', 'K', 'M', 'U'};
constexpr int kMaxExchanges = 10;

// The checks after each call.
std::string judge(World& w, char what, Status status, std::uint16_t number, std::uint16_t picture) {
  const HostState& h = *w.s;
  if (h.frame_length < 0 || static_cast<std::size_t>(h.frame_length) > kFrameBufferSize) return "frame_length out of range";
  if (w.line.reads_after_deadline != 0) return "read on in a wait already reported expired";
  if (failed(status)) return "";
  if (number == 0) return "reported good with nothing sent";
  if (what == 'C') {
    for (int r = 0; r < 72; ++r) {
      const Bytes expected = row_of(picture, r);
      if (!std::equal(expected.begin(), expected.end(), h.frame_buffer.begin() + 192 * r))
        return "a picture reported good holds row " + std::to_string(r) + " of another (picture " +
               std::to_string(picture) + ", row bytes " + std::to_string(h.frame_buffer[192 * r]) + " " +
               std::to_string(h.frame_buffer[192 * r + 1]) + " " + std::to_string(h.frame_buffer[192 * r + 2]) + ")";
    }
  } else if (what != 'U') {
    const Bytes expected = answer_of(what, number);
    if (h.key_answer_length != expected.size() || !std::equal(expected.begin(), expected.end(), h.key_answer.begin()))
      return std::string("key ") + what + " reported answered with another's answer";
  }
  return "";
}
}  // namespace

namespace {
// CORVANTA_ORACLE_TRACE set: one line per exchange on standard error, to
// read a failing input by.
void trace_exchange(int n, char what, const Faults& f, Status status, const HostState& s,
                    std::chrono::nanoseconds took) {
  std::fprintf(stderr,
               "exchange %d %c: pause %d:%lldms inside %d, lose %d+%d, stray %d:%d, byte %ld%s %02x, fragment %zu, "
               "link loss %d%s%s, gap %lldms, twice %d%s -> %s in %lld ms%s%s\n",
               n, what, f.pause_at, static_cast<long long>(f.pause.count()), f.pause_inside, f.lose_from,
               f.lose_count, f.stray_at, f.stray_kind % 7, f.byte_at, f.byte_added ? " added" : "", f.added, f.fragment,
               f.link_loss_at, f.channel_only ? " channel" : "", f.carry_on ? " carried on" : "",
               static_cast<long long>(f.gap.count()), f.twice, f.overtakes ? ", overtakes" : "",
               failed(status) ? "failed" : "ok",
               static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()),
               failed(status) ? ": " : "", failed(status) ? failure_text(s.last_failure).c_str() : "");
  std::fprintf(stderr, "  ledger: %u owed, in doubt %d, doubts %u, settle by quiet %d; channel %d, link %d, faults %u\n",
               s.ledger.count, s.ledger.in_doubt, s.ledger.doubts, s.ledger.settle_by_quiet, s.channel_state,
               s.link_connected, s.stream_faults);
}
}  // namespace

std::string fuzz_exchanges(const std::uint8_t* data, std::size_t size) {
  const bool trace = std::getenv("CORVANTA_ORACLE_TRACE") != nullptr;
  Input in{data, size};
  World w;
  w.line.trace = trace;
  // No picture to convert: the oracle judges the bytes the host kept.
  CameraView view{nullptr, nullptr, nullptr, nullptr};
  for (int n = 0; n < kMaxExchanges && !in.done(); ++n) {
    const std::uint8_t op = in.byte();
    w.line.pass(milliseconds((op >> 4) * 500));  // idle time before it, up to 7.5 s
    if (w.s->link_connected == 0 || w.s->channel_state != kChannelOpen) {
      w.line.drop_pending();  // a new link: nothing queued for the old one comes
      w.camera_free = {};
      w.connect();
      w.carry_on();  // but a camera may send on it what it had not sent
    }
    const char what = (op & 0x0F) < 7 ? kLetters[op & 0x0F] : 'C';
    w.faults = read_faults(in);
    w.exchange_from = w.line.host_packets.size();
    w.answered = false;
    const std::uint16_t commands_before = w.commands;
    const Deadline began = w.line.now();
    clear_failure(*w.s);  // as the shells do: the reason is this exchange's
    const Status status = what == 'C' ? capture_frame(*w.s, view) : camera_simple_command(*w.s, what);
    w.answer_what_was_written();  // a command whose exchange read nothing is still the camera's
    if (trace) trace_exchange(n + 1, what, w.faults, status, *w.s, w.line.now() - began);
    const std::uint16_t number = w.commands != commands_before ? w.commands : 0;
    if (std::string broke = judge(w, what, status, number, w.pictures); !broke.empty())
      return broke + " (exchange " + std::to_string(n + 1) + ")";
  }
  return "";
}
