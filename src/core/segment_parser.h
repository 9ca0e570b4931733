// Hl7SegmentParser: the one parser of segment lines. It cuts a line into
// fields, repetitions and components, and hands out the line's record, entry
// by entry in key order, to conversion (Hl7Json, the _split_hl7_seg_to_json
// methods) and its raw field texts to validation, so that both run on one
// parse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "escape.h"
#include "keys.h"

namespace brenvolt {

// Parses one line at a time, its buffers reused from line to line so that a
// message costs no allocation per line once they have grown.
//
// The parse: the name is the text before the first "|" (the whole line when
// it has none), and each "|" after it begins a field; field n is position n,
// so for MSH, whose first "|" is MSH-1 itself, position n holds MSH-(n+1). A
// field text holding "~" is cut at "~" into repetitions, on the raw text (an
// escaped \R\ never splits), unless it holds the encoding characters "^~\&".
// A field or repetition text is then cut at "^" into components: with a
// handler, on the decoded text (so an escaped \S\ does split), and values are
// decoded; without one, on the raw text unless it holds "^~\&", and values
// stay raw. Never fails.
class Hl7SegmentParser {
 public:
  // Parses `line`. Views stay valid until the next parse, the parser's end, or
  // the end of `line`'s buffer, whichever comes first.
  void parse(std::string_view line, const Hl7EscapeHandler* handler);

  // The parsed line's segment name.
  std::string_view name() const { return name_; }

  // The number of fields (positions) the parsed line has.
  std::size_t field_count() const { return fields_.size(); }

  // The raw, undecoded text of field `position` (1 .. field_count()).
  std::string_view raw_field(std::size_t position) const { return fields_[position - 1].raw; }

  // Calls emit(const Hl7KeyPosition&, std::string_view value) once per entry
  // of the parsed line's record, in ascending byte order of the keys
  // ("segment_name" last). The order comes from the numbers themselves: no
  // key text is built or sorted.
  template <class Emit>
  void for_each_entry(Emit&& emit) const;

  // Entries the record of the parsed line has.
  std::size_t entry_count() const { return entry_count_; }

  // Whether the parsed line is all ASCII, and so every text it hands out.
  bool ascii() const { return ascii_; }

 private:
  // Raw: a field whose value is its raw text (no values_ entry).
  enum class Shape : std::uint8_t { Raw, Whole, Components, Repetitions };
  struct Group {  // one field, or one repetition of a field
    Shape shape;
    std::size_t first;  // index into values_ (Whole, Components) or reps_
    std::size_t count;  // components, or repetitions
  };
  struct Field : Group {
    std::string_view raw;  // the field's text as the line writes it
  };

  // Appends a field, written member by member in its place (see parse_part).
  void push_field(Shape shape, std::size_t first, std::size_t count, std::string_view raw) {
    Field& field = fields_.emplace_back();
    field.shape = shape;
    field.first = first;
    field.count = count;
    field.raw = raw;
  }
  // Adds field line_[start, end), whose "^", "~" and "\\" are at
  // marks_[first_mark ..].
  void add_field(std::size_t start, std::size_t end, std::size_t first_mark,
                 const Hl7EscapeHandler* handler);
  // Parses one field or repetition text, line_[start, end), by the component
  // rule into values_ and describes it in `out`; its "^", "~" and "\\" are
  // at marks_[first, last). `out` is the group's final place (in fields_ or
  // reps_), written member by member: a returned Group copied into place is
  // read back in one wide load just after its narrow stores, which stalls
  // store forwarding once per field.
  void parse_part(std::size_t start, std::size_t end, std::size_t first, std::size_t last,
                  const Hl7EscapeHandler* handler, Group& out);
  std::string_view unescaped(std::string_view text, const Hl7EscapeHandler& handler);

