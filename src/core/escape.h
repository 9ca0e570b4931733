// Hl7EscapeHandler: HL7's delimiters and escape sequences, and the decoding
// and encoding of field text.
#pragma once

#include <string>
#include <string_view>

#include "delimiters.h"

namespace brenvolt {

// The sequence table over HL7's default delimiters (delimiters.h). A handler
// holds no state; passing one, or none, says whether text is decoded.
struct Hl7EscapeHandler {

  // Decodes escape sequences: known names (F S R E T X0A X0D X0D0A X20 X09,
  // case-sensitive) become their characters; a doubled escape character
  // becomes one; an unknown name keeps its opening escape character and loses
  // its closing one; anything else passes unchanged. Never fails.
  std::string unescape(std::string_view text) const;

  // unescape(), appending to `out` instead of returning a new text.
  void unescape_into(std::string_view text, std::string& out) const;

  // Encodes the delimiters, the escape character, tab, line feed, carriage
  // return and space as escape sequences, so that unescape(escape(t)) == t for
  // every text t. The escape character is written as the sequence \E\, not
  // doubled: other HL7 readers know only the sequence (python-hl7 reads a
  // doubled one as nothing). Never fails.
  std::string escape(std::string_view text) const;

  // escape(), appending to `out` instead of returning a new text.
  void escape_into(std::string_view text, std::string& out) const;

  // Number of bytes escape(text) appends. Lets callers size a buffer once.
  std::size_t escaped_size(std::string_view text) const;
};

// The handler every Hl7Json and JsonHl7 object owns.
Hl7EscapeHandler create_default_escape_handler();

}  // namespace brenvolt
