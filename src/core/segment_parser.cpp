#include "segment_parser.h"

#include <cstring>

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
  if (!contains(text, delimiters::kEscape)) return text;
  // parse() reserved the whole line's size, and unescaping never lengthens a
  // text, so this append cannot move the arena under earlier views.
  const std::size_t start = arena_.size();
  handler.unescape_into(text, arena_);
  return std::string_view(arena_.data() + start, arena_.size() - start);
}

Hl7SegmentParser::Group Hl7SegmentParser::parse_part(std::string_view text,
                                                     const Hl7EscapeHandler* handler) {
  std::string_view value = text;
  bool split = false;
  if (handler == nullptr) {
    split = contains(text, delimiters::kComponent) && !holds_encoding_characters(text);
  } else {
    // Components are decided on the decoded text.
    value = unescaped(text, *handler);
    split = contains(value, delimiters::kComponent);
  }
  const std::size_t first = values_.size();
  if (!split) {
    values_.push_back(value);
    entry_count_ += 1;
    return {Shape::Whole, first, 1};
  }
  for_each_piece(value, delimiters::kComponent,
                 [&](std::string_view piece) { values_.push_back(piece); });
  entry_count_ += values_.size() - first;
  return {Shape::Components, first, values_.size() - first};
}

void Hl7SegmentParser::parse(std::string_view line, const Hl7EscapeHandler* handler) {
  values_.clear();
  fields_.clear();
  reps_.clear();
  arena_.clear();
  if (handler != nullptr) arena_.reserve(line.size());
  entry_count_ = 1;  // segment_name

  const std::size_t first = line.find(delimiters::kField);
  name_ = line.substr(0, first);
  if (first == std::string_view::npos) return;
  // One field per "|"; the pieces are cut here rather than by for_each_piece
  // so that this, the hottest loop of conversion, stays one function.
  std::string_view rest = line.substr(first + 1);
  for (;;) {
    const std::size_t end = rest.find(delimiters::kField);
    const std::string_view text = rest.substr(0, end);
    // The cut into repetitions is made on the raw text.
    if (!contains(text, delimiters::kRepetition) || holds_encoding_characters(text)) {
      fields_.push_back(Field{parse_part(text, handler), text});
    } else {
      const std::size_t first_rep = reps_.size();
      for_each_piece(text, delimiters::kRepetition, [&](std::string_view repetition) {
        reps_.push_back(parse_part(repetition, handler));
      });
      fields_.push_back(Field{{Shape::Repetitions, first_rep, reps_.size() - first_rep}, text});
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
}

}  // namespace brenvolt
