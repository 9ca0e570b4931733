// Escape sequences: decoding and encoding of field text.
//
// Input: field text. Properties:
// - decoding the encoded text gives the text back;
// - encoding leaves no delimiter, tab or line end in the clear, and writes
//   every space as itself;
// - decoding never lengthens a text (the line parser reserves one line's
//   size for all its decoded values and keeps views into that buffer);
// - both append to what `out` holds, leaving it in front;
// - escape_to() writes every byte's sequence, or the byte, in order, and no
//   further than the escaped size and kEscapeSlack bytes (a buffer of exactly
//   that size, which AddressSanitizer guards);
// - decoding agrees with the plain model in reference_model.h;
// - every scanning level this processor runs (scan.h) finds the same bytes
//   and counts the same escaped size as the plain loop, from every start;
// - at every level, the text and its decoding measure and widen (utf8.h) to
//   what the plain loops give, into units of exactly the measured count, and
//   encode back to the same bytes.

#include <algorithm>
#include <memory>
#include <vector>

#include "core/scan.h"
#include "core/utf8.h"
#include "fuzz_common.h"
#include "reference_model.h"

using namespace brenvolt;

namespace {

template <class Unit>
std::vector<Unit> widened(std::string_view text, std::size_t characters, scan::Level level) {
  std::vector<Unit> units(characters);  // exactly: a write past the end is a finding
  utf8::widen(text, characters, units.data(), level);
  return units;
}

template <class Unit>
void check_units(std::string_view text, std::size_t characters, scan::Level level) {
  const std::vector<Unit> units = widened<Unit>(text, characters, level);
  FUZZ_CHECK(units == widened<Unit>(text, characters, scan::Level::Scalar));
  FUZZ_CHECK(utf8::encoded_size(units.data(), units.size(), level) == text.size());
  std::string back(text.size(), '\0');
  utf8::encode(units.data(), units.size(), back.data(), level);
  FUZZ_CHECK(back == text);
}

void check_utf8(std::string_view text, scan::Level level) {
  const utf8::Measure expected = utf8::measure(text, scan::Level::Scalar);
  const utf8::Measure got = utf8::measure(text, level);
  FUZZ_CHECK(got.characters == expected.characters && got.max_bound == expected.max_bound);
  if (got.max_bound <= 0xFF) check_units<std::uint8_t>(text, got.characters, level);
  if (got.max_bound <= 0xFFFF) check_units<std::uint16_t>(text, got.characters, level);
  check_units<std::uint32_t>(text, got.characters, level);
}

// Each byte's sequence, or the byte: the plain rule, one byte at a time.
std::string escaped_byte_by_byte(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '|':
        out += "\\F\\";
        break;
      case '^':
        out += "\\S\\";
        break;
      case '~':
        out += "\\R\\";
        break;
      case '&':
        out += "\\T\\";
        break;
      case '\\':
        out += "\\E\\";
        break;
      case '\t':
        out += "\\X09\\";
        break;
      case '\n':
        out += "\\X0A\\";
        break;
      case '\r':
        out += "\\X0D\\";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  if (!is_valid_utf8(text)) return -1;
  const Hl7EscapeHandler handler = create_default_escape_handler();

  const std::string escaped = fuzz::escaped(handler, text);
  FUZZ_CHECK(fuzz::unescaped(handler, escaped) == text);
  FUZZ_CHECK(escaped.find_first_of("|^~&\t\n\r") == std::string::npos);
  FUZZ_CHECK(std::count(escaped.begin(), escaped.end(), ' ') ==
             std::count(text.begin(), text.end(), ' '));
  FUZZ_CHECK(is_valid_utf8(escaped));
  FUZZ_CHECK(escaped == escaped_byte_by_byte(text));
  const auto room = std::make_unique<char[]>(escaped.size() + kEscapeSlack);
  const char* const end = handler.escape_to(text, room.get());
  FUZZ_CHECK(std::string_view(room.get(), static_cast<std::size_t>(end - room.get())) == escaped);

  const std::string decoded = fuzz::unescaped(handler, text);
  FUZZ_CHECK(decoded == fuzz::model::unescape(text));
  FUZZ_CHECK(decoded.size() <= text.size());
  FUZZ_CHECK(is_valid_utf8(decoded));

  std::string appended = "prefix";
  handler.unescape_into(text, appended);
  FUZZ_CHECK(appended == "prefix" + decoded);
  appended = "prefix";
  handler.escape_into(text, appended);
  FUZZ_CHECK(appended == "prefix" + escaped);

  scan::Level levels[4];
  const std::size_t count = scan::available_levels(levels);
  FUZZ_CHECK(scan::escaped_size(text, scan::Level::Scalar) == escaped.size());
  for (std::size_t l = 0; l < count; ++l) {
    check_utf8(text, levels[l]);
    check_utf8(decoded, levels[l]);
  }
  for (std::size_t from = 0; from <= text.size(); ++from) {
    const std::size_t expected = scan::find_to_escape(text, from, scan::Level::Scalar);
    FUZZ_CHECK(scan::find_to_escape(text, from) == expected);
    for (std::size_t l = 1; l < count; ++l) {
      FUZZ_CHECK(scan::find_to_escape(text, from, levels[l]) == expected);
      if (from == 0) FUZZ_CHECK(scan::escaped_size(text, levels[l]) == escaped.size());
    }
  }
  return 0;
}
