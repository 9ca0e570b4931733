#include "tables.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "lines.h"
#include "validation.h"

namespace brenvolt {
namespace {

using columns::Column;
using columns::ColumnField;
using columns::ColumnType;

// The messages table's columns, in order; the header columns come from the
// message's first MSH record, at these places in record numbering (field,
// component; a whole value is component 1).
enum MessagesColumn : std::size_t {
  kMessageId,
  kSource,
  kMessageIndex,
  kByteOffset,
  kControlId,
  kMessageType,
  kTriggerEvent,
  kMessageStructure,
  kSentAt,
  kVersion,
  kSendingApplication,
  kSendingFacility,
  kSha256,
  kSegmentCount,
  kError,
};
constexpr std::size_t kFirstHeaderColumn = kControlId;
struct HeaderPlace {
  std::uint64_t field;
  std::uint64_t component;
};
// MSH-10, MSH-9.1 to MSH-9.3, MSH-7, MSH-12.1, MSH-3.1, MSH-4.1: record keys
// count from MSH-2, so MSH-n is field n - 1 here.
constexpr HeaderPlace kHeaderPlaces[8] = {{9, 1}, {8, 1},  {8, 2}, {8, 3},
                                          {6, 1}, {11, 1}, {2, 1}, {3, 1}};

enum SegmentsColumn : std::size_t { kSegmentIndex = 1, kSegmentName, kFields };
enum ValuesColumn : std::size_t { kField = 3, kRepetition, kComponent, kValue };

ColumnField text(const char* name, bool nullable = true) {
  return {name, ColumnType::String, nullable};
}

// Segments whose field 1 is the field separator itself.
bool is_header_segment(std::string_view name) {
  return name == "MSH" || name == "FHS" || name == "BHS";
}

constexpr std::uint64_t kMostInt32 = std::numeric_limits<std::int32_t>::max();

// Where an entry sits as `values` numbers it: field as HL7 numbers it,
// repetition from 0, component from 1. Nothing for segment_name and for keys
// that name no place a table can hold (no form, field or component 0,
// numbers past int32).
[[gnu::always_inline]] inline std::optional<Hl7ValuePlace> value_place(
    const Hl7KeyPosition& position, bool header) {
  using Form = Hl7KeyPosition::Form;
  if (position.form == Form::SegmentName || position.field == 0) return std::nullopt;
  const bool has_component =
      position.form == Form::Component || position.form == Form::RepetitionComponent;
  const std::uint64_t component = has_component ? position.component : 1;
  const std::uint64_t field = position.field + (header ? 1 : 0);
  if (component == 0 || field > kMostInt32 || position.repetition > kMostInt32 ||
      component > kMostInt32) {
    return std::nullopt;
  }
  return Hl7ValuePlace{static_cast<std::uint32_t>(field),
                       static_cast<std::uint32_t>(position.repetition),
                       static_cast<std::uint32_t>(component)};
}

// Writes n in decimal at `at`; returns the end. Two-digit numbers, the usual
// ones, without a division loop.
[[gnu::always_inline]] inline char* write_number(char* at, std::uint64_t n) {
  if (n < 10) {
    *at = static_cast<char>('0' + n);
    return at + 1;
  }
  if (n < 100) {
    at[0] = static_cast<char>('0' + n / 10);
    at[1] = static_cast<char>('0' + n % 10);
    return at + 2;
  }
  return std::to_chars(at, at + 20, n).ptr;
}

// The most bytes a key text takes: three 20-digit numbers, "[", "]" and ".".
constexpr std::size_t kMostKeyText = 64;

// Writes the key text of `position` (not segment_name) at `at`, as
// Hl7KeyPosition::append_key_text does; returns the end.
[[gnu::always_inline]] inline char* write_key_text(char* at, const Hl7KeyPosition& position) {
  using Form = Hl7KeyPosition::Form;
  at = write_number(at, position.field);
  if (position.form == Form::Repetition || position.form == Form::RepetitionComponent) {
    *at++ = '[';
    at = write_number(at, position.repetition);
    *at++ = ']';
  }
  if (position.form == Form::Component || position.form == Form::RepetitionComponent) {
    *at++ = '.';
    at = write_number(at, position.component);
  }
  return at;
}

void append_number(std::string& out, std::uint64_t n) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  out.append(digits, end);
}

}  // namespace

