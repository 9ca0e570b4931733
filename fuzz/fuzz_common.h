// Shared pieces of the libFuzzer targets: a check that stops the run with a
// finding, plain record types to compare with, and the readers that turn fuzz
// input into what the core is handed at the interpreter boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/escape.h"
#include "core/keys.h"
#include "core/lines.h"
#include "core/record_list.h"
#include "core/segment_parser.h"
#include "core/text.h"

// A broken property is a finding: libFuzzer saves the input that caused the
// abort as a crash artifact.
#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "property broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

namespace brenvolt::fuzz {

struct Entry {
  std::string key;
  std::string value;
  bool operator==(const Entry&) const = default;
};

// A segment record as a plain list of entries, the form the targets compare.
using Record = std::vector<Entry>;

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// The decoded and the encoded text of `text`, as new strings.
inline std::string unescaped(const Hl7EscapeHandler& handler, std::string_view text) {
  std::string out;
  handler.unescape_into(text, out);
  return out;
}
inline std::string escaped(const Hl7EscapeHandler& handler, std::string_view text) {
  std::string out;
  handler.escape_into(text, out);
  return out;
}

// Keys strictly ascending in byte order, every key and value well-formed
// UTF-8.
inline void check_record_shape(const Record& record) {
  for (std::size_t i = 0; i < record.size(); ++i) {
    if (i > 0) FUZZ_CHECK(record[i - 1].key < record[i].key);
    FUZZ_CHECK(is_valid_utf8(record[i].key));
    FUZZ_CHECK(is_valid_utf8(record[i].value));
  }
}

// The record of the line `parser` last parsed, its keys printed; each key
// parses back to the position it was printed from.
inline Record record_of(const Hl7SegmentParser& parser) {
  Record record;
  parser.for_each_entry([&](const Hl7KeyPosition& position, std::string_view value) {
    Entry entry;
    position.append_key_text(entry.key);
    const auto parsed = Hl7KeyPosition::parse(entry.key);
    FUZZ_CHECK(parsed && *parsed == position);
    entry.value = value;
    record.push_back(std::move(entry));
  });
  FUZZ_CHECK(record.size() == parser.entry_count());
  return record;
}

// The records of a normalised message, parsed as Hl7Json does: one parser
// reused from line to line, one record per segment line (Hl7TrailingLines:
// none for the empty lines after the last line with text).
inline std::vector<Record> records_of(std::string_view text, const Hl7EscapeHandler* handler) {
  std::vector<Record> records;
  Hl7SegmentParser parser;
  parser.parse(std::string_view(), handler);
  const Record empty = record_of(parser);
  Hl7TrailingLines trailing;
  for_each_line(text, [&](std::string_view line) {
    if (line.empty()) {
      trailing.release_before(line);
      return;
    }
    records.insert(records.end(), trailing.release_before(line), empty);
    parser.parse(line, handler);
    records.push_back(record_of(parser));
  });
  records.insert(records.end(), trailing.at_end(), empty);
  return records;
}

// The packed form that JSON parsing gives and assembly takes. end_record()
// puts each record's entries in key order, the later of two equal keys kept.
inline Hl7RecordList to_list(const std::vector<Record>& records) {
  Hl7RecordList list;
  for (const Record& record : records) {
    for (const Entry& entry : record) list.add(entry.key, entry.value);
    list.end_record();
  }
  return list;
}

// Every entry of `list`, read back through its iterators.
inline std::vector<Record> from_list(const Hl7RecordList& list) {
  std::vector<Record> records(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    for (const Hl7RecordList::Entry& entry : list[i]) {
      records[i].push_back({std::string(entry.key), std::string(entry.value)});
    }
    FUZZ_CHECK(records[i].size() == list[i].size());
  }
  return records;
}

}  // namespace brenvolt::fuzz
