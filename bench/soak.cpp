// corvanta-soak: the host against a virtual module that misbehaves at random,
// reproducibly from a seed. It runs a seeded mix of steering keys, the U key
// and captures, and sorts every capture into exact, honestly failed (the host
// said so) or silently wrong (the host called it good and it is not what the
// camera sent); a steering key the host calls answered must have given the
// camera's answer. The outcomes are also counted for each kind of fault the
// camera's record names. A changed byte (substitute) is beyond what any host
// can tell: what it makes wrong is counted apart.
//   corvanta-soak [--fast] [--rate R] [--kinds LIST] [--log FILE] N SEED
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camera_commands.h"
#include "chaos.h"
#include "failure_text.h"
#include "host_ops.h"
#include "posix_serial.h"
#include "private_module.h"
#include "program_options.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::uint8_t kPort = 5;
// A host that fails this many exchanges in a row is taken to be lost (its
// link is not the camera's, say): it closes the port and starts again.
constexpr int kFailuresBeforeReopen = 5;
constexpr int kRecoveryAttempts = 3;
// How long a command may take to reach the module after the host's call
// returned: the host may have taken an old frame before the module read it.
constexpr auto kRecordWait = std::chrono::milliseconds(2000);
constexpr int kWarmUpExchanges = 20;

const char* const kUsage =
    "Usage: corvanta-soak [OPTION]... N SEED\n"
    "Run the host against a virtual module with random faults from SEED (its\n"
    "chaos): open, start up, inquire, connect, then N exchanges, a mix drawn from\n"
    "SEED of steering keys, the U key and captures, reconnecting when the link or\n"
    "the channel is down. Every capture is exact, honestly failed or silently\n"
    "wrong; every steering key the host calls answered must have given the\n"
    "camera's answer. Outcomes are counted for each kind of fault as well. Exit\n"
    "status 1 when a capture was silently wrong, a key's answer was wrong, or a\n"
    "fault-free capture right after a fault-free exchange was not exact; 2 when\n"
    "the host could not be brought back to the camera. What a changed byte\n"
    "(the substitute kind, off unless asked for) makes wrong is counted apart\n"
    "and does not fail the run: no host can tell it.\n"
    "\n"
    "  --fast         do not pace the line (pauses still take their time)\n"
    "  --rate R       the chance of each fault at each opportunity (default 0.05)\n"
    "  --kinds LIST   only these faults (see corvanta-sim --help; default all)\n"
    "  --log FILE     the camera's records and each exchange's verdict\n"
    "  -h, --help     show this help\n"
    "      --version  show the version\n";

enum class Exchange { capture, steering_key, u_key };

// The outcomes of the exchanges whose camera record names one kind of fault.
struct KindTally {
  int captures = 0, exact = 0, failed = 0, wrong = 0;
  int keys = 0, keys_right = 0, keys_failed = 0, keys_wrong = 0;
};

struct Tally {
  int captures = 0, exact = 0, failed = 0, wrong = 0;
  int keys = 0, keys_answered = 0, keys_failed = 0, keys_checked = 0, keys_wrong = 0;
  int beyond_wrong = 0;  // wrong pictures and answers after a changed byte: counted apart
  std::map<std::string, KindTally> by_kind;
  int u_keys = 0, u_answered = 0, u_failed = 0;
  int clean_not_exact = 0;
  int reconnects = 0, reopens = 0;
  int u_sent = 0, pictures = 0;
  std::map<std::string, int> faults;
  int fault_total = 0;
};

long vm_rss_kb() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
  std::fclose(f);
  return kb;
}

class Soak {
 public:
  Soak(const SimOptions& options, FILE* log) : options_(options), log_(log) { host_attach(*host_, serial_); }
  ~Soak() {
    if (s().port_handle.held) {
      if (s().link_connected != 0) host_disconnect(s());
      host_close(s());
    }
  }

  bool start() {
    if (!sim_.start(options_, kPort)) return false;
    if (failed(host_open(s(), kPort)) || failed(module_start_up(s(), kLocalDeviceName))) return false;
    std::uint8_t count = 0;
    if (failed(discover_devices(s(), s().found_devices.data(), &count, 1)) || count == 0) return false;
    camera_ = s().found_devices[0];
    if (!failed(host_connect(s(), camera_)) && ready()) return true;
    return recover(false);
  }

