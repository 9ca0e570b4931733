// Hl7Validator: the structural rules a message must pass, first failure wins.
#pragma once

#include <string_view>
#include <vector>

#include "errors.h"
#include "segments.h"

namespace brenvolt {

// Field positions below are those of Hl7Segment: for MSH, position n holds
// HL7 field MSH-(n+1), since MSH-1 (the field separator) stands in no
// position.
inline constexpr std::size_t kMinimumMshPositions = 11;         // MSH-2 .. MSH-12
inline constexpr std::size_t kEncodingCharactersPosition = 1;   // MSH-2
inline constexpr std::size_t kEncodingCharactersLength = 4;
inline constexpr std::size_t kMessageTypePosition = 8;          // MSH-9
inline constexpr std::size_t kMessageTypeMinimumComponents = 3;
inline constexpr std::size_t kVersionPosition = 11;             // MSH-12
inline constexpr std::size_t kMaximumTextLength = 65536;        // bytes; equal passes

struct Hl7Validator {
  bool strict_mode = false;               // adds the version and MSH-9 component rules
  bool validate_required_fields = false;  // adds the PID rule

  // Checks `segments` (parsed raw, without an escape handler) rule by rule:
  // segments present; MSH first; MSH-2 .. MSH-12 present; MSH-2 four bytes;
  // MSH-12 present (and, strict, a supported version); MSH-9 present (and,
  // strict, three components); a PID somewhere (when required); then every
  // segment's name and field and component lengths. Empty lines after the
  // last non-empty one (the final segment terminator) are not segments.
  // Returns the first broken rule's error.
  Status validate_message(const std::vector<Hl7Segment>& segments) const;
};

// Cuts a normalised message at every "\n", parses every line raw (the
// validator always sees undecoded text) and validates the segments.
Status validate_message_text(std::string_view text, const Hl7Validator& validator);

}  // namespace brenvolt
