// A plain model of segment parsing and validation, written apart from the
// core so that the fuzz targets can hold the core's one parser and its
// line-by-line validator to it. It copies every piece, builds every key as
// text and sorts the record: slow and obvious. Escape sequences are decoded
// here too, a character at a time; only UTF-8 decoding and the Unicode
// alphanumeric class are borrowed from the core (text.h).
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/escape.h"
#include "core/text.h"
#include "fuzz_common.h"

namespace brenvolt::fuzz::model {

inline std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> pieces(1);
  for (const char c : text) {
    if (c == separator) {
      pieces.emplace_back();
    } else {
      pieces.back() += c;
    }
  }
  return pieces;
}

// The lines of a normalised message that are segments: all but the empty
// ones after the last line with text, or all when none has text.
inline std::vector<std::string> segment_lines(std::string_view text) {
  std::vector<std::string> lines = split(text, '\n');
  std::size_t kept = lines.size();
  while (kept > 0 && lines[kept - 1].empty()) --kept;
  if (kept > 0) lines.resize(kept);
  return lines;
}

inline bool holds_encoding_characters(std::string_view text) {
  return text.find("^~\\&") != std::string_view::npos;
}

// The name a sequence stands for, or nullptr for an unknown name.
inline const char* replacement(std::string_view name) {
  static constexpr std::pair<std::string_view, const char*> kTable[] = {
      {"F", "|"},    {"S", "^"},    {"R", "~"},   {"E", "\\"},   {"T", "&"},
      {"X0A", "\n"}, {"X0D", "\r"}, {"X20", " "}, {"X09", "\t"}, {"X0D0A", "\r\n"}};
  for (const auto& [known, text] : kTable) {
    if (name == known) return text;
  }
  return nullptr;
}

// Escape sequences decoded: after an escape character that is neither last
// nor doubled, the name is the next character and every alphanumeric one
// after it; a known name becomes its text, an unknown one keeps its escape
// character; the character that ends the name is dropped when it is an
// escape character and kept otherwise. Valid UTF-8 in, valid UTF-8 out.
inline std::string unescape(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  const auto character = [&](std::size_t at, char32_t* c = nullptr) {
    std::size_t length = 0;
    const char32_t decoded = decode_utf8_at(text, at, length);
    if (c != nullptr) *c = decoded;
    return length;
  };
  while (i < text.size()) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i++];
      continue;
    }
    if (text[i + 1] == '\\') {
      out += '\\';
      i += 2;
      continue;
    }
    std::size_t end = i + 1 + character(i + 1);
    char32_t c = 0;
    while (end < text.size()) {
      const std::size_t length = character(end, &c);
      if (!is_alphanumeric(c)) break;
      end += length;
    }
    const std::string_view name = text.substr(i + 1, end - i - 1);
    if (const char* known = replacement(name)) {
      out += known;
    } else {
      out += '\\';
      out += name;
    }
    i = end;
    if (i < text.size()) {
      const std::size_t length = character(i);
      if (text[i] != '\\') out += text.substr(i, length);
      i += length;
    }
  }
  return out;
}

struct Segment {
  std::string name;
  std::vector<std::string> fields;  // raw texts; fields[i] is position i + 1
};

// The text before the first "|", and the raw texts after each "|".
inline Segment segment(std::string_view line) {
  const std::size_t bar = line.find('|');
  Segment result{std::string(line.substr(0, bar)), {}};
  if (bar != std::string_view::npos) result.fields = split(line.substr(bar + 1), '|');
  return result;
}

// The record of one line: "n", "n.c", "n[r]", "n[r].c" and "segment_name".
inline Record record(std::string_view line, const Hl7EscapeHandler* handler) {
  const Segment parsed = segment(line);
  Record result;
  const auto add_part = [&](const std::string& prefix, const std::string& raw) {
    std::string value = handler ? unescape(raw) : raw;
    const bool cut = handler
                         ? value.find('^') != std::string::npos
                         : raw.find('^') != std::string::npos && !holds_encoding_characters(raw);
    if (!cut) {
      result.push_back({prefix, value});
      return;
    }
    const std::vector<std::string> components = split(value, '^');
    for (std::size_t c = 0; c < components.size(); ++c) {
      result.push_back({prefix + "." + std::to_string(c + 1), components[c]});
    }
  };
  for (std::size_t i = 0; i < parsed.fields.size(); ++i) {
    const std::string& raw = parsed.fields[i];
    const std::string number = std::to_string(i + 1);
    if (raw.find('~') == std::string::npos || holds_encoding_characters(raw)) {
      add_part(number, raw);
      continue;
    }
    const std::vector<std::string> repetitions = split(raw, '~');
    for (std::size_t r = 0; r < repetitions.size(); ++r) {
      add_part(number + "[" + std::to_string(r) + "]", repetitions[r]);
    }
  }
  result.push_back({"segment_name", parsed.name});
  std::sort(result.begin(), result.end(),
            [](const Entry& a, const Entry& b) { return a.key < b.key; });
  return result;
}

inline bool is_segment_name(std::string_view name) {
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  return name.size() == 3 && letter(name[0]) && (letter(name[1]) || digit(name[1])) &&
         (letter(name[2]) || digit(name[2]));
}

// The validator's rules over the whole list of lines at once; the message of
// the first broken one, or nullopt.
inline std::optional<std::string> validate(std::string_view text, bool strict, bool required) {
  std::vector<Segment> segments;
  for (const std::string& line : split(text, '\n')) segments.push_back(segment(line));
  std::size_t count = segments.size();
  while (count > 0 && segments[count - 1].name.empty() && segments[count - 1].fields.empty()) {
    --count;
  }
  if (count == 0) count = segments.size();
  const Segment& msh = segments.front();
  if (msh.name != "MSH") return Hl7Error::missing_header().message();
  if (msh.fields.size() < 11) return Hl7Error::header_too_short(12).message();
  if (msh.fields[0].size() != 4) return Hl7Error::invalid_field_separators(msh.fields[0]).message();
  static constexpr std::string_view kVersions[] = {"2.1", "2.2",   "2.3",   "2.3.1", "2.4",
                                                   "2.5", "2.5.1", "2.6",   "2.7",   "2.7.1",
                                                   "2.8", "2.8.1", "2.8.2", "2.9"};
  // The version id is the first component of MSH-12, a VID.
  const std::string version_id = split(msh.fields[10], '^').front();
  if (strict &&
      std::find(std::begin(kVersions), std::end(kVersions), version_id) == std::end(kVersions)) {
    return Hl7Error::unsupported_version(msh.fields[10], kVersions).message();
  }
  const std::size_t type_pieces =
      version_id == "2.1" || version_id == "2.2" || version_id == "2.3" ? 2 : 3;
  if (strict && split(msh.fields[7], '^').size() < type_pieces) {
    return Hl7Error::message_type_incomplete(type_pieces).message();
  }
  if (required && std::none_of(segments.begin(), segments.begin() + static_cast<long>(count),
                               [](const Segment& s) { return s.name == "PID"; })) {
    return Hl7Error::missing_patient_identification().message();
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (segments[i].name.empty()) return Hl7Error::empty_segment_name(i + 1).message();
    if (!is_segment_name(segments[i].name)) {
      return Hl7Error::invalid_segment_name(segments[i].name).message();
    }
    for (const std::string& field : segments[i].fields) {
      if (field.size() > 65536) return Hl7Error::field_too_long(field.size(), 65536).message();
    }
  }
  return std::nullopt;
}

}  // namespace brenvolt::fuzz::model
