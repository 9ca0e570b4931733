// Segment lines: parsing into Hl7Segment / Hl7Field, and the mapping of a
// segment to its record of position keys ("segment_name", "3", "5.1", "3[0]",
// "3[1].4").
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "escape.h"

namespace brenvolt {

// One field, or one repetition of a field.
struct Hl7Field {
  // For a field with repetitions: its raw text, never unescaped. Otherwise the
  // raw text, or the unescaped text when parsed with an escape handler.
  std::string value;
  // Present when the text was cut at the component separator (>= 2 entries).
  std::optional<std::vector<std::string>> components;
  // Present when the raw text was cut at the repetition separator (>= 2
  // entries, none of which has repetitions itself).
  std::optional<std::vector<Hl7Field>> repetitions;
};

struct Hl7RecordEntry {
  std::string key;
  std::string value;
  bool operator==(const Hl7RecordEntry&) const = default;
};

// A segment record: entries with unique keys, in ascending byte order of the
// keys ("segment_name" always sorts last).
using Hl7Record = std::vector<Hl7RecordEntry>;

// Many records stored flat, in one buffer: every entry is its key's and its
// value's sizes (LEB128) followed by their bytes. A list of thousands of
// records costs a few allocations and little more memory than its text, and
// is read front to back. Records keep the Hl7Record invariant: unique keys,
// ascending.
class Hl7RecordList {
 public:
  struct Entry {
    std::string_view key;
    std::string_view value;
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

  // Adds an entry to the record being built.
  void add(std::string_view key, std::string_view value);

  // Closes the record being built (possibly empty): orders its entries by key
  // and, where a key was added twice, keeps the later value. Entries already
  // in strictly ascending order, as every converted message gives them, are
  // only checked, not sorted.
  void end_record();

  // Makes room for `records` records (a hint only).
  void reserve(std::size_t records) { records_.reserve(records); }

  std::size_t size() const { return records_.size(); }
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
  static char* write_size(char* at, std::size_t size);

  // A plain growable byte buffer: entries are written into it directly, with
  // one capacity check per entry rather than one per byte.
  struct FreeBytes {
    void operator()(char* bytes) const { std::free(bytes); }
  };
  std::unique_ptr<char[], FreeBytes> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::vector<Bounds> records_;
  std::size_t open_count_ = 0;  // entries of the record being built
  std::string_view last_key_;   // its previous key, while keys still ascend
  bool open_ordered_ = true;    // its keys have ascended strictly so far
};

// One parsed segment line.
struct Hl7Segment {
  // The text before the first "|" (the whole line when it has none).
  std::string name;
  // One field per "|" in the line; fields[i] is field position i + 1. For MSH
  // the first "|" *is* MSH-1, so position n holds MSH-(n+1).
  std::vector<Hl7Field> fields;

  // Parses one line. With a handler, text is unescaped and the component
  // split is decided on the unescaped text; without one, text stays raw and a
  // text holding "^~\&" is never split. Never fails.
  static Hl7Segment from_string(std::string_view line, const Hl7EscapeHandler* handler);

  // The field at `position` (counted from 1), or nullptr.
  const Hl7Field* field(std::size_t position) const;

  // The segment's record. Never fails.
  Hl7Record to_json() const;
};

// Where a record entry sits; its key text follows from it (append_key_text).
struct Hl7KeyPosition {
  enum class Form : std::uint8_t {
    SegmentName,          // "segment_name"
    Whole,                // "n"
    Component,            // "n.c"
    Repetition,           // "n[r]"
    RepetitionComponent,  // "n[r].c"
  };
  Form form;
  std::size_t field = 0;
  std::size_t repetition = 0;
  std::size_t component = 0;
};

// Appends the key text of `position` to `out`.
void append_key_text(const Hl7KeyPosition& position, std::string& out);

// Working storage for map_segment_line, reused from line to line so that a
// message costs no allocation per line once the buffers have grown.
class Hl7LineScratch {
 public:
  // Cuts `line` into fields, repetitions and components as
  // Hl7Segment::from_string does, without copying text that needs no
  // unescaping. Views stay valid until the next parse or the scratch's end.
  void parse(std::string_view line, const Hl7EscapeHandler* handler);

