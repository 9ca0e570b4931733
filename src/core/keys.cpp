#include "keys.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <vector>

namespace brenvolt {
namespace {

char* write_number(char* to, std::uint64_t n) {
  return std::to_chars(to, to + 20, n).ptr;  // 2^64 - 1 has 20 digits
}

// Nineteen digits never reach 2^64: numbers of up to so many need no check
// for overflow.
constexpr std::size_t kSafeDigits = 19;

// A number of the key scheme (see Hl7KeyPosition::parse); a lone "+" and
// 21-digit overflows included, anything else is no number.
std::optional<std::uint64_t> parse_number(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const bool checked = text.size() > kSafeDigits;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (checked && value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

void Hl7KeyPosition::append_key_text(std::string& out) const {
  char text[kMaxKeyTextSize];
  out.append(text, write_key_text(text));
}

char* Hl7KeyPosition::write_key_text(char* to) const {
  if (form == Form::SegmentName) {
    std::memcpy(to, kSegmentNameKey.data(), kSegmentNameKey.size());
    return to + kSegmentNameKey.size();
  }
  to = write_number(to, field);
  if (form == Form::Repetition || form == Form::RepetitionComponent) {
    *to++ = '[';
    to = write_number(to, repetition);
    *to++ = ']';
  }
  if (form == Form::Component || form == Form::RepetitionComponent) {
    *to++ = '.';
    to = write_number(to, component);
  }
  return to;
}

namespace {

// Reads the digits of `key` from `at` on, at most kSafeDigits of them, into
// `value`; returns where they end.
std::size_t read_digits(std::string_view key, std::size_t at, std::uint64_t& value) {
  const std::size_t end = std::min(key.size(), at + kSafeDigits);
  value = 0;
  for (; at < end && key[at] >= '0' && key[at] <= '9'; ++at) {
    value = value * 10 + static_cast<std::uint64_t>(key[at] - '0');
  }
  return at;
}

}  // namespace

std::optional<Hl7KeyPosition> Hl7KeyPosition::parse(std::string_view key) {
  // The usual keys, "3" and "3.1", in one pass; any other shape (and any
  // longer number) by the general rule below, which gives these the same.
  std::uint64_t leading = 0;
  const std::size_t leading_end = read_digits(key, 0, leading);
  if (leading_end > 0) {
    if (leading_end == key.size()) return Hl7KeyPosition{Form::Whole, leading, 0, 0};
    if (key[leading_end] == '.') {
      std::uint64_t after_dot = 0;
      const std::size_t after_dot_end = read_digits(key, leading_end + 1, after_dot);
      if (after_dot_end == key.size() && after_dot_end > leading_end + 1) {
        return Hl7KeyPosition{Form::Component, leading, 0, after_dot};
      }
    }
  }
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

Hl7KeyCodeCache::Hl7KeyCodeCache() : slots_(std::size_t{2} << kSetBits) {}

Hl7KeyCode Hl7KeyCodeCache::code(std::string_view key) {
  if (key.size() > 16) return Hl7KeyCode::of_key(key);
  // A key of up to sixteen bytes as two words (overlapping when shorter
  // than sixteen, zero when empty) and its length: compared and hashed
  // without a loop or a call.
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  const char* p = key.data();
  const std::size_t n = key.size();
  if (n >= 8) {
    std::memcpy(&head, p, 8);
    std::memcpy(&tail, p + n - 8, 8);
  } else if (n >= 4) {
    std::uint32_t a;
    std::uint32_t b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    head = a;
    tail = b;
  } else if (n > 0) {
    const auto byte = [&](std::size_t i) {
      return std::uint64_t{static_cast<unsigned char>(p[i])};
    };
    head = byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16;
  }
  const std::uint64_t mixed = (head * 0x9E3779B97F4A7C15ull) ^ (tail * 0xC2B2AE3D27D4EB4Full) ^ n;
  Slot* set = &slots_[2 * ((mixed * 0x9E3779B97F4A7C15ull) >> (64 - kSetBits))];
  for (int way = 0; way < 2; ++way) {
    if (set[way].size == n && set[way].head == head && set[way].tail == tail) return set[way].code;
  }
  // A new key takes the first slot and moves the key there to the second.
  set[1] = set[0];
  set[0] = Slot{head, tail, n, Hl7KeyCode::of_key(key)};
  return set[0].code;
}

Hl7KeyCodeCache& Hl7KeyCodeCache::for_this_thread() {
  thread_local Hl7KeyCodeCache cache;
  return cache;
}

}  // namespace brenvolt
