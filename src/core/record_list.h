// Hl7RecordList: segment records stored flat in one buffer, the form records
// take on the way back to HL7 text (from Python dicts or a JSON file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "keys.h"

namespace brenvolt {

// Many records stored flat, in one buffer: every entry is its key's code
// (8 bytes: keys.h, so that writing never parses a key again), its key's and
// its value's sizes (LEB128), then their bytes. A list of thousands of
// records costs a few allocations and little more memory than its text, and
// is read front to back. Each record keeps unique keys, in ascending byte
// order.
class Hl7RecordList {
 public:
  struct Entry {
    std::string_view key;
    std::string_view value;
    Hl7KeyCode code;  // Hl7KeyCode::of_key(key)
  };

  // Reads the entries of one record in order.
  class Iterator {
   public:
    const Entry& operator*() const { return entry_; }
    const Entry* operator->() const { return &entry_; }
    Iterator& operator++() {
      // Past the last entry there is nothing to decode: the bytes there
      // belong to the next record, or lie beyond the buffer.
      if (at_ == end_) {
        next_ = end_;
      } else {
        at_ = read(at_, entry_);
      }
      return *this;
    }
    bool operator==(const Iterator& other) const { return next_ == other.next_; }

   private:
    friend class Hl7RecordList;
    Iterator(const char* at, const char* end) : at_(at), next_(at), end_(end) {
      if (at_ != end_) at_ = read(at_, entry_);
    }
    // Decodes the entry at `at` into `entry`; returns where the next begins.
    const char* read(const char* at, Entry& entry) {
      next_ = at;
      std::uint64_t bits;
      std::memcpy(&bits, at, sizeof bits);
      entry.code = Hl7KeyCode::from_bits(bits);
      at += sizeof bits;
      std::size_t key_size = 0;
      std::size_t value_size = 0;
      at = read_size(at, key_size);
      at = read_size(at, value_size);
      entry.key = std::string_view(at, key_size);
      entry.value = std::string_view(at + key_size, value_size);
      return at + key_size + value_size;
    }
    const char* at_;    // the entry after the current one
    const char* next_;  // the current entry's start, its identity
    const char* end_;   // one past the record's last byte
    Entry entry_{};
  };

  // The entries of one record, in ascending key order.
  class Record {
   public:
    std::size_t size() const { return count_; }
    Iterator begin() const { return Iterator(first_, last_); }
    Iterator end() const { return Iterator(last_, last_); }

   private:
    friend class Hl7RecordList;
    Record(const char* first, const char* last, std::size_t count)
        : first_(first), last_(last), count_(count) {}
    const char* first_;
    const char* last_;
    std::size_t count_;
  };

  // Adds an entry to the record being built; `code` must be the key's.
  // Inline: JsonHl7 adds every entry of every dict through here.
  void add(std::string_view key, std::string_view value, Hl7KeyCode code) {
    // Compared before the append, which may move the buffer under last_key_.
    if (open_ordered_ && open_count_ > 0 && !key_less(last_key_, key)) open_ordered_ = false;
    constexpr std::size_t kMaxSizeBytes = 10;  // LEB128 of a 64-bit size
    const std::uint64_t bits = code.bits();
    const std::size_t most = sizeof bits + 2 * kMaxSizeBytes + key.size() + value.size();
    char* at = capacity_ - size_ >= most ? data_.get() + size_ : append_space(most);
    std::memcpy(at, &bits, sizeof bits);
    at += sizeof bits;
    at = write_size(at, key.size());
    at = write_size(at, value.size());
    last_key_ = std::string_view(at, key.size());
    at = copy_bytes(at, key);
    at = copy_bytes(at, value);
    size_ = static_cast<std::size_t>(at - data_.get());
    ++open_count_;
    text_bytes_ += value.size() + 1;
  }
  void add(std::string_view key, std::string_view value) {
    add(key, value, Hl7KeyCodeCache::for_this_thread().code(key));
  }

  // Closes the record being built (possibly empty): orders its entries by key
  // and, where a key was added twice, keeps the later value. Entries already
  // in strictly ascending order, as every converted message gives them, are
  // only checked, not sorted.
  void end_record();

  // Makes room for `records` records (a hint only).
  void reserve(std::size_t records) { records_.reserve(records); }

  std::size_t size() const { return records_.size(); }
  // The bytes the entries take, a measure of the work of reading them all.
  std::size_t bytes() const { return size_; }
  // The bytes of all values, plus one an entry: about the size of the text
  // the records make.
  std::size_t text_bytes() const { return text_bytes_; }
  Record operator[](std::size_t i) const {
    const std::size_t first = i == 0 ? 0 : records_[i - 1].end;
    return Record(data_.get() + first, data_.get() + records_[i].end, records_[i].count);
  }

 private:
  struct Bounds {
    std::size_t end;    // one past the record's last byte in data_
    std::size_t count;  // its entries
  };
  static const char* read_size(const char* at, std::size_t& size) {
    size = 0;
    for (unsigned shift = 0;; shift += 7) {
      const auto byte = static_cast<unsigned char>(*at++);
      size |= static_cast<std::size_t>(byte & 0x7Fu) << shift;
      if (byte < 0x80) return at;
    }
  }
  // Where the next entry of `bytes` bytes is written, making room for it.
  char* append_space(std::size_t bytes);
  static char* write_size(char* at, std::size_t size) {
    while (size >= 0x80) {
      *at++ = static_cast<char>((size & 0x7F) | 0x80);
      size >>= 7;
    }
    *at++ = static_cast<char>(size);
    return at;
  }
  // Byte-wise a < b: record keys are a few bytes, and most neighbours differ
  // early, so this beats a call to memcmp.
  static bool key_less(std::string_view a, std::string_view b) {
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
      if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
  }

  // A plain growable byte buffer: entries are written into it directly, with
  // one capacity check per entry rather than one per byte.
  struct FreeBytes {
    void operator()(char* bytes) const { std::free(bytes); }
  };
  std::unique_ptr<char[], FreeBytes> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::vector<Bounds> records_;
  std::size_t text_bytes_ = 0;
  std::size_t open_count_ = 0;  // entries of the record being built
  std::string_view last_key_;   // its previous key, while keys still ascend
  bool open_ordered_ = true;    // its keys have ascended strictly so far
};

}  // namespace brenvolt
