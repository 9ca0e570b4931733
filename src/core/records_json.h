// The JSON text of a message's records, written straight from its HL7 text:
// what brenvolt listen stores for each message, without a Python object
// between the text and the line.
#pragma once

#include <string_view>

#include "columns.h"
#include "escape.h"

namespace brenvolt {

// Appends `utf8` (valid UTF-8) to `out` as a JSON string, quotes included,
// escaped as orjson writes one: '"' and '\\' with a backslash, \b \t \n \f \r
// by name, the other controls below U+0020 as \u00XX, everything else (DEL
// and every non-ASCII character included) as itself.
void append_json_string(std::string_view utf8, columns::Buffer& out);

// Appends to `out` the JSON list of the records that Hl7Json makes of
// `message` (valid UTF-8, line ends as they came) with escape decoding by
// `handler` (none: values raw): one object a record, its keys in the
// record's order, written compactly as orjson writes that list.
void append_records_json(std::string_view message, const Hl7EscapeHandler* handler,
                         columns::Buffer& out);

}  // namespace brenvolt
