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
#include "bytes.h"

namespace brenvolt::columns {

// A growable run of bytes, 64-byte aligned as Arrow recommends. Its data is
// never a null pointer, even when empty, since consumers may read a buffer's
// first offset or byte.
class Buffer {
 public:
  Buffer() = default;
  Buffer(Buffer&& other) noexcept;
  Buffer& operator=(Buffer&& other) noexcept;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer();

  // Never null: an empty buffer shows a static, aligned block.
  const std::uint8_t* data() const { return data_ != nullptr ? data_ : empty_block(); }
  std::uint8_t* data() { return data_; }
  std::size_t size() const { return size_; }

  void append(const void* bytes, std::size_t count) {
    if (count > capacity_ - size_) grow(size_ + count);
    if (count > 0) std::memcpy(data_ + size_, bytes, count);
    size_ += count;
  }
  // Appends `text`; short texts without a call.
  [[gnu::always_inline]] void append_text(std::string_view text) {
    if (text.size() > capacity_ - size_) grow(size_ + text.size());
    copy_text(reinterpret_cast<char*>(data_ + size_), text);
    size_ += text.size();
  }
  template <class T>
  [[gnu::always_inline]] void push(T value) {
    if (sizeof value > capacity_ - size_) grow(size_ + sizeof value);
    std::memcpy(data_ + size_, &value, sizeof value);
    size_ += sizeof value;
  }
  // At least `count` bytes of room after the end, to be filled and then
  // claimed with advance().
  [[gnu::always_inline]] char* room(std::size_t count) {
    if (count > capacity_ - size_) grow(size_ + count);
    return reinterpret_cast<char*>(data_ + size_);
  }
  void advance(std::size_t count) { size_ += count; }
  // Room for `capacity` bytes in all, so that appends up to it do not move
  // the data.
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) grow(capacity);
  }
  std::size_t capacity() const { return capacity_; }
  // Sets the size; bytes past the old size are zero.
  void resize(std::size_t size);

 private:
  [[gnu::noinline]] void grow(std::size_t needed);
  static const std::uint8_t* empty_block();
  friend class Column;
  // Copies a text of up to 32 bytes by a few fixed moves, as bytes.h does,
  // and longer ones by a call.
  [[gnu::always_inline]] static void copy_text(char* to, std::string_view text) {
    const std::size_t n = text.size();
    const char* from = text.data();
    struct Block {
      std::uint64_t a, b;
    };
    if (n >= 8) {
      if (n <= 16) {
        copy_two_words<std::uint64_t>(to, from, n);
      } else if (n <= 32) {
        copy_two_words<Block>(to, from, n);
      } else {
        std::memcpy(to, from, n);
      }
    } else if (n >= 4) {
      copy_two_words<std::uint32_t>(to, from, n);
    } else if (n != 0) {
      to[0] = from[0];
      to[n / 2] = from[n / 2];
      to[n - 1] = from[n - 1];
    }
  }
  std::uint8_t* data_ = nullptr;
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

  [[gnu::always_inline]] void append_string(std::string_view text) {
    data_.append_text(text);
    offsets_.push(static_cast<std::int32_t>(data_.size()));
    append_valid();
  }
  // Appends `text` in `count` rows.
  void append_repeated(std::string_view text, std::size_t count);
  void append_repeated_int32(std::int32_t value, std::size_t count);
  // Appends count rows at once: ints(i) gives row i. Room is made once, and
  // the rows are written through a local pointer.
  template <class Int>
  void append_int32s(std::size_t count, Int&& ints);

  // Writing many rows through plain pointers: begin_*() makes room for at
  // most `rows` rows (and `bytes` of text) and returns where they go; the
  // caller writes them, appending nothing else to the column meanwhile,
  // then commits how many it wrote. Every row is valid.
  struct TextRows {
    char* data;             // where the next text goes
    std::int32_t* offsets;  // the next row's end offset
    std::size_t end;        // the offset after the last text written
  };
  TextRows begin_texts(std::size_t rows, std::size_t bytes) {
    TextRows out{data_.room(bytes), nullptr, data_.size()};
    out.offsets = reinterpret_cast<std::int32_t*>(offsets_.room(rows * sizeof(std::int32_t)));
    return out;
  }
  [[gnu::always_inline]] static void write_text(TextRows& rows, std::string_view text) {
    Buffer::copy_text(rows.data, text);
    rows.data += text.size();
    rows.end += text.size();
    *rows.offsets++ = static_cast<std::int32_t>(rows.end);
  }
  void commit_texts(const TextRows& rows, std::size_t count) {
    data_.advance(rows.end - data_.size());
    offsets_.advance(count * sizeof(std::int32_t));
    commit_valid(count);
  }
  std::int32_t* begin_int32s(std::size_t rows) {
    return reinterpret_cast<std::int32_t*>(data_.room(rows * sizeof(std::int32_t)));
  }
  void commit_int32s(std::size_t count) {
    data_.advance(count * sizeof(std::int32_t));
    commit_valid(count);
  }
  [[gnu::always_inline]] void append_int32(std::int32_t value) {
    data_.push(value);
    append_valid();
  }
  [[gnu::always_inline]] void append_int64(std::int64_t value) {
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

  // Room for as much as `other` holds, so that a batch like the last one
  // grows without moving.
  void reserve_like(const Column& other);

  // A map row: its entries, then end_map().
  [[gnu::always_inline]] void map_entry(std::string_view key, std::string_view value) {
    keys_.append_text(key);
    end_key();
    map_value(value);
  }
  // An entry whose key is written in place: write(char* at) writes at most
  // `most` bytes at `at` and returns the end of what it wrote.
  template <class Write>
  [[gnu::always_inline]] void map_entry_written(std::size_t most, Write&& write,
                                                std::string_view value) {
    char* at = keys_.room(most);
    keys_.advance(static_cast<std::size_t>(write(at) - at));
    end_key();
    map_value(value);
  }
  void end_map() {
    map_offsets_.push(static_cast<std::int32_t>(entries_));
    append_valid();
  }

 private:
  friend struct ExportedBatch;
  [[gnu::always_inline]] void end_key() {
    key_offsets_.push(static_cast<std::int32_t>(keys_.size()));
  }
  [[gnu::always_inline]] void map_value(std::string_view value) {
    data_.append_text(value);
    offsets_.push(static_cast<std::int32_t>(data_.size()));
    ++entries_;
  }
  void commit_valid(std::size_t count) {
    if (null_count_ > 0) {
      for (std::size_t i = 0; i < count; ++i) set_bit(length_ + i);
    }
    length_ += count;
  }
  [[gnu::always_inline]] void append_valid() {
    if (null_count_ > 0) [[unlikely]]
      set_bit(length_);
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

template <class Int>
void Column::append_int32s(std::size_t count, Int&& ints) {
  auto* out = reinterpret_cast<std::int32_t*>(data_.room(count * sizeof(std::int32_t)));
  for (std::size_t i = 0; i < count; ++i) out[i] = ints(i);
  commit_int32s(count);
}

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
