// Hl7Error: the one failure type of the HL7 core, and Result<T>, the value
// that fallible operations return. Plain C++: no interpreter types here.
//
// Every text a user can read from the core is made in errors.cpp: each
// failure has a named constructor taking its facts as typed parameters, and
// message() puts the kind's one prefix before the detail that constructor
// wrote. Call sites never compose wording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace brenvolt {

// The closed set of failure kinds. Each kind has exactly one prefix, written
// by Hl7Error::message(); the switch there has no default case so that
// -Wswitch reports a kind without one.
enum class Hl7ErrorKind : std::uint8_t {
  IoError,
  InvalidFormat,
  EmptyMessage,
  ValidationError,
  ValidationFailed,
  FieldTooLong,
  MissingSegment,
  InvalidSegmentName,
  InvalidFieldSeparators,
  UnsupportedVersion,
  EncodingError,
};

// A place in a text as people count: lines from 1 at each line feed, columns
// from 1 in characters.
struct TextPlace {
  std::size_t line;
  std::size_t column;
};

// The JSON value types, as the JSON records parser names what it found.
enum class JsonValueType : std::uint8_t { Array, Object, Number, String, Boolean, Null };

// One failure. Its detail is an owned text, never a view into the input, so
// an error can outlive the buffer it was found in.
class Hl7Error {
 public:
  // Reading a file (IoError). `error_number` is the errno of a failed open or
  // read: "No such file or directory (os error 2)".
  static Hl7Error os_error(int error_number);
  static Hl7Error nul_in_path();
  static Hl7Error not_utf8();

  // A text or file that holds nothing but white space (EmptyMessage).
  static Hl7Error empty_message();

  // JSON text that is not an array of records of strings (InvalidFormat).
  // `parser_message` is the JSON parser's own text for a syntax error.
  static Hl7Error json_syntax(std::string_view parser_message, std::optional<TextPlace> place);
  static Hl7Error json_byte_order_mark();
  static Hl7Error json_not_an_array(JsonValueType found, TextPlace place);
  static Hl7Error json_record_not_an_object(std::size_t record, JsonValueType found,
                                            TextPlace place);
  static Hl7Error json_value_not_a_string(std::size_t record, std::string_view member,
                                          JsonValueType found, TextPlace place);

  // The validator's rules, one constructor per broken rule. Segments are
  // numbered from 1.
  static Hl7Error no_segments();
  static Hl7Error missing_header();
  static Hl7Error header_too_short(std::size_t minimum_fields);
  static Hl7Error invalid_field_separators(std::string_view value);
  static Hl7Error unsupported_version(std::string_view version,
                                      std::span<const std::string_view> supported);
  static Hl7Error message_type_incomplete(std::size_t minimum_components);
  static Hl7Error missing_patient_identification();
  static Hl7Error empty_segment_name(std::size_t segment);
  static Hl7Error invalid_segment_name(std::string_view name);
  static Hl7Error field_too_long(std::size_t actual, std::size_t maximum);

  // Assembly: a key of record `record` (from 0) names a position beyond the
  // `limit`-th delimiter of its line (EncodingError).
  static Hl7Error line_too_long(std::size_t record, std::string_view key, std::uint64_t limit);
  // Assembly: the key `key` of record `record` leaves a gap that brings the
  // delimiters written for positions no key names, over the whole message,
  // past `limit` (EncodingError).
  static Hl7Error too_many_gaps(std::size_t record, std::string_view key, std::uint64_t limit);

  Hl7ErrorKind kind() const { return kind_; }

  // The text the user sees, e.g. "HL7 message is empty". Cannot fail other
  // than by running out of memory.
  std::string message() const;

 private:
  Hl7Error(Hl7ErrorKind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

  Hl7ErrorKind kind_;
  std::string detail_;  // the text after the kind's prefix
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
