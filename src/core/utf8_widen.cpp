#include "utf8_widen.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brenvolt {
namespace {

// Widens the sixteen ASCII bytes at `p` to `out`.
template <class Unit>
void widen_ascii16(const unsigned char* p, Unit* out) {
#if defined(__SSE2__)
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  if constexpr (sizeof(Unit) == 1) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
  } else if constexpr (sizeof(Unit) == 2) {
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
  } else {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(bytes, zero);
    const __m128i high = _mm_unpackhi_epi8(bytes, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(high, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(high, zero));
  }
#else
  for (std::size_t k = 0; k < 16; ++k) out[k] = static_cast<Unit>(p[k]);
#endif
}

// How many of the sixteen bytes at `p` are ASCII before the first that is not.
unsigned ascii_prefix16(const unsigned char* p) {
#if defined(__SSE2__)
  const auto high = static_cast<unsigned>(
      _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
  return high == 0 ? 16u : static_cast<unsigned>(__builtin_ctz(high));
#else
  unsigned k = 0;
  while (k < 16 && p[k] < 0x80) ++k;
  return k;
#endif
}

template <class Unit>
void widen(std::string_view utf8, Unit* out, std::size_t code_points) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t n = utf8.size();
  Unit* const out_end = out + code_points;
  std::size_t i = 0;
  while (i < n) {
    // Sixteen bytes widened at a time, of which the ASCII ones before the
    // first other byte are kept: text that is mostly ASCII, as HL7 is, goes
    // a block or a run at a time. The block is stored whole only where the
    // string has room for it.
    if (n - i >= 16 && out_end - out >= 16) {
      const unsigned ascii = ascii_prefix16(p + i);
      widen_ascii16(p + i, out);
      out += ascii;
      i += ascii;
      if (ascii == 16) continue;
    }
    const unsigned char c = p[i];
    std::uint32_t code = 0;
    if (c < 0x80) {
      code = c;
      i += 1;
    } else if (c < 0xE0) {
      code = (c & 0x1Fu) << 6 | (p[i + 1] & 0x3Fu);
      i += 2;
    } else if (c < 0xF0) {
      code = (c & 0x0Fu) << 12 | (p[i + 1] & 0x3Fu) << 6 | (p[i + 2] & 0x3Fu);
      i += 3;
    } else {
      code = (c & 0x07u) << 18 | (p[i + 1] & 0x3Fu) << 12 | (p[i + 2] & 0x3Fu) << 6 |
             (p[i + 3] & 0x3Fu);
      i += 4;
    }
    *out++ = static_cast<Unit>(code);
  }
}

}  // namespace

Utf8Shape utf8_shape(std::string_view utf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t n = utf8.size();
  std::size_t continuation = 0;
  unsigned char highest = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time: continuation bytes (10xxxxxx) are the signed
  // bytes below -64; counts are gathered in bytes and summed every 255 blocks.
  const __m128i below = _mm_set1_epi8(static_cast<char>(0xC0));
  __m128i top = _mm_setzero_si128();
  while (i + 16 <= n) {
    __m128i counts = _mm_setzero_si128();
    for (std::size_t block = 0; block < 255 && i + 16 <= n; ++block, i += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      top = _mm_max_epu8(top, bytes);
      counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(bytes, below));
    }
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    continuation += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                    static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
  }
  alignas(16) unsigned char lanes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), top);
  for (const unsigned char lane : lanes) highest = lane > highest ? lane : highest;
#endif
  for (; i < n; ++i) {
    continuation += (p[i] & 0xC0u) == 0x80u ? 1 : 0;
    highest = p[i] > highest ? p[i] : highest;
  }
  Utf8Shape shape;
  shape.code_points = n - continuation;
  // The highest lead byte sets the width: C2-C3 lead U+0080-U+00FF, C4-EF the
  // rest of the 16-bit range, F0 and above the supplementary planes.
  // Continuation bytes (80-BF) never come first in this order.
  if (highest >= 0xF0) {
    shape.max_char = 0x10FFFF;
  } else if (highest >= 0xC4) {
    shape.max_char = 0xFFFF;
  } else if (highest >= 0x80) {
    shape.max_char = 0xFF;
  }
  return shape;
}

void widen_utf8(std::string_view utf8, std::uint8_t* out, std::size_t code_points) {
  widen(utf8, out, code_points);
}
void widen_utf8(std::string_view utf8, std::uint16_t* out, std::size_t code_points) {
  widen(utf8, out, code_points);
}
void widen_utf8(std::string_view utf8, std::uint32_t* out, std::size_t code_points) {
  widen(utf8, out, code_points);
}

}  // namespace brenvolt
