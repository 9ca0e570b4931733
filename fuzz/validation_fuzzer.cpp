// Message validation.
//
// Input: message text, normalised as Hl7Json normalises it. Properties:
// - every failure is one of the validator's own kinds, with a message;
// - the rules only add up: a message that passes in strict mode with the
//   required-field rule passes with either switched off, and one that passes
//   with either on passes with both off.

#include "fuzz_common.h"
#include "validation.h"

using namespace brenvolt;

namespace {

bool is_validator_kind(Hl7ErrorKind kind) {
  switch (kind) {
    case Hl7ErrorKind::ValidationError:
    case Hl7ErrorKind::ValidationFailed:
    case Hl7ErrorKind::FieldTooLong:
    case Hl7ErrorKind::ComponentTooLong:
    case Hl7ErrorKind::MissingSegment:
    case Hl7ErrorKind::InvalidSegmentName:
    case Hl7ErrorKind::InvalidFieldSeparators:
    case Hl7ErrorKind::UnsupportedVersion:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::as_text(data, size);
  if (!is_valid_utf8(input)) return -1;
  const std::string text = replace_eof(std::string(input));

  bool passed[2][2] = {};
  for (int strict = 0; strict < 2; ++strict) {
    for (int required = 0; required < 2; ++required) {
      const Status status = validate_message_text(text, Hl7Validator{strict == 1, required == 1});
      passed[strict][required] = static_cast<bool>(status);
      if (!status) {
        FUZZ_CHECK(is_validator_kind(status.error().kind()));
        FUZZ_CHECK(!status.error().message().empty());
      }
    }
  }
  if (passed[1][1]) FUZZ_CHECK(passed[0][1] && passed[1][0] && passed[0][0]);
  if (passed[0][1] || passed[1][0]) FUZZ_CHECK(passed[0][0]);
  return 0;
}
