#include "keys.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <vector>

namespace brenvolt {
namespace {

void append_number(std::uint64_t n, std::string& out) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  out.append(digits, end);
}

// A number of the key scheme (see Hl7KeyPosition::parse); a lone "+" and
// 21-digit overflows included, anything else is no number.
std::optional<std::uint64_t> parse_number(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Hl7KeyCode::of_key for the few distinct keys of a feed, each parsed once:
// records name the same keys over and over. A direct-mapped table of short
// key texts; a longer key, or one whose slot holds another key, is parsed as
// usual.
class KeyCodeCache {
 public:
  Hl7KeyCode code(std::string_view key) {
    if (key.size() > kMaxKey) return Hl7KeyCode::of_key(key);
    std::uint32_t hash = static_cast<std::uint32_t>(key.size());
    for (const char c : key) hash = hash * 31u + static_cast<unsigned char>(c);
    Slot& slot = slots_[(hash * 0x9E3779B1u) >> (32 - kBits)];
    if (slot.size == key.size() && std::memcmp(slot.text, key.data(), key.size()) == 0) {
      return slot.code;
    }
    const Hl7KeyCode code = Hl7KeyCode::of_key(key);
    slot.size = key.size();
    std::memcpy(slot.text, key.data(), key.size());
    slot.code = code;
    return code;
  }

 private:
  static constexpr std::size_t kMaxKey = 14;
  static constexpr unsigned kBits = 10;
  struct Slot {
    std::size_t size = kMaxKey + 1;  // no key matches an empty slot
    char text[kMaxKey] = {};
    Hl7KeyCode code = Hl7KeyCode::of(std::nullopt);
  };
  std::vector<Slot> slots_ = std::vector<Slot>(std::size_t{1} << kBits);
};

}  // namespace

void Hl7KeyPosition::append_key_text(std::string& out) const {
  if (form == Form::SegmentName) {
    out.append(kSegmentNameKey);
    return;
  }
  append_number(field, out);
  if (form == Form::Repetition || form == Form::RepetitionComponent) {
    out.push_back('[');
    append_number(repetition, out);
    out.push_back(']');
  }
  if (form == Form::Component || form == Form::RepetitionComponent) {
    out.push_back('.');
    append_number(component, out);
  }
}

std::optional<Hl7KeyPosition> Hl7KeyPosition::parse(std::string_view key) {
  if (key == kSegmentNameKey) return Hl7KeyPosition{};
  if (key.empty()) return std::nullopt;
  // One scan finds the first "[", "]" and "." and whether the key is all
  // number.
  constexpr std::size_t npos = std::string_view::npos;
  std::size_t open = npos;
  std::size_t close = npos;
  std::size_t dot = npos;
  for (std::size_t i = 0; i < key.size(); ++i) {
    switch (key[i]) {
      case '[':
        if (open == npos) open = i;
        break;
      case ']':
        if (close == npos) close = i;
        break;
      case '.':
        if (dot == npos) dot = i;
        break;
      default:
        break;
    }
  }
  if (open == npos && close == npos && dot == npos) {
    if (const auto field = parse_number(key)) return Hl7KeyPosition{Form::Whole, *field, 0, 0};
    return std::nullopt;
  }
  if (open != npos && close != npos) {
    if (close < open) return std::nullopt;
    const auto field = parse_number(key.substr(0, open));
    const auto repetition = parse_number(key.substr(open + 1, close - open - 1));
    if (!field || !repetition) return std::nullopt;
    const std::string_view rest = key.substr(close + 1);
    if (rest.empty() || rest.front() != '.') {
      return Hl7KeyPosition{Form::Repetition, *field, *repetition, 0};
    }
    const auto component = parse_number(rest.substr(1));
    if (!component) return std::nullopt;
    return Hl7KeyPosition{Form::RepetitionComponent, *field, *repetition, *component};
  }
  if (dot == npos) return std::nullopt;
  const auto field = parse_number(key.substr(0, dot));
  const auto component = parse_number(key.substr(dot + 1));
  if (!field || !component) return std::nullopt;
  return Hl7KeyPosition{Form::Component, *field, 0, *component};
}

Hl7KeyCode Hl7KeyCode::of(const std::optional<Hl7KeyPosition>& position) {
  if (!position || (position->form != Hl7KeyPosition::Form::SegmentName && position->field == 0)) {
    return Hl7KeyCode(kLeftOut);
  }
  if (position->form == Hl7KeyPosition::Form::SegmentName) return Hl7KeyCode(kSegmentName);
  if (position->field >= (std::uint64_t{1} << 24) || position->repetition >= (1u << 16) ||
      position->component >= (1u << 24)) {
    return Hl7KeyCode(kUnpacked);
  }
  return Hl7KeyCode(position->field << 40 | position->repetition << 24 | position->component);
}

Hl7KeyCode Hl7KeyCode::of_key_cached(std::string_view key) {
  // A key's code never changes, so the table lives on from call to call: the
  // next message of a feed finds its keys already parsed.
  thread_local KeyCodeCache cache;
  return cache.code(key);
}

}  // namespace brenvolt