  bool ready() { return s().link_connected != 0 && s().channel_state == kChannelOpen; }

  // Back to an open channel: connect again, or close, open and start up
  // again first (HCI_Reset forgets the module's links).
  bool recover(bool reopen) {
    for (int attempt = 0; attempt < kRecoveryAttempts; ++attempt) {
      if (s().link_connected != 0) host_disconnect(s());
      if (reopen || attempt > 0) {
        host_close(s());
        if (failed(host_open(s(), kPort)) || failed(module_start_up(s(), kLocalDeviceName))) {
          log_recovery("open and start-up");
          continue;
        }
        ++tally.reopens;
      } else {
        ++tally.reconnects;
      }
      if (!failed(host_connect(s(), camera_)) && ready()) return true;
      log_recovery("connect");
    }
    return false;
  }

  void log_recovery(const char* step) {
    if (log_ == nullptr) return;
    std::fprintf(log_, "recovery: %s failed (%s)\n", step, failure_text(s().last_failure).c_str());
    std::fflush(log_);
  }

  struct Outcome {
    bool clean = false;  // the camera's record of it has no fault
    bool failed = false;  // as the host reported it
  };

  Outcome exchange(Exchange kind, char letter, bool previous_clean) {
    HostState& h = s();
    clear_failure(h);  // as the shells do: the reason is this exchange's
    const std::uint32_t commands_before = h.ledger.last_number;
    Status status = kStatusOk;
    switch (kind) {
      case Exchange::capture: status = capture_frame(h, view_); break;
      case Exchange::u_key: status = camera_key_down(h, view_, kVkU); break;
      case Exchange::steering_key: status = camera_key_down(h, view_, key_for(letter)); break;
    }
    // The host owes a debt for each command it sends, and the camera keeps a
    // record of each it gets, numbered by type: the n-th key sent is the
    // n-th key the camera had (the host's direction of the line is clean).
    const ChaosRecordType type = kind == Exchange::steering_key ? ChaosRecordType::key : ChaosRecordType::picture;
    const ChaosRecord* record = nullptr;
    std::uint32_t& sent = sent_[type == ChaosRecordType::key ? 1 : 0];
    if (h.ledger.last_number != commands_before) {
      record = record_of(type, ++sent);
      // Sent on a link the camera had already lost: it never had it, and
      // the next command of its type is its next record.
      if (record == nullptr && failed(status)) --sent;
    }
    const bool clean = record != nullptr && record->faults.empty();
    const bool good = !failed(status);
    // A changed byte in this answer or the one before is beyond any host.
    const bool changed = substituted(record) || previous_substituted_;
    previous_substituted_ = substituted(record);
    std::string verdict;
    if (kind == Exchange::capture) {
      ++tally.captures;
      ++tally.u_sent;
      const bool exact = good && record != nullptr && frame_is(*record);
      if (!good) ++tally.failed;
      else if (exact) ++tally.exact;
      else ++(changed ? tally.beyond_wrong : tally.wrong);
      verdict = !good ? "honestly failed" : exact ? "exact" : changed ? "wrong after a changed byte" : "SILENTLY WRONG";
      for_each_kind(record, [&](KindTally& k) {
        ++k.captures;
        ++(!good ? k.failed : exact ? k.exact : k.wrong);
      });
      if (previous_clean && clean && !exact) {
        ++tally.clean_not_exact;
        verdict = !good ? "failed, fault-free after fault-free" : "SILENTLY WRONG, fault-free after fault-free";
      }
      if (good && !exact && record != nullptr) verdict += ", " + first_difference(*record);
    } else if (kind == Exchange::u_key) {
      ++tally.u_keys;
      ++tally.u_sent;
      ++(good ? tally.u_answered : tally.u_failed);
      verdict = good ? "answered" : "failed";
    } else {
      ++tally.keys;
      verdict = "failed";
      if (!good) {
        ++tally.keys_failed;
      } else {
        ++tally.keys_answered;
        if (record == nullptr) {
          ++tally.keys_wrong;  // answered, yet the camera never had the key
          verdict = "WRONG ANSWER (the camera never had this key)";
        } else {
          ++tally.keys_checked;
          const bool right = h.key_answer_length == record->answer.size() &&
                             std::equal(record->answer.begin(), record->answer.end(), h.key_answer.begin());
          if (!right) ++(changed ? tally.beyond_wrong : tally.keys_wrong);
          verdict = right ? "answered, right" : changed ? "wrong answer after a changed byte" : "WRONG ANSWER";
        }
      }
      for_each_kind(record, [&](KindTally& k) {
        ++k.keys;
        const bool right = good && verdict == "answered, right";
        ++(!good ? k.keys_failed : right ? k.keys_right : k.keys_wrong);
      });
    }
    ++exchanges_;
    if (log_ != nullptr) {
      const std::string what = kind == Exchange::capture ? "capture"
                               : kind == Exchange::u_key ? "U key"
                                                         : std::string("key ") + letter;
      const std::string why = good ? "" : " (" + failure_text(h.last_failure) + ")";
      std::fprintf(log_, "exchange %d, %s: %s%s\n", exchanges_, what.c_str(), verdict.c_str(), why.c_str());
      std::fflush(log_);
    }
    return {clean, !good};
  }

