#include "scan.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#define BRENVOLT_X86 1
#include <immintrin.h>
#if defined(__GNUC__)
#include <cpuid.h>
#endif
#elif defined(__aarch64__)
#define BRENVOLT_NEON 1
#include <arm_neon.h>
#endif

namespace brenvolt::scan {
namespace {

using detail::kLengths;

std::size_t find_scalar(const unsigned char* p, std::size_t from, std::size_t n) {
  for (std::size_t i = from; i < n; ++i) {
    if (kLengths.length[p[i]] != 0) return i;
  }
  return n;
}

std::size_t extra_scalar(const unsigned char* p, std::size_t from, std::size_t n) {
  std::size_t extra = 0;
  for (std::size_t i = from; i < n; ++i) {
    const unsigned length = kLengths.length[p[i]];
    extra += length == 0 ? 0 : length - 1;
  }
  return extra;
}

struct DelimiterTable {
  bool marked[256] = {};
  constexpr DelimiterTable() {
    for (const char c : {'|', '^', '~', '\\'}) marked[static_cast<unsigned char>(c)] = true;
  }
};
constexpr DelimiterTable kDelimiters;

// Marks bytes [from, n) in the words from from / 64 on (from is a multiple of
// 64); returns the OR of those bytes.
unsigned mark_scalar(const unsigned char* p, std::size_t from, std::size_t n, std::uint64_t* bits) {
  unsigned any = 0;
  for (std::size_t word = from; word < n; word += 64) {
    std::uint64_t mask = 0;
    const std::size_t end = n - word < 64 ? n : word + 64;
    for (std::size_t i = word; i < end; ++i) {
      any |= p[i];
      mask |= static_cast<std::uint64_t>(kDelimiters.marked[p[i]]) << (i - word);
    }
    bits[word / 64] = mask;
  }
  return any;
}

bool is_line_end(unsigned char c) { return c == '\r' || c == '\n'; }

std::size_t line_end_scalar(const unsigned char* p, std::size_t from, std::size_t n) {
  for (std::size_t i = from; i < n; ++i) {
    if (is_line_end(p[i])) return i;
  }
  return n;
}

#if BRENVOLT_X86
// Masks of the bytes in one block: the three-byte sequences and the
// five-byte ones.
struct Sse2Masks {
  unsigned short_ones;
  unsigned long_ones;
};

Sse2Masks sse2_masks(const unsigned char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const auto eq = [&](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
  const __m128i s = _mm_or_si128(
      _mm_or_si128(_mm_or_si128(eq('|'), eq('^')), _mm_or_si128(eq('~'), eq('&'))), eq('\\'));
  const __m128i l = _mm_or_si128(_mm_or_si128(eq('\t'), eq('\n')), eq('\r'));
  return {static_cast<unsigned>(_mm_movemask_epi8(s)), static_cast<unsigned>(_mm_movemask_epi8(l))};
}

std::size_t find_sse2(const unsigned char* p, std::size_t i, std::size_t n) {
  for (; i + 16 <= n; i += 16) {
    const Sse2Masks m = sse2_masks(p + i);
    if (const unsigned any = m.short_ones | m.long_ones; any != 0) {
      return i + static_cast<std::size_t>(__builtin_ctz(any));
    }
  }
  return find_scalar(p, i, n);
}

std::size_t extra_sse2(const unsigned char* p, std::size_t i, std::size_t n) {
  std::size_t extra = 0;
  for (; i + 16 <= n; i += 16) {
    const Sse2Masks m = sse2_masks(p + i);
    extra += 2 * static_cast<std::size_t>(__builtin_popcount(m.short_ones)) +
             4 * static_cast<std::size_t>(__builtin_popcount(m.long_ones));
  }
  return extra + extra_scalar(p, i, n);
}

struct Avx2Masks {
  std::uint32_t short_ones;
  std::uint32_t long_ones;
};

__attribute__((target("avx2"))) Avx2Masks avx2_masks(const unsigned char* p) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const auto eq = [&](char c) __attribute__((target("avx2"))) {
    return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c));
  };
  const __m256i s = _mm256_or_si256(
      _mm256_or_si256(_mm256_or_si256(eq('|'), eq('^')), _mm256_or_si256(eq('~'), eq('&'))),
      eq('\\'));
  const __m256i l = _mm256_or_si256(_mm256_or_si256(eq('\t'), eq('\n')), eq('\r'));
  return {static_cast<std::uint32_t>(_mm256_movemask_epi8(s)),
          static_cast<std::uint32_t>(_mm256_movemask_epi8(l))};
}

