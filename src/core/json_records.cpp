#include "json_records.h"

#include <simdjson.h>

#include <algorithm>
#include <new>
#include <string>
#include <utility>

#include "text.h"

namespace brenvolt {
namespace {

namespace ondemand = simdjson::ondemand;

// An offset into the JSON text meaning "no place known".
constexpr std::size_t kNoOffset = std::string_view::npos;

constexpr std::string_view kJsonWhiteSpace = " \t\n\r";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Where byte `offset` of `text` lies, as people count: lines from 1 at each
// line feed (a carriage return ends no line of its own), columns from 1 in
// characters. The end of the text is the place just past its last character.
TextPlace place_of(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const auto line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t line_start = before.rfind('\n') + 1;  // npos + 1 == 0 on line 1
  std::size_t column = 1;
  for (std::size_t i = line_start; i < offset; ++i) {
    // Count lead bytes only: UTF-8 continuation bytes are 0b10xxxxxx.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++column;
  }
  return TextPlace{line, column};
}

// Offset of the first byte that does not begin a well-formed UTF-8 character
// (no overlongs, surrogates or values above U+10FFFF), or kNoOffset.
std::size_t first_invalid_utf8(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;   // range of the second byte, which some lead
    unsigned char high = 0xBF;  // bytes narrow to rule out overlongs etc.
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return i;
    }
    if (text.size() - i < length || byte(i + 1) < low || byte(i + 1) > high) return i;
    for (std::size_t k = 2; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return i;
    }
    i += length;
  }
  return kNoOffset;
}

// Strings found byte by byte as the parser's indexer finds them: a backslash
// escapes the next byte wherever it stands, even outside a string, where it
// is an error of its own.
struct JsonStrings {
  bool in_string = false;
  bool escaped = false;

  // Reads the next byte; true when it is structural text: outside every
  // string, and no quote, backslash or escaped byte.
  bool read(char c) {
    if (escaped) {
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == '"') {
      in_string = !in_string;
    } else {
      return !in_string;
    }
    return false;
  }
};

// Where a string problem found while indexing the whole text lies: for
// UNESCAPED_CHARS the first control character inside a string, for
// UNCLOSED_STRING the opening quote of the string the text ends inside.
// kNoOffset for other errors. Strings are found as JsonStrings finds them.
std::size_t string_problem_offset(std::string_view text, simdjson::error_code error) {
  JsonStrings strings;
  std::size_t opened = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (strings.in_string && static_cast<unsigned char>(c) < 0x20 &&
        error == simdjson::UNESCAPED_CHARS) {
      return i;
    }
    const bool was_in_string = strings.in_string;
    strings.read(c);
    if (!was_in_string && strings.in_string) opened = i;
  }
  return strings.in_string && error == simdjson::UNCLOSED_STRING ? opened : kNoOffset;
}

