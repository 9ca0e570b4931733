#include "utf8.h"

#include <algorithm>
#include <cstring>

#include "text.h"

#if defined(__x86_64__) || defined(_M_X64)
#define BRENVOLT_UTF8_SSE2 1
#include <immintrin.h>
#endif

namespace brenvolt::utf8 {
namespace {

std::uint32_t bound_of(char32_t largest) {
  if (largest < 0x80) return 0x7F;
  if (largest < 0x100) return 0xFF;
  if (largest < 0x10000) return 0xFFFF;
  return 0x10FFFF;
}

// --- The plain level: a character at a time ---------------------------------

Measure measure_scalar(std::string_view bytes) {
  std::size_t characters = 0;
  char32_t largest = 0;
  std::size_t length = 0;
  for (std::size_t i = 0; i < bytes.size(); i += length) {
    const char32_t c = decode_utf8_at(bytes, i, length);
    if (c > largest) largest = c;
    ++characters;
  }
  return {characters, bound_of(largest)};
}

template <class Unit>
void widen_scalar(std::string_view bytes, std::size_t i, Unit* out) {
  std::size_t length = 0;
  for (; i < bytes.size(); i += length)
    *out++ = static_cast<Unit>(decode_utf8_at(bytes, i, length));
}

template <class Unit>
std::size_t encoded_size_scalar(const Unit* units, std::size_t count) {
  std::size_t size = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t c = units[i];
    if (c < 0x80) {
      size += 1;
    } else if (c < 0x800) {
      size += 2;
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) return kSurrogate;
      size += 3;
    } else {
      size += 4;
    }
  }
  return size;
}

template <class Unit>
void encode_scalar(const Unit* units, std::size_t count, char* out) {
  for (std::size_t i = 0; i < count; ++i) out = encode_one(units[i], out);
}

// --- SSE2: ASCII runs sixteen bytes at a time -------------------------------
//
// The block loops below store a whole block before they know how much of it
// is ASCII, then advance past the ASCII prefix only. That is safe because the
// output never runs ahead of the input: when widening, the output has a unit
// for each character left and the loop only stores a full block while that
// many characters remain; when encoding, every unit left becomes at least one
// byte, so a block of units has room for its ASCII bytes.

#if BRENVOLT_UTF8_SSE2

__m128i load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
void store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

unsigned mask_of(__m128i v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }

// The sum of the sixteen bytes of `v`. (Counting through movemask and
// popcount would call into libgcc: the baseline x86-64 has no popcnt.)
std::size_t byte_sum(__m128i v) {
  const __m128i sums = _mm_sad_epu8(v, _mm_setzero_si128());
  return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
         static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
}

// Loaded from offset k (1..15): 16 - k zero bytes, then k bytes 0xFF.
alignas(16) constexpr unsigned char kTailMask[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// The largest character of a text is bounded by its largest byte: a lead
// byte below 0xC4 starts a character below U+0100, one below 0xF0 a
// character below U+10000. Characters are counted as the bytes that are not
// continuation bytes (0x80..0xBF, below -64 as signed bytes).
Measure measure_sse2(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t continuation = 0;
  __m128i largest = _mm_setzero_si128();
  const __m128i below = _mm_set1_epi8(-64);
  std::size_t i = 0;
  while (i + 16 <= n) {
    // Per-byte counters (each compare adds -1), summed before they can wrap.
    __m128i counts = _mm_setzero_si128();
    const std::size_t stop = i + 16 * std::min<std::size_t>((n - i) / 16, 255);
    for (; i < stop; i += 16) {
      const __m128i v = load(p + i);
      largest = _mm_max_epu8(largest, v);
      counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(v, below));
    }
    continuation += byte_sum(counts);
  }
  if (i < n && n >= 16) {
    // The last bytes, as the end of a block that overlaps the one before,
    // with the bytes already counted masked to zero (which adds nothing).
    const __m128i v = _mm_and_si128(load(p + n - 16), load(kTailMask + (n - i)));
    largest = _mm_max_epu8(largest, v);
    continuation += byte_sum(_mm_sub_epi8(_mm_setzero_si128(), _mm_cmplt_epi8(v, below)));
    i = n;
  }
  largest = _mm_max_epu8(largest, _mm_srli_si128(largest, 8));
  largest = _mm_max_epu8(largest, _mm_srli_si128(largest, 4));
  largest = _mm_max_epu8(largest, _mm_srli_si128(largest, 2));
  largest = _mm_max_epu8(largest, _mm_srli_si128(largest, 1));
  unsigned top = static_cast<unsigned>(_mm_cvtsi128_si32(largest)) & 0xFFu;
  for (; i < n; ++i) {
    if ((p[i] & 0xC0u) == 0x80u) ++continuation;
    if (p[i] > top) top = p[i];
  }
  const std::uint32_t bound = top < 0x80   ? 0x7F
                              : top < 0xC4 ? 0xFF
                              : top < 0xF0 ? 0xFFFF
                                           : 0x10FFFF;
  return {n - continuation, bound};
}

