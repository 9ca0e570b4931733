// Valid UTF-8 text written out as fixed-width code units (1, 2 or 4 bytes a
// code point), the layouts an interpreter's compact strings use: a large
// text is turned into a string in one counting pass and one writing pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brenvolt {

// What a string holding `utf8`'s code points needs.
struct Utf8Shape {
  std::size_t code_points = 0;
  // The narrowest width that holds every code point: 0x7F (all ASCII),
  // 0xFF, 0xFFFF or 0x10FFFF. Each is exact: a text of width 0xFF holds a
  // code point above 0x7F, and so on.
  std::uint32_t max_char = 0x7F;
};

// The shape of `utf8`, which must be valid UTF-8.
Utf8Shape utf8_shape(std::string_view utf8);

// Writes the `code_points` code points of `utf8` (valid UTF-8) at `out`, one
// unit each; every code point must fit in the unit (utf8_shape says which),
// and `out` must have room for exactly that many.
void widen_utf8(std::string_view utf8, std::uint8_t* out, std::size_t code_points);
void widen_utf8(std::string_view utf8, std::uint16_t* out, std::size_t code_points);
void widen_utf8(std::string_view utf8, std::uint32_t* out, std::size_t code_points);

}  // namespace brenvolt