__attribute__((target("avx2"))) std::size_t find_avx2(const unsigned char* p, std::size_t i,
                                                      std::size_t n) {
  for (; i + 32 <= n; i += 32) {
    const Avx2Masks m = avx2_masks(p + i);
    if (const std::uint32_t any = m.short_ones | m.long_ones; any != 0) {
      return i + static_cast<std::size_t>(__builtin_ctz(any));
    }
  }
  return find_sse2(p, i, n);
}

__attribute__((target("avx2"))) std::size_t extra_avx2(const unsigned char* p, std::size_t i,
                                                       std::size_t n) {
  std::size_t extra = 0;
  for (; i + 32 <= n; i += 32) {
    const Avx2Masks m = avx2_masks(p + i);
    extra += 2 * static_cast<std::size_t>(__builtin_popcount(m.short_ones)) +
             4 * static_cast<std::size_t>(__builtin_popcount(m.long_ones));
  }
  return extra + extra_sse2(p, i, n);
}

// The delimiter mask and the high bits of 16 bytes.
struct Sse2Marks {
  unsigned delimiters;
  unsigned high;
};

Sse2Marks sse2_marks(const unsigned char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const auto eq = [&](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
  const __m128i d = _mm_or_si128(_mm_or_si128(eq('|'), eq('^')), _mm_or_si128(eq('~'), eq('\\')));
  return {static_cast<unsigned>(_mm_movemask_epi8(d)), static_cast<unsigned>(_mm_movemask_epi8(v))};
}

// The delimiter mask of 64 bytes, and whether any is above ASCII.
std::uint64_t sse2_chunk(const unsigned char* p, unsigned& high) {
  std::uint64_t mask = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const Sse2Marks m = sse2_marks(p + 16 * k);
    mask |= static_cast<std::uint64_t>(m.delimiters) << (16 * k);
    high |= m.high;
  }
  return mask;
}

unsigned mark_sse2(const unsigned char* p, std::size_t n, std::uint64_t* bits) {
  std::size_t i = 0;
  unsigned high = 0;
  for (; i + 64 <= n; i += 64) bits[i / 64] = sse2_chunk(p + i, high);
  if (i < n) {  // the tail, in a zeroed copy: zero is no delimiter and ASCII
    unsigned char tail[64] = {};
    std::memcpy(tail, p + i, n - i);
    bits[i / 64] = sse2_chunk(tail, high);
  }
  return high != 0 ? 0x80u : 0u;
}

std::size_t line_end_sse2(const unsigned char* p, std::size_t i, std::size_t n) {
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')),
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
    if (const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit)); mask != 0) {
      return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
  }
  return line_end_scalar(p, i, n);
}

__attribute__((target("avx2"))) std::uint64_t avx2_chunk(const unsigned char* p,
                                                         std::uint32_t& high) {
  std::uint64_t mask = 0;
  for (std::size_t k = 0; k < 2; ++k) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
    const auto eq = [&](char c) __attribute__((target("avx2"))) {
      return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c));
    };
    const __m256i d =
        _mm256_or_si256(_mm256_or_si256(eq('|'), eq('^')), _mm256_or_si256(eq('~'), eq('\\')));
    mask |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(d)))
            << (32 * k);
    high |= static_cast<std::uint32_t>(_mm256_movemask_epi8(v));
  }
  return mask;
}

