#include "escape.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "scan.h"
#include "text.h"

#if defined(__x86_64__) || defined(_M_X64)
#define BRENVOLT_ESCAPE_SSE2 1
#include <emmintrin.h>
#endif

namespace brenvolt {
namespace {

// One delimiter as a text of its own.
constexpr std::string_view one(const char& delimiter) { return std::string_view(&delimiter, 1); }

// The sequence table: name -> replacement, exact and case-sensitive; an empty
// view for an unknown name (no known name stands for nothing).
std::string_view sequence_replacement(std::string_view name) {
  switch (name.size()) {
    case 1:
      switch (name[0]) {
        case 'F':
          return one(delimiters::kField);
        case 'S':
          return one(delimiters::kComponent);
        case 'R':
          return one(delimiters::kRepetition);
        case 'E':
          return one(delimiters::kEscape);
        case 'T':
          return one(delimiters::kSubcomponent);
        default:
          return {};
      }
    case 3:
      if (name == "X0A") return "\n";
      if (name == "X0D") return "\r";
      if (name == "X20") return " ";
      if (name == "X09") return "\t";
      return {};
    case 5:
      return name == "X0D0A" ? "\r\n" : std::string_view();
    default:
      return {};
  }
}

// What escape_into() writes for byte `c`, or nullptr when `c` stays as it is. All
// the characters escape_into() encodes are ASCII, so a byte test is exact: bytes of
// multi-byte UTF-8 characters are all >= 0x80.
constexpr const char* escape_sequence_for(char c) {
  switch (c) {
    case delimiters::kField:
      return "\\F\\";
    case delimiters::kComponent:
      return "\\S\\";
    case delimiters::kRepetition:
      return "\\R\\";
    case delimiters::kSubcomponent:
      return "\\T\\";
    case delimiters::kEscape:
      return "\\E\\";
    case '\t':
      return "\\X09\\";
    case '\n':
      return "\\X0A\\";
    case '\r':
      return "\\X0D\\";
    default:
      return nullptr;
  }
}

// Bytes escaped one by one after each byte that needs a sequence.
constexpr std::size_t kDenseStretch = 32;

}  // namespace

namespace {

// The character a one-letter name stands for, or 0 for an unknown letter.
constexpr char single_replacement(char name) {
  switch (name) {
    case 'F':
      return delimiters::kField;
    case 'S':
      return delimiters::kComponent;
    case 'R':
      return delimiters::kRepetition;
    case 'E':
      return delimiters::kEscape;
    case 'T':
      return delimiters::kSubcomponent;
    default:
      return 0;
  }
}

struct SingleReplacements {
  char of[256] = {};
  constexpr SingleReplacements() {
    for (int c = 0; c < 256; ++c) of[c] = single_replacement(static_cast<char>(c));
  }
};
constexpr SingleReplacements kSingleReplacements;

// Copies text[i..] to `out` up to the next escape character; returns its
// index, or text.size() when there is none. `out` is advanced past what was
// copied. The SSE2 loop stores whole blocks and keeps only what precedes the
// escape character: the output never runs ahead of the input, so a block
// stored at `out` stays inside the room unescape_to() was given.
std::size_t copy_to_escape(std::string_view text, std::size_t i, char*& out, bool blocks) {
  const std::size_t n = text.size();
#if BRENVOLT_ESCAPE_SSE2
  if (blocks) {
    const __m128i escape = _mm_set1_epi8(delimiters::kEscape);
    for (; i + 16 <= n; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
      const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, escape)));
      if (hits != 0) {
        const auto before = static_cast<std::size_t>(__builtin_ctz(hits));
        out += before;
        return i + before;
      }
      out += 16;
    }
  }
#else
  (void)blocks;
#endif
  const void* hit = i < n ? std::memchr(text.data() + i, delimiters::kEscape, n - i) : nullptr;
  const std::size_t at =
      hit == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
  std::memcpy(out, text.data() + i, at - i);
  out += at - i;
  return at;
}