  // Calls emit(const Hl7KeyPosition&, std::string_view value) once per entry
  // of the parsed line's record, in ascending byte order of the keys. The
  // order comes from the numbers themselves: no key text is built or sorted.
  template <class Emit>
  void for_each_entry(Emit&& emit) const;

  // Entries the record of the parsed line has.
  std::size_t entry_count() const { return entry_count_; }

 private:
  enum class Shape : std::uint8_t { Whole, Components, Repetitions };
  struct Group {  // one field, or one repetition of a field
    Shape shape;
    std::size_t first;  // index into values_ (Whole, Components) or reps_
    std::size_t count;  // components, or repetitions
  };

  // Parses one field or repetition text by the part rule into values_.
  Group parse_part(std::string_view text, const Hl7EscapeHandler* handler);
  std::string_view unescaped(std::string_view text, const Hl7EscapeHandler& handler);

  std::string_view name_;
  std::string arena_;  // unescaped texts; reserved per line so views stay put
  std::vector<std::string_view> values_;
  std::vector<Group> fields_;  // fields_[i] is field position i + 1
  std::vector<Group> reps_;
  std::size_t entry_count_ = 0;
};

// Visits the numbers lo..hi (lo is 0 or 1) in the order of their decimal
// texts: pre(n) before the numbers whose text extends n's (n = 1: 10, 100,
// 11, ...), post(n) after them. A key "n" or "n.c" sorts before its
// extensions, so it is written from pre; "n[" sorts after them ('[' is above
// the digits), so it is written from post.
template <class Pre, class Post>
void for_each_decimal_order(std::size_t lo, std::size_t hi, Pre&& pre, Post&& post) {
  struct Walk {
    std::size_t hi;
    Pre& pre;
    Post& post;
    void visit(std::size_t n) {
      pre(n);
      if (n <= hi / 10) {  // n * 10 <= hi: n has extensions, and no overflow
        for (std::size_t d = 0; d < 10; ++d) {
          const std::size_t child = n * 10 + d;
          if (child > hi) break;
          visit(child);
        }
      }
      post(n);
    }
  };
  if (hi < lo) return;
  if (hi <= 9) {  // one digit each: text order is numeric order
    for (std::size_t n = lo; n <= hi; ++n) {
      pre(n);
      post(n);
    }
    return;
  }
  Walk walk{hi, pre, post};
  if (lo == 0) {
    pre(0);
    post(0);
  }
  for (std::size_t first = 1; first <= 9 && first <= hi; ++first) walk.visit(first);
}

template <class Emit>
void Hl7LineScratch::for_each_entry(Emit&& emit) const {
  using Form = Hl7KeyPosition::Form;
  const auto none = [](std::size_t) {};
  const auto emit_components = [&](Form form, std::size_t field, std::size_t rep,
                                   const Group& group) {
    for_each_decimal_order(
        1, group.count,
        [&](std::size_t c) { emit(Hl7KeyPosition{form, field, rep, c}, values_[group.first + c - 1]); },
        none);
  };
  const auto emit_plain = [&](std::size_t n) {
    const Group& group = fields_[n - 1];
    if (group.shape == Shape::Whole) {
      emit(Hl7KeyPosition{Form::Whole, n, 0, 0}, values_[group.first]);
    } else if (group.shape == Shape::Components) {
      emit_components(Form::Component, n, 0, group);
    }
  };
  const auto emit_repetitions = [&](std::size_t n) {
    const Group& group = fields_[n - 1];
    if (group.shape != Shape::Repetitions) return;
    for_each_decimal_order(0, group.count - 1, none, [&](std::size_t r) {
      const Group& rep = reps_[group.first + r];
      if (rep.shape == Shape::Whole) {
        emit(Hl7KeyPosition{Form::Repetition, n, r, 0}, values_[rep.first]);
      } else {
        emit_components(Form::RepetitionComponent, n, r, rep);
      }
    });
  };
  for_each_decimal_order(1, fields_.size(), emit_plain, emit_repetitions);
  emit(Hl7KeyPosition{Form::SegmentName}, name_);
}

// The record of one line through Hl7LineScratch (the path conversion takes).
Hl7Record map_segment_line(std::string_view line, const Hl7EscapeHandler* handler);

}  // namespace brenvolt