  void finish() { collect_records(); }

  Tally tally;

 private:
  HostState& s() { return *host_; }

  static bool substituted(const ChaosRecord* record) {
    if (record == nullptr) return false;
    return std::any_of(record->faults.begin(), record->faults.end(),
                       [](const ChaosFault& f) { return f.kind == ChaosFaultKind::substitute; });
  }

  // Each kind the record names, once.
  template <typename Count>
  void for_each_kind(const ChaosRecord* record, Count count) {
    if (record == nullptr) return;
    std::vector<std::string> kinds;
    for (const ChaosFault& f : record->faults) kinds.push_back(chaos_fault_name(f.kind));
    if (kinds.empty()) kinds.push_back("none");
    std::sort(kinds.begin(), kinds.end());
    kinds.erase(std::unique(kinds.begin(), kinds.end()), kinds.end());
    for (const std::string& k : kinds) count(tally.by_kind[k]);
  }

  static std::uint32_t key_for(char letter) {
    switch (letter) {
      case 'L': return kVkLeft;
      case 'R': return kVkRight;
      case 'D': return kVkDown;
      case 'H': return kVkH;
      case 'K': return kVkK;
      default: return kVkM;
    }
  }

  // The camera's record of the number-th command of its type. None when the
  // camera never had it (the module reads the line within milliseconds; the
  // wait only bounds a module that has stopped).
  // Records of earlier commands of the same type are dropped once a later
  // one is matched, so that a long soak's memory stays flat.
  const ChaosRecord* record_of(ChaosRecordType type, std::uint32_t number) {
    const auto give_up = Clock::now() + kRecordWait;
    for (;;) {
      collect_records();
      records_.erase(std::remove_if(records_.begin(), records_.end(),
                                    [&](const ChaosRecord& r) { return r.type == type && r.number < number; }),
                     records_.end());
      for (const ChaosRecord& r : records_)
        if (r.type == type && r.number == number) return &r;
      if (Clock::now() >= give_up) return nullptr;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // The module's new records: logged, their faults counted, kept until matched.
  void collect_records() {
    for (ChaosRecord& r : sim_.module().take_chaos_records()) {
      if (log_ != nullptr) std::fprintf(log_, "%s\n", format_chaos_record(r).c_str());
      if (r.type == ChaosRecordType::picture) ++tally.pictures;
      for (const ChaosFault& f : r.faults) {
        const bool at_connect = f.kind == ChaosFaultKind::page && f.at == kChaosAtConnect;
        ++tally.faults[at_connect ? "page-connect" : chaos_fault_name(f.kind)];
        ++tally.fault_total;
      }
      records_.push_back(std::move(r));
    }
  }

  // Where the host's frame first differs from the intended one.
  std::string first_difference(const ChaosRecord& record) const {
    const CameraFrame intended = render_camera_view(record.scene);
    const auto at = static_cast<std::size_t>(
        std::mismatch(intended.begin(), intended.end(), host_->frame_buffer.begin()).first - intended.begin());
    const auto row_bytes = static_cast<std::size_t>(kPictureWidth) * 2;
    if (at == intended.size()) return "same bytes, length " + std::to_string(host_->frame_length);
    return "first difference at byte " + std::to_string(at) + " (row " + std::to_string(at / row_bytes) + ")";
  }

  // The host's whole frame buffer is the frame the camera meant to send.
  bool frame_is(const ChaosRecord& record) const {
    const CameraFrame intended = render_camera_view(record.scene);
    if (fnv1a64(intended.data(), intended.size()) != record.digest) return false;  // not the picture it logged
    return static_cast<std::size_t>(host_->frame_length) == intended.size() &&
           std::equal(intended.begin(), intended.end(), host_->frame_buffer.begin());
  }

  SimOptions options_;
  FILE* log_;
  PrivateModule sim_;
  std::unique_ptr<HostState> host_ = std::make_unique<HostState>();
  PosixSerial serial_;
  Picture picture_;
  CameraView view_{&picture_, nullptr, nullptr, nullptr};
  DeviceAddress camera_{};
  std::vector<ChaosRecord> records_;
  std::uint32_t sent_[2] = {0, 0};  // "U" sent (captures and U keys), steering keys sent
  bool previous_substituted_ = false;
  int exchanges_ = 0;
};

void print_tally(const Tally& t, std::uint64_t seed, double seconds, long rss_start, long rss_warm, long rss_end) {
  std::printf("captures %d: exact %d, honestly failed %d, silently wrong %d\n", t.captures, t.exact, t.failed, t.wrong);
  std::printf("steering keys %d: answered %d (checked %d, wrong %d), failed %d\n", t.keys, t.keys_answered,
              t.keys_checked, t.keys_wrong, t.keys_failed);
  std::printf("U keys %d: answered %d, failed %d\n", t.u_keys, t.u_answered, t.u_failed);
  std::printf("U sent by the host %d, pictures the camera sent %d\n", t.u_sent, t.pictures);
  std::printf("faults %d:", t.fault_total);
  for (const auto& [name, count] : t.faults) std::printf(" %s %d", name.c_str(), count);
  std::printf("\n");
  std::printf("fault-free captures right after a fault-free exchange, not exact: %d\n", t.clean_not_exact);
  std::printf("wrong after a changed byte (beyond any host, counted apart): %d\n", t.beyond_wrong);
  std::printf("by the kinds of fault in the camera's record (an exchange counts under each of its kinds):\n");
  std::printf("  %-14s %8s %6s %7s %6s   %5s %6s %7s %6s\n", "kind", "captures", "exact", "failed", "wrong", "keys",
              "right", "failed", "wrong");
  for (const auto& [name, k] : t.by_kind)
    std::printf("  %-14s %8d %6d %7d %6d   %5d %6d %7d %6d\n", name.c_str(), k.captures, k.exact, k.failed, k.wrong,
                k.keys, k.keys_right, k.keys_failed, k.keys_wrong);
  std::printf("reconnects %d, reopens %d\n", t.reconnects, t.reopens);
  std::printf("VmRSS %ld kB at the start, %ld kB after %d exchanges, %ld kB at the end\n", rss_start, rss_warm,
              kWarmUpExchanges, rss_end);
  std::printf("time %.1f s\n", seconds);
  // One line for scripts/soak to add up.
  std::printf("tally seed=%llu captures=%d exact=%d failed=%d wrong=%d keys=%d keys_answered=%d keys_checked=%d "
              "keys_wrong=%d keys_failed=%d u_keys=%d u_failed=%d clean_not_exact=%d reconnects=%d reopens=%d "
              "beyond_wrong=%d faults=%d",
              static_cast<unsigned long long>(seed), t.captures, t.exact, t.failed, t.wrong, t.keys, t.keys_answered,
              t.keys_checked, t.keys_wrong, t.keys_failed, t.u_keys, t.u_failed, t.clean_not_exact, t.reconnects,
              t.reopens, t.beyond_wrong, t.fault_total);
  for (const auto& [name, count] : t.faults) std::printf(" fault_%s=%d", name.c_str(), count);
  for (const auto& [name, k] : t.by_kind)
    std::printf(" kind_%s=%d:%d:%d:%d:%d:%d:%d:%d", name.c_str(), k.captures, k.exact, k.failed, k.wrong, k.keys,
                k.keys_right, k.keys_failed, k.keys_wrong);
  std::printf(" seconds=%.1f\n", seconds);
}

int usage_error(const char* what) {
  std::fprintf(stderr, "corvanta-soak: %s\nTry 'corvanta-soak --help' for more information.\n", what);
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  options.inquiry_time_scale = 0.02;
  options.page_timeout_scale = 0.02;
  options.faults.chaos.on = true;
  std::string log_path;
  std::vector<std::string> positional;
  const std::vector<std::string> args = split_arguments(argc, argv);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const char* { return i + 1 < args.size() ? args[++i].c_str() : nullptr; };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      print_version("corvanta-soak");
      return 0;
    } else if (arg == "--fast") {
      options.paced = false;
    } else if (arg == "--rate") {
      const char* v = value();
      if (v == nullptr || !parse_chaos_seed(std::string("0:") + v, options.faults.chaos))
        return usage_error("--rate takes a number from 0 to 1");
    } else if (arg == "--kinds") {
      const char* v = value();
      if (v == nullptr || !parse_chaos_kinds(v, options.faults.chaos.kinds)) return usage_error("unknown fault kind");
    } else if (arg == "--log") {
      const char* v = value();
      if (v == nullptr) return usage_error("--log takes a file name");
      log_path = v;
    } else if (arg.rfind("-", 0) == 0) {
      return usage_error(("unknown option " + arg).c_str());
    } else {
      positional.push_back(arg);
    }
  }
  char* end = nullptr;
  const long n = positional.size() == 2 ? std::strtol(positional[0].c_str(), &end, 10) : -1;
  if (n < 1 || *end != '\0') return usage_error("give N (1 or more) and SEED");
  SimChaos seed_only;
  if (!parse_chaos_seed(positional[1], seed_only)) return usage_error("SEED is a decimal number");
  options.faults.chaos.seed = seed_only.seed;
  const std::uint64_t seed = seed_only.seed;

