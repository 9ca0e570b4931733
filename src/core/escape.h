// Hl7EscapeHandler: HL7's delimiters and escape sequences, and the decoding
// and encoding of field text.
#pragma once

#include <string>
#include <string_view>

#include "delimiters.h"

namespace brenvolt {

// The bytes past its text that Hl7EscapeHandler::escape_to() may write.
inline constexpr std::size_t kEscapeSlack = 16;

// The sequence table over HL7's default delimiters (delimiters.h). A handler
// holds no state; passing one, or none, says whether text is decoded.
struct Hl7EscapeHandler {
  // Decodes escape sequences: known names (F S R E T X0A X0D X0D0A X20 X09,
  // case-sensitive) become their characters; a doubled escape character
  // becomes one; an unknown name keeps its opening escape character and loses
  // its closing one; anything else passes unchanged. Appends the decoded text
  // to `out`, never more bytes than `text` has. Never fails.
  void unescape_into(std::string_view text, std::string& out) const;

  // Decodes as unescape_into() does, writing to `out`, which has room for
  // text.size() bytes; returns the end of what it wrote. Bytes of `out` past
  // that end may have been written over.
  char* unescape_to(std::string_view text, char* out) const;

  // Encodes the delimiters, the escape character, tab, line feed and
  // carriage return as escape sequences, so that decoding gives back `text`
  // exactly; appends the result to `out`. A space is written as itself, as
  // every HL7 writer writes it: readers that keep hex sequences as written
  // would show "\X20\". The escape character is written as the sequence
  // \E\, not doubled: other HL7 readers know only the sequence (python-hl7
  // reads a doubled one as nothing). Never fails.
  void escape_into(std::string_view text, std::string& out) const;

  // escape_into() writing at `to`, which must have room for the escaped text
  // (scan::escaped_size) and kEscapeSlack bytes more, which it may overwrite;
  // returns the end of the escaped text.
  char* escape_to(std::string_view text, char* to) const;
};

// The handler every Hl7Json and JsonHl7 object owns.
Hl7EscapeHandler create_default_escape_handler();

}  // namespace brenvolt
