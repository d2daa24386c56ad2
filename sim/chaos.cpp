#include "chaos.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

std::uint64_t ChaosRandom::next() {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

ChaosDraw chaos_draw(ChaosRandom& random, double rate, bool kind_on) {
  ChaosDraw d;
  // The top 53 bits as a fraction in [0, 1): rate 0 never fires, rate 1 always.
  const double roll = static_cast<double>(random.next() >> 11) * 0x1.0p-53;
  d.hit = kind_on && roll < rate;
  d.a = random.next();
  d.b = random.next();
  d.c = random.next();
  return d;
}

std::uint64_t fnv1a64(const std::uint8_t* data, std::size_t size) {
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001B3ULL;
  return h;
}

const char* chaos_fault_name(ChaosFaultKind kind) {
  switch (kind) {
    case ChaosFaultKind::pause: return "pause";
    case ChaosFaultKind::lost_row: return "lost";
    case ChaosFaultKind::page: return "page";
    case ChaosFaultKind::stray_acl: return "stray-acl";
    case ChaosFaultKind::low_cid: return "low-cid";
    case ChaosFaultKind::echo_request: return "echo";
    case ChaosFaultKind::info_request: return "info";
    case ChaosFaultKind::fragments: return "fragments";
    case ChaosFaultKind::drop_byte: return "drop";
    case ChaosFaultKind::add_byte: return "add";
    case ChaosFaultKind::channel_frame: return "channel-frame";
    case ChaosFaultKind::foreign_row: return "foreign-row";
    case ChaosFaultKind::twice: return "twice";
    case ChaosFaultKind::gap: return "gap";
    case ChaosFaultKind::pause_inside: return "pause-inside";
    case ChaosFaultKind::held: return "held";
    case ChaosFaultKind::link_loss: return "link-loss";
    case ChaosFaultKind::substitute: return "substitute";
  }
  return "?";
}

namespace {
std::string place(int at) {
  switch (at) {
    case kChaosAtAnswer: return "answer";
    case kChaosAtEvent: return "event";
    case kChaosAtConnect: return "connect";
    default: return "row" + std::to_string(at);
  }
}

std::string format_fault(const ChaosFault& f) {
  std::string text = std::string(chaos_fault_name(f.kind)) + "@" + place(f.at);
  char extra[32] = {};
  switch (f.kind) {
    case ChaosFaultKind::pause:
    case ChaosFaultKind::gap:
    case ChaosFaultKind::held: std::snprintf(extra, sizeof extra, ":%" PRIu32 "ms", f.value); break;
    case ChaosFaultKind::pause_inside:
      std::snprintf(extra, sizeof extra, "+%" PRIu32 ":%" PRIu32 "ms", f.offset, f.value);
      break;
    case ChaosFaultKind::fragments: std::snprintf(extra, sizeof extra, ":%" PRIu32, f.value); break;
    case ChaosFaultKind::drop_byte: std::snprintf(extra, sizeof extra, "+%" PRIu32, f.offset); break;
    case ChaosFaultKind::add_byte:
    case ChaosFaultKind::substitute:
      std::snprintf(extra, sizeof extra, "+%" PRIu32 ":%02x", f.offset, static_cast<unsigned>(f.value & 0xFF));
      break;
    default: break;
  }
  return text + extra;
}
}  // namespace

std::string format_chaos_record(const ChaosRecord& r) {
  char head[96] = {};
  std::string line;
  switch (r.type) {
    case ChaosRecordType::picture:
      std::snprintf(head, sizeof head, "picture %" PRIu32 " scene=%d,%d,%d fnv1a=%016" PRIx64, r.number, r.scene.pan,
                    r.scene.tilt, r.scene.zoom, r.digest);
      line = head;
      break;
    case ChaosRecordType::key:
      std::snprintf(head, sizeof head, "key %" PRIu32 " letter=%c answer=", r.number, r.letter);
      line = head;
      for (std::uint8_t b : r.answer) {
        char hex[3] = {};
        std::snprintf(hex, sizeof hex, "%02x", b);
        line += hex;
      }
      break;
    case ChaosRecordType::connect:
      std::snprintf(head, sizeof head, "connect %" PRIu32, r.number);
      line = head;
      break;
  }
  line += " faults=";
  if (r.faults.empty()) return line + "none";
  for (std::size_t i = 0; i < r.faults.size(); ++i) line += (i == 0 ? "" : ",") + format_fault(r.faults[i]);
  return line;
}

bool parse_chaos_seed(const std::string& text, SimChaos& chaos) {
  const auto colon = text.find(':');
  const std::string seed = text.substr(0, colon);
  if (seed.empty() || seed.find_first_not_of("0123456789") != std::string::npos) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(seed.c_str(), &end, 10);
  if (errno != 0) return false;
  double rate = chaos.rate;
  if (colon != std::string::npos) {
    const std::string r = text.substr(colon + 1);
    rate = std::strtod(r.c_str(), &end);
    if (r.empty() || *end != '\0' || !(rate >= 0.0 && rate <= 1.0)) return false;
  }
  chaos.on = true;
  chaos.seed = value;
  chaos.rate = rate;
  return true;
}

bool parse_chaos_kinds(const std::string& text, std::uint32_t& kinds) {
  static const struct {
    const char* name;
    std::uint32_t bits;
  } names[] = {{"pause", kChaosPause},         {"lost", kChaosLostRow},        {"page-picture", kChaosPagePicture},
               {"page-connect", kChaosPageConnect}, {"stray", kChaosStray}, {"fragments", kChaosFragments},
               {"drop", kChaosDropByte},       {"add", kChaosAddByte},         {"channel-stray", kChaosChannelStray},
               {"twice", kChaosTwice},         {"gaps", kChaosGaps},           {"pause-inside", kChaosPauseInside},
               {"reorder", kChaosReorder},     {"link-loss", kChaosLinkLoss},  {"substitute", kChaosSubstitute},
               {"all", kChaosAllKinds}};
  std::uint32_t out = 0;
  std::size_t from = 0;
  for (;;) {
    const auto comma = text.find(',', from);
    const std::string name = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    bool known = false;
    for (const auto& n : names)
      if (name == n.name) {
        out |= n.bits;
        known = true;
      }
    if (!known) return false;
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  kinds = out;
  return true;
}
