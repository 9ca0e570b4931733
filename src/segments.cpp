#include "segments.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace brenvolt {
namespace {

// MSH-2 as HL7 writes it. A text that holds it is never cut into repetitions,
// nor, when read raw, into components: it is the encoding characters
// themselves, not data.
constexpr std::string_view kEncodingCharacters = "^~\\&";
constexpr char kFieldSeparator = '|';
constexpr char kRawComponentSeparator = '^';
constexpr char kRawRepetitionSeparator = '~';

bool contains(std::string_view text, char c) {
  return !text.empty() && std::memchr(text.data(), c, text.size()) != nullptr;
}

bool holds_encoding_characters(std::string_view text) {
  return text.find(kEncodingCharacters) != std::string_view::npos;
}

// Calls visit(piece) for every piece of `text` cut at `separator`, empty
// pieces included (so at least once).
template <class Visit>
void for_each_piece(std::string_view text, char separator, Visit&& visit) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      visit(text.substr(start));
      return;
    }
    visit(text.substr(start, end - start));
    start = end + 1;
  }
}

std::vector<std::string> split_copy(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  for_each_piece(text, separator, [&](std::string_view piece) { pieces.emplace_back(piece); });
  return pieces;
}

char repetition_separator(const Hl7EscapeHandler* handler) {
  return handler ? handler->repetition_separator : kRawRepetitionSeparator;
}

// A field or repetition text, which never has repetitions of its own.
Hl7Field parse_part(std::string_view text, const Hl7EscapeHandler* handler) {
  Hl7Field part;
  if (handler == nullptr) {
    part.value = text;
    if (contains(text, kRawComponentSeparator) && !holds_encoding_characters(text)) {
      part.components = split_copy(text, kRawComponentSeparator);
    }
    return part;
  }
  // Components are decided on the decoded text, so an escaped component
  // separator (\S\) does split the field.
  part.value = handler->unescape(text);
  if (contains(part.value, handler->component_separator)) {
    part.components = handler->parse_field_with_escaping(text);
  }
  return part;
}

Hl7Field parse_field(std::string_view text, const Hl7EscapeHandler* handler) {
  const char separator = repetition_separator(handler);
  if (!contains(text, separator) || holds_encoding_characters(text)) {
    return parse_part(text, handler);
  }
  // The cut is made on the raw text: an escaped repetition separator (\R\)
  // never splits a field.
  Hl7Field field;
  field.value = text;
  field.repetitions.emplace();
  for_each_piece(text, separator, [&](std::string_view repetition) {
    field.repetitions->push_back(parse_part(repetition, handler));
  });
  return field;
}

void append_number(std::size_t n, std::string& out) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  out.append(digits, end);
}

}  // namespace

Hl7Segment Hl7Segment::from_string(std::string_view line, const Hl7EscapeHandler* handler) {
  Hl7Segment segment;
  const std::size_t first = line.find(kFieldSeparator);
  segment.name = line.substr(0, first);
  if (first == std::string_view::npos) return segment;
  for_each_piece(line.substr(first + 1), kFieldSeparator, [&](std::string_view text) {
    segment.fields.push_back(parse_field(text, handler));
  });
  return segment;
}

const Hl7Field* Hl7Segment::field(std::size_t position) const {
  if (position == 0 || position > fields.size()) return nullptr;
  return &fields[position - 1];
}

Hl7Record Hl7Segment::to_json() const {
  using Form = Hl7KeyPosition::Form;
  Hl7Record record;
  const auto add = [&](const Hl7KeyPosition& position, const std::string& value) {
    Hl7RecordEntry entry;
    append_key_text(position, entry.key);
    entry.value = value;
    record.push_back(std::move(entry));
  };
  add({Form::SegmentName}, name);
  for (std::size_t n = 1; n <= fields.size(); ++n) {
    const Hl7Field& field = fields[n - 1];
    if (field.repetitions) {
      for (std::size_t r = 0; r < field.repetitions->size(); ++r) {
        const Hl7Field& repetition = (*field.repetitions)[r];
        if (repetition.components) {
          for (std::size_t c = 1; c <= repetition.components->size(); ++c) {
            add({Form::RepetitionComponent, n, r, c}, (*repetition.components)[c - 1]);
          }
        } else {
          add({Form::Repetition, n, r, 0}, repetition.value);
        }
      }
    } else if (field.components) {
      for (std::size_t c = 1; c <= field.components->size(); ++c) {
        add({Form::Component, n, 0, c}, (*field.components)[c - 1]);
      }
    } else {
      add({Form::Whole, n, 0, 0}, field.value);
    }
  }
  std::sort(record.begin(), record.end(),
            [](const Hl7RecordEntry& a, const Hl7RecordEntry& b) { return a.key < b.key; });
  return record;
}

void append_key_text(const Hl7KeyPosition& position, std::string& out) {
  using Form = Hl7KeyPosition::Form;
  if (position.form == Form::SegmentName) {
    out.append("segment_name");
    return;
  }
  append_number(position.field, out);
  if (position.form == Form::Repetition || position.form == Form::RepetitionComponent) {
    out.push_back('[');
    append_number(position.repetition, out);
    out.push_back(']');
  }
  if (position.form == Form::Component || position.form == Form::RepetitionComponent) {
    out.push_back('.');
    append_number(position.component, out);
  }
}

