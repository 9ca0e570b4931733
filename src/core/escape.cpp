#include "escape.h"

#include <cstring>

#include "scan.h"
#include "text.h"

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
    case ' ':
      return "\\X20\\";
    default:
      return nullptr;
  }
}

// Bytes escaped one by one after each byte that needs a sequence.
constexpr std::size_t kDenseStretch = 32;

}  // namespace

void Hl7EscapeHandler::unescape_into(std::string_view text, std::string& out) const {
  const char e = delimiters::kEscape;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const void* hit = std::memchr(text.data() + i, e, n - i);
    if (hit == nullptr) {
      out.append(text.data() + i, n - i);
      return;
    }
    const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    out.append(text.data() + i, at - i);
    if (at + 1 == n) {  // a trailing escape character stays as written
      out.push_back(e);
      return;
    }
    if (text[at + 1] == e) {  // doubled escape character
      out.push_back(e);
      i = at + 2;
      continue;
    }
    // The name is the character after the escape character, whatever it is,
    // then every following alphanumeric character.
    std::size_t length = 0;
    decode_utf8_at(text, at + 1, length);
    std::size_t name_end = at + 1 + length;
    while (name_end < n) {
      const char32_t c = decode_utf8_at(text, name_end, length);
      if (!is_alphanumeric(c)) break;
      name_end += length;
    }
    const std::string_view name = text.substr(at + 1, name_end - (at + 1));
    if (const std::string_view replacement = sequence_replacement(name); !replacement.empty()) {
      out.append(replacement);
    } else {
      out.push_back(e);
      out.append(name);
    }
    i = name_end;
    if (i == n) return;  // unterminated: the text ended inside the name
    // The first non-alphanumeric character terminates the name. A closing
    // escape character is consumed; any other terminator is kept.
    if (text[i] == e) {
      ++i;
    } else {
      decode_utf8_at(text, i, length);
      out.append(text.data() + i, length);
      i += length;
    }
  }
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

char* Hl7EscapeHandler::escape_to(std::string_view text, char* to) const {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // A stretch byte by byte, each through its table row, without branches:
    // where one byte needs a sequence others are often near (a narrative has
    // one at every space).
    const std::size_t end = i + kDenseStretch < n ? i + kDenseStretch : n;
    unsigned char longest = 1;
    for (; i < end; ++i) {
      std::memcpy(to, kEscapes.text[p[i]], 8);
      to += kEscapes.length[p[i]];
      longest = kEscapes.length[p[i]] > longest ? kEscapes.length[p[i]] : longest;
    }
    if (longest > 1 || i == n) continue;
    // A stretch without a sequence: the rest of the run is found many bytes
    // at a time and copied in bulk.
    const std::size_t next = scan::find_to_escape(text, i);
    std::memcpy(to, p + i, next - i);
    to += next - i;
    i = next;
  }
  return to;
}

Hl7EscapeHandler create_default_escape_handler() { return Hl7EscapeHandler{}; }

}  // namespace brenvolt
