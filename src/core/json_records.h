// Segment records read from JSON text: one array of objects whose member
// values are strings, each object one record.
#pragma once

#include <string_view>
#include <vector>

#include "errors.h"
#include "record_list.h"

namespace brenvolt {

// Parses `json_text` as exactly one JSON array (JSON white space around it
// allowed) of objects whose member values are all strings. Each object becomes
// one record, in array order; member names are taken as decoded, and when an
// object names a member twice the later value wins. The records' keys come
// out unique and in ascending byte order.
//
// Everything else fails with InvalidFormat "Invalid JSON: " plus what was
// wrong and where (the Hl7Error::json_* constructors). A syntax error gives the parser's own text,
// e.g.
//   Invalid JSON: Unexpected trailing content in the JSON input. (line 3, column 2)
// a well-formed text of the wrong shape says what was expected and found, e.g.
//   Invalid JSON: expected an array of records, found an object (line 1, column 1)
//   Invalid JSON: record 2: expected an object, found an array (line 4, column 3)
//   Invalid JSON: record 0, member '5.1': expected a string, found a number (line 2, column 12)
// Records are numbered from 0, as Python indexes the list; lines from 1;
// columns from 1, in characters. Nesting deeper than a record's members is
// never descended into, so deep input fails as quickly as shallow input.
Result<Hl7RecordList> parse_json_records(std::string_view json_text);

// Reads the file at `path` (IoError when it cannot be read as UTF-8 text,
// Hl7Error::not_utf8 when its bytes are not UTF-8), then fails with EmptyMessage when the text
// holds nothing but Unicode white space, then parses it as parse_json_records does. The first
// failure in that order is returned.
Result<Hl7RecordList> load_json_records_file(std::string_view path);

}  // namespace brenvolt
