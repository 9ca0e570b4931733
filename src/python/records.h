// Records into Python objects: str for texts and keys (with the caches that
// make repeated ones cheap) and one dict per record, filled in key order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "core/keys.h"
#include "core/record_list.h"
#include "core/segment_parser.h"
#include "ref.h"

namespace brenvolt::py {

// A new str from UTF-8 text that is known to be valid.
PyRef new_str(std::string_view utf8);

// A str for a record value: as new_str, except that short ASCII texts may come
// back as the same (immutable) str object as an earlier equal value.
PyRef new_value_str(std::string_view utf8);

// new_value_str for text known to be ASCII.
PyRef new_ascii_value_str(std::string_view ascii);

// The key of a record entry as a str. Common keys come from a process-wide
// table made on first use and never freed, so repeated keys cost no
// allocation; the table is only touched with the interpreter lock held.
PyRef key_str(const Hl7KeyPosition& position);

// The record of the line `parser` last parsed, as a new dict filled in
// ascending key order; nullptr with the error set.
PyRef record_dict(const Hl7SegmentParser& parser);

// A stored record as a new dict filled in its (ascending) order.
PyRef record_dict(const Hl7RecordList::Record& record);

}  // namespace brenvolt::py
