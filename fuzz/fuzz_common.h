// Shared pieces of the libFuzzer targets: a check that stops the run with a
// finding, and the readers that turn fuzz input into what the core is handed
// at the interpreter boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "escape.h"
#include "segments.h"
#include "utils.h"

// A broken property is a finding: libFuzzer saves the input that caused the
// abort as a crash artifact.
#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "property broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

namespace brenvolt::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// Keys strictly ascending in byte order, "segment_name" (when present) last,
// every key and value well-formed UTF-8.
inline void check_record_shape(const Hl7Record& record) {
  for (std::size_t i = 0; i < record.size(); ++i) {
    if (i > 0) FUZZ_CHECK(record[i - 1].key < record[i].key);
    FUZZ_CHECK(is_valid_utf8(record[i].key));
    FUZZ_CHECK(is_valid_utf8(record[i].value));
  }
}

// The records of a normalised message, one per line, parsed as Hl7Json does
// with escaping on: one scratch reused from line to line.
inline std::vector<Hl7Record> records_of(std::string_view text, const Hl7EscapeHandler* handler) {
  std::vector<Hl7Record> records;
  Hl7LineScratch scratch;
  for_each_line(text, [&](std::string_view line) {
    scratch.parse(line, handler);
    Hl7Record record;
    scratch.for_each_entry([&](const Hl7KeyPosition& position, std::string_view value) {
      Hl7RecordEntry entry;
      append_key_text(position, entry.key);
      entry.value = value;
      record.push_back(std::move(entry));
    });
    FUZZ_CHECK(record.size() == scratch.entry_count());
    records.push_back(std::move(record));
  });
  return records;
}

// The packed form that JSON parsing gives and assembly takes. end_record()
// puts each record's entries in key order, the later of two equal keys kept.
inline Hl7RecordList to_list(const std::vector<Hl7Record>& records) {
  Hl7RecordList list;
  for (const Hl7Record& record : records) {
    for (const Hl7RecordEntry& entry : record) list.add(entry.key, entry.value);
    list.end_record();
  }
  return list;
}

// Every entry of `list`, read back through its iterators.
inline std::vector<Hl7Record> from_list(const Hl7RecordList& list) {
  std::vector<Hl7Record> records(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    for (const Hl7RecordList::Entry& entry : list[i]) {
      records[i].push_back({std::string(entry.key), std::string(entry.value)});
    }
    FUZZ_CHECK(records[i].size() == list[i].size());
  }
  return records;
}

}  // namespace brenvolt::fuzz