// The JSON number grammar: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
// Any magnitude is a number here; only its type matters.
bool is_json_number(std::string_view token) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t first = i;
    while (i < token.size() && token[i] >= '0' && token[i] <= '9') ++i;
    return i > first;
  };
  if (i < token.size() && token[i] == '-') ++i;
  if (i < token.size() && token[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < token.size() && token[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    ++i;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == token.size();
}

JsonValueType value_type(ondemand::json_type type) {
  switch (type) {
    case ondemand::json_type::array:
      return JsonValueType::Array;
    case ondemand::json_type::object:
      return JsonValueType::Object;
    case ondemand::json_type::number:
      return JsonValueType::Number;
    case ondemand::json_type::string:
      return JsonValueType::String;
    case ondemand::json_type::boolean:
      return JsonValueType::Boolean;
    case ondemand::json_type::null:
      return JsonValueType::Null;
  }
  return JsonValueType::Null;
}

// One parse of one text, and the wording of its errors. `text` is the JSON
// text proper: offsets are counted in it, and it never includes the padding.
class JsonRecordsParse {
 public:
  explicit JsonRecordsParse(std::string_view text) : text_(text) {}

  // Precondition: `json` views the same bytes as `text`, with padding.
  Result<Hl7RecordList> run(simdjson::padded_string_view json);

 private:
  // Reads one element of the array as the next record of `records`.
  Status read_record(ondemand::document& document, ondemand::value& element,
                     std::size_t record_index, Hl7RecordList& records);

  // A failure in the parser's own words, at `offset` (none for kNoOffset).
  Hl7Error syntax_error(simdjson::error_code error, std::size_t offset) const {
    std::optional<TextPlace> place;
    if (offset != kNoOffset) place = place_of(text_, offset);
    return Hl7Error::json_syntax(simdjson::error_message(error), place);
  }

  TextPlace place(std::size_t offset) const { return place_of(text_, offset); }

  // A failure found while indexing the whole text, before any value was
  // read. The parser gives no place for these, so look for it.
  Hl7Error indexing_error(simdjson::error_code error) const {
    if (error == simdjson::UTF8_ERROR) return syntax_error(error, first_invalid_utf8(text_));
    return syntax_error(error, string_problem_offset(text_, error));
  }

  Hl7Error unbalanced_error() const;

  // Checks that the literal or number at `offset`, whose type is not the one
  // wanted, is still a valid token, so that "found a number" is never said of
  // text the parser would refuse; a string is checked by decoding it. An
  // array or object is not descended into: its type alone settles that the
  // input is refused, however deep it goes.
  simdjson::error_code check_token(ondemand::json_type type, std::size_t offset) const {
    const std::string_view token = token_at(offset);
    switch (type) {
      case ondemand::json_type::boolean:
        if (token == "true" || token == "false") return simdjson::SUCCESS;
        return token.front() == 't' ? simdjson::T_ATOM_ERROR : simdjson::F_ATOM_ERROR;
      case ondemand::json_type::null:
        return token == "null" ? simdjson::SUCCESS : simdjson::N_ATOM_ERROR;
      case ondemand::json_type::number:
        return is_json_number(token) ? simdjson::SUCCESS : simdjson::NUMBER_ERROR;
      case ondemand::json_type::array:
      case ondemand::json_type::object:
      case ondemand::json_type::string:
        return simdjson::SUCCESS;
    }
    return simdjson::SUCCESS;
  }

  // For `value` (a document or a value) of the unwanted `type` at `offset`:
  // the error that makes the text invalid JSON after all (check_token; a
  // string is decoded), or SUCCESS when it is only of the wrong type.
  template <class Value>
  simdjson::error_code wrong_type_token_error(Value& value, ondemand::json_type type,
                                              std::size_t offset) const {
    if (type == ondemand::json_type::string) return value.get_string().error();
    return check_token(type, offset);
  }

  // The literal or number that starts at `offset`: up to the next white
  // space, structural character or quote.
  std::string_view token_at(std::size_t offset) const {
    const std::size_t end = text_.find_first_of(" \t\n\r,:[]{}\"", offset);
    return text_.substr(offset, end == kNoOffset ? kNoOffset : end - offset);
  }

  // Where the parser stands: the offending token once it has failed, the
  // end of the text when it has read everything.
  std::size_t current_offset(ondemand::document& document) const {
    const char* at = nullptr;
    if (document.current_location().get(at)) return text_.size();
    return offset_of(at);
  }

  std::size_t offset_of(const char* at) const {
    return static_cast<std::size_t>(at - text_.data());
  }

  std::string_view text_;
  Hl7KeyCodeCache& key_codes_ = Hl7KeyCodeCache::for_this_thread();
};

// For a text that starts with "[" and whose last token is not "]", which the
// parser reports only as having ended early. It may as well hold a complete
// array and then more text, or a bracket that closes nothing; say which.
Hl7Error JsonRecordsParse::unbalanced_error() const {
  std::string closers;  // the closing brackets owed, innermost last
  JsonStrings strings;
  for (std::size_t i = 0; i < text_.size(); ++i) {
    const char c = text_[i];
    if (!strings.read(c)) continue;
    if (c == '[') {
      closers.push_back(']');
    } else if (c == '{') {
      closers.push_back('}');
    } else if (c == ']' || c == '}') {
      if (closers.empty() || closers.back() != c) return syntax_error(simdjson::TAPE_ERROR, i);
      closers.pop_back();
      if (closers.empty()) {
        const std::size_t next = text_.find_first_not_of(kJsonWhiteSpace, i + 1);
        return syntax_error(simdjson::TRAILING_CONTENT, next == kNoOffset ? text_.size() : next);
      }
    }
  }
  return syntax_error(simdjson::INCOMPLETE_ARRAY_OR_OBJECT, text_.size());
}

Status JsonRecordsParse::read_record(ondemand::document& document, ondemand::value& element,
                                     std::size_t record_index, Hl7RecordList& records) {
  const std::size_t element_offset = offset_of(element.raw_json_token().data());
  ondemand::json_type type{};
  if (const auto error = element.type().get(type)) return syntax_error(error, element_offset);
  if (type != ondemand::json_type::object) {
    if (const auto error = wrong_type_token_error(element, type, element_offset)) {
      return syntax_error(error, element_offset);
    }
    return Hl7Error::json_record_not_an_object(record_index, value_type(type),
                                               place(element_offset));
  }
  ondemand::object object;
  if (const auto error = element.get_object().get(object)) {
    return syntax_error(error, current_offset(document));
  }

  for (auto member : object) {
    ondemand::field field;
    if (const auto error = std::move(member).get(field)) {
      return syntax_error(error, current_offset(document));
    }
    // The raw key starts after its opening quote; it must be read before
    // unescaped_key() consumes it.
    const std::size_t name_offset = offset_of(field.key().raw()) - 1;
    std::string_view name;
    if (const auto error = field.unescaped_key().get(name)) return syntax_error(error, name_offset);
    ondemand::value& value = field.value();
    const std::size_t value_offset = offset_of(value.raw_json_token().data());
    if (const auto error = value.type().get(type)) return syntax_error(error, value_offset);
    if (type != ondemand::json_type::string) {
      if (const auto error = check_token(type, value_offset)) {
        return syntax_error(error, value_offset);
      }
      return Hl7Error::json_value_not_a_string(record_index, name, value_type(type),
                                               place(value_offset));
    }
    std::string_view text;
    if (const auto error = value.get_string().get(text)) return syntax_error(error, value_offset);
    records.add(name, text, key_codes_.code(name));
  }
  records.end_record();
  return Ok{};
}

Result<Hl7RecordList> JsonRecordsParse::run(simdjson::padded_string_view json) {
  // Common enough from Windows editors to deserve its own words; JSON text
  // must not begin with one.
  if (text_.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    return Hl7Error::json_byte_order_mark();
  }

  // A parser per call: calls share nothing, and its buffers are sized to the
  // text anyway. Its depth limit never comes into play, as nothing below a
  // record's member values is descended into.
  ondemand::parser parser;
  ondemand::document document;
  if (const auto error = parser.iterate(json).get(document)) {
    // Running out of memory is no fault of the text: report it as every
    // other allocation failure is reported.
    if (error == simdjson::MEMALLOC) throw std::bad_alloc();
    return indexing_error(error);
  }

  const std::size_t start = current_offset(document);
  ondemand::json_type type{};
  if (const auto error = document.type().get(type)) return syntax_error(error, start);
  if (type != ondemand::json_type::array) {
    if (const auto error = wrong_type_token_error(document, type, start)) {
      return syntax_error(error, start);
    }
    return Hl7Error::json_not_an_array(value_type(type), place(start));
  }
  ondemand::array array;
  if (const auto error = document.get_array().get(array)) {
    if (error == simdjson::INCOMPLETE_ARRAY_OR_OBJECT) return unbalanced_error();
    return syntax_error(error, start);
  }

  Hl7RecordList records;
  for (auto item : array) {
    ondemand::value element;
    if (const auto error = std::move(item).get(element)) {
      return syntax_error(error, current_offset(document));
    }
    Status read = read_record(document, element, records.size(), records);
    if (!read) return std::move(read).error();
  }
  // The parser stands after the array's closing bracket: any token there has
  // a place, the end of the text has none.
  const char* trailing = nullptr;
  if (!document.current_location().get(trailing)) {
    return syntax_error(simdjson::TRAILING_CONTENT, offset_of(trailing));
  }
  return records;
}

}  // namespace

Result<Hl7RecordList> parse_json_records(std::string_view json_text) {
  const simdjson::padded_string padded(json_text.data(), json_text.size());
  return JsonRecordsParse(std::string_view(padded.data(), padded.size())).run(padded);
}

namespace {

// Whether `text` opens with ASCII white space, or nothing, and then an ASCII
// character that is not: it is then not blank, whatever follows.
bool opens_with_ascii_token(std::string_view text) {
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') continue;
    return static_cast<unsigned char>(c) < 0x80;
  }
  return false;
}

}  // namespace