  std::string_view line_;
  std::string_view name_;
  bool ascii_ = true;
  std::vector<std::uint64_t> bits_;  // the delimiters of the line, one bit per byte
  std::vector<std::size_t> marks_;   // where the line has "^", "~" or "\\"
  // Unescaped texts, one after another; room for the line's size once one
  // is made, so views stay put.
  std::unique_ptr<char[]> arena_;
  std::size_t arena_capacity_ = 0;
  std::size_t arena_used_ = 0;
  std::vector<std::string_view> values_;
  std::vector<Field> fields_;  // fields_[i] is position i + 1
  std::vector<Group> reps_;
  std::size_t entry_count_ = 0;
};

namespace detail {

// for_each_decimal_order(lo, hi, pre, post) without its recursion: the usual
// counts of a line (up to 99: one or two digits) walked by two plain loops,
// longer ones by an iterative walk of the same tree.
template <class Pre, class Post>
void for_each_in_key_order(std::size_t lo, std::size_t hi, Pre&& pre, Post&& post) {
  if (hi < lo) return;
  if (lo == 0 && hi >= 10) {  // "0" has no extensions
    pre(0);
    post(0);
    lo = 1;
  }
  if (hi > 99) {
    // Down to the first extension while there is one, else across to the
    // next sibling, or up (after the parent's extensions, its post).
    std::size_t n = 1;
    for (;;) {
      pre(n);
      if (n <= hi / 10) {
        n *= 10;
        continue;
      }
      for (;;) {
        post(n);
        if (n % 10 != 9 && n < hi) {
          ++n;
          break;
        }
        n /= 10;
        if (n == 0) return;
      }
    }
  }
  if (hi < 10) {
    for (std::size_t n = lo; n <= hi; ++n) {
      pre(n);
      post(n);
    }
    return;
  }
  for (std::size_t first = 1; first <= 9; ++first) {
    pre(first);
    const std::size_t last = first * 10 + 9 < hi ? first * 10 + 9 : hi;
    for (std::size_t n = first * 10; n <= last; ++n) {
      pre(n);
      post(n);
    }
    post(first);
  }
}

}  // namespace detail

template <class Emit>
void Hl7SegmentParser::for_each_entry(Emit&& emit) const {
  using Form = Hl7KeyPosition::Form;
  const auto none = [](std::size_t) {};
  const auto emit_components = [&](Form form, std::size_t field, std::size_t rep,
                                   const Group& group) {
    const std::string_view* values = values_.data() + group.first;
    detail::for_each_in_key_order(
        1, group.count,
        [&](std::size_t c) {
          emit(Hl7KeyPosition{form, field, rep, c}, values[c - 1]);
        },
        none);
  };
  const auto emit_plain = [&](std::size_t n) {
    const Field& group = fields_[n - 1];
    if (group.shape == Shape::Raw) {
      emit(Hl7KeyPosition{Form::Whole, n, 0, 0}, group.raw);
    } else if (group.shape == Shape::Whole) {
      emit(Hl7KeyPosition{Form::Whole, n, 0, 0}, values_[group.first]);
    } else if (group.shape == Shape::Components) {
      emit_components(Form::Component, n, 0, group);
    }
  };
  const auto emit_repetition_list = [&](std::size_t n, const Group& group) {
    detail::for_each_in_key_order(0, group.count - 1, none, [&](std::size_t r) {
      const Group& rep = reps_[group.first + r];
      if (rep.shape == Shape::Whole) {
        emit(Hl7KeyPosition{Form::Repetition, n, r, 0}, values_[rep.first]);
      } else {
        emit_components(Form::RepetitionComponent, n, r, rep);
      }
    });
  };
  // Runs for every field, and most have no repetitions: the test is inlined
  // where the fields are walked, so that such a field costs no call.
  const auto emit_repetitions = [&](std::size_t n) __attribute__((always_inline)) {
    const Group& group = fields_[n - 1];
    if (group.shape == Shape::Repetitions) emit_repetition_list(n, group);
  };
  detail::for_each_in_key_order(1, fields_.size(), emit_plain, emit_repetitions);
  emit(Hl7KeyPosition{Form::SegmentName}, name_);
}

}  // namespace brenvolt
