#include "hl7_text.h"

#include <cstdint>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "core/scan.h"
#include "core/utf8.h"
#include "records.h"

namespace brenvolt::py {
namespace {

template <class Unit>
bool is_line_end(Unit c) {
  return c == Unit('\r') || c == Unit('\n');
}

// Where encode_until_line_end() stopped.
struct Encoded {
  std::size_t at;  // the line end, or `end`
  char* out;       // past the last byte written
};

#if defined(__SSE2__)
// For each set of ASCII lanes among eight (bit k for lane k), the shuffle that
// keeps the first byte of an ASCII lane's pair and both of any other's, and
// how many bytes it keeps.
struct PairShuffles {
  alignas(16) unsigned char index[256][16] = {};
  unsigned char length[256] = {};
  constexpr PairShuffles() {
    for (int ascii = 0; ascii < 256; ++ascii) {
      int n = 0;
      for (int lane = 0; lane < 8; ++lane) {
        index[ascii][n++] = static_cast<unsigned char>(2 * lane);
        if ((ascii >> lane & 1) == 0) index[ascii][n++] = static_cast<unsigned char>(2 * lane + 1);
      }
      length[ascii] = static_cast<unsigned char>(n);
      for (; n < 16; ++n) index[ascii][n] = 0x80;  // a zero byte, never kept
    }
  }
};
constexpr PairShuffles kPairShuffles;

// Writes eight units below U+0800 as UTF-8 at `out`, which has room for 16
// bytes; returns the end. Each lane is made its two-byte form (lead byte, then
// trail byte), or kept as it is when ASCII, and one shuffle drops the unused
// byte of each ASCII lane: a block of narrative text with an accented letter
// or two is written whole, not cut at each of them.
__attribute__((target("ssse3"))) char* encode_pairs(__m128i v, char* out) {
  const __m128i ascii = _mm_cmpeq_epi16(
      _mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80))), _mm_setzero_si128());
  const __m128i lead = _mm_or_si128(_mm_srli_epi16(v, 6), _mm_set1_epi16(0xC0));
  const __m128i trail =
      _mm_slli_epi16(_mm_or_si128(_mm_and_si128(v, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80)), 8);
  const __m128i pairs =
      _mm_or_si128(_mm_and_si128(ascii, v), _mm_andnot_si128(ascii, _mm_or_si128(lead, trail)));
  const auto lanes =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii, _mm_setzero_si128())));
  const __m128i shuffle =
      _mm_load_si128(reinterpret_cast<const __m128i*>(kPairShuffles.index[lanes]));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(pairs, shuffle));
  return out + kPairShuffles.length[lanes];
}
#endif

// Writes units[i, end) as UTF-8 at `out` (room for kMostBytes<Unit> bytes a
// unit), stopping at the first line end. With SSE2, sixteen units at a time:
// each block is stored as ASCII (narrowed, for two byte units) and kept up to
// its first line end or unit above ASCII; that unit is encoded alone (or ends
// the line) and the next block starts right after it. With `pairs` (the
// processor shuffles bytes), a block without a line end whose units are all
// below U+0800 is written whole by encode_pairs(), eight units at a time. A
// store may run past what is kept, never past the room: at least a block of
// units is left, each with room for two bytes or more.
template <class Unit>
Encoded encode_until_line_end(const Unit* units, std::size_t i, std::size_t end, char* out,
                              bool pairs) {
#if defined(__SSE2__)
  if constexpr (sizeof(Unit) <= 2) {
    constexpr std::size_t kBlock = 16;
    for (; i + kBlock <= end;) {
      __m128i bytes;  // each unit as a byte: ASCII ones as themselves
      __m128i above;  // a byte a unit, its top bit set for a unit above ASCII
      __m128i first;  // the block's units widened to two bytes: eight, then eight
      __m128i second;
      if constexpr (sizeof(Unit) == 1) {
        bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
        above = bytes;
        first = _mm_unpacklo_epi8(bytes, _mm_setzero_si128());
        second = _mm_unpackhi_epi8(bytes, _mm_setzero_si128());
      } else {
        first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
        second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i + 8));
        // Saturated: a unit above 0xFF never narrows to a line end.
        bytes = _mm_packus_epi16(first, second);
        // A unit at 0x80 or above gets its top bit set, and keeps it packed.
        const __m128i bias = _mm_set1_epi16(0x7F80);
        above = _mm_packs_epi16(_mm_adds_epu16(first, bias), _mm_adds_epu16(second, bias));
      }
      const auto ends = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
          _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')))));
      const unsigned special = ends | static_cast<unsigned>(_mm_movemask_epi8(above));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
      if (special == 0) {
        out += kBlock;
        i += kBlock;
        continue;
      }
      // One unit above ASCII is cheaper encoded alone.
      if (pairs && ends == 0 && (special & (special - 1)) != 0) {
        bool two_bytes = true;
        if constexpr (sizeof(Unit) == 2) {
          const __m128i wide = _mm_and_si128(_mm_or_si128(first, second),
                                             _mm_set1_epi16(static_cast<short>(0xF800)));
          two_bytes = _mm_movemask_epi8(_mm_cmpeq_epi16(wide, _mm_setzero_si128())) == 0xFFFF;
        }
        if (two_bytes) {
          out = encode_pairs(first, out);
          out = encode_pairs(second, out);
          i += kBlock;
          continue;
        }
      }
      const auto kept = static_cast<std::size_t>(__builtin_ctz(special));
      out += kept;
      i += kept;
      if (is_line_end(units[i])) return {i, out};
      out = utf8::encode_one(units[i], out);
      ++i;
    }
  }
