#include "scan.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#define BRENVOLT_X86 1
#include <immintrin.h>
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
  const __m128i l = _mm_or_si128(_mm_or_si128(eq('\t'), eq('\n')), _mm_or_si128(eq('\r'), eq(' ')));
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
  const __m256i l =
      _mm256_or_si256(_mm256_or_si256(eq('\t'), eq('\n')), _mm256_or_si256(eq('\r'), eq(' ')));
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
#endif

#if BRENVOLT_NEON
// One bit per byte would need a shuffle; NEON finds whether a block holds any
// byte, then the plain loop finds which.
uint8x16_t neon_hits(const unsigned char* p) {
  const uint8x16_t v = vld1q_u8(p);
  const auto eq = [&](char c) { return vceqq_u8(v, vdupq_n_u8(static_cast<std::uint8_t>(c))); };
  return vorrq_u8(
      vorrq_u8(vorrq_u8(eq('|'), eq('^')), vorrq_u8(eq('~'), eq('&'))),
      vorrq_u8(vorrq_u8(eq('\\'), eq('\t')), vorrq_u8(vorrq_u8(eq('\n'), eq('\r')), eq(' '))));
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
  if (__builtin_cpu_supports("avx2")) out[count++] = Level::Avx2;
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

}  // namespace brenvolt::scan
