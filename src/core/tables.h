// Hl7TableBuilder: HL7 messages into the rows of the tables `messages`,
// `segments`, `values` and one wide table per segment name, as Arrow record
// batches of bounded size (columns.h). Messages come as text, parsed here by
// the same line cutting and parser as Hl7Json, or as records already made
// (JSON Lines); either way one message's rows are written in one call chain
// and a message that fails has its `messages` row and no other.
//
// Field numbers: record keys count MSH's fields from MSH-2 (key "9" is
// MSH-10), as the parser does. `values` and the wide tables number them as
// HL7 does, so for the header segments MSH, FHS and BHS, whose first "|" is
// field 1 itself, a record's field n is field n + 1 there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "columns.h"
#include "escape.h"
#include "keys.h"
#include "segment_parser.h"

namespace brenvolt {

// Which tables a builder makes, how it reads text, and how large its batches
// grow.
struct Hl7TableOptions {
  bool messages = true;
  bool segments = true;
  bool values = true;
  bool every_wide = true;               // a wide table for every segment name met
  std::vector<std::string> wide_names;  // or only for these
  bool escaping = true;                 // decode escape sequences, as Hl7Json does by default
  bool validation = false;              // refuse messages that break the structural rules
  bool strict = false;
  std::size_t batch_rows = 65536;        // a batch is closed at this many rows ...
  std::size_t batch_bytes = 64u << 20;   // ... or this many bytes of text;
  std::size_t total_bytes = 256u << 20;  // and the largest closes while all hold more
};

// Where a message comes from. `sha256` is its digest in hex, or empty for
// none; `offset` is its byte offset in its source, when known.
struct Hl7MessageSource {
  std::string_view source;
  std::int64_t index = 0;
  std::optional<std::int64_t> offset;
  std::string_view sha256;
};

// Where a value sits as `values` numbers it: field as HL7 numbers it,
// repetition from 0, component from 1.
struct Hl7ValuePlace {
  std::uint32_t field;
  std::uint32_t repetition;
  std::uint32_t component;
};

// A wide table's column: a field and a component, as HL7 numbers them.
struct Hl7WideColumn {
  std::uint32_t field;
  std::uint32_t component;
  auto operator<=>(const Hl7WideColumn&) const = default;
};

// A finished batch and the table it belongs to ("messages", "segments",
// "values", or a segment name).
struct Hl7TableBatch {
  std::string table;
  std::shared_ptr<const columns::ColumnBatch> batch;
};

// The column names and types of the fixed tables.
const std::vector<columns::ColumnField>& messages_fields();
const std::vector<columns::ColumnField>& segments_fields();
const std::vector<columns::ColumnField>& values_fields();
// A wide table's fields for these columns, in this order.
std::vector<columns::ColumnField> wide_fields(std::string_view segment,
                                              const std::vector<Hl7WideColumn>& columns);
// Whether a segment name gets a wide table: one or more ASCII letters,
// digits or "_" (so that it can name a column prefix and a folder).
bool has_wide_table(std::string_view segment);

class Hl7TableBuilder {
 public:
  explicit Hl7TableBuilder(Hl7TableOptions options);

  // A message as text (UTF-8, line endings as they came), its lines those
  // Hl7Json makes records of (none for the empty lines after the last line
  // with text). With validation on a message that breaks a rule gets an
  // error row and nothing else.
  void add_text(const Hl7MessageSource& from, std::string_view text);

  // A message as records, one call of add_record per record in order between
  // begin_records and end_records. `entries` are a record's (key, value)
  // pairs in its order, "segment_name" among them or not.
  void begin_records(const Hl7MessageSource& from);
  void add_record(const std::vector<std::pair<std::string_view, std::string_view>>& entries);
  void end_records();

  // A message that could not be read: its row in `messages`, with `error`.
  void add_error(const Hl7MessageSource& from, std::string_view error);