Result<Hl7RecordList> load_json_records_file(std::string_view path) {
  auto text = read_file(path);
  if (!text) return std::move(text).error();
  std::string& json = text.value();
  // The parser checks the UTF-8 of the whole text as it indexes it, so the
  // usual file, which opens with "[", is not checked twice: it is checked
  // here only when it may be blank (is_blank() reads characters) or when the
  // parse fails, so that a file that is not UTF-8 is refused as one whatever
  // else is wrong with it.
  const bool checked = !opens_with_ascii_token(json);
  if (checked) {
    if (!is_valid_utf8(json)) return Hl7Error::not_utf8();
    if (is_blank(json)) return Hl7Error::empty_message();
  }

  // simdjson reads up to SIMDJSON_PADDING bytes past the end of the text.
  // Growing the file's own buffer instead of copying it into a padded_string
  // costs no copy when the buffer has the room already, and keeps one buffer
  // alive during the parse instead of two. The padding is zeroed, not merely
  // reserved, so nothing uninitialised is ever read.
  const std::size_t length = json.size();
  json.resize(length + simdjson::SIMDJSON_PADDING, '\0');
  Result<Hl7RecordList> records =
      JsonRecordsParse(std::string_view(json.data(), length))
          .run(simdjson::padded_string_view(json.data(), length, json.size()));
  if (!records && !checked && !is_valid_utf8(std::string_view(json.data(), length))) {
    return Hl7Error::not_utf8();
  }
  return records;
}

}  // namespace brenvolt
