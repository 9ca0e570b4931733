// Message validation.
//
// Input: message text, normalised as Hl7Json normalises it. Properties:
// - the line-by-line validator reports what the plain model in
//   reference_model.h reports over the whole message at once, in every mode;
// - it reports the same on the parse that conversion makes with escaping on
//   (validation reads raw texts only), as Hl7Json's validated conversion
//   feeds it;
// - every failure is one of the validator's own kinds, with a message;
// - the rules only add up: a message that passes in strict mode with the
//   required-field rule passes with either switched off, and one that passes
//   with either on passes with both off.

#include "core/validation.h"
#include "fuzz_common.h"
#include "reference_model.h"

using namespace brenvolt;

namespace {

bool is_validator_kind(Hl7ErrorKind kind) {
  switch (kind) {
    case Hl7ErrorKind::ValidationError:
    case Hl7ErrorKind::ValidationFailed:
    case Hl7ErrorKind::FieldTooLong:
    case Hl7ErrorKind::MissingSegment:
    case Hl7ErrorKind::InvalidSegmentName:
    case Hl7ErrorKind::InvalidFieldSeparators:
    case Hl7ErrorKind::UnsupportedVersion:
      return true;
    default:
      return false;
  }
}

// The validation as a validated conversion runs it: lines parsed with
// escape decoding, the check fed each parse, stopping at the first failure.
Status validate_decoded(std::string_view text, const Hl7Validator& validator) {
  const Hl7EscapeHandler handler = create_default_escape_handler();
  Hl7MessageCheck check(validator);
  Hl7SegmentParser parser;
  Status status = Ok{};
  bool failed = false;
  for_each_line(text, [&](std::string_view line) {
    if (failed) return;
    parser.parse(line, &handler);
    status = check.add_line(parser);
    failed = !status;
  });
  return failed ? status : check.finish();
}

std::optional<std::string> message_of(const Status& status) {
  if (status) return std::nullopt;
  return status.error().message();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::as_text(data, size);
  if (!is_valid_utf8(input)) return -1;
  const std::string text = replace_eof(std::string(input));

  bool passed[2][2] = {};
  for (int strict = 0; strict < 2; ++strict) {
    for (int required = 0; required < 2; ++required) {
      const Hl7Validator validator{strict == 1, required == 1};
      const Status status = validate_message_text(text, validator);
      passed[strict][required] = static_cast<bool>(status);
      FUZZ_CHECK(message_of(status) == fuzz::model::validate(text, strict == 1, required == 1));
      FUZZ_CHECK(message_of(validate_decoded(text, validator)) == message_of(status));
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
