#include "records_json.h"

#include <array>
#include <cstddef>

#include "keys.h"
#include "lines.h"
#include "segment_parser.h"

namespace brenvolt {
namespace {

// For each byte: 0 when JSON takes it as it is, else the letter of its short
// escape, or 'u' for one written \u00XX.
constexpr std::array<char, 256> kJsonEscapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

// The most bytes a JSON string of `size` bytes takes: each one as \u00XX,
// and the quotes.
constexpr std::size_t most_json_size(std::size_t size) { return 6 * size + 2; }

// Writes `utf8` as a JSON string at `at` (room for most_json_size()); returns
// the end.
char* write_json_string(std::string_view utf8, char* at) {
  *at++ = '"';
  for (const char c : utf8) {
    const char escape = kJsonEscapes[static_cast<unsigned char>(c)];
    if (escape == 0) {
      *at++ = c;
      continue;
    }
    *at++ = '\\';
    *at++ = escape;
    if (escape == 'u') {
      constexpr std::string_view kHex = "0123456789abcdef";
      const auto byte = static_cast<unsigned char>(c);
      *at++ = '0';
      *at++ = '0';
      *at++ = kHex[byte >> 4];
      *at++ = kHex[byte & 0xFu];
    }
  }
  *at++ = '"';
  return at;
}

// Appends the JSON object of the parsed line's record, after a comma unless
// it is the first of the list.
void append_record(const Hl7SegmentParser& parser, bool first, columns::Buffer& out) {
  char* const start = out.room(2);
  char* at = start;
  if (!first) *at++ = ',';
  *at++ = '{';
  out.advance(static_cast<std::size_t>(at - start));
  bool first_entry = true;
  parser.for_each_entry([&](const Hl7KeyPosition& position, std::string_view value) {
    // Key texts are digits, "[", "]", "." or "segment_name": nothing to escape.
    char* const entry =
        out.room(Hl7KeyPosition::kMaxKeyTextSize + most_json_size(value.size()) + 4);
    char* to = entry;
    if (!first_entry) *to++ = ',';
    first_entry = false;
    *to++ = '"';
    to = position.write_key_text(to);
    *to++ = '"';
    *to++ = ':';
    to = write_json_string(value, to);
    out.advance(static_cast<std::size_t>(to - entry));
  });
  out.append("}", 1);
}

}  // namespace

void append_json_string(std::string_view utf8, columns::Buffer& out) {
  char* const start = out.room(most_json_size(utf8.size()));
  out.advance(static_cast<std::size_t>(write_json_string(utf8, start) - start));
}

void append_records_json(std::string_view message, const Hl7EscapeHandler* handler,
                         columns::Buffer& out) {
  // Reused from call to call, their buffers grown: a receiver writes one
  // message after another. Taken once: each thread_local access from a
  // shared library is a call.
  thread_local Hl7SegmentParser line_parser;
  thread_local Hl7SegmentParser empty_parser;
  Hl7SegmentParser& parser = line_parser;
  Hl7SegmentParser& empty = empty_parser;
  empty.parse(std::string_view(), handler);
  Hl7TrailingLines trailing;
  bool first = true;
  const auto append_empty = [&](std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      append_record(empty, first, out);
      first = false;
    }
  };
  out.append("[", 1);
  for_each_raw_line(message, [&](std::string_view line) {
    if (line.empty()) {
      trailing.release_before(line);
      return;
    }
    append_empty(trailing.release_before(line));
    parser.parse(line, handler);
    append_record(parser, first, out);
    first = false;
  });
  append_empty(trailing.at_end());
  out.append("]", 1);
}

}  // namespace brenvolt
