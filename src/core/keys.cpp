#include "keys.h"

#include <charconv>
#include <limits>

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

}  // namespace brenvolt