const std::vector<ColumnField>& messages_fields() {
  static const std::vector<ColumnField> fields = {
      text("message_id", false),
      text("source", false),
      {"message_index", ColumnType::Int64, false},
      {"byte_offset", ColumnType::Int64, true},
      text("control_id"),
      text("message_type"),
      text("trigger_event"),
      text("message_structure"),
      text("sent_at"),
      text("version"),
      text("sending_application"),
      text("sending_facility"),
      text("sha256"),
      {"segment_count", ColumnType::Int32, true},
      text("error"),
  };
  return fields;
}

const std::vector<ColumnField>& segments_fields() {
  static const std::vector<ColumnField> fields = {
      text("message_id", false),
      {"segment_index", ColumnType::Int32, false},
      text("segment_name"),
      {"fields", ColumnType::StringMap, false},
  };
  return fields;
}

const std::vector<ColumnField>& values_fields() {
  static const std::vector<ColumnField> fields = {
      text("message_id", false),
      {"segment_index", ColumnType::Int32, false},
      text("segment_name"),
      {"field", ColumnType::Int32, false},
      {"repetition", ColumnType::Int32, false},
      {"component", ColumnType::Int32, false},
      text("value", false),
  };
  return fields;
}

std::vector<ColumnField> wide_fields(std::string_view segment,
                                     const std::vector<Hl7WideColumn>& columns) {
  std::vector<ColumnField> fields = {text("message_id", false),
                                     {"segment_index", ColumnType::Int32, false}};
  for (const Hl7WideColumn& column : columns) {
    std::string name(segment);
    name.push_back('_');
    append_number(name, column.field);
    name.push_back('_');
    append_number(name, column.component);
    fields.push_back({std::move(name), ColumnType::String, true});
  }
  return fields;
}