std::string_view Hl7LineScratch::unescaped(std::string_view text,
                                           const Hl7EscapeHandler& handler) {
  if (!contains(text, handler.escape_character)) return text;
  // parse() reserved the whole line's size, and unescaping never lengthens a
  // text, so this append cannot move the arena under earlier views.
  const std::size_t start = arena_.size();
  handler.unescape_into(text, arena_);
  return std::string_view(arena_.data() + start, arena_.size() - start);
}

Hl7LineScratch::Group Hl7LineScratch::parse_part(std::string_view text,
                                                 const Hl7EscapeHandler* handler) {
  std::string_view value = text;
  bool split = false;
  if (handler == nullptr) {
    split = contains(text, kRawComponentSeparator) && !holds_encoding_characters(text);
  } else {
    value = unescaped(text, *handler);
    split = contains(value, handler->component_separator);
  }
  const std::size_t first = values_.size();
  if (!split) {
    values_.push_back(value);
    entry_count_ += 1;
    return {Shape::Whole, first, 1};
  }
  const char separator = handler ? handler->component_separator : kRawComponentSeparator;
  for_each_piece(value, separator, [&](std::string_view piece) { values_.push_back(piece); });
  entry_count_ += values_.size() - first;
  return {Shape::Components, first, values_.size() - first};
}

void Hl7LineScratch::parse(std::string_view line, const Hl7EscapeHandler* handler) {
  values_.clear();
  fields_.clear();
  reps_.clear();
  arena_.clear();
  if (handler != nullptr) arena_.reserve(line.size());
  entry_count_ = 1;  // segment_name

  const std::size_t first = line.find(kFieldSeparator);
  name_ = line.substr(0, first);
  if (first == std::string_view::npos) return;
  const char separator = repetition_separator(handler);
  for_each_piece(line.substr(first + 1), kFieldSeparator, [&](std::string_view text) {
    if (!contains(text, separator) || holds_encoding_characters(text)) {
      fields_.push_back(parse_part(text, handler));
      return;
    }
    const std::size_t first_rep = reps_.size();
    for_each_piece(text, separator,
                   [&](std::string_view repetition) { reps_.push_back(parse_part(repetition, handler)); });
    fields_.push_back({Shape::Repetitions, first_rep, reps_.size() - first_rep});
  });
}

char* Hl7RecordList::write_size(char* at, std::size_t size) {
  while (size >= 0x80) {
    *at++ = static_cast<char>((size & 0x7F) | 0x80);
    size >>= 7;
  }
  *at++ = static_cast<char>(size);
  return at;
}

char* Hl7RecordList::append_space(std::size_t bytes) {
  if (capacity_ - size_ < bytes) {
    const std::size_t capacity = std::max({capacity_ * 2, size_ + bytes, std::size_t{4096}});
    char* grown = static_cast<char*>(std::realloc(data_.get(), capacity));
    if (grown == nullptr) throw std::bad_alloc();
    data_.release();
    data_.reset(grown);
    capacity_ = capacity;
  }
  return data_.get() + size_;
}

namespace {

// Byte-wise a < b, inline: record keys are a few bytes, and most neighbours
// differ early, so this beats a call to memcmp.
bool key_less(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

// Copies a few bytes without a call for the usual short texts.
char* copy_bytes(char* to, std::string_view text) {
  if (text.size() <= 16) {
    for (const char c : text) *to++ = c;
    return to;
  }
  std::memcpy(to, text.data(), text.size());
  return to + text.size();
}

}  // namespace

void Hl7RecordList::add(std::string_view key, std::string_view value) {
  // Compared before the append, which may move the buffer under last_key_.
  if (open_ordered_ && open_count_ > 0 && !key_less(last_key_, key)) open_ordered_ = false;
  constexpr std::size_t kMaxSizeBytes = 10;  // LEB128 of a 64-bit size
  char* at = append_space(2 * kMaxSizeBytes + key.size() + value.size());
  at = write_size(at, key.size());
  at = write_size(at, value.size());
  last_key_ = std::string_view(at, key.size());
  at = copy_bytes(at, key);
  at = copy_bytes(at, value);
  size_ = static_cast<std::size_t>(at - data_.get());
  ++open_count_;
}

void Hl7RecordList::end_record() {
  const std::size_t first = records_.empty() ? 0 : records_.back().end;
  if (!open_ordered_) {
    // Rare: records from converted messages arrive in order. Sort a copy of
    // the record's entries and write them back over it; dropping duplicate
    // keys only shortens it.
    const std::string unordered(data_.get() + first, size_ - first);
    const Record record(unordered.data(), unordered.data() + unordered.size(), open_count_);
    std::vector<Entry> entries;
    entries.reserve(open_count_);
    for (const Entry& entry : record) entries.push_back(entry);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.key < b.key; });
    size_ = first;
    open_count_ = 0;
    open_ordered_ = true;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      // Of a run of equal keys the last was added last: it wins.
      if (i + 1 < entries.size() && entries[i + 1].key == entries[i].key) continue;
      add(entries[i].key, entries[i].value);
    }
  }
  records_.push_back({size_, open_count_});
  open_count_ = 0;
  open_ordered_ = true;
}

Hl7Record map_segment_line(std::string_view line, const Hl7EscapeHandler* handler) {
  Hl7LineScratch scratch;
  scratch.parse(line, handler);
  Hl7Record record;
  record.reserve(scratch.entry_count());
  scratch.for_each_entry([&](const Hl7KeyPosition& position, std::string_view value) {
    Hl7RecordEntry entry;
    append_key_text(position, entry.key);
    entry.value = value;
    record.push_back(std::move(entry));
  });
  return record;
}

}  // namespace brenvolt