// Decodes the sequence at text[at], an escape character that is neither the
// last character nor doubled, by the general rule; returns the index after
// it. The name is the character after the escape character, whatever it is,
// then every following alphanumeric character; the first other character
// terminates it, and is consumed when it is the escape character, kept
// otherwise.
std::size_t decode_sequence(std::string_view text, std::size_t at, char*& out) {
  const std::size_t n = text.size();
  std::size_t length = 0;
  decode_utf8_at(text, at + 1, length);
  std::size_t name_end = at + 1 + length;
  while (name_end < n) {
    const auto byte = static_cast<unsigned char>(text[name_end]);
    if (byte < 0x80) {  // ASCII: no table lookup
      if (!((byte >= '0' && byte <= '9') || ((byte | 0x20) >= 'a' && (byte | 0x20) <= 'z'))) break;
      ++name_end;
      continue;
    }
    if (!is_alphanumeric(decode_utf8_at(text, name_end, length))) break;
    name_end += length;
  }
  const std::string_view name = text.substr(at + 1, name_end - (at + 1));
  if (const std::string_view replacement = sequence_replacement(name); !replacement.empty()) {
    std::memcpy(out, replacement.data(), replacement.size());
    out += replacement.size();
  } else {
    *out++ = delimiters::kEscape;
    std::memcpy(out, name.data(), name.size());
    out += name.size();
  }
  if (name_end == n) return n;  // unterminated: the text ended inside the name
  if (text[name_end] == delimiters::kEscape) return name_end + 1;
  decode_utf8_at(text, name_end, length);
  std::memcpy(out, text.data() + name_end, length);
  out += length;
  return name_end + length;
}

// Four bytes as one number, for comparing short names in one step: as
// loaded from memory, and as written in the source.
std::uint32_t load_four(const char* p) {
  std::uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}
constexpr std::uint32_t four(const char (&text)[5]) {
  std::uint32_t word = 0;
  for (int k = 3; k >= 0; --k) {
    const int at = std::endian::native == std::endian::little ? k : 3 - k;
    word = (word << 8) | static_cast<unsigned char>(text[at]);
  }
  return word;
}

}  // namespace

char* Hl7EscapeHandler::unescape_to(std::string_view text, char* out) const {
  const char e = delimiters::kEscape;
  const std::size_t n = text.size();
  const char* const p = text.data();
  constexpr std::uint32_t x0a = four("X0A\\"), x0d = four("X0D\\"), x20 = four("X20\\"),
                          x09 = four("X09\\"), x0d0a = four("X0D0");
  const bool blocks = scan::active_level() != scan::Level::Scalar;
  std::size_t i = 0;
  for (;;) {
    // Sequences often follow one another: no search when one does.
    if (i == n || p[i] != e) i = copy_to_escape(text, i, out, blocks);
    if (i == n) return out;
    const std::size_t left = n - i;  // p[i] is an escape character
    if (left == 1) {                 // a trailing escape character stays as written
      *out++ = e;
      return out;
    }
    if (p[i + 1] == e) {  // doubled escape character
      *out++ = e;
      i += 2;
      continue;
    }
    // The names a text mostly holds, decided without the general rule: a
    // one-letter name closed at once (its letter is then one ASCII byte), or
    // a hexadecimal one of the table.
    if (left >= 3 && p[i + 2] == e) {
      // A table rather than a switch: the letters come in no order a jump
      // could predict.
      if (const char replacement = kSingleReplacements.of[static_cast<unsigned char>(p[i + 1])];
          replacement != 0) {
        *out++ = replacement;
        i += 3;
        continue;
      }
    } else if (left >= 5 && p[i + 1] == 'X') {
      const std::uint32_t name = load_four(p + i + 1);
      char replacement = 0;
      if (name == x20) {
        replacement = ' ';
      } else if (name == x0d) {
        replacement = '\r';
      } else if (name == x0a) {
        replacement = '\n';
      } else if (name == x09) {
        replacement = '\t';
      } else if (left >= 7 && name == x0d0a && p[i + 5] == 'A' && p[i + 6] == e) {
        *out++ = '\r';
        *out++ = '\n';
        i += 7;
        continue;
      }
      if (replacement != 0) {
        *out++ = replacement;
        i += 5;
        continue;
      }
    }
    i = decode_sequence(text, i, out);
  }
}