__attribute__((target("avx2"))) unsigned mark_avx2(const unsigned char* p, std::size_t n,
                                                   std::uint64_t* bits) {
  std::size_t i = 0;
  std::uint32_t high = 0;
  for (; i + 64 <= n; i += 64) bits[i / 64] = avx2_chunk(p + i, high);
  if (i < n) {  // the tail, in a zeroed copy: zero is no delimiter and ASCII
    unsigned char tail[64] = {};
    std::memcpy(tail, p + i, n - i);
    bits[i / 64] = avx2_chunk(tail, high);
  }
  return high != 0 ? 0x80u : 0u;
}

__attribute__((target("avx2"))) std::size_t line_end_avx2(const unsigned char* p, std::size_t i,
                                                          std::size_t n) {
  for (; i + 32 <= n; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    const __m256i hit = _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r')),
                                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n')));
    if (const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(hit)); mask != 0) {
      return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
  }
  return line_end_sse2(p, i, n);
}
#endif

#if BRENVOLT_NEON
// One bit per byte would need a shuffle; NEON finds whether a block holds any
// byte, then the plain loop finds which.
uint8x16_t neon_hits(const unsigned char* p) {
  const uint8x16_t v = vld1q_u8(p);
  const auto eq = [&](char c) { return vceqq_u8(v, vdupq_n_u8(static_cast<std::uint8_t>(c))); };
  return vorrq_u8(vorrq_u8(vorrq_u8(eq('|'), eq('^')), vorrq_u8(eq('~'), eq('&'))),
                  vorrq_u8(vorrq_u8(eq('\\'), eq('\t')), vorrq_u8(eq('\n'), eq('\r'))));
}

std::size_t find_neon(const unsigned char* p, std::size_t i, std::size_t n) {
  for (; i + 16 <= n; i += 16) {
    if (vmaxvq_u8(neon_hits(p + i)) != 0) return find_scalar(p, i, i + 16);
  }
  return find_scalar(p, i, n);
}

std::size_t extra_neon(const unsigned char* p, std::size_t i, std::size_t n) {
  std::size_t extra = 0;
  for (; i + 16 <= n; i += 16) {
    if (vmaxvq_u8(neon_hits(p + i)) != 0) extra += extra_scalar(p, i, i + 16);
  }
  return extra + extra_scalar(p, i, n);
}

// The delimiter bits of 16 bytes: each byte's compare result weighted by its
// bit within its half, each half summed into one byte.
unsigned neon_delimiter_bits(uint8x16_t v) {
  const auto eq = [&](char c) { return vceqq_u8(v, vdupq_n_u8(static_cast<std::uint8_t>(c))); };
  const uint8x16_t hits = vorrq_u8(vorrq_u8(eq('|'), eq('^')), vorrq_u8(eq('~'), eq('\\')));
  const uint8x16_t weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t weighted = vandq_u8(hits, weights);
  return static_cast<unsigned>(vaddv_u8(vget_low_u8(weighted))) |
         (static_cast<unsigned>(vaddv_u8(vget_high_u8(weighted))) << 8);
}

std::uint64_t neon_chunk(const unsigned char* p, std::uint8_t& high) {
  std::uint64_t mask = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const uint8x16_t v = vld1q_u8(p + 16 * k);
    mask |= static_cast<std::uint64_t>(neon_delimiter_bits(v)) << (16 * k);
    high |= vmaxvq_u8(v);
  }
  return mask;
}

unsigned mark_neon(const unsigned char* p, std::size_t n, std::uint64_t* bits) {
  std::size_t i = 0;
  std::uint8_t high = 0;
  for (; i + 64 <= n; i += 64) bits[i / 64] = neon_chunk(p + i, high);
  if (i < n) {  // the tail, in a zeroed copy: zero is no delimiter and ASCII
    unsigned char tail[64] = {};
    std::memcpy(tail, p + i, n - i);
    bits[i / 64] = neon_chunk(tail, high);
  }
  return high >= 0x80 ? 0x80u : 0u;
}

