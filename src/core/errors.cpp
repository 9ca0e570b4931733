#include "errors.h"

#include <cstring>

namespace brenvolt {
namespace {

using std::to_string;

// strerror_r comes in two forms: the XSI one returns 0 and fills the buffer
// (musl, macOS, glibc without _GNU_SOURCE), the GNU one returns the text,
// which may be a static string rather than the buffer. Overloading on the
// return type picks whichever the C library declares.
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* strerror_text(const char* result, const char*) { return result; }

std::string place_text(std::optional<TextPlace> place) {
  if (!place) return {};
  return " (line " + to_string(place->line) + ", column " + to_string(place->column) + ")";
}

const char* json_type_name(JsonValueType type) {
  switch (type) {
    case JsonValueType::Array:
      return "an array";
    case JsonValueType::Object:
      return "an object";
    case JsonValueType::Number:
      return "a number";
    case JsonValueType::String:
      return "a string";
    case JsonValueType::Boolean:
      return "a boolean";
    case JsonValueType::Null:
      return "null";
  }
  return "a value";
}

std::string invalid_json(std::string_view detail, std::optional<TextPlace> place) {
  std::string text = "Invalid JSON: ";
  text += detail;
  text += place_text(place);
  return text;
}

std::string expected_found(std::string_view expected, std::string_view found) {
  std::string text = "expected ";
  text += expected;
  text += ", found ";
  text += found;
  return text;
}

}  // namespace

Hl7Error Hl7Error::os_error(int error_number) {
  char buffer[256] = {};
  const char* text = strerror_text(strerror_r(error_number, buffer, sizeof buffer), buffer);
  return {Hl7ErrorKind::IoError, std::string(text) + " (os error " + to_string(error_number) + ")"};
}
Hl7Error Hl7Error::nul_in_path() {
  return {Hl7ErrorKind::IoError, "file name contained an unexpected NUL byte"};
}
Hl7Error Hl7Error::not_utf8() {
  return {Hl7ErrorKind::IoError, "stream did not contain valid UTF-8"};
}

Hl7Error Hl7Error::empty_message() { return {Hl7ErrorKind::EmptyMessage, {}}; }

Hl7Error Hl7Error::json_syntax(std::string_view parser_message, std::optional<TextPlace> place) {
  return {Hl7ErrorKind::InvalidFormat, invalid_json(parser_message, place)};
}
Hl7Error Hl7Error::json_byte_order_mark() {
  return {
      Hl7ErrorKind::InvalidFormat,
      invalid_json(expected_found("a JSON value", "a byte order mark (U+FEFF)"), TextPlace{1, 1})};
}
Hl7Error Hl7Error::json_not_an_array(JsonValueType found, TextPlace place) {
  return {Hl7ErrorKind::InvalidFormat,
          invalid_json(expected_found("an array of records", json_type_name(found)), place)};
}
Hl7Error Hl7Error::json_record_not_an_object(std::size_t record, JsonValueType found,
                                             TextPlace place) {
  return {Hl7ErrorKind::InvalidFormat,
          invalid_json("record " + to_string(record) + ": " +
                           expected_found("an object", json_type_name(found)),
                       place)};
}
Hl7Error Hl7Error::json_value_not_a_string(std::size_t record, std::string_view member,
                                           JsonValueType found, TextPlace place) {
  std::string detail = "record " + to_string(record) + ", member '";
  detail += member;
  detail += "': ";
  detail += expected_found("a string", json_type_name(found));
  return {Hl7ErrorKind::InvalidFormat, invalid_json(detail, place)};
}

Hl7Error Hl7Error::no_segments() {
  return {Hl7ErrorKind::ValidationError, "Message contains no segments"};
}
Hl7Error Hl7Error::missing_header() {
  return {Hl7ErrorKind::MissingSegment, "MSH (Message Header)"};
}
Hl7Error Hl7Error::header_too_short(std::size_t minimum_fields) {
  return {Hl7ErrorKind::ValidationFailed,
          "MSH segment must have at least " + to_string(minimum_fields) + " fields"};
}
Hl7Error Hl7Error::invalid_field_separators(std::string_view value) {
  return {Hl7ErrorKind::InvalidFieldSeparators,
          std::string(value) + " (must be exactly 4 characters)"};
}
Hl7Error Hl7Error::unsupported_version(std::string_view version,
                                       std::span<const std::string_view> supported) {
  std::string detail(version);
  detail += " (supported versions: ";
  for (std::size_t i = 0; i < supported.size(); ++i) {
    if (i > 0) detail += ", ";
    detail += supported[i];
  }
  detail += ")";
  return {Hl7ErrorKind::UnsupportedVersion, std::move(detail)};
}
Hl7Error Hl7Error::message_type_incomplete(std::size_t minimum_components) {
  // The pieces MSH-9 has from the first version that asks for that many.
  const char* pieces = minimum_components < 3 ? "type^trigger" : "event^structure^version";
  return {Hl7ErrorKind::ValidationFailed, "Message type (field 8) must have at least " +
                                              to_string(minimum_components) +
                                              " components: " + pieces};
}
Hl7Error Hl7Error::missing_patient_identification() {
  return {Hl7ErrorKind::MissingSegment, "PID (Patient Identification)"};
}
Hl7Error Hl7Error::empty_segment_name(std::size_t segment) {
  return {Hl7ErrorKind::ValidationFailed,
          "Segment " + to_string(segment) + " has empty segment name"};
}
Hl7Error Hl7Error::invalid_segment_name(std::string_view name) {
  return {Hl7ErrorKind::InvalidSegmentName,
          std::string(name) + " (must be exactly 3 alphabetic characters)"};
}
Hl7Error Hl7Error::field_too_long(std::size_t actual, std::size_t maximum) {
  return {Hl7ErrorKind::FieldTooLong,
          to_string(actual) + " > " + to_string(maximum) + " characters"};
}

Hl7Error Hl7Error::line_too_long(std::size_t record, std::string_view key, std::uint64_t limit) {
  std::string detail = "record " + to_string(record) + ": key '";
  detail += key;
  detail +=
      "' names a position beyond the limit of " + to_string(limit) + " delimiters per segment line";
  return {Hl7ErrorKind::EncodingError, std::move(detail)};
}

Hl7Error Hl7Error::too_many_gaps(std::size_t record, std::string_view key, std::uint64_t limit) {
  std::string detail = "record " + to_string(record) + ": key '";
  detail += key;
  detail += "' brings the delimiters written for positions that no key names to more than " +
            to_string(limit) + " in the message";
  return {Hl7ErrorKind::EncodingError, std::move(detail)};
}

std::string Hl7Error::message() const {
  const char* prefix = "";
  switch (kind_) {
    case Hl7ErrorKind::IoError:
      prefix = "I/O error: ";
      break;
    case Hl7ErrorKind::InvalidFormat:
      prefix = "HL7 invalid format: ";
      break;
    case Hl7ErrorKind::EmptyMessage:
      prefix = "HL7 message is empty";
      break;
    case Hl7ErrorKind::ValidationError:
      prefix = "HL7 validation error: ";
      break;
    case Hl7ErrorKind::ValidationFailed:
      prefix = "HL7 validation failed: ";
      break;
    case Hl7ErrorKind::FieldTooLong:
      prefix = "Field value exceeds maximum length: ";
      break;
    case Hl7ErrorKind::MissingSegment:
      prefix = "Missing required segment: ";
      break;
    case Hl7ErrorKind::InvalidSegmentName:
      prefix = "Invalid segment name: ";
      break;
    case Hl7ErrorKind::InvalidFieldSeparators:
      prefix = "Invalid field separators: ";
      break;
    case Hl7ErrorKind::UnsupportedVersion:
      prefix = "HL7 version not supported: ";
      break;
    case Hl7ErrorKind::EncodingError:
      prefix = "HL7 encoding error: ";
      break;
  }
  return prefix + detail_;
}

}  // namespace brenvolt
