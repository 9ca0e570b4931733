// Message parsing and record mapping, with and without escape decoding.
//
// Input: message text. Properties:
// - replace_eof leaves no carriage return and never lengthens the text;
// - a message gives one record per line, but none for the empty lines after
//   the last line with text; a message without a line with text keeps them
//   all (n line feeds give n + 1 records);
// - the parser agrees with the plain model in reference_model.h: the record
//   Hl7SegmentParser emits, with its buffers reused from line to line as the
//   conversion reuses them, equals the model's record of the line;
// - every key printed parses back to its position; every record's keys
//   ascend strictly and all its text is UTF-8;
// - with escaping on, records survive assembly and a second parse unchanged;
// - the lines cut from the text as it came (for_each_raw_line) are those of
//   the normalised text, and raw_line_count counts them;
// - every scan level marks the same delimiters, and finds the same ASCII-ness
//   and line ends, as the plain loop;
// - the JSON text of the records, written from the text as it came
//   (append_records_json), reads back as the same records, keys in order;
// - the plain ACK of the first line, when it has one, is one MLLP frame whose
//   MSA-2 is the line's MSH-10 as written.

#include <simdjson.h>

#include <algorithm>
#include <cstdint>

#include "core/assembly.h"
#include "core/lines.h"
#include "core/plain_ack.h"
#include "core/records_json.h"
#include "core/scan.h"
#include "fuzz_common.h"
#include "reference_model.h"

using namespace brenvolt;

namespace {

// The records a JSON list of objects of strings holds, keys in the order
// written; the JSON must be well formed and of that shape.
std::vector<fuzz::Record> records_of_json(const columns::Buffer& json) {
  static simdjson::dom::parser parser;  // its buffers reused from input to input
  simdjson::dom::array list;
  FUZZ_CHECK(parser.parse(reinterpret_cast<const char*>(json.data()), json.size()).get(list) ==
             simdjson::SUCCESS);
  std::vector<fuzz::Record> records;
  for (simdjson::dom::element element : list) {
    simdjson::dom::object object;
    FUZZ_CHECK(element.get(object) == simdjson::SUCCESS);
    fuzz::Record& record = records.emplace_back();
    for (simdjson::dom::key_value_pair field : object) {
      std::string_view value;
      FUZZ_CHECK(field.value.get(value) == simdjson::SUCCESS);
      record.push_back({std::string(field.key), std::string(value)});
    }
  }
  return records;
}

// The plain ACK of the input's first line: when there is one, a single frame
// whose MSA-2 is the line's MSH-10 as written.
void check_plain_ack(std::string_view input) {
  const std::string_view header = input.substr(0, input.find_first_of("\r\n"));
  columns::Buffer frame;
  if (!append_plain_ack_frame(header, {"AA", "20261211100000", "ID1", "2.5"}, frame)) {
    FUZZ_CHECK(frame.size() == 0);
    return;
  }
  const std::string_view ack(reinterpret_cast<const char*>(frame.data()), frame.size());
  FUZZ_CHECK(ack.starts_with("\x0bMSH|^~\\&|") && ack.ends_with("\r\x1c\r"));
  FUZZ_CHECK(ack.find('\x0b', 1) == std::string_view::npos && ack.find('\x1c') == ack.size() - 2);
  std::string_view control;
  std::size_t at = 0;
  for (int field = 0; field <= 9 && at != std::string_view::npos; ++field) {
    const std::size_t bar = header.find('|', at);
    if (field == 9) control = header.substr(at, bar == std::string_view::npos ? bar : bar - at);
    at = bar == std::string_view::npos ? bar : bar + 1;
  }
  const std::string_view msa = ack.substr(ack.find("\rMSA|AA|") + 8);
  FUZZ_CHECK(msa == std::string(control) + "\r\x1c\r");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::as_text(data, size);
  // Python hands the core UTF-8 only; anything else never reaches it.
  if (!is_valid_utf8(input)) return -1;

  const std::string text = replace_eof(std::string(input));
  FUZZ_CHECK(text.find('\r') == std::string::npos);
  FUZZ_CHECK(text.size() <= input.size());

  std::vector<std::string_view> raw_lines;
  for_each_raw_line(input, [&](std::string_view line) { raw_lines.push_back(line); });
  std::vector<std::string_view> lines;
  for_each_line(text, [&](std::string_view line) { lines.push_back(line); });
  FUZZ_CHECK(raw_lines == lines);
  FUZZ_CHECK(raw_line_count(input) == lines.size());

  scan::Level levels[4];
  const std::size_t level_count = scan::available_levels(levels);
  const std::size_t words = (input.size() + 63) / 64;
  std::vector<std::uint64_t> expected(words + 1, 0);
  const bool ascii = scan::mark_delimiters(input, expected.data(), scan::Level::Scalar);
  for (std::size_t i = 0; i < input.size(); ++i) {
    const char c = input[i];
    const bool marked = (expected[i / 64] >> (i % 64)) & 1;
    FUZZ_CHECK(marked == (c == '|' || c == '^' || c == '~' || c == '\\'));
  }
  FUZZ_CHECK(ascii == std::all_of(input.begin(), input.end(),
                                  [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
  for (std::size_t k = 0; k < level_count; ++k) {
    std::vector<std::uint64_t> marks(words + 1, ~std::uint64_t{0});
    FUZZ_CHECK(scan::mark_delimiters(input, marks.data(), levels[k]) == ascii);
    FUZZ_CHECK(std::equal(marks.begin(), marks.begin() + static_cast<std::ptrdiff_t>(words),
                          expected.begin()));
    FUZZ_CHECK(marks[words] == ~std::uint64_t{0});       // nothing written past the words
    for (std::size_t from = 0; from <= input.size();) {  // from each line end to the next
      const std::size_t end = scan::find_line_end(input, from, scan::Level::Scalar);
      FUZZ_CHECK(scan::find_line_end(input, from, levels[k]) == end);
      from = end + 1;
    }
  }

  check_plain_ack(input);

  const Hl7EscapeHandler handler = create_default_escape_handler();
  for (const Hl7EscapeHandler* h : {static_cast<const Hl7EscapeHandler*>(nullptr), &handler}) {
    const std::vector<fuzz::Record> records = fuzz::records_of(text, h);
    const std::vector<std::string> segments = fuzz::model::segment_lines(text);
    FUZZ_CHECK(records.size() == segments.size());
    for (std::size_t i = 0; i < segments.size(); ++i) {
      fuzz::check_record_shape(records[i]);
      FUZZ_CHECK(!records[i].empty() && records[i].back().key == "segment_name");
      FUZZ_CHECK(fuzz::model::record(segments[i], h) == records[i]);
    }
    columns::Buffer json;
    append_records_json(input, h, json);
    FUZZ_CHECK(records_of_json(json) == records);
  }

  // The round trip holds for every record list conversion makes with
  // escaping on. Lines past the assembly bound are refused, by design.
  const std::vector<fuzz::Record> decoded = fuzz::records_of(text, &handler);
  const Hl7RecordList list = fuzz::to_list(decoded);
  FUZZ_CHECK(fuzz::from_list(list) == decoded);
  Result<std::string> written = assemble_message(list, handler);
  if (!written) {
    FUZZ_CHECK(written.error().kind() == Hl7ErrorKind::EncodingError);
    FUZZ_CHECK(text.size() > kMaximumLineSlots);
    return 0;
  }
  FUZZ_CHECK(fuzz::records_of(written.value(), &handler) == decoded);
  return 0;
}
