// Scanning text many bytes at a time: for the bytes that escape_into()
// encodes, for the delimiters that cut a segment line, and for line ends.
// SSE2 (every x86-64), AVX2 when the processor has it, NEON on aarch64, and a
// plain loop that every other build uses and that stays the reference. The level is chosen once,
// the best the processor offers, unless the environment variable BRENVOLT_SIMD is "scalar" (tests
// run both).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brenvolt::scan {

enum class Level { Scalar, Sse2, Avx2, Neon };

// The level in use.
Level active_level();

// Every level this build and processor can run, Scalar first.
std::size_t available_levels(Level (&out)[4]);

namespace detail {
struct LengthTable {
  unsigned char length[256] = {};
  constexpr LengthTable() {
    for (const char c : {'|', '^', '~', '&', '\\'}) length[static_cast<unsigned char>(c)] = 3;
    for (const char c : {'\t', '\n', '\r'}) length[static_cast<unsigned char>(c)] = 5;
  }
};
inline constexpr LengthTable kLengths;
// Blocks shorter than this are scanned by the plain loop, inline.
inline constexpr std::size_t kShortText = 16;
}  // namespace detail

// The escape sequence's length for each byte: 0 for a byte written as it is,
// 3 for "| ^ ~ & \" (\F\ and so on), 5 for tab, LF and CR (\X09\ ...).
inline std::size_t sequence_length(unsigned char c) { return detail::kLengths.length[c]; }

// The index of the first byte at or after `from` that is written as an escape
// sequence, or text.size() when there is none.
std::size_t find_to_escape(std::string_view text, std::size_t from, Level level);
inline std::size_t find_to_escape(std::string_view text, std::size_t from) {
  if (text.size() - from < detail::kShortText) {
    for (std::size_t i = from; i < text.size(); ++i) {
      if (sequence_length(static_cast<unsigned char>(text[i])) != 0) return i;
    }
    return text.size();
  }
  return find_to_escape(text, from, active_level());
}

// The length of `text` once escaped: its size plus, for each byte that becomes
// a sequence, the sequence's length less one.
std::size_t escaped_size(std::string_view text, Level level);
inline std::size_t escaped_size(std::string_view text) {
  return escaped_size(text, active_level());
}

// Marks the bytes of `text` that cut a segment line or may open an escape
// sequence ("|", "^", "~" and "\\"): bit i % 64 of bits[i / 64] is set when
// text[i] is one. Every one of the (text.size() + 63) / 64 words is written,
// the bits past the text clear. Returns whether every byte is ASCII.
bool mark_delimiters(std::string_view text, std::uint64_t* bits, Level level);
inline bool mark_delimiters(std::string_view text, std::uint64_t* bits) {
  return mark_delimiters(text, bits, active_level());
}

// The index of the first carriage return or line feed at or after `from`, or
// text.size() when there is none.
std::size_t find_line_end(std::string_view text, std::size_t from, Level level);
inline std::size_t find_line_end(std::string_view text, std::size_t from) {
  if (text.size() - from < detail::kShortText) {
    for (std::size_t i = from; i < text.size(); ++i) {
      if (text[i] == '\r' || text[i] == '\n') return i;
    }
    return text.size();
  }
  return find_line_end(text, from, active_level());
}

}  // namespace brenvolt::scan