bool has_wide_table(std::string_view segment) {
  if (segment.empty()) return false;
  return std::all_of(segment.begin(), segment.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

Hl7TableBuilder::Hl7TableBuilder(Hl7TableOptions options)
    : options_(std::move(options)), escape_handler_(create_default_escape_handler()) {
  reset(messages_, messages_fields());
  reset(segments_, segments_fields());
  reset(values_, values_fields());
}

void Hl7TableBuilder::reset(Table& table, const std::vector<ColumnField>& fields) {
  table.fields = fields;
  table.columns.clear();
  for (const ColumnField& field : fields) table.columns.emplace_back(field.type);
  table.rows = 0;
  table.bytes = 0;
}

void Hl7TableBuilder::begin_message(const Hl7MessageSource& from) {
  source_.assign(from.source);
  sha256_.assign(from.sha256);
  from_ = from;
  from_.source = source_;
  from_.sha256 = sha256_;
  message_id_.assign(from.source);
  message_id_.push_back('#');
  if (from.index < 0) message_id_.push_back('-');
  append_number(message_id_, from.index < 0 ? 0 - static_cast<std::uint64_t>(from.index)
                                            : static_cast<std::uint64_t>(from.index));
  segment_index_ = 0;
  header_ = Header{};
}

void Hl7TableBuilder::fill_message_ids() {
  if (values_ids_missing_ > 0) {
    values_.columns[0].append_repeated(message_id_, values_ids_missing_);
    values_ids_missing_ = 0;
  }
  if (segments_ids_missing_ > 0) {
    segments_.columns[0].append_repeated(message_id_, segments_ids_missing_);
    segments_ids_missing_ = 0;
  }
}

void Hl7TableBuilder::end_message(std::string_view error, bool failed) {
  fill_message_ids();
  if (!options_.messages) return;
  std::vector<Column>& c = messages_.columns;
  c[kMessageId].append_string(message_id_);
  c[kSource].append_string(from_.source);
  c[kMessageIndex].append_int64(from_.index);
  if (from_.offset) {
    c[kByteOffset].append_int64(*from_.offset);
  } else {
    c[kByteOffset].append_null();
  }
  for (std::size_t i = 0; i < std::size(header_.values); ++i) {
    const std::optional<std::string>& value = header_.values[i];
    if (value) {
      c[kFirstHeaderColumn + i].append_string(*value);
    } else {
      c[kFirstHeaderColumn + i].append_null();
    }
  }
  if (from_.sha256.empty()) {
    c[kSha256].append_null();
  } else {
    c[kSha256].append_string(from_.sha256);
  }
  if (failed) {
    c[kSegmentCount].append_null();
    c[kError].append_string(error);
  } else {
    c[kSegmentCount].append_int32(segment_index_);
    c[kError].append_null();
  }
  ++messages_.rows;
  std::size_t bytes =
      message_id_.size() + from_.source.size() + from_.sha256.size() + error.size() + 48;
  for (const std::optional<std::string>& value : header_.values) bytes += value ? value->size() : 0;
  count_bytes(messages_, bytes);
  close_if_full(messages_, "messages");
  while (pending_bytes_ > options_.total_bytes && close_largest()) {
  }
}

Hl7TableBuilder::WideTable* Hl7TableBuilder::wide_table(std::string_view name) {
  auto found = wide_.find(std::string(name));
  if (found != wide_.end()) return found->second.get();
  const bool wanted = options_.every_wide
                          ? has_wide_table(name)
                          : std::find(options_.wide_names.begin(), options_.wide_names.end(),
                                      name) != options_.wide_names.end();
  if (!wanted) return nullptr;
  auto table = std::make_unique<WideTable>();
  table->name = std::string(name);
  table->flat.assign(kFlatFields * kFlatComponents, 0);
  reset(table->table, wide_fields(name, {}));
  WideTable* made = table.get();
  wide_.emplace(std::string(name), std::move(table));
  wide_order_.push_back(made);
  return made;
}

template <class Entries>
void Hl7TableBuilder::add_segment(std::optional<std::string_view> name, std::size_t entry_count,
                                  std::size_t value_bytes, Entries&& for_each_entry) {
  const std::int32_t segment_index = segment_index_++;
  const bool header = name && is_header_segment(*name);
  const bool capture_header = name && *name == "MSH" && !header_.seen;
  if (capture_header) header_.seen = true;
  WideTable* wide =
      (name && (options_.every_wide || !options_.wide_names.empty())) ? wide_table(*name) : nullptr;
  if (wide != nullptr) {
    std::vector<Column>& c = wide->table.columns;
    c[0].append_string(message_id_);
    c[1].append_int32(segment_index);
  }
  const std::size_t wide_row = wide != nullptr ? wide->table.rows : 0;
  const bool segments = options_.segments;
  const bool values = options_.values;
  const bool places_needed = values || wide != nullptr || capture_header;
  Column& fields = segments_.columns[kFields];
  std::vector<Column>& v = values_.columns;
  std::size_t segment_bytes = 0;
  // The segment's values, written to their columns together: each column in
  // one loop, not each row across seven columns.
  // The segment's values are written through plain pointers into room made
  // for all of them at once (entry_count rows, value_bytes of text); the
  // columns that repeat along the segment are filled when they are done.
  Column::TextRows value_out{};
  std::int32_t* field_out = nullptr;
  std::int32_t* repetition_out = nullptr;
  std::int32_t* component_out = nullptr;
  std::size_t count = 0;       // rows written since the room was made
  std::size_t text_bytes = 0;  // their value bytes
  std::size_t room = 0;        // rows that may still be written
  std::size_t entries_left = entry_count;
  const auto make_room = [&] {
    const std::size_t bound =
        options_.batch_rows > values_.rows ? options_.batch_rows - values_.rows : 1;
    room = std::min(entries_left > 0 ? entries_left : 1, bound);
    value_out = v[kValue].begin_texts(room, value_bytes);
    field_out = v[kField].begin_int32s(room);
    repetition_out = v[kRepetition].begin_int32s(room);
    component_out = v[kComponent].begin_int32s(room);
  };
  const auto write_values = [&] {
    if (count == 0) return;
    v[kValue].commit_texts(value_out, count);
    v[kField].commit_int32s(count);
    v[kRepetition].commit_int32s(count);
    v[kComponent].commit_int32s(count);
    values_ids_missing_ += count;  // message_id: written for the whole message at once
    v[kSegmentIndex].append_repeated_int32(segment_index, count);
    if (name) {
      v[kSegmentName].append_repeated(*name, count);
    } else {
      for (std::size_t i = 0; i < count; ++i) v[kSegmentName].append_null();
    }
    values_.rows += count;
    count_bytes(values_,
                (message_id_.size() + (name ? name->size() : 0) + 16) * count + text_bytes);
    entries_left -= count;
    count = 0;
    text_bytes = 0;
    close_if_full(values_, "values");
  };
  if (values) make_room();

  // position: null for a key of no form; key: its text, or empty to be
  // written from the position.
  for_each_entry([&](const Hl7KeyPosition* position, std::string_view key,
                     std::string_view value) __attribute__((always_inline)) {
    if (segments) {
      if (position != nullptr && key.empty()) {
        fields.map_entry_written(
            kMostKeyText, [&](char* at) { return write_key_text(at, *position); }, value);
      } else {
        fields.map_entry(key, value);
      }
      segment_bytes += value.size() + 8;
    }
    if (position == nullptr || !places_needed) return;
    const std::optional<Hl7ValuePlace> place = value_place(*position, header);
    if (!place) return;
    if (capture_header && position->repetition == 0) {
      for (std::size_t i = 0; i < std::size(kHeaderPlaces); ++i) {
        if (kHeaderPlaces[i].field == position->field &&
            kHeaderPlaces[i].component == place->component) {
          header_.values[i] = std::string(value);
        }
      }
    }
    if (values) {
      if (count == room) {
        write_values();
        make_room();
      }
      Column::write_text(value_out, value);
      field_out[count] = static_cast<std::int32_t>(place->field);
      repetition_out[count] = static_cast<std::int32_t>(place->repetition);
      component_out[count] = static_cast<std::int32_t>(place->component);
      ++count;
      text_bytes += value.size();
    }
    if (wide != nullptr && place->repetition == 0) add_wide_value(*wide, wide_row, *place, value);
  });

  write_values();
  if (segments) {
    std::vector<Column>& c = segments_.columns;
    ++segments_ids_missing_;
    c[kSegmentIndex].append_int32(segment_index);
    if (name) {
      c[kSegmentName].append_string(*name);
    } else {
      c[kSegmentName].append_null();
    }
    fields.end_map();
    ++segments_.rows;
    count_bytes(segments_, message_id_.size() + segment_bytes + 16);
    close_if_full(segments_, "segments");
  }
  if (wide != nullptr) {
    ++wide->table.rows;
    // Every column takes an offset a row, null or not.
    count_bytes(wide->table, message_id_.size() + 4 * wide->table.columns.size());
    if (wide->table.rows >= options_.batch_rows || wide->table.bytes >= options_.batch_bytes) {
      close_wide(*wide);
    }
  }
  while (pending_bytes_ > options_.total_bytes && close_largest()) {
  }
}

bool Hl7TableBuilder::close_largest() {
  Table* largest = nullptr;
  const char* name = nullptr;
  WideTable* largest_wide = nullptr;
  std::size_t most = 0;
  const auto consider = [&](Table& table, const char* table_name, WideTable* wide) {
    if (table.rows > 0 && table.bytes > most) {
      most = table.bytes;
      largest = &table;
      name = table_name;
      largest_wide = wide;
    }
  };
  consider(messages_, "messages", nullptr);
  consider(segments_, "segments", nullptr);
  consider(values_, "values", nullptr);
  for (WideTable* wide : wide_order_) consider(wide->table, nullptr, wide);
  if (largest == nullptr) return false;
  if (largest_wide != nullptr) {
    close_wide(*largest_wide);
  } else {
    close(*largest, name);
  }
  return true;
}

void Hl7TableBuilder::add_wide_value(WideTable& wide, std::size_t row, const Hl7ValuePlace& place,
                                     std::string_view value) {
  const Hl7WideColumn at{place.field, place.component};
  // Usual places are found in a flat table; others in the map.
  const bool flat = at.field < kFlatFields && at.component < kFlatComponents;
  const std::size_t slot = flat ? at.field * kFlatComponents + at.component : 0;
  std::size_t column = flat ? wide.flat[slot] : 0;
  if (column == 0) {
    auto found = wide.column_of.find(at);
    if (found != wide.column_of.end()) {
      column = found->second;
    } else if (wide.fixed) {
      ++left_out_;
      return;
    } else {
      column = wide.table.columns.size();
      wide.column_of.emplace(at, column);
      wide.seen.insert(at);
      wide.places.push_back(at);
      wide.table.columns.emplace_back(ColumnType::String);
      wide.table.fields.push_back({});  // named when the batch is closed
      wide.written.push_back(0);
    }
    if (flat) wide.flat[slot] = static_cast<std::uint32_t>(column);
  }
  Column& cell = wide.table.columns[column];
  if (wide.written[column - 2] == row + 1) {
    cell.drop_last_string();  // the later entry for the same place wins
  } else {
    cell.pad_to(row);
  }
  cell.append_string(value);
  wide.written[column - 2] = row + 1;
  count_bytes(wide.table, value.size() + 4);
}

void Hl7TableBuilder::add_text(const Hl7MessageSource& from, std::string_view text) {
  if (options_.validation) {
    Hl7MessageCheck check(Hl7Validator{options_.strict, false});
    Status valid = Ok{};
    for_each_raw_line(text, [&](std::string_view line) {
      if (!valid) return;
      parser_.parse(line, nullptr);
      valid = check.add_line(parser_);
    });
    if (valid) valid = check.finish();
    if (!valid) {
      add_error(from, valid.error().message());
      return;
    }
  }
  begin_message(from);
  const Hl7EscapeHandler* handler = options_.escaping ? &escape_handler_ : nullptr;
  // The lines Hl7Json makes records of: no record for the empty lines after
  // the last line with text.
  Hl7TrailingLines trailing;
  for_each_raw_line(text, [&](std::string_view line) {
    const std::size_t held = trailing.release_before(line);
    if (line.empty()) return;
    add_empty_lines(held);
    parser_.parse(line, handler);
    add_segment(parser_.name(), parser_.entry_count(), line.size(), [&](auto&& visit) {
      parser_.for_each_entry([&](const Hl7KeyPosition& position, std::string_view value) {
        if (position.form == Hl7KeyPosition::Form::SegmentName) return;
        visit(&position, std::string_view(), value);
      });
    });
  });
  add_empty_lines(trailing.at_end());
  end_message({}, false);
}

void Hl7TableBuilder::add_empty_lines(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    add_segment(std::string_view(), 0, 0, [](auto&&) {});
  }
}

void Hl7TableBuilder::begin_records(const Hl7MessageSource& from) { begin_message(from); }

void Hl7TableBuilder::add_record(
    const std::vector<std::pair<std::string_view, std::string_view>>& entries) {
  std::optional<std::string_view> name;
  for (const auto& [key, value] : entries) {
    if (key == kSegmentNameKey) name = value;
  }
  std::size_t value_bytes = 0;
  for (const auto& entry : entries) value_bytes += entry.second.size();
  add_segment(name, entries.size(), value_bytes, [&](auto&& visit) {
    for (const auto& [key, value] : entries) {
      if (key == kSegmentNameKey) continue;
      const std::optional<Hl7KeyPosition> position = Hl7KeyPosition::parse(key);
      visit(position ? &*position : nullptr, key, value);
    }
  });
}

void Hl7TableBuilder::end_records() { end_message({}, false); }

void Hl7TableBuilder::add_error(const Hl7MessageSource& from, std::string_view error) {
  begin_message(from);
  end_message(error, true);
}

void Hl7TableBuilder::fix_wide_columns(std::string_view segment,
                                       std::vector<Hl7WideColumn> columns) {
  WideTable* wide = wide_table(segment);
  if (wide == nullptr) return;
  std::sort(columns.begin(), columns.end());
  columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
  wide->fixed = true;
  wide->seen.insert(columns.begin(), columns.end());
  wide->places = std::move(columns);
  wide->column_of.clear();
  reset(wide->table, wide_fields(segment, wide->places));
  wide->written.assign(wide->places.size(), 0);
  index_columns(*wide);
}

void Hl7TableBuilder::index_columns(WideTable& wide) {
  wide.column_of.clear();
  wide.flat.assign(kFlatFields * kFlatComponents, 0);
  for (std::size_t i = 0; i < wide.places.size(); ++i) {
    const Hl7WideColumn at = wide.places[i];
    wide.column_of.emplace(at, i + 2);
    if (at.field < kFlatFields && at.component < kFlatComponents) {
      wide.flat[at.field * kFlatComponents + at.component] = static_cast<std::uint32_t>(i + 2);
    }
  }
}

std::vector<Hl7WideColumn> Hl7TableBuilder::wide_columns(std::string_view segment) const {
  auto found = wide_.find(std::string(segment));
  if (found == wide_.end()) return {};
  return std::vector<Hl7WideColumn>(found->second->seen.begin(), found->second->seen.end());
}

void Hl7TableBuilder::close_if_full(Table& table, std::string_view name) {
  if (table.rows >= options_.batch_rows || table.bytes >= options_.batch_bytes) close(table, name);
}

void Hl7TableBuilder::close(Table& table, std::string_view name) {
  if (table.rows == 0) return;
  if (&table == &values_ || &table == &segments_) fill_message_ids();
  pending_bytes_ -= table.bytes;
  auto batch = std::make_shared<columns::ColumnBatch>();
  batch->fields = table.fields;
  batch->columns = std::move(table.columns);
  batch->rows = table.rows;
  std::vector<ColumnField> fields = std::move(table.fields);
  reset(table, fields);
  // The next batch is likely as large: room for it at once, touched only as
  // it fills.
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    table.columns[i].reserve_like(batch->columns[i]);
  }
  ready_.push_back({std::string(name), std::move(batch)});
}

