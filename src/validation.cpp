#include "validation.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "utils.h"

namespace brenvolt {
namespace {

constexpr std::array<std::string_view, 10> kSupportedVersions = {
    "2.1", "2.2", "2.3", "2.4", "2.5", "2.5.1", "2.6", "2.7", "2.8", "2.9"};
constexpr std::string_view kSupportedVersionsText =
    "2.1, 2.2, 2.3, 2.4, 2.5, 2.5.1, 2.6, 2.7, 2.8, 2.9";

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// HL7 segment ids: a letter, then two letters or digits (PV1, NK1, ZP1).
bool is_segment_name(std::string_view name) {
  return name.size() == 3 && is_ascii_letter(name[0]) &&
         (is_ascii_letter(name[1]) || is_ascii_digit(name[1])) &&
         (is_ascii_letter(name[2]) || is_ascii_digit(name[2]));
}

bool is_empty_line(const Hl7Segment& segment) {
  return segment.name.empty() && segment.fields.empty();
}

std::size_t count_pieces(std::string_view text, char separator) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), separator)) + 1;
}

Status check_segment(const Hl7Segment& segment, std::size_t number) {
  if (segment.name.empty()) {
    return Hl7Error::validation_failed("Segment " + std::to_string(number) +
                                       " has empty segment name");
  }
  if (!is_segment_name(segment.name)) return Hl7Error::invalid_segment_name(segment.name);
  for (const Hl7Field& field : segment.fields) {
    if (field.value.size() > kMaximumTextLength) {
      return Hl7Error::field_too_long(field.value.size(), kMaximumTextLength);
    }
    if (!field.components) continue;
    for (const std::string& component : *field.components) {
      if (component.size() > kMaximumTextLength) {
        return Hl7Error::component_too_long(component.size(), kMaximumTextLength);
      }
    }
  }
  return Ok{};
}

}  // namespace

Status Hl7Validator::validate_message(const std::vector<Hl7Segment>& segments) const {
  if (segments.empty()) return Hl7Error::validation_error("Message contains no segments");

  // HL7 ends every segment, the last included, with a terminator, so a text
  // ends in empty lines; they are not segments. A text of nothing but empty
  // lines keeps them, and fails for want of an MSH.
  std::size_t count = segments.size();
  while (count > 0 && is_empty_line(segments[count - 1])) --count;
  if (count == 0) count = segments.size();

  const Hl7Segment& msh = segments.front();
  if (msh.name != "MSH") return Hl7Error::missing_segment("MSH (Message Header)");
  if (msh.fields.size() < kMinimumMshPositions) {
    return Hl7Error::validation_failed("MSH segment must have at least 12 fields");
  }
  const Hl7Field* encoding = msh.field(kEncodingCharactersPosition);
  if (encoding == nullptr) {
    return Hl7Error::validation_failed("Field separators (field 1) are required");
  }
  if (encoding->value.size() != kEncodingCharactersLength) {
    return Hl7Error::invalid_field_separators(encoding->value);
  }
  const Hl7Field* version = msh.field(kVersionPosition);
  if (version == nullptr) return Hl7Error::validation_failed("HL7 version (field 12) is required");
  if (strict_mode && std::find(kSupportedVersions.begin(), kSupportedVersions.end(),
                               version->value) == kSupportedVersions.end()) {
    return Hl7Error::unsupported_version(version->value, std::string(kSupportedVersionsText));
  }
  const Hl7Field* message_type = msh.field(kMessageTypePosition);
  if (message_type == nullptr) {
    return Hl7Error::validation_failed("Message type (field 8) is required");
  }
  if (strict_mode && count_pieces(message_type->value, '^') < kMessageTypeMinimumComponents) {
    return Hl7Error::validation_failed(
        "Message type (field 8) must have at least 3 components: event^structure^version");
  }
  if (validate_required_fields &&
      std::none_of(segments.begin(), segments.begin() + static_cast<std::ptrdiff_t>(count),
                   [](const Hl7Segment& s) { return s.name == "PID"; })) {
    return Hl7Error::missing_segment("PID (Patient Identification)");
  }
  for (std::size_t i = 0; i < count; ++i) {
    Status checked = check_segment(segments[i], i + 1);
    if (!checked) return checked;
  }
  return Ok{};
}

Status validate_message_text(std::string_view text, const Hl7Validator& validator) {
  std::vector<Hl7Segment> segments;
  for_each_line(text, [&](std::string_view line) {
    segments.push_back(Hl7Segment::from_string(line, nullptr));
  });
  return validator.validate_message(segments);
}

}  // namespace brenvolt
