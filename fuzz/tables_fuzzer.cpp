// The tables built natively (core/tables.h) and their Arrow export
// (core/columns.h).
//
// Input: one byte of settings (escaping, validation, the batch row bound),
// then messages separated by 0x1E. Each message goes into one builder as
// text and into another as the records the parser gives for it. Properties:
// - every exported batch is well-formed Arrow: its lengths agree, offsets
//   rise within their data, validity bits cover the rows, and exports of one
//   batch can be released in any order, children moved out first;
// - no batch holds more rows than the bound;
// - `segments` gives back the records exactly as Hl7Json makes them (its
//   lines less the empty ones after the last line with text, one reused parser), `values` holds one
//   row per entry at its place, and each wide row holds repetition 0's values;
// - text and records give the same rows;
// - a message that fails validation has its messages row with the error and
//   no other row.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/columns.h"
#include "core/lines.h"
#include "core/tables.h"
#include "core/validation.h"
#include "fuzz_common.h"

using namespace brenvolt;

namespace {

// One column read back from its export: texts (nullopt for null) or numbers.
struct ReadColumn {
  std::vector<std::optional<std::string>> texts;
  std::vector<std::optional<std::int64_t>> numbers;
  std::vector<std::vector<std::pair<std::string, std::string>>> maps;
};

bool valid_at(const ArrowArray& array, std::int64_t row) {
  if (array.null_count == 0) return true;
  const auto* bits = static_cast<const std::uint8_t*>(array.buffers[0]);
  FUZZ_CHECK(bits != nullptr);
  return (bits[row / 8] >> (row % 8)) & 1;
}

std::vector<std::string> read_strings(const ArrowArray& array) {
  FUZZ_CHECK(array.n_buffers == 3 && array.offset == 0);
  const auto* offsets = static_cast<const std::int32_t*>(array.buffers[1]);
  const auto* data = static_cast<const char*>(array.buffers[2]);
  FUZZ_CHECK(offsets != nullptr && data != nullptr && offsets[0] == 0);
  std::vector<std::string> out;
  for (std::int64_t i = 0; i < array.length; ++i) {
    FUZZ_CHECK(offsets[i] <= offsets[i + 1]);
    out.emplace_back(data + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
  }
  return out;
}

ReadColumn read_column(const columns::ColumnField& field, const ArrowArray& array,
                       std::size_t rows) {
  FUZZ_CHECK(static_cast<std::size_t>(array.length) == rows);
  FUZZ_CHECK(field.nullable || array.null_count == 0);
  std::int64_t nulls = 0;
  for (std::int64_t i = 0; i < array.length; ++i) nulls += valid_at(array, i) ? 0 : 1;
  FUZZ_CHECK(nulls == array.null_count);
  ReadColumn column;
  switch (field.type) {
    case columns::ColumnType::String: {
      const std::vector<std::string> texts = read_strings(array);
      for (std::int64_t i = 0; i < array.length; ++i) {
        column.texts.push_back(
            valid_at(array, i) ? std::optional(texts[static_cast<std::size_t>(i)]) : std::nullopt);
      }
      break;
    }
    case columns::ColumnType::Int32:
    case columns::ColumnType::Int64: {
      FUZZ_CHECK(array.n_buffers == 2);
      for (std::int64_t i = 0; i < array.length; ++i) {
        std::int64_t value;
        if (field.type == columns::ColumnType::Int32) {
          value = static_cast<const std::int32_t*>(array.buffers[1])[i];
        } else {
          value = static_cast<const std::int64_t*>(array.buffers[1])[i];
        }
        column.numbers.push_back(valid_at(array, i) ? std::optional(value) : std::nullopt);
      }
      break;
    }
    case columns::ColumnType::StringMap: {
      FUZZ_CHECK(array.n_buffers == 2 && array.n_children == 1);
      const ArrowArray& entries = *array.children[0];
      FUZZ_CHECK(entries.n_children == 2 && entries.null_count == 0);
      const std::vector<std::string> keys = read_strings(*entries.children[0]);
      const std::vector<std::string> values = read_strings(*entries.children[1]);
      FUZZ_CHECK(keys.size() == static_cast<std::size_t>(entries.length));
      FUZZ_CHECK(values.size() == keys.size());
      const auto* offsets = static_cast<const std::int32_t*>(array.buffers[1]);
      FUZZ_CHECK(offsets[0] == 0 && offsets[array.length] == entries.length);
      for (std::int64_t i = 0; i < array.length; ++i) {
        FUZZ_CHECK(offsets[i] <= offsets[i + 1]);
        std::vector<std::pair<std::string, std::string>> row;
        for (std::int32_t k = offsets[i]; k < offsets[i + 1]; ++k) {
          row.emplace_back(keys[static_cast<std::size_t>(k)], values[static_cast<std::size_t>(k)]);
        }
        column.maps.push_back(std::move(row));
      }
      break;
    }
  }
  return column;
}

// A table read back from its batches: column name -> every row's value.
struct ReadTable {
  std::map<std::string, ReadColumn> columns;
  std::size_t rows = 0;
};

void read_batch(const Hl7TableBatch& batch, std::size_t row_bound, ReadTable& table) {
  const columns::ColumnBatch& data = *batch.batch;
  FUZZ_CHECK(data.rows > 0 && data.rows <= row_bound);
  ArrowSchema schema;
  columns::export_schema(data.fields, &schema);
  FUZZ_CHECK(schema.n_children == static_cast<std::int64_t>(data.fields.size()));
  ArrowArray first;
  ArrowArray second;
  columns::export_batch(batch.batch, &first);
  columns::export_batch(batch.batch, &second);
  FUZZ_CHECK(first.length == static_cast<std::int64_t>(data.rows));
  FUZZ_CHECK(first.n_children == static_cast<std::int64_t>(data.fields.size()));
  for (std::size_t i = 0; i < data.fields.size(); ++i) {
    FUZZ_CHECK(std::string(schema.children[i]->name) == data.fields[i].name);
    ReadColumn column = read_column(data.fields[i], *first.children[i], data.rows);
    ReadColumn& all = table.columns[data.fields[i].name];
    // A wide column met late is null in the rows before it.
    if (data.fields[i].type == columns::ColumnType::String) all.texts.resize(table.rows);
    for (auto& text : column.texts) all.texts.push_back(std::move(text));
    for (auto& number : column.numbers) all.numbers.push_back(number);
    for (auto& map : column.maps) all.maps.push_back(std::move(map));
  }
  // A consumer may move a child out and release it on its own, and release
  // the exports in any order.
  if (second.n_children > 0) {
    ArrowArray moved = *second.children[0];
    second.children[0]->release = nullptr;
    moved.release(&moved);
  }
  first.release(&first);
  second.release(&second);
  schema.release(&schema);
  table.rows += data.rows;
  for (auto& [name, column] : table.columns) {
    if (column.texts.size() < table.rows && !column.texts.empty()) column.texts.resize(table.rows);
  }
}

std::map<std::string, ReadTable> read_all(Hl7TableBuilder& builder, std::size_t row_bound) {
  builder.finish();
  std::map<std::string, ReadTable> tables;
  for (const Hl7TableBatch& batch : builder.take_batches())
    read_batch(batch, row_bound, tables[batch.table]);
  return tables;
}

std::vector<std::string_view> split(std::string_view input, char separator) {
  std::vector<std::string_view> out;
  for_each_piece(input, separator, [&](std::string_view piece) { out.push_back(piece); });
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return -1;
  const std::string_view input = fuzz::as_text(data + 1, size - 1);
  if (!is_valid_utf8(input)) return -1;
  const std::uint8_t settings = data[0];
  Hl7TableOptions options;
  options.escaping = (settings & 1) != 0;
  options.validation = (settings & 2) != 0;
  options.strict = (settings & 4) != 0;
  options.batch_rows = 1 + (settings >> 3);
  options.batch_bytes = 1 << 12;
  options.total_bytes = 1 << 14;
  Hl7TableBuilder from_text(options);
  Hl7TableBuilder from_records(options);

  const Hl7EscapeHandler handler = create_default_escape_handler();
  const std::vector<std::string_view> messages = split(input, '\x1e');
  std::vector<std::vector<fuzz::Record>> expected;
  std::vector<bool> refused;
  Hl7SegmentParser parser;
  for (std::size_t m = 0; m < messages.size(); ++m) {
    const std::string_view text = messages[m];
    Hl7MessageSource from{"fuzz", static_cast<std::int64_t>(m), std::nullopt, ""};
    from_text.add_text(from, text);
    // The records Hl7Json makes: every line, less the empty lines after the
    // last line with text (all of them kept when no line has text).
    std::vector<fuzz::Record> records;
    std::size_t kept = 0;
    for_each_raw_line(text, [&](std::string_view line) {
      parser.parse(line, options.escaping ? &handler : nullptr);
      records.push_back(fuzz::record_of(parser));
      if (!line.empty()) kept = records.size();
    });
    if (kept > 0) records.resize(kept);
    bool failed = false;
    if (options.validation) {
      Hl7MessageCheck check(Hl7Validator{options.strict, false});
      Status valid = Ok{};
      for_each_raw_line(text, [&](std::string_view line) {
        if (!valid) return;
        parser.parse(line, nullptr);
        valid = check.add_line(parser);
      });
      if (valid) valid = check.finish();
      failed = !valid;
    }
    if (failed) {
      from_records.add_error(from, "refused");
    } else {
      from_records.begin_records(from);
      for (const fuzz::Record& record : records) {
        std::vector<std::pair<std::string_view, std::string_view>> entries;
        for (const fuzz::Entry& entry : record) entries.emplace_back(entry.key, entry.value);
        from_records.add_record(entries);
      }
      from_records.end_records();
    }
    expected.push_back(std::move(records));
    refused.push_back(failed);
  }

  std::map<std::string, ReadTable> text_tables = read_all(from_text, options.batch_rows);
  std::map<std::string, ReadTable> record_tables = read_all(from_records, options.batch_rows);

  // messages: a row each, errors where validation refused.
  const ReadTable& messages_table = text_tables["messages"];
  FUZZ_CHECK(messages_table.rows == messages.size());
  const ReadColumn& errors = messages_table.columns.at("error");
  for (std::size_t m = 0; m < messages.size(); ++m) {
    FUZZ_CHECK(errors.texts[m].has_value() == refused[m]);
  }

  // segments: the records exactly, keys in order.
  std::vector<fuzz::Record> all_records;
  std::vector<std::string> names;
  for (std::size_t m = 0; m < messages.size(); ++m) {
    if (refused[m]) continue;
    for (const fuzz::Record& record : expected[m]) {
      fuzz::Record fields;
      for (const fuzz::Entry& entry : record) {
        if (entry.key == kSegmentNameKey) {
          names.push_back(entry.value);
        } else {
          fields.push_back(entry);
        }
      }
      all_records.push_back(std::move(fields));
    }
  }
  const ReadTable& segments = text_tables["segments"];
  FUZZ_CHECK(segments.rows == all_records.size());
  std::size_t value_count = 0;
  for (std::size_t i = 0; i < all_records.size(); ++i) {
    const auto& row = segments.columns.at("fields").maps[i];
    FUZZ_CHECK(row.size() == all_records[i].size());
    for (std::size_t k = 0; k < row.size(); ++k) {
      FUZZ_CHECK(row[k].first == all_records[i][k].key);
      FUZZ_CHECK(row[k].second == all_records[i][k].value);
    }
    FUZZ_CHECK(segments.columns.at("segment_name").texts[i] == names[i]);
    value_count += row.size();
  }
  // values: one row per entry (every key the parser prints has a place).
  const ReadTable& values = text_tables["values"];
  FUZZ_CHECK(values.rows == value_count);
  std::size_t at = 0;
  for (std::size_t i = 0; i < all_records.size(); ++i) {
    const bool header = names[i] == "MSH" || names[i] == "FHS" || names[i] == "BHS";
    for (const fuzz::Entry& entry : all_records[i]) {
      const auto position = Hl7KeyPosition::parse(entry.key);
      FUZZ_CHECK(position.has_value());
      FUZZ_CHECK(values.columns.at("value").texts[at] == entry.value);
      FUZZ_CHECK(*values.columns.at("field").numbers[at] ==
                 static_cast<std::int64_t>(position->field + (header ? 1 : 0)));
      FUZZ_CHECK(*values.columns.at("repetition").numbers[at] ==
                 static_cast<std::int64_t>(position->repetition));
      ++at;
    }
  }

  // Text and records give the same rows, message_id aside.
  for (const auto& [name, table] : text_tables) {
    const ReadTable& other = record_tables[name];
    FUZZ_CHECK(other.rows == table.rows);
    for (const auto& [column, read] : table.columns) {
      if (column == "error" || column == "sha256") continue;
      const ReadColumn& same = other.columns.at(column);
      FUZZ_CHECK(same.texts == read.texts);
      FUZZ_CHECK(same.numbers == read.numbers);
      FUZZ_CHECK(same.maps == read.maps);
    }
  }
  return 0;
}
