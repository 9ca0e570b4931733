#include "segment_parser.h"

#include <bit>
#include <cstring>

#include "scan.h"
#include "text.h"

namespace brenvolt {
namespace {

bool contains(std::string_view text, char c) {
  return !text.empty() && std::memchr(text.data(), c, text.size()) != nullptr;
}

bool holds_encoding_characters(std::string_view text) {
  return text.find(delimiters::kEncodingCharacters) != std::string_view::npos;
}

}  // namespace

std::string_view Hl7SegmentParser::unescaped(std::string_view text,
                                             const Hl7EscapeHandler& handler) {
  // Unescaping never lengthens a text, and the texts unescaped are disjoint
  // parts of the line: with room for the whole line, made at the line's
  // first text (each parse starts the arena over, so there is nothing to
  // keep), no text moves the arena under earlier views. The room is not
  // cleared first, as a std::string's would be on every resize: each text
  // writes its own.
  if (arena_capacity_ < line_.size()) {
    arena_.reset(new char[line_.size()]);
    arena_capacity_ = line_.size();
  }
  char* const start = arena_.get() + arena_used_;
  char* const end = handler.unescape_to(text, start);
  arena_used_ = static_cast<std::size_t>(end - arena_.get());
  return std::string_view(start, static_cast<std::size_t>(end - start));
}

void Hl7SegmentParser::parse_part(std::size_t start, std::size_t end, std::size_t first,
                                  std::size_t last, const Hl7EscapeHandler* handler, Group& out) {
  const std::string_view text = line_.substr(start, end - start);
  const std::size_t first_value = values_.size();
  // One pass over the marks: cut at each "^", note any "\". Views are made
  // in place: clang built a pushed temporary on the stack with two narrow
  // stores and copied it with one wide load, a store-forwarding stall per value.
  bool escape = false;
  std::size_t piece = start;
  for (std::size_t k = first; k < last; ++k) {
    const std::size_t at = marks_[k];
    const char c = line_[at];
    if (c == delimiters::kComponent) {
      values_.emplace_back(line_.data() + piece, at - piece);
      piece = at + 1;
    } else {
      escape |= c == delimiters::kEscape;
    }
  }
  values_.emplace_back(line_.data() + piece, end - piece);
  if (escape && (handler != nullptr || holds_encoding_characters(text))) {
    values_.resize(first_value);  // the raw cuts do not apply
    if (handler == nullptr) {
      values_.push_back(text);  // the encoding characters are never cut
    } else {
      // Components are decided on the decoded text.
      const std::string_view value = unescaped(text, *handler);
      if (!contains(value, delimiters::kComponent)) {
        values_.push_back(value);
      } else {
        for_each_piece(value, delimiters::kComponent,
                       [&](std::string_view cut) { values_.push_back(cut); });
      }
    }
  }
  const std::size_t count = values_.size() - first_value;
  entry_count_ += count;
  // A text with no "^" is one value; any cut gives two or more.
  out.shape = count == 1 ? Shape::Whole : Shape::Components;
  out.first = first_value;
  out.count = count;
}

void Hl7SegmentParser::add_field(std::size_t start, std::size_t end, std::size_t first_mark,
                                 const Hl7EscapeHandler* handler) {
  const std::string_view text = line_.substr(start, end - start);
  const std::size_t last_mark = marks_.size();
  if (first_mark == last_mark) {  // the usual field: one plain value
    push_field(Shape::Raw, 0, 1, text);
    entry_count_ += 1;
    return;
  }
  bool tilde = false;
  for (std::size_t k = first_mark; k < last_mark && !tilde; ++k) {
    tilde = line_[marks_[k]] == delimiters::kRepetition;
  }
  // The cut into repetitions is made on the raw text.
  if (!tilde || holds_encoding_characters(text)) {
    Field& field = fields_.emplace_back();
    field.raw = text;
    parse_part(start, end, first_mark, last_mark, handler, field);
    return;
  }
  const std::size_t first_rep = reps_.size();
  std::size_t rep_start = start;
  std::size_t rep_first = first_mark;
  for (std::size_t k = first_mark; k < last_mark; ++k) {
    const std::size_t at = marks_[k];
    if (line_[at] != delimiters::kRepetition) continue;
    parse_part(rep_start, at, rep_first, k, handler, reps_.emplace_back());
    rep_start = at + 1;
    rep_first = k + 1;
  }
  parse_part(rep_start, end, rep_first, last_mark, handler, reps_.emplace_back());
  push_field(Shape::Repetitions, first_rep, reps_.size() - first_rep, text);
}

void Hl7SegmentParser::parse(std::string_view line, const Hl7EscapeHandler* handler) {
  values_.clear();
  fields_.clear();
  reps_.clear();
  marks_.clear();
  arena_used_ = 0;
  entry_count_ = 1;  // segment_name
  line_ = line;

  // One pass marks every delimiter; the walk below visits only the marked
  // bytes, a field at each "|", and keeps the others for the field's cuts.
  const std::size_t words = (line.size() + 63) / 64;
  if (bits_.size() < words) bits_.resize(words);
  ascii_ = scan::mark_delimiters(line, bits_.data());
  // Room for every field, mark and value of a long line at once: no growth
  // while it is cut. Short lines leave the buffers grown to their size.
  if (words > 4) {
    std::size_t delimiters = 0;
    for (std::size_t w = 0; w < words; ++w) {
      // Most words of a long value hold no delimiter; a count is a call on
      // processors without a population count instruction in the baseline.
      if (bits_[w] != 0) delimiters += static_cast<std::size_t>(std::popcount(bits_[w]));
    }
    if (fields_.capacity() <= delimiters) {
      fields_.reserve(delimiters + 1);
      marks_.reserve(delimiters + 1);
      values_.reserve(delimiters + 1);
    }
  }
  bool in_name = true;
  std::size_t field_start = 0;
  std::size_t first_mark = 0;
  for (std::size_t w = 0; w < words; ++w) {
    for (std::uint64_t word = bits_[w]; word != 0; word &= word - 1) {
      const std::size_t at = w * 64 + static_cast<std::size_t>(__builtin_ctzll(word));
      if (line[at] != delimiters::kField) {
        if (!in_name) marks_.push_back(at);
        continue;
      }
      if (in_name) {
        name_ = line.substr(0, at);
        in_name = false;
      } else if (first_mark == marks_.size()) {  // the usual field: one plain value
        const std::string_view text = line.substr(field_start, at - field_start);
        push_field(Shape::Raw, 0, 1, text);
        entry_count_ += 1;
      } else {
        add_field(field_start, at, first_mark, handler);
      }
      field_start = at + 1;
      first_mark = marks_.size();
    }
  }
  if (in_name) {
    name_ = line;
    return;
  }
  add_field(field_start, line.size(), first_mark, handler);
}

}  // namespace brenvolt