void Hl7TableBuilder::close_wide(WideTable& wide) {
  Table& table = wide.table;
  if (table.rows == 0) return;
  pending_bytes_ -= table.bytes;
  for (Column& column : table.columns) column.pad_to(table.rows);
  // Columns in field and component order; a fixed table has them so already.
  std::vector<std::size_t> order(wide.places.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return wide.places[a] < wide.places[b]; });
  std::vector<Hl7WideColumn> places;
  auto batch = std::make_shared<columns::ColumnBatch>();
  batch->columns.push_back(std::move(table.columns[0]));
  batch->columns.push_back(std::move(table.columns[1]));
  for (std::size_t i : order) {
    places.push_back(wide.places[i]);
    batch->columns.push_back(std::move(table.columns[i + 2]));
  }
  batch->fields = wide_fields(wide.name, places);
  batch->rows = table.rows;
  ready_.push_back({wide.name, std::move(batch)});
  // The next batch starts with every column met so far, kept where they
  // are (so the index stands): a table's batches only ever gain columns.
  reset(table, wide_fields(wide.name, wide.places));
  wide.written.assign(wide.places.size(), 0);
}

std::vector<Hl7TableBatch> Hl7TableBuilder::take_batches() { return std::exchange(ready_, {}); }

void Hl7TableBuilder::finish() {
  close(messages_, "messages");
  close(segments_, "segments");
  close(values_, "values");
  for (WideTable* wide : wide_order_) close_wide(*wide);
}

}  // namespace brenvolt