// Stores the sixteen bytes of `v` as sixteen units at `out`.
void store_units(std::uint8_t* out, __m128i v) { store(out, v); }
void store_units(std::uint16_t* out, __m128i v) {
  const __m128i zero = _mm_setzero_si128();
  store(out, _mm_unpacklo_epi8(v, zero));
  store(out + 8, _mm_unpackhi_epi8(v, zero));
}
void store_units(std::uint32_t* out, __m128i v) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i low = _mm_unpacklo_epi8(v, zero);
  const __m128i high = _mm_unpackhi_epi8(v, zero);
  store(out, _mm_unpacklo_epi16(low, zero));
  store(out + 4, _mm_unpackhi_epi16(low, zero));
  store(out + 8, _mm_unpacklo_epi16(high, zero));
  store(out + 12, _mm_unpackhi_epi16(high, zero));
}

// Writes the character at p[i] and returns its length; the common ones
// (ASCII, two bytes) without a call.
template <class Unit>
std::size_t widen_one(std::string_view bytes, std::size_t i, Unit* out) {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  if (lead < 0x80) {
    *out = lead;
    return 1;
  }
  if (lead < 0xE0) {
    *out = static_cast<Unit>(((lead & 0x1Fu) << 6) |
                             (static_cast<unsigned char>(bytes[i + 1]) & 0x3Fu));
    return 2;
  }
  std::size_t length = 0;
  *out = static_cast<Unit>(decode_utf8_at(bytes, i, length));
  return length;
}

template <class Unit>
void widen_sse2(std::string_view bytes, std::size_t characters, Unit* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  std::size_t left = characters;  // units still to write
  while (i + 16 <= n && left >= 16) {
    const __m128i v = load(p + i);
    store_units(out, v);
    const unsigned high = mask_of(v);
    if (high == 0) {
      i += 16;
      out += 16;
      left -= 16;
      continue;
    }
    const auto ascii = static_cast<std::size_t>(__builtin_ctz(high));
    out += ascii;
    i += ascii + widen_one(bytes, i + ascii, out++);
    left -= ascii + 1;
  }
  if (i < n && i + 16 > n && characters >= 16) {
    // When the last sixteen bytes are ASCII, so is all that is left (it lies
    // inside them): they are the last sixteen characters, written as one
    // block that ends where the output does.
    const __m128i v = load(p + n - 16);
    if (mask_of(v) == 0) {
      store_units(out + (n - i) - 16, v);
      return;
    }
  }
  while (i < n) i += widen_one(bytes, i, out++);
}

std::size_t encoded_size_sse2(const std::uint8_t* units, std::size_t count) {
  // One byte more for each unit from U+0080 (a negative signed byte).
  std::size_t size = count;
  const __m128i zero = _mm_setzero_si128();
  std::size_t i = 0;
  while (i + 16 <= count) {
    __m128i counts = zero;
    const std::size_t stop = i + 16 * std::min<std::size_t>((count - i) / 16, 255);
    for (; i < stop; i += 16) counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(load(units + i), zero));
    size += byte_sum(counts);
  }
  for (; i < count; ++i) size += units[i] >> 7;
  return size;
}

