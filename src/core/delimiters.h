// HL7's delimiters, defined once for the whole core. Every conversion uses
// HL7's defaults (they are never read from a message's MSH-2), so they are
// constants. All are ASCII: each is one byte and can be searched for as a byte
// in UTF-8 text, since no byte of a multi-byte character is below 0x80.
#pragma once

#include <string_view>

namespace brenvolt::delimiters {

inline constexpr char kField = '|';
inline constexpr char kComponent = '^';
inline constexpr char kRepetition = '~';
inline constexpr char kEscape = '\\';
inline constexpr char kSubcomponent = '&';
// Between segment lines, once line endings are normalised (text.h).
inline constexpr char kSegment = '\n';

// MSH-2 as HL7 writes it. A text that holds it is never cut into repetitions,
// nor, when read raw, into components: it is the encoding characters
// themselves, not data.
inline constexpr std::string_view kEncodingCharacters = "^~\\&";

}  // namespace brenvolt::delimiters
