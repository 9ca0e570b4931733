// Hl7Validator: the structural rules a message must pass, first failure wins,
// checked line by line on the parse that conversion makes (segment_parser.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "errors.h"
#include "segment_parser.h"

namespace brenvolt {

// Field positions below are those of Hl7SegmentParser: for MSH, position n
// holds HL7 field MSH-(n+1), since MSH-1 (the field separator) stands in no
// position.
inline constexpr std::size_t kMinimumMshPositions = 11;        // MSH-2 .. MSH-12
inline constexpr std::size_t kEncodingCharactersPosition = 1;  // MSH-2
inline constexpr std::size_t kEncodingCharactersLength = 4;
inline constexpr std::size_t kMessageTypePosition = 8;  // MSH-9
inline constexpr std::size_t kMessageTypeMinimumComponents = 3;
inline constexpr std::size_t kMessageTypeMinimumComponentsBefore231 = 2;  // versions 2.1 to 2.3
inline constexpr std::size_t kVersionPosition = 11;                       // MSH-12
inline constexpr std::size_t kMaximumTextLength = 65536;                  // bytes; equal passes

struct Hl7Validator {
  bool strict_mode = false;               // adds the version and MSH-9 component rules
  bool validate_required_fields = false;  // adds the PID rule
};

// One validation of one message, fed its lines in order. The rules, in the
// order that decides which failure is reported: lines present; MSH first,
// with MSH-2 .. MSH-12 present, MSH-2 four bytes, and (strict) a supported
// version id in MSH-12 and three components in MSH-9 (two for versions 2.1
// to 2.3); a PID somewhere (when
// required); then every segment in turn: a name, and a valid one, and no
// field longer than kMaximumTextLength bytes. Empty lines after the last
// non-empty one (the final segment terminator) are not segments. All texts
// are read raw, as the message writes them, whether or not the parse decoded
// its values. A component is a piece of its field's raw text, so no rule of
// its own can catch a component the field rule has let pass.
class Hl7MessageCheck {
 public:
  explicit Hl7MessageCheck(const Hl7Validator& rules) : rules_(rules) {}

  // The next line, as `line` last parsed it. Fails as soon as the first
  // broken rule is certain; once it has failed, call no more.
  Status add_line(const Hl7SegmentParser& line);

  // After the last line: the first broken rule, or Ok.
  Status finish();

 private:
  Status check_header(const Hl7SegmentParser& line) const;

  Hl7Validator rules_;
  std::size_t lines_ = 0;
  std::size_t pending_empty_line_ = 0;  // the first empty line not yet followed by text
  bool patient_identification_seen_ = false;
  std::optional<Hl7Error> first_segment_error_;
};

// Cuts a normalised message at every "\n", parses every line raw and checks
// it: the validation of a message without its conversion.
Status validate_message_text(std::string_view text, const Hl7Validator& validator);

}  // namespace brenvolt