std::size_t encoded_size_sse2(const std::uint16_t* units, std::size_t count) {
  // One byte more for each unit from U+0080, and one more from U+0800; the
  // counters are 16-bit lanes, summed before they can wrap.
  std::size_t size = 0;
  const __m128i zero = _mm_setzero_si128();
  const __m128i above_7f = _mm_set1_epi16(static_cast<short>(0xFF80));
  const __m128i above_7ff = _mm_set1_epi16(static_cast<short>(0xF800));
  const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
  std::size_t i = 0;
  while (i + 8 <= count) {
    __m128i narrow = zero;  // per lane: units below U+0080, plus units below U+0800
    __m128i found = zero;   // any surrogate
    const std::size_t blocks = std::min<std::size_t>((count - i) / 8, 16383);
    const std::size_t stop = i + 8 * blocks;
    for (; i < stop; i += 8) {
      const __m128i v = load(units + i);
      const __m128i top5 = _mm_and_si128(v, above_7ff);
      found = _mm_or_si128(found, _mm_cmpeq_epi16(top5, surrogate));
      narrow = _mm_sub_epi16(narrow, _mm_cmpeq_epi16(_mm_and_si128(v, above_7f), zero));
      narrow = _mm_sub_epi16(narrow, _mm_cmpeq_epi16(top5, zero));
    }
    if (mask_of(found) != 0) return kSurrogate;
    // Lanes hold at most 2 * 16383: the 16-bit sums do not wrap when paired.
    const __m128i pairs = _mm_madd_epi16(narrow, _mm_set1_epi16(1));
    alignas(16) std::int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), pairs);
    const std::size_t narrow_count =
        static_cast<std::size_t>(lanes[0]) + static_cast<std::size_t>(lanes[1]) +
        static_cast<std::size_t>(lanes[2]) + static_cast<std::size_t>(lanes[3]);
    size += 3 * 8 * blocks - narrow_count;
  }
  const std::size_t rest = encoded_size_scalar(units + i, count - i);
  if (rest == kSurrogate) return kSurrogate;
  return size + rest;
}

void encode_sse2(const std::uint8_t* units, std::size_t count, char* out) {
  std::size_t i = 0;
  while (i + 16 <= count) {
    const __m128i v = load(units + i);
    store(out, v);
    const unsigned high = mask_of(v);
    if (high == 0) {
      i += 16;
      out += 16;
      continue;
    }
    const auto ascii = static_cast<std::size_t>(__builtin_ctz(high));
    out = encode_one(units[i + ascii], out + ascii);
    i += ascii + 1;
  }
  encode_scalar(units + i, count - i, out);
}

void encode_sse2(const std::uint16_t* units, std::size_t count, char* out) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i above_7f = _mm_set1_epi16(static_cast<short>(0xFF80));
  std::size_t i = 0;
  while (i + 8 <= count) {
    const __m128i v = load(units + i);
    // All eight below U+0080 pack to their bytes without saturating; a
    // larger unit packs to garbage, written over below.
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v, v));
    const unsigned wide = ~mask_of(_mm_cmpeq_epi16(_mm_and_si128(v, above_7f), zero)) & 0xFFFFu;
    if (wide == 0) {
      i += 8;
      out += 8;
      continue;
    }
    const auto ascii = static_cast<std::size_t>(__builtin_ctz(wide)) / 2;
    out = encode_one(units[i + ascii], out + ascii);
    i += ascii + 1;
  }
  encode_scalar(units + i, count - i, out);
}

// --- SSSE3 (with the AVX2 level): units below U+0800 eight at a time -------
//
// Each unit is made into its two-byte form and, for ASCII, its one byte;
// a byte shuffle chosen by which units are ASCII keeps the bytes of each, in
// order, and drops the rest. No branch depends on where the non-ASCII units
// are, which in prose with an accented letter every few words costs more than
// the work itself.

// For each set of ASCII units among eight (bit k: unit k), the bytes to keep
// from the sixteen of the eight units (unit k's byte 2k low, 2k + 1 high),
// and how many.
struct PackRow {
  unsigned char take[16];
  unsigned char length;
};
struct PackTable {
  PackRow rows[256] = {};
  constexpr PackTable() {
    for (unsigned mask = 0; mask < 256; ++mask) {
      PackRow& row = rows[mask];
      unsigned char at = 0;
      for (unsigned k = 0; k < 8; ++k) {
        if ((mask >> k) & 1u) {
          row.take[at++] = static_cast<unsigned char>(2 * k);
        } else {
          row.take[at++] = static_cast<unsigned char>(2 * k + 1);  // the lead byte
          row.take[at++] = static_cast<unsigned char>(2 * k);
        }
      }
      row.length = at;
      while (at < 16) row.take[at++] = 0x80;  // a zero byte
    }
  }
};
constexpr PackTable kPack;

