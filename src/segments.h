// Segment lines: parsing into Hl7Segment / Hl7Field, and the mapping of a
// segment to its record of position keys ("segment_name", "3", "5.1", "3[0]",
// "3[1].4").
#pragma once

#include <cstddef>
#include <cstdint>
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
