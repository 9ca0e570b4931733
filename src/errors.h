// Hl7Error: the one failure type of the HL7 core, and Result<T>, the value
// that fallible operations return. Plain C++: no interpreter types here.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace brenvolt {

// The closed set of failure kinds. Every kind has exactly one message form,
// written by Hl7Error::message(); the switch there has no default case so that
// -Wswitch reports a kind without text.
enum class Hl7ErrorKind : std::uint8_t {
  IoError,
  InvalidFormat,
  EmptyMessage,
  InvalidSegment,
  ParseError,
  ValidationError,
  ValidationFailed,
  FieldError,
  ComponentError,
  InvalidEscapeSequence,
  FieldTooLong,
  ComponentTooLong,
  MissingSegment,
  InvalidSegmentName,
  InvalidFieldSeparators,
  JsonError,
  UnsupportedVersion,
  EncodingError,
  ConfigurationError,
};

// One failure with its payload. Texts are owned copies, never views into the
// input, so an error can outlive the buffer it was found in. Which payload
// members a kind uses is fixed by its static constructor.
class Hl7Error {
 public:
  // `description` is the read error's own text, e.g.
  // "No such file or directory (os error 2)".
  static Hl7Error io_error(std::string description);
  static Hl7Error invalid_format(std::string text);
  static Hl7Error empty_message();
  static Hl7Error invalid_segment(std::string text);
  static Hl7Error parse_error(std::size_t line, std::string message);
  static Hl7Error validation_error(std::string text);
  static Hl7Error validation_failed(std::string text);
  static Hl7Error field_error(std::string segment, std::size_t field, std::string message);
  static Hl7Error component_error(std::string segment, std::size_t field, std::size_t component,
                                  std::string message);
  static Hl7Error invalid_escape_sequence(std::string sequence, std::size_t position);
  static Hl7Error field_too_long(std::size_t actual, std::size_t maximum);
  static Hl7Error component_too_long(std::size_t actual, std::size_t maximum);
  static Hl7Error missing_segment(std::string description);
  static Hl7Error invalid_segment_name(std::string name);
  static Hl7Error invalid_field_separators(std::string value);
  static Hl7Error json_error(std::string parser_text);
  static Hl7Error unsupported_version(std::string version, std::string supported);
  static Hl7Error encoding_error(std::string text);
  static Hl7Error configuration_error(std::string text);

  Hl7ErrorKind kind() const { return kind_; }

  // The text the user sees, e.g. "HL7 message is empty". Cannot fail other
  // than by running out of memory.
  std::string message() const;

 private:
  Hl7Error(Hl7ErrorKind kind, std::string text, std::string extra = {}, std::size_t n1 = 0,
           std::size_t n2 = 0)
      : kind_(kind), text_(std::move(text)), extra_(std::move(extra)), n1_(n1), n2_(n2) {}

  Hl7ErrorKind kind_;
  std::string text_;   // main text payload (segment name for field/component errors)
  std::string extra_;  // second text payload (message, supported versions)
  std::size_t n1_;     // first number (line, field, position, actual length)
  std::size_t n2_;     // second number (component, maximum length)
};

// Holds either a T or an Hl7Error. No default constructor, so `return {};`
// cannot silently stand for a failure.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Hl7Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const { return state_.index() == 0; }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const T& value() const& { return std::get<0>(state_); }
  Hl7Error& error() & { return std::get<1>(state_); }
  Hl7Error&& error() && { return std::get<1>(std::move(state_)); }
  const Hl7Error& error() const& { return std::get<1>(state_); }

 private:
  std::variant<T, Hl7Error> state_;
};

// Success without a value.
struct Ok {};
using Status = Result<Ok>;

}  // namespace brenvolt
