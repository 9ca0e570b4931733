// Arrow columns built row by row in plain memory, and record batches of them
// handed out through the Arrow C Data Interface (arrow_abi.h): strings, 32- and
// 64-bit integers, each nullable, and map<string, string>. A finished batch
// is immutable and shared by all its exports, so it can be exported as often
// as a consumer asks, without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_abi.h"

namespace brenvolt::columns {

// A growable run of bytes, 64-byte aligned as Arrow recommends. Its data is
// never a null pointer, even when empty, since consumers may read a buffer's
// first offset or byte.
class Buffer {
 public:
  Buffer();
  Buffer(Buffer&& other) noexcept;
  Buffer& operator=(Buffer&& other) noexcept;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer();

  const std::uint8_t* data() const { return data_; }
  std::uint8_t* data() { return data_; }
  std::size_t size() const { return size_; }

  void append(const void* bytes, std::size_t count) {
    if (size_ + count > capacity_) grow(size_ + count);
    if (count > 0) std::memcpy(data_ + size_, bytes, count);
    size_ += count;
  }
  template <class T>
  void push(T value) {
    append(&value, sizeof value);
  }
  // Sets the size; bytes past the old size are zero.
  void resize(std::size_t size);

 private:
  void grow(std::size_t needed);
  std::uint8_t* data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

enum class ColumnType : std::uint8_t { String, Int32, Int64, StringMap };

// A column of a table: its name, type and whether it may hold nulls.
struct ColumnField {
  std::string name;
  ColumnType type;
  bool nullable;
};

// One column, appended to a row at a time. A String or StringMap column holds
// at most 2^31 - 1 bytes of text (its offsets are 32-bit): callers close a
// batch well before, and check_room() says when one value would not fit.
class Column {
 public:
  explicit Column(ColumnType type);

  ColumnType type() const { return type_; }
  std::size_t length() const { return length_; }
  std::size_t null_count() const { return null_count_; }
  // Text bytes held (keys and values for a map), the measure batches are
  // bounded by.
  std::size_t text_bytes() const { return data_.size() + keys_.size(); }

  // Whether `bytes` more text still fit the 32-bit offsets.
  bool has_room(std::size_t bytes) const;

  void append_string(std::string_view text) {
    data_.append(text.data(), text.size());
    offsets_.push(static_cast<std::int32_t>(data_.size()));
    append_valid();
  }
  void append_int32(std::int32_t value) {
    data_.push(value);
    append_valid();
  }
  void append_int64(std::int64_t value) {
    data_.push(value);
    append_valid();
  }
  void append_null();
  // Appends nulls until the column holds `rows` rows.
  void pad_to(std::size_t rows) {
    while (length_ < rows) append_null();
  }
  // Takes back the last String row (a later value for the same cell).
  void drop_last_string();

  // A map row: its entries, then end_map().
  void map_entry(std::string_view key, std::string_view value) {
    keys_.append(key.data(), key.size());
    key_offsets_.push(static_cast<std::int32_t>(keys_.size()));
    data_.append(value.data(), value.size());
    offsets_.push(static_cast<std::int32_t>(data_.size()));
    ++entries_;
  }
  void end_map() {
    map_offsets_.push(static_cast<std::int32_t>(entries_));
    append_valid();
  }

 private:
  friend struct ExportedBatch;
  void append_valid() {
    if (null_count_ > 0) set_bit(length_);
    ++length_;
  }
  void set_bit(std::size_t row);
  void materialise_validity();

  ColumnType type_;
  std::size_t length_ = 0;
  std::size_t null_count_ = 0;
  Buffer validity_;  // empty while every row is valid
  Buffer data_;      // values: text, or the integers
  Buffer offsets_;   // String and StringMap: int32 offsets into data_
  // StringMap only: the map's own offsets into its entries, and the keys.
  Buffer map_offsets_;
  Buffer keys_;
  Buffer key_offsets_;
  std::size_t entries_ = 0;
};

// Finished columns of equal length: one record batch.
struct ColumnBatch {
  std::vector<ColumnField> fields;
  std::vector<Column> columns;
  std::size_t rows = 0;
};

// Fills `out` with the schema of a record batch of `fields` (a struct of
// them). The consumer owns it and calls its release.
void export_schema(const std::vector<ColumnField>& fields, ArrowSchema* out);

// Fills `out` with `batch` as a struct array; the export holds a reference
// to the batch until its release (and each child's) has been called.
void export_batch(const std::shared_ptr<const ColumnBatch>& batch, ArrowArray* out);

}  // namespace brenvolt::columns
