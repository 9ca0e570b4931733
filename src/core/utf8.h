// UTF-8 to and from fixed-width code units: one unit per character, of 1, 2
// or 4 bytes, the way the interpreter keeps a str. The caller sizes the
// output from measure() or encoded_size() and allocates it once; the
// transcoders then write it in one pass, many bytes at a time where the text
// is ASCII (SSE2 on x86-64; at the AVX2 level, a two-byte str is encoded
// eight units at a time whatever its characters below U+0800, with SSSE3),
// or a character at a time at the plain level (scan::Level::Scalar, which
// BRENVOLT_SIMD=scalar selects for the whole module, and which stays the
// reference the other levels are checked against). Other processors use the
// plain level. 256-bit counting passes were tried and measured slower here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "scan.h"

namespace brenvolt::utf8 {

// What a text holds, as the interpreter needs to know before it allocates a
// str: the number of characters, and a bound on the largest of them that is
// exact enough to choose the narrowest unit: 0x7F (all ASCII), 0xFF (fits in
// 1-byte units), 0xFFFF (2-byte units) or 0x10FFFF (4-byte units). A text
// bounded by 0xFF, 0xFFFF or 0x10FFFF holds at least one character above the
// next smaller bound.
struct Measure {
  std::size_t characters;
  std::uint32_t max_bound;
};

// The measure of `bytes`, which must be valid UTF-8.
Measure measure(std::string_view bytes, scan::Level level);
inline Measure measure(std::string_view bytes) { return measure(bytes, scan::active_level()); }

// Writes the characters of `bytes` (valid UTF-8) as units of the chosen
// width to `out`. Preconditions: `characters` is measure(bytes).characters
// and `out` has room for that many units; the 1-byte form needs every
// character below U+0100, the 2-byte form every character below U+10000.
void widen(std::string_view bytes, std::size_t characters, std::uint8_t* out, scan::Level level);
void widen(std::string_view bytes, std::size_t characters, std::uint16_t* out, scan::Level level);
void widen(std::string_view bytes, std::size_t characters, std::uint32_t* out, scan::Level level);
template <class Unit>
void widen(std::string_view bytes, std::size_t characters, Unit* out) {
  widen(bytes, characters, out, scan::active_level());
}

// Writes one character (not a surrogate) as UTF-8 at `out`; returns the end
// of what it wrote.
inline char* encode_one(std::uint32_t c, char* out) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// The value encoded_size() returns for units that hold a surrogate
// (U+D800..U+DFFF), which UTF-8 cannot encode.
inline constexpr std::size_t kSurrogate = static_cast<std::size_t>(-1);

// The UTF-8 size of `count` units, or kSurrogate.
std::size_t encoded_size(const std::uint8_t* units, std::size_t count, scan::Level level);
std::size_t encoded_size(const std::uint16_t* units, std::size_t count, scan::Level level);
std::size_t encoded_size(const std::uint32_t* units, std::size_t count, scan::Level level);
template <class Unit>
std::size_t encoded_size(const Unit* units, std::size_t count) {
  return encoded_size(units, count, scan::active_level());
}

// Writes `count` units (no surrogate among them) as UTF-8 to `out`, which has
// room for encoded_size() bytes.
void encode(const std::uint8_t* units, std::size_t count, char* out, scan::Level level);
void encode(const std::uint16_t* units, std::size_t count, char* out, scan::Level level);
void encode(const std::uint32_t* units, std::size_t count, char* out, scan::Level level);
template <class Unit>
void encode(const Unit* units, std::size_t count, char* out) {
  encode(units, count, out, scan::active_level());
}

}  // namespace brenvolt::utf8