std::size_t line_end_neon(const unsigned char* p, std::size_t i, std::size_t n) {
  for (; i + 16 <= n; i += 16) {
    const uint8x16_t v = vld1q_u8(p + i);
    const uint8x16_t hit = vorrq_u8(vceqq_u8(v, vdupq_n_u8('\r')), vceqq_u8(v, vdupq_n_u8('\n')));
    if (vmaxvq_u8(hit) != 0) return line_end_scalar(p, i, i + 16);
  }
  return line_end_scalar(p, i, n);
}
#endif

#if BRENVOLT_X86
// Whether the processor has AVX2 and the system saves the YMM registers on a
// context switch, asked of CPUID and XGETBV themselves. __builtin_cpu_supports
// reads a table that libgcc and LLVM's compiler-rt fill in when the program
// loads, but the runtime that zig links into the portable wheels leaves it
// empty: it answered "no" to every feature, and the wheels never took the
// AVX2 paths.
bool has_avx2() {
#if defined(__GNUC__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(1, 0, eax, ebx, ecx, edx);
  const unsigned osxsave = 1u << 27, avx = 1u << 28;
  if ((ecx & osxsave) == 0 || (ecx & avx) == 0) return false;
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  const unsigned sse_and_ymm_state = 0x6;
  if ((xcr0_low & sse_and_ymm_state) != sse_and_ymm_state) return false;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const unsigned avx2 = 1u << 5;
  return (ebx & avx2) != 0;
#else
  return false;  // no cpuid.h here: SSE2 alone
#endif
}
#endif

Level choose_level() {
  if (const char* wanted = std::getenv("BRENVOLT_SIMD");
      wanted != nullptr && std::strcmp(wanted, "scalar") == 0) {
    return Level::Scalar;
  }
  Level levels[4];
  return levels[available_levels(levels) - 1];
}

}  // namespace

std::size_t available_levels(Level (&out)[4]) {
  std::size_t count = 0;
  out[count++] = Level::Scalar;
#if BRENVOLT_X86
  out[count++] = Level::Sse2;
  static const bool avx2 = has_avx2();
  if (avx2) out[count++] = Level::Avx2;
#elif BRENVOLT_NEON
  out[count++] = Level::Neon;
#endif
  return count;
}

Level active_level() {
  static const Level level = choose_level();
  return level;
}

std::size_t find_to_escape(std::string_view text, std::size_t from, Level level) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  switch (level) {
#if BRENVOLT_X86
    case Level::Sse2:
      return find_sse2(p, from, n);
    case Level::Avx2:
      return find_avx2(p, from, n);
#elif BRENVOLT_NEON
    case Level::Neon:
      return find_neon(p, from, n);
#endif
    default:
      return find_scalar(p, from, n);
  }
}

std::size_t escaped_size(std::string_view text, Level level) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  switch (level) {
#if BRENVOLT_X86
    case Level::Sse2:
      return n + extra_sse2(p, 0, n);
    case Level::Avx2:
      return n + extra_avx2(p, 0, n);
#elif BRENVOLT_NEON
    case Level::Neon:
      return n + extra_neon(p, 0, n);
#endif
    default:
      return n + extra_scalar(p, 0, n);
  }
}

bool mark_delimiters(std::string_view text, std::uint64_t* bits, Level level) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  switch (level) {
#if BRENVOLT_X86
    case Level::Sse2:
      return mark_sse2(p, n, bits) < 0x80;
    case Level::Avx2:
      return mark_avx2(p, n, bits) < 0x80;
#elif BRENVOLT_NEON
    case Level::Neon:
      return mark_neon(p, n, bits) < 0x80;
#endif
    default:
      return mark_scalar(p, 0, n, bits) < 0x80;
  }
}

std::size_t find_line_end(std::string_view text, std::size_t from, Level level) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  switch (level) {
#if BRENVOLT_X86
    case Level::Sse2:
      return line_end_sse2(p, from, n);
    case Level::Avx2:
      return line_end_avx2(p, from, n);
#elif BRENVOLT_NEON
    case Level::Neon:
      return line_end_neon(p, from, n);
#endif
    default:
      return line_end_scalar(p, from, n);
  }
}

}  // namespace brenvolt::scan