__attribute__((target("ssse3"))) void encode_ssse3(const std::uint16_t* units, std::size_t count,
                                                   char* out) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i above_7f = _mm_set1_epi16(static_cast<short>(0xFF80));
  const __m128i above_7ff = _mm_set1_epi16(static_cast<short>(0xF800));
  const __m128i high_5 = _mm_set1_epi16(0x1F00);
  const __m128i low_6 = _mm_set1_epi16(0x003F);
  const __m128i markers = _mm_set1_epi16(static_cast<short>(0xC080));
  std::size_t i = 0;
  // Sixteen units left: the sixteen bytes stored for eight fit in the output.
  while (i + 16 <= count) {
    const __m128i v = load(units + i);
    const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(v, above_7f), zero);
    // All-ASCII blocks take the shuffle too: a branch on them would be
    // mispredicted at every accented word.
    if (mask_of(_mm_cmpeq_epi16(_mm_and_si128(v, above_7ff), zero)) != 0xFFFFu) {
      // A unit of three bytes: this one block a unit at a time.
      for (const std::size_t end = i + 8; i < end; ++i) out = encode_one(units[i], out);
      continue;
    }
    // 110aaaaa 10bbbbbb from 00000aaa aabbbbbb, high byte first in the lane.
    const __m128i two = _mm_or_si128(
        _mm_or_si128(_mm_and_si128(_mm_slli_epi16(v, 2), high_5), _mm_and_si128(v, low_6)),
        markers);
    const __m128i both = _mm_or_si128(_mm_and_si128(ascii, v), _mm_andnot_si128(ascii, two));
    const auto which = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii, zero)));
    const PackRow& row = kPack.rows[which];
    store(out, _mm_shuffle_epi8(both, load(row.take)));
    out += row.length;
    i += 8;
  }
  encode_sse2(units + i, count - i, out);
}

#endif

}  // namespace

Measure measure(std::string_view bytes, scan::Level level) {
#if BRENVOLT_UTF8_SSE2
  if (level != scan::Level::Scalar) return measure_sse2(bytes);
#endif
  (void)level;
  return measure_scalar(bytes);
}

namespace {

template <class Unit>
void widen_at(std::string_view bytes, std::size_t characters, Unit* out, scan::Level level) {
#if BRENVOLT_UTF8_SSE2
  if (level != scan::Level::Scalar) return widen_sse2(bytes, characters, out);
#endif
  (void)level;
  (void)characters;
  widen_scalar(bytes, 0, out);
}

}  // namespace

void widen(std::string_view bytes, std::size_t characters, std::uint8_t* out, scan::Level level) {
  widen_at(bytes, characters, out, level);
}
void widen(std::string_view bytes, std::size_t characters, std::uint16_t* out, scan::Level level) {
  widen_at(bytes, characters, out, level);
}
void widen(std::string_view bytes, std::size_t characters, std::uint32_t* out, scan::Level level) {
  widen_at(bytes, characters, out, level);
}

std::size_t encoded_size(const std::uint8_t* units, std::size_t count, scan::Level level) {
#if BRENVOLT_UTF8_SSE2
  if (level != scan::Level::Scalar) return encoded_size_sse2(units, count);
#endif
  (void)level;
  return encoded_size_scalar(units, count);
}

std::size_t encoded_size(const std::uint16_t* units, std::size_t count, scan::Level level) {
#if BRENVOLT_UTF8_SSE2
  if (level != scan::Level::Scalar) return encoded_size_sse2(units, count);
#endif
  (void)level;
  return encoded_size_scalar(units, count);
}

// Four-byte units are rare (a text with a character beyond U+FFFF, an emoji
// say) and stay on the plain loop at every level.
std::size_t encoded_size(const std::uint32_t* units, std::size_t count, scan::Level /*level*/) {
  return encoded_size_scalar(units, count);
}

void encode(const std::uint8_t* units, std::size_t count, char* out, scan::Level level) {
#if BRENVOLT_UTF8_SSE2
  if (level != scan::Level::Scalar) return encode_sse2(units, count, out);
#endif
  (void)level;
  encode_scalar(units, count, out);
}

void encode(const std::uint16_t* units, std::size_t count, char* out, scan::Level level) {
#if BRENVOLT_UTF8_SSE2
  // Every processor with AVX2 has SSSE3.
  if (level == scan::Level::Avx2) return encode_ssse3(units, count, out);
  if (level != scan::Level::Scalar) return encode_sse2(units, count, out);
#endif
  (void)level;
  encode_scalar(units, count, out);
}

void encode(const std::uint32_t* units, std::size_t count, char* out, scan::Level /*level*/) {
  encode_scalar(units, count, out);
}

}  // namespace brenvolt::utf8
