// Escape sequences: decoding and encoding of field text.
//
// Input: field text. Properties:
// - decoding the encoded text gives the text back;
// - encoding leaves no delimiter, tab, line end or space in the clear;
// - decoding never lengthens a text (the line parser reserves one line's
//   size for all its decoded values and keeps views into that buffer);
// - both append to what `out` holds, leaving it in front;
// - every scanning level this processor runs (scan.h) finds the same bytes
//   and counts the same escaped size as the plain loop, from every start.

#include "core/scan.h"
#include "fuzz_common.h"

using namespace brenvolt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  if (!is_valid_utf8(text)) return -1;
  const Hl7EscapeHandler handler = create_default_escape_handler();

  const std::string escaped = fuzz::escaped(handler, text);
  FUZZ_CHECK(fuzz::unescaped(handler, escaped) == text);
  FUZZ_CHECK(escaped.find_first_of("|^~&\t\n\r ") == std::string::npos);
  FUZZ_CHECK(is_valid_utf8(escaped));

  const std::string decoded = fuzz::unescaped(handler, text);
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
