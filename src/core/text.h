// Text helpers shared by the HL7 core: line-ending normalisation, the cut of
// a message into segment lines, UTF-8 decoding, the Unicode classes the core
// needs, and whole-file reading.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "delimiters.h"
#include "errors.h"

namespace brenvolt {

// Turns every line ending into a single "\n": first "\r\n" -> "\n", then
// "\n\r" -> "\n", then any remaining "\r" -> "\n", each pass over the result of
// the one before. A text without "\r" is returned as it came, without a copy.
std::string replace_eof(std::string text);

// Calls visit(piece) for every piece of `text` cut at `separator`, in order,
// empty pieces included: n separators give n + 1 pieces, and the empty text
// one empty piece.
template <class Visit>
void for_each_piece(std::string_view text, char separator, Visit&& visit) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      visit(text.substr(start));
      return;
    }
    visit(text.substr(start, end - start));
    start = end + 1;
  }
}

// Calls `visit(line)` for every segment line of a normalised message: the
// pieces of `text` cut at "\n" (for_each_piece).
template <class Visit>
void for_each_line(std::string_view text, Visit&& visit) {
  for_each_piece(text, delimiters::kSegment, visit);
}

// How many lines for_each_line visits.
std::size_t line_count(std::string_view text);

// Decodes the UTF-8 character that starts at text[i] and returns it, storing
// its length in `length`. Precondition: `text` is valid UTF-8 and i < size.
char32_t decode_utf8_at(std::string_view text, std::size_t i, std::size_t& length);

// Unicode Alphabetic property or general category Nd, Nl or No (for ASCII:
// letters and digits).
bool is_alphanumeric(char32_t c);

// Unicode White_Space property.
bool is_white_space(char32_t c);

// True when `text` (valid UTF-8) holds only Unicode white space, or nothing.
bool is_blank(std::string_view text);

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates).
bool is_valid_utf8(std::string_view bytes);

// Reads the whole file at `path`. Fails with an IoError: Hl7Error::nul_in_path
// for a path with a NUL, Hl7Error::os_error for a failed open or read.
Result<std::string> read_file(std::string_view path);

// Reads the whole file at `path` as UTF-8 text: as read_file(), and fails
// with Hl7Error::not_utf8 for bytes that are not UTF-8.
Result<std::string> read_text_file(std::string_view path);

}  // namespace brenvolt