  FILE* log = nullptr;
  if (!log_path.empty() && (log = std::fopen(log_path.c_str(), "w")) == nullptr) {
    std::fprintf(stderr, "corvanta-soak: cannot write %s: %s\n", log_path.c_str(), std::strerror(errno));
    return 2;
  }
  std::printf("corvanta-soak: seed %llu, %ld exchanges, %s line, fault rate %.3f\n",
              static_cast<unsigned long long>(seed), n, options.paced ? "57,600 baud" : "unpaced",
              options.faults.chaos.rate);
  std::fflush(stdout);
  const long rss_start = vm_rss_kb();
  const auto started = Clock::now();
  int status = 0;
  Tally tally;
  long rss_end = -1;
  long rss_warm = -1;
  {
    Soak soak(options, log);
    if (!soak.start()) {
      std::fprintf(stderr, "corvanta-soak: seed %llu: the first connection to the camera failed\n",
                   static_cast<unsigned long long>(seed));
      status = 2;
    }
    // The mix has a stream of its own, so it does not move the faults.
    ChaosRandom mix{seed ^ 0x6D69780000000000ULL};
    bool previous_clean = false;
    int failures_in_a_row = 0;
    for (long i = 0; i < n && status == 0; ++i) {
      if (!soak.ready() || failures_in_a_row >= kFailuresBeforeReopen) {
        if (!soak.recover(failures_in_a_row >= kFailuresBeforeReopen)) {
          std::fprintf(stderr, "corvanta-soak: seed %llu: exchange %ld: cannot get the channel back\n",
                       static_cast<unsigned long long>(seed), i + 1);
          status = 2;
          break;
        }
        previous_clean = false;
        failures_in_a_row = 0;
      }
      // Half captures, two fifths steering keys, a tenth the U key.
      const std::uint64_t r = mix.next();
      const int pick = static_cast<int>(r % 20);
      const Exchange kind = pick < 10 ? Exchange::capture : pick < 18 ? Exchange::steering_key : Exchange::u_key;
      const char letter = "LRDHKM"[(r >> 8) % 6];
      const Soak::Outcome outcome = soak.exchange(kind, letter, previous_clean);
      previous_clean = outcome.clean;
      failures_in_a_row = outcome.failed ? failures_in_a_row + 1 : 0;
      // Memory is judged from when the module, the line and the soak's own
      // tallies are set up, not from the bare start of the program.
      if (i + 1 == kWarmUpExchanges) rss_warm = vm_rss_kb();
    }
    soak.finish();
    tally = soak.tally;
    rss_end = vm_rss_kb();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  print_tally(tally, seed, seconds, rss_start, rss_warm, rss_end);
  if (log != nullptr) std::fclose(log);
  if (status != 0) return status;
  return tally.wrong > 0 || tally.keys_wrong > 0 || tally.clean_not_exact > 0 ? 1 : 0;
}
