// Segment lines cut straight from text whose line endings are not
// normalised: the same lines that for_each_line() gives for replace_eof() of
// the text, without writing the normalised copy.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

#include "scan.h"

namespace brenvolt {

// How many code units the line end that starts at units[i] (a carriage
// return or a line feed) takes. replace_eof() keeps one line feed for it and
// drops every carriage return next to a line feed: so a carriage return
// followed by a line feed is one line end, and a carriage return right after
// the line feed of a line end belongs to that line end too. `Unit` is any
// code unit type (char, or a str's one, two or four byte units).
template <class Unit>
std::size_t line_end_length(const Unit* units, std::size_t i, std::size_t n) {
  std::size_t at = i;
  if (units[at] == Unit('\r')) {
    if (at + 1 == n || units[at + 1] != Unit('\n')) return 1;
    ++at;  // the line feed after it
  }
  // units[at] is a line feed: a carriage return after it is dropped.
  if (at + 1 < n && units[at + 1] == Unit('\r')) ++at;
  return at + 1 - i;
}

// Calls visit(line) for every line of `text` (UTF-8, line endings as they
// came), in order: the lines for_each_line(replace_eof(text)) visits.
template <class Visit>
void for_each_raw_line(std::string_view text, Visit&& visit) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = scan::find_line_end(text, start);
    visit(text.substr(start, end - start));
    if (end == text.size()) return;
    start = end + line_end_length(text.data(), end, text.size());
  }
}

// Which lines of a message are segments. HL7 ends every segment, the last one
// included, with a line end, so the empty lines after the last line with
// text (that terminator, and blank lines after it) are not segments and give
// no record; empty lines before or between segments do. Each empty line is
// held back until a line with text follows it; a text that has no line with
// text keeps all its lines (the empty text is one empty line).
class Hl7TrailingLines {
 public:
  // The next line, in order. A line with text returns how many empty lines
  // were held back before it: they are segments after all, and so is the
  // line. An empty line is held back, and returns 0.
  std::size_t release_before(std::string_view line) {
    if (line.empty()) {
      ++held_;
      return 0;
    }
    text_seen_ = true;
    return std::exchange(held_, 0);
  }

  // After the last line: the empty lines held back that are segments after
  // all, which is all of them when no line had text, else none.
  std::size_t at_end() const { return text_seen_ ? 0 : held_; }

 private:
  std::size_t held_ = 0;
  bool text_seen_ = false;
};

// How many lines for_each_raw_line visits.
inline std::size_t raw_line_count(std::string_view text) {
  std::size_t count = 1;
  std::size_t at = scan::find_line_end(text, 0);
  while (at != text.size()) {
    ++count;
    at = scan::find_line_end(text, at + line_end_length(text.data(), at, text.size()));
  }
  return count;
}

}  // namespace brenvolt
