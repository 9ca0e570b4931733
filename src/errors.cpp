#include "errors.h"

namespace brenvolt {

Hl7Error Hl7Error::io_error(std::string description) {
  return {Hl7ErrorKind::IoError, std::move(description)};
}
Hl7Error Hl7Error::invalid_format(std::string text) {
  return {Hl7ErrorKind::InvalidFormat, std::move(text)};
}
Hl7Error Hl7Error::empty_message() { return {Hl7ErrorKind::EmptyMessage, {}}; }
Hl7Error Hl7Error::invalid_segment(std::string text) {
  return {Hl7ErrorKind::InvalidSegment, std::move(text)};
}
Hl7Error Hl7Error::parse_error(std::size_t line, std::string message) {
  return {Hl7ErrorKind::ParseError, {}, std::move(message), line};
}
Hl7Error Hl7Error::validation_error(std::string text) {
  return {Hl7ErrorKind::ValidationError, std::move(text)};
}
Hl7Error Hl7Error::validation_failed(std::string text) {
  return {Hl7ErrorKind::ValidationFailed, std::move(text)};
}
Hl7Error Hl7Error::field_error(std::string segment, std::size_t field, std::string message) {
  return {Hl7ErrorKind::FieldError, std::move(segment), std::move(message), field};
}
Hl7Error Hl7Error::component_error(std::string segment, std::size_t field,
                                   std::size_t component, std::string message) {
  return {Hl7ErrorKind::ComponentError, std::move(segment), std::move(message), field,
          component};
}
Hl7Error Hl7Error::invalid_escape_sequence(std::string sequence, std::size_t position) {
  return {Hl7ErrorKind::InvalidEscapeSequence, std::move(sequence), {}, position};
}
Hl7Error Hl7Error::field_too_long(std::size_t actual, std::size_t maximum) {
  return {Hl7ErrorKind::FieldTooLong, {}, {}, actual, maximum};
}
Hl7Error Hl7Error::component_too_long(std::size_t actual, std::size_t maximum) {
  return {Hl7ErrorKind::ComponentTooLong, {}, {}, actual, maximum};
}
Hl7Error Hl7Error::missing_segment(std::string description) {
  return {Hl7ErrorKind::MissingSegment, std::move(description)};
}
Hl7Error Hl7Error::invalid_segment_name(std::string name) {
  return {Hl7ErrorKind::InvalidSegmentName, std::move(name)};
}
Hl7Error Hl7Error::invalid_field_separators(std::string value) {
  return {Hl7ErrorKind::InvalidFieldSeparators, std::move(value)};
}
Hl7Error Hl7Error::json_error(std::string parser_text) {
  return {Hl7ErrorKind::JsonError, std::move(parser_text)};
}
Hl7Error Hl7Error::unsupported_version(std::string version, std::string supported) {
  return {Hl7ErrorKind::UnsupportedVersion, std::move(version), std::move(supported)};
}
Hl7Error Hl7Error::encoding_error(std::string text) {
  return {Hl7ErrorKind::EncodingError, std::move(text)};
}
Hl7Error Hl7Error::configuration_error(std::string text) {
  return {Hl7ErrorKind::ConfigurationError, std::move(text)};
}

std::string Hl7Error::message() const {
  using std::to_string;
  switch (kind_) {
    case Hl7ErrorKind::IoError:
      return "I/O error: " + text_;
    case Hl7ErrorKind::InvalidFormat:
      return "HL7 invalid format: " + text_;
    case Hl7ErrorKind::EmptyMessage:
      return "HL7 message is empty";
    case Hl7ErrorKind::InvalidSegment:
      return "HL7 invalid segment: " + text_;
    case Hl7ErrorKind::ParseError:
      return "HL7 parsing error at line " + to_string(n1_) + ": " + extra_;
    case Hl7ErrorKind::ValidationError:
      return "HL7 validation error: " + text_;
    case Hl7ErrorKind::ValidationFailed:
      return "HL7 validation failed: " + text_;
    case Hl7ErrorKind::FieldError:
      return "HL7 field error in segment " + text_ + ", field " + to_string(n1_) + ": " + extra_;
    case Hl7ErrorKind::ComponentError:
      return "HL7 component error in segment " + text_ + ", field " + to_string(n1_) +
             ", component " + to_string(n2_) + ": " + extra_;
    case Hl7ErrorKind::InvalidEscapeSequence:
      return "Invalid escape sequence: " + text_ + " at position " + to_string(n1_);
    case Hl7ErrorKind::FieldTooLong:
      return "Field value exceeds maximum length: " + to_string(n1_) + " > " + to_string(n2_) +
             " characters";
    case Hl7ErrorKind::ComponentTooLong:
      return "Component value exceeds maximum length: " + to_string(n1_) + " > " +
             to_string(n2_) + " characters";
    case Hl7ErrorKind::MissingSegment:
      return "Missing required segment: " + text_;
    case Hl7ErrorKind::InvalidSegmentName:
      return "Invalid segment name: " + text_ + " (must be exactly 3 alphabetic characters)";
    case Hl7ErrorKind::InvalidFieldSeparators:
      return "Invalid field separators: " + text_ + " (must be exactly 4 characters)";
    case Hl7ErrorKind::JsonError:
      return "JSON parsing error: " + text_;
    case Hl7ErrorKind::UnsupportedVersion:
      return "HL7 version not supported: " + text_ + " (supported versions: " + extra_ + ")";
    case Hl7ErrorKind::EncodingError:
      return "HL7 encoding error: " + text_;
    case Hl7ErrorKind::ConfigurationError:
      return "Configuration error: " + text_;
  }
  return {};  // unreachable: every kind returns above
}

}  // namespace brenvolt