#else
  (void)pairs;
#endif
  for (; i < end; ++i) {
    if (is_line_end(units[i])) return {i, out};
    out = utf8::encode_one(units[i], out);
  }
  return {end, out};
}

template <class Unit>
constexpr std::size_t kMostBytes = sizeof(Unit) == 1   ? 2
                                   : sizeof(Unit) == 2 ? 3
                                                       : 4;

template <class Unit>
bool has_surrogate(const Unit* units, std::size_t count) {
  if constexpr (sizeof(Unit) == 1) {
    return false;
  } else {
    std::size_t i = 0;
#if defined(__SSE2__)
    if constexpr (sizeof(Unit) == 2) {
      const __m128i top = _mm_set1_epi16(static_cast<short>(0xF800));
      const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
      for (; i + 8 <= count; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, top), surrogate)) != 0) return true;
      }
    }
#endif
    for (; i < count; ++i) {
      if (units[i] >= 0xD800 && units[i] <= 0xDFFF) return true;
    }
    return false;
  }
}

template <class Unit>
bool has_carriage_return(const Unit* units, std::size_t count) {
  if constexpr (sizeof(Unit) == 1) {
    return count > 0 && std::memchr(units, '\r', count) != nullptr;
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      if (units[i] == Unit('\r')) return true;
    }
    return false;
  }
}

// Calls body(units) with the kept str's code units as their own type.
template <class Body>
decltype(auto) with_units(int kind, const void* data, Body&& body) {
  switch (kind) {
    case PyUnicode_1BYTE_KIND:
      return body(static_cast<const Py_UCS1*>(data));
    case PyUnicode_2BYTE_KIND:
      return body(static_cast<const Py_UCS2*>(data));
    default:
      return body(static_cast<const Py_UCS4*>(data));
  }
}

}  // namespace

std::optional<Hl7Text> Hl7Text::of_str(PyObject* str) {
  if (PyUnicode_READY(str) < 0) return std::nullopt;
  Hl7Text text;
  text.str_ = PyRef::borrow(str);
  text.length_ = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  text.kind_ = PyUnicode_KIND(str);
  text.encoded_per_line_ = !PyUnicode_IS_ASCII(str);
  const bool surrogate = with_units(text.kind_, PyUnicode_DATA(str), [&](const auto* units) {
    return has_surrogate(units, text.length_);
  });
  if (surrogate) {
    // No UTF-8 form: the interpreter's encoder raises its own error.
    if (PyUnicode_AsUTF8AndSize(str, nullptr) == nullptr) return std::nullopt;
    PyErr_SetString(PyExc_UnicodeError, "the text holds a lone surrogate");
    return std::nullopt;
  }
  return text;
}

Hl7Text Hl7Text::of_utf8(std::string utf8) {
  Hl7Text text;
  text.utf8_ = std::move(utf8);
  return text;
}

std::string_view Hl7Text::bytes() const {
  if (!str_) return utf8_;
  return std::string_view(static_cast<const char*>(PyUnicode_DATA(str_.get())), length_);
}

std::size_t Hl7Text::encode_line(std::size_t start, LineBuffer& buffer,
                                 std::string_view& line) const {
  return with_units(kind_, PyUnicode_DATA(str_.get()), [&](const auto* units) {
    using Unit = std::remove_cv_t<std::remove_pointer_t<decltype(units)>>;
    // The line's length is known once it is encoded: the buffer grows a
    // stretch of units at a time, not to the rest of the text's worst case.
    constexpr std::size_t kStretch = 4096;
    // Every processor with AVX2 shuffles bytes (SSSE3).
    const bool pairs = scan::active_level() == scan::Level::Avx2;
    std::size_t used = 0;
    std::size_t at = start;
    for (;;) {
      const std::size_t stretch_end = length_ - at > kStretch ? at + kStretch : length_;
      char* out = buffer.room(used + (stretch_end - at) * kMostBytes<Unit>, used);
      const Encoded encoded = encode_until_line_end(units, at, stretch_end, out + used, pairs);
      used = static_cast<std::size_t>(encoded.out - out);
      at = encoded.at;
      if (at < stretch_end || at == length_) {
        line = std::string_view(out, used);
        return at;
      }
    }
  });
}

std::size_t Hl7Text::str_line_end_length(std::size_t at) const {
  return with_units(kind_, PyUnicode_DATA(str_.get()),
                    [&](const auto* units) { return line_end_length(units, at, length_); });
}

std::string Hl7Text::normalised_utf8() const {
  std::string out;
  bool first = true;
  for_each_line([&](std::string_view line) {
    if (!first) out.push_back(delimiters::kSegment);
    first = false;
    out.append(line);
  });
  return out;
}

PyRef Hl7Text::normalised_str() const {
  if (str_ && PyUnicode_CheckExact(str_.get())) {
    const bool carriage_return = with_units(kind_, PyUnicode_DATA(str_.get()), [&](const auto* u) {
      return has_carriage_return(u, length_);
    });
    if (!carriage_return) return PyRef::borrow(str_.get());
  }
  return new_str(normalised_utf8());
}

}  // namespace brenvolt::py