void Hl7EscapeHandler::unescape_into(std::string_view text, std::string& out) const {
  const std::size_t start = out.size();
  out.resize(start + text.size());
  const char* const end = unescape_to(text, out.data() + start);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

namespace {

// What escape_to() writes for each byte, eight bytes a row (the byte itself,
// or its sequence, then filler), and how many of them count: every byte is
// written by one fixed-size copy and no branch.
struct EscapeTable {
  char text[256][8] = {};
  unsigned char length[256] = {};
  constexpr EscapeTable() {
    for (int c = 0; c < 256; ++c) {
      const char* sequence = escape_sequence_for(static_cast<char>(c));
      if (sequence == nullptr) {
        text[c][0] = static_cast<char>(c);
        length[c] = 1;
        continue;
      }
      unsigned char n = 0;
      for (; sequence[n] != '\0'; ++n) text[c][n] = sequence[n];
      length[c] = n;
    }
  }
};
constexpr EscapeTable kEscapes;

}  // namespace

void Hl7EscapeHandler::escape_into(std::string_view text, std::string& out) const {
  const std::size_t i = scan::find_to_escape(text, 0);
  if (i == text.size()) {  // the usual case: one bulk copy
    out.append(text);
    return;
  }
  const std::size_t start = out.size();
  const std::size_t size = i + scan::escaped_size(text.substr(i));
  out.resize(start + size + kEscapeSlack);
  std::memcpy(out.data() + start, text.data(), i);
  escape_to(text.substr(i), out.data() + start + i);
  out.resize(start + size);
}

namespace {

#if BRENVOLT_ESCAPE_SSE2
// The bytes of the block at p that escape_to() writes as sequences, one bit
// each.
unsigned escaped_in_block(const unsigned char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const auto eq = [&](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
  const __m128i found = _mm_or_si128(
      _mm_or_si128(_mm_or_si128(eq(delimiters::kField), eq(delimiters::kComponent)),
                   _mm_or_si128(eq(delimiters::kRepetition), eq(delimiters::kSubcomponent))),
      _mm_or_si128(_mm_or_si128(eq(delimiters::kEscape), eq('\t')),
                   _mm_or_si128(eq('\n'), eq('\r'))));
  return static_cast<unsigned>(_mm_movemask_epi8(found));
}

void store_block(char* to, const unsigned char* from) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
}
#endif

// Escapes p[i..) byte by byte, each through its table row without a branch,
// in stretches, while each stretch holds a byte that needs a sequence (where
// one does others are often near); returns where it stopped: at n, or after
// a stretch without one.
std::size_t escape_stretches(const unsigned char* p, std::size_t i, std::size_t n, char*& out) {
  char* to = out;
  unsigned char longest = 2;
  while (longest > 1 && i < n) {
    const std::size_t end = i + kDenseStretch < n ? i + kDenseStretch : n;
    longest = 1;
    for (; i < end; ++i) {
      std::memcpy(to, kEscapes.text[p[i]], 8);
      to += kEscapes.length[p[i]];
      longest = kEscapes.length[p[i]] > longest ? kEscapes.length[p[i]] : longest;
    }
  }
  out = to;
  return i;
}

#if BRENVOLT_ESCAPE_SSE2
// Escapes the block at p + i, of which the bytes up to `end` count, at `to`;
// returns the end of what counts. 32 bytes from p + i must be readable. The
// block is stored whole; where it holds bytes to escape, the text after each
// is stored again from there, right after the byte's sequence, so a sequence
// costs a few instructions and the bytes between them none each. A store
// runs at most 16 bytes past what counts: within kEscapeSlack. A block with
// more than kDenseBlock sequences ends byte by byte, and `dense` is set.
constexpr int kDenseBlock = 4;

char* escape_block(const unsigned char* p, std::size_t i, std::size_t end, char* to, bool& dense) {
  unsigned found = escaped_in_block(p + i);
  std::size_t from = i;
  for (int count = 0; found != 0; ++count) {
    if (count == kDenseBlock) {
      dense = true;
      escape_stretches(p + from, 0, end - from, to);
      return to;
    }
    const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(found));
    store_block(to, p + from);
    to += at - from;
    std::memcpy(to, kEscapes.text[p[at]], 8);
    to += kEscapes.length[p[at]];
    from = at + 1;
    found &= found - 1;
  }
  store_block(to, p + from);
  return to + (end - from);
}
#endif

}  // namespace

char* Hl7EscapeHandler::escape_to(std::string_view text, char* to) const {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
#if BRENVOLT_ESCAPE_SSE2
  // A short text goes byte by byte (below), without the copy of its end.
  if (n >= scan::detail::kShortText && scan::active_level() != scan::Level::Scalar) {
    while (i + 32 <= n) {
      bool dense = false;
      to = escape_block(p, i, i + 16, to, dense);
      i += 16;
      // Mostly sequences: byte by byte until a stretch without one.
      if (dense) i = escape_stretches(p, i, n, to);
    }
    // The last bytes, fewer than two blocks, from a copy that can be read
    // past them: the zeros after them need no sequence.
    unsigned char last[48] = {};
    const std::size_t rest = n - i;
    std::memcpy(last, p + i, rest);
    for (std::size_t j = 0; j < rest; j += 16) {
      bool dense = false;
      to = escape_block(last, j, j + 16 < rest ? j + 16 : rest, to, dense);
    }
    return to;
  }
#endif
  while (i < n) {
    i = escape_stretches(p, i, n, to);
    // After a stretch without a sequence, the rest of the run is found many
    // bytes at a time and copied in bulk.
    const std::size_t next = scan::find_to_escape(text, i);
    std::memcpy(to, p + i, next - i);
    to += next - i;
    i = next;
  }
  return to;
}

Hl7EscapeHandler create_default_escape_handler() { return Hl7EscapeHandler{}; }

}  // namespace brenvolt