  // Fixes the columns of the wide table of `segment`: every batch of it has
  // exactly these, and values at other places are left out and counted.
  void fix_wide_columns(std::string_view segment, std::vector<Hl7WideColumn> columns);

  // Every column the wide table of `segment` has held so far, in order.
  std::vector<Hl7WideColumn> wide_columns(std::string_view segment) const;

  // Values left out of fixed wide tables.
  std::size_t values_left_out() const { return left_out_; }

  // Batches closed since the last call, oldest first.
  std::vector<Hl7TableBatch> take_batches();

  // Closes every partial batch (they come out of the next take_batches()).
  void finish();

 private:
  struct Table {
    std::vector<columns::ColumnField> fields;
    std::vector<columns::Column> columns;
    std::size_t rows = 0;
    std::size_t bytes = 0;  // text held, about: what batches are bounded by
  };
  // Usual wide columns are looked up in a flat table of this size.
  static constexpr std::uint32_t kFlatFields = 128;
  static constexpr std::uint32_t kFlatComponents = 32;
  struct WideTable {
    std::string name;
    bool fixed = false;
    std::vector<Hl7WideColumn> places;  // places[i] is column i + 2
    std::map<Hl7WideColumn, std::size_t> column_of;
    std::set<Hl7WideColumn> seen;     // every place any batch has had
    std::vector<std::uint32_t> flat;  // column of field * kFlatComponents + component, 0: none
    Table table;
    std::vector<std::size_t> written;  // last row + 1 each column was written for
  };
  // The header values of a message's MSH record, by messages_fields() order.
  struct Header {
    bool seen = false;
    std::optional<std::string> values[8];
  };

  void begin_message(const Hl7MessageSource& from);
  // Rows for `count` empty lines: records with an empty segment name.
  void add_empty_lines(std::size_t count);
  // Writes the message_id of the rows of values and segments that have none
  // yet: they all belong to the message being written.
  void fill_message_ids();
  void end_message(std::string_view error, bool failed);
  // One record: its segment name (when it has one) and its entries.
  // Entries: a callable taking a visitor, which it calls with each entry's
  // position (null for a key of no form), key text (empty: to be written
  // from the position) and value, in order: at most `entry_count` of them,
  // whose values take at most `value_bytes` together.
  template <class Entries>
  void add_segment(std::optional<std::string_view> name, std::size_t entry_count,
                   std::size_t value_bytes, Entries&& for_each_entry);
  WideTable* wide_table(std::string_view name);
  void add_wide_value(WideTable& wide, std::size_t row, const Hl7ValuePlace& place,
                      std::string_view value);
  static void index_columns(WideTable& wide);
  void close_if_full(Table& table, std::string_view name);
  // Closes the batch that holds the most text; false when none holds a row.
  bool close_largest();
  void count_bytes(Table& table, std::size_t bytes) {
    table.bytes += bytes;
    pending_bytes_ += bytes;
  }
  void close(Table& table, std::string_view name);
  void close_wide(WideTable& wide);
  static void reset(Table& table, const std::vector<columns::ColumnField>& fields);

  Hl7TableOptions options_;
  Hl7EscapeHandler escape_handler_;
  Hl7SegmentParser parser_;
  Table messages_;
  Table segments_;
  Table values_;
  std::unordered_map<std::string, std::unique_ptr<WideTable>> wide_;
  std::vector<WideTable*> wide_order_;  // in the order they were made
  std::vector<Hl7TableBatch> ready_;
  std::size_t left_out_ = 0;
  std::size_t pending_bytes_ = 0;  // the bytes of every table's batch in the making
  std::size_t values_ids_missing_ = 0;
  std::size_t segments_ids_missing_ = 0;

  // The message being written.
  std::string message_id_;
  Hl7MessageSource from_;
  std::string source_;
  std::string sha256_;
  std::int32_t segment_index_ = 0;
  Header header_;
};

}  // namespace brenvolt
