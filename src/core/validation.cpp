#include "validation.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "text.h"

namespace brenvolt {
namespace {

// HL7 v2's versions, in the order they came.
constexpr std::array<std::string_view, 14> kSupportedVersions = {
    "2.1", "2.2", "2.3",   "2.3.1", "2.4",   "2.5",   "2.5.1",
    "2.6", "2.7", "2.7.1", "2.8",   "2.8.1", "2.8.2", "2.9"};
// Versions whose MSH-9 has two components: the message structure came in
// with 2.3.1.
constexpr std::array<std::string_view, 3> kTwoComponentMessageTypeVersions = {"2.1", "2.2", "2.3"};
constexpr std::string_view kHeaderName = "MSH";
constexpr std::string_view kPatientIdentificationName = "PID";

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// HL7 segment ids: a letter, then two letters or digits (PV1, NK1, ZP1).
bool is_segment_name(std::string_view name) {
  return name.size() == 3 && is_ascii_letter(name[0]) &&
         (is_ascii_letter(name[1]) || is_ascii_digit(name[1])) &&
         (is_ascii_letter(name[2]) || is_ascii_digit(name[2]));
}

bool is_empty_line(const Hl7SegmentParser& line) {
  return line.name().empty() && line.field_count() == 0;
}

std::size_t count_pieces(std::string_view text, char separator) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), separator)) + 1;
}

// The rules for every segment: a valid name, no field too long.
Status check_segment(const Hl7SegmentParser& line, std::size_t number) {
  if (line.name().empty()) return Hl7Error::empty_segment_name(number);
  if (!is_segment_name(line.name())) return Hl7Error::invalid_segment_name(line.name());
  for (std::size_t position = 1; position <= line.field_count(); ++position) {
    const std::size_t size = line.raw_field(position).size();
    if (size > kMaximumTextLength) return Hl7Error::field_too_long(size, kMaximumTextLength);
  }
  return Ok{};
}

}  // namespace

Status Hl7MessageCheck::check_header(const Hl7SegmentParser& line) const {
  if (line.name() != kHeaderName) return Hl7Error::missing_header();
  // The count of HL7 fields: MSH-1 stands in no position.
  if (line.field_count() < kMinimumMshPositions) {
    return Hl7Error::header_too_short(kMinimumMshPositions + 1);
  }
  const std::string_view encoding = line.raw_field(kEncodingCharactersPosition);
  if (encoding.size() != kEncodingCharactersLength) {
    return Hl7Error::invalid_field_separators(encoding);
  }
  if (!rules_.strict_mode) return Ok{};
  // MSH-12 is a VID: the version id is its first component, and the
  // internationalisation code and version that may follow it do not count.
  const std::string_view version = line.raw_field(kVersionPosition);
  const std::string_view version_id = version.substr(0, version.find(delimiters::kComponent));
  const auto is = [&](std::string_view known) { return known == version_id; };
  if (std::none_of(kSupportedVersions.begin(), kSupportedVersions.end(), is)) {
    return Hl7Error::unsupported_version(version, kSupportedVersions);
  }
  const std::size_t minimum_components = std::any_of(kTwoComponentMessageTypeVersions.begin(),
                                                     kTwoComponentMessageTypeVersions.end(), is)
                                             ? kMessageTypeMinimumComponentsBefore231
                                             : kMessageTypeMinimumComponents;
  if (count_pieces(line.raw_field(kMessageTypePosition), delimiters::kComponent) <
      minimum_components) {
    return Hl7Error::message_type_incomplete(minimum_components);
  }
  return Ok{};
}

Status Hl7MessageCheck::add_line(const Hl7SegmentParser& line) {
  const std::size_t number = ++lines_;
  if (number == 1) {
    Status header = check_header(line);
    if (!header) return header;
  }
  if (is_empty_line(line)) {
    // A segment only if text follows it.
    if (pending_empty_line_ == 0) pending_empty_line_ = number;
    return Ok{};
  }
  if (!first_segment_error_) {
    if (pending_empty_line_ != 0) {
      first_segment_error_ = Hl7Error::empty_segment_name(pending_empty_line_);
    } else if (Status checked = check_segment(line, number); !checked) {
      first_segment_error_ = std::move(checked).error();
    }
  }
  pending_empty_line_ = 0;
  if (line.name() == kPatientIdentificationName) patient_identification_seen_ = true;
  // The PID rule comes before the segment rules: a segment's failure is
  // certain once the PID rule is off or already met.
  if (first_segment_error_ && (!rules_.validate_required_fields || patient_identification_seen_)) {
    return *first_segment_error_;
  }
  return Ok{};
}

Status Hl7MessageCheck::finish() {
  if (lines_ == 0) return Hl7Error::no_segments();
  if (rules_.validate_required_fields && !patient_identification_seen_) {
    return Hl7Error::missing_patient_identification();
  }
  if (first_segment_error_) return *first_segment_error_;
  return Ok{};
}

Status validate_message_text(std::string_view text, const Hl7Validator& validator) {
  Hl7MessageCheck check(validator);
  Hl7SegmentParser parser;
  bool failed = false;
  Status status = Ok{};
  for_each_line(text, [&](std::string_view line) {
    if (failed) return;
    parser.parse(line, nullptr);
    status = check.add_line(parser);
    failed = !status;
  });
  if (failed) return status;
  return check.finish();
}

}  // namespace brenvolt
