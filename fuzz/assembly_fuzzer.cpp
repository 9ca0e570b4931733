// Message assembly from arbitrary keys and values.
//
// Input: records separated by the byte 0x1E, each a run of key, value, key,
// value, ... separated by 0x1F (a key without a value gets the empty text).
// Entries go into the packed record list in input order, as JsonHl7 adds
// them; the list orders each record by key and keeps the later of two equal
// keys. Properties:
// - the list reads back as a plain sort with the last of equal keys kept;
// - the short path that usual records take writes what the general path
//   writes (assemble_message_plainly), and fails where it fails;
// - the lines that assemble_line writes record by record, the message's gap
//   count carried from one to the next, join to that same text or stop at
//   that same failure;
// - assembly fails only with an EncodingError that names a record and one of
//   its keys;
// - the text has one line per record (more only where a segment name holds a
//   line feed);
// - the records that text converts back to survive a second assembly and
//   parse unchanged.

#include <algorithm>
#include <optional>

#include "core/assembly.h"
#include "fuzz_common.h"

using namespace brenvolt;

namespace {

constexpr char kRecordSeparator = '\x1e';
constexpr char kEntrySeparator = '\x1f';

// Beyond this the round trip is not re-parsed: a key such as "9999999" is
// within the bound and asks for a 10 MB line, which parses into millions of
// entries and would make each such input take a second.
constexpr std::size_t kRoundTripLimit = 1 << 16;

// The entries of one record in input order, and, separately, what a Python
// dict of them holds: each key once, with its last value, in key order.
std::vector<fuzz::Entry> read_entries(std::string_view text) {
  std::vector<std::string_view> pieces;
  for_each_piece(text, kEntrySeparator, [&](std::string_view piece) { pieces.push_back(piece); });
  std::vector<fuzz::Entry> entries;
  for (std::size_t i = 0; i < pieces.size(); i += 2) {
    const std::string_view value = i + 1 < pieces.size() ? pieces[i + 1] : std::string_view();
    entries.push_back({std::string(pieces[i]), std::string(value)});
  }
  return entries;
}

fuzz::Record as_dict(std::vector<fuzz::Entry> entries) {
  // Stable, so that among equal keys the later one stays last: keep it.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const fuzz::Entry& a, const fuzz::Entry& b) { return a.key < b.key; });
  fuzz::Record record;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && entries[i + 1].key == entries[i].key) continue;
    record.push_back(std::move(entries[i]));
  }
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::as_text(data, size);
  // Keys and values come from Python str: UTF-8. Cutting UTF-8 at ASCII
  // separators leaves UTF-8 pieces.
  if (!is_valid_utf8(input)) return -1;
  // The packed list orders and de-duplicates each record itself; it must
  // agree with a plain sort.
  Hl7RecordList list;
  std::vector<fuzz::Record> records;
  if (!input.empty()) {
    for_each_piece(input, kRecordSeparator, [&](std::string_view text) {
      std::vector<fuzz::Entry> entries = read_entries(text);
      for (const fuzz::Entry& entry : entries) list.add(entry.key, entry.value);
      list.end_record();
      records.push_back(as_dict(std::move(entries)));
    });
  }
  FUZZ_CHECK(fuzz::from_list(list) == records);
  const Hl7EscapeHandler handler = create_default_escape_handler();

  Result<std::string> written = assemble_message(list, handler);
  // The short path for usual records writes what the general one writes,
  // and fails where it fails.
  Result<std::string> plainly = assemble_message_plainly(list, handler);
  FUZZ_CHECK(static_cast<bool>(written) == static_cast<bool>(plainly));
  if (written) {
    FUZZ_CHECK(written.value() == plainly.value());
  } else {
    FUZZ_CHECK(written.error().message() == plainly.error().message());
  }
  // Line by line, as a writer with a short path of its own calls it for
  // the records it leaves to the general path.
  {
    std::string joined;
    std::uint64_t gaps = 0;
    std::optional<std::string> failure;
    for (std::size_t index = 0; index < list.size() && !failure; ++index) {
      Result<std::string> line = assemble_line(list[index], index, gaps, handler);
      if (line) {
        joined += line.value();
      } else {
        failure = line.error().message();
      }
    }
    if (written) {
      FUZZ_CHECK(!failure && joined == written.value());
    } else {
      FUZZ_CHECK(failure && *failure == written.error().message());
    }
  }
  if (!written) {
    const Hl7Error& error = written.error();
    FUZZ_CHECK(error.kind() == Hl7ErrorKind::EncodingError);
    const std::string message = error.message();
    const std::string prefix = "HL7 encoding error: record ";
    FUZZ_CHECK(message.compare(0, prefix.size(), prefix) == 0);
    const std::size_t index = std::stoul(message.substr(prefix.size()));
    FUZZ_CHECK(index < records.size());
    const bool names_a_key =
        std::any_of(records[index].begin(), records[index].end(), [&](const fuzz::Entry& e) {
          return message.find(": key '" + e.key + "' names a position beyond") !=
                     std::string::npos ||
                 message.find(": key '" + e.key + "' brings the delimiters") != std::string::npos;
        });
    FUZZ_CHECK(names_a_key);
    return 0;
  }
  const std::string& text = written.value();
  FUZZ_CHECK(is_valid_utf8(text));
  std::size_t expected_line_feeds = records.empty() ? 0 : records.size() - 1;
  for (const fuzz::Record& record : records) {
    for (const fuzz::Entry& entry : record) {
      if (entry.key == "segment_name") {
        expected_line_feeds +=
            static_cast<std::size_t>(std::count(entry.value.begin(), entry.value.end(), '\n'));
      }
    }
  }
  FUZZ_CHECK(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) ==
             expected_line_feeds);

  if (text.size() > kRoundTripLimit) return 0;
  const std::vector<fuzz::Record> converted = fuzz::records_of(text, &handler);
  Result<std::string> again = assemble_message(fuzz::to_list(converted), handler);
  FUZZ_CHECK(static_cast<bool>(again));
  FUZZ_CHECK(fuzz::records_of(again.value(), &handler) == converted);
  return 0;
}
