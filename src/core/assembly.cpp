#include "assembly.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "bytes.h"
#include "header_field_one.h"
#include "keys.h"
#include "place_sort.h"
#include "scan.h"
#include "segment_parser.h"

namespace brenvolt {
namespace {

constexpr std::string_view kHeaderSegmentName = "MSH";

// The delimiters of the written text (delimiters.h) are fixed: never taken
// from the records (an MSH record's encoding characters included). Only the
// header's own field 1 may be written as it is (below).

// A place in a segment line: Hl7KeyPosition's numbers, the form aside. The
// whole-value slot is component 0.
using Hl7Position = Hl7KeyPosition;

// One record entry whose key names a position.
struct Hl7PlacedValue {
  Hl7Position position;
  std::string_view key;  // of two keys naming one position, the later in byte order wins
  std::string_view value;
};

// The delimiters between one written value and the next, in the order they
// appear: pipes end fields, tildes end repetitions, carets end components.
struct Hl7Gap {
  std::uint64_t pipes = 0;
  std::uint64_t tildes = 0;
  std::uint64_t carets = 0;
};

// Where the writing of a line stands: the position of the last value written,
// or the line's start. Components are counted from 1 here because the
// whole-value slot and component 1 both begin where the repetition begins.
class Hl7LineCursor {
 public:
  // A line with a name begins with the name, so field f is preceded by
  // f pipes; without a name the line starts with field 1 and field f is
  // preceded by f - 1.
  explicit Hl7LineCursor(bool has_name) : field_(has_name ? 0 : 1) {}

  // The delimiters that lie between the cursor and `to`, which must not come
  // before it in line order; moves the cursor there.
  Hl7Gap advance_to(const Hl7Position& to) {
    Hl7Gap gap;
    if (to.field != field_) {
      gap.pipes = to.field - field_;
      field_ = to.field;
      repetition_ = 0;
      component_ = 1;
    }
    if (to.repetition != repetition_) {
      gap.tildes = to.repetition - repetition_;
      repetition_ = to.repetition;
      component_ = 1;
    }
    const std::uint64_t component = std::max<std::uint64_t>(to.component, 1);
    gap.carets = component - component_;
    component_ = component;
    return gap;
  }

 private:
  std::uint64_t field_;
  std::uint64_t repetition_ = 0;
  std::uint64_t component_ = 1;
};

bool same_place(const Hl7Position& a, const Hl7Position& b) {
  return a.field == b.field && a.repetition == b.repetition && a.component == b.component;
}

bool comes_before(const Hl7PlacedValue& a, const Hl7PlacedValue& b) {
  const auto place = [](const Hl7Position& p) {
    return std::tie(p.field, p.repetition, p.component);
  };
  if (same_place(a.position, b.position)) return a.key < b.key;
  return place(a.position) < place(b.position);
}

// After a sort by place alone, which keeps entries in the order they came:
// orders each run of values for one place by key, so that the last of a run
// is the one whose key is last in byte order. Runs are rare (two spellings of
// one key, such as "3" and "03").
void order_ties_by_key(std::vector<Hl7PlacedValue>& values) {
  for (std::size_t i = 1; i < values.size(); ++i) {
    if (!same_place(values[i - 1].position, values[i].position)) continue;
    std::size_t end = i + 1;
    while (end < values.size() && same_place(values[end - 1].position, values[end].position)) {
      ++end;
    }
    std::sort(values.begin() + static_cast<std::ptrdiff_t>(i - 1),
              values.begin() + static_cast<std::ptrdiff_t>(end),
              [](const Hl7PlacedValue& a, const Hl7PlacedValue& b) { return a.key < b.key; });
    i = end;
  }
}

// Puts placed values in comes_before order. Keys arrive in byte order, which
// is position order for records of up to nine fields and not beyond ("10"
// sorts before "9"); wide records are common (an OBX has 14 fields, a
// message of one huge line has a million), so instead of comparing, the
// values are counted into place by component, then repetition, then field,
// each pass stable, whenever the numbers are small beside the count. Large,
// sparse numbers fall back to a comparison sort.
class PositionSorter {
 public:
  void sort(std::vector<Hl7PlacedValue>& values) {
    if (std::is_sorted(values.begin(), values.end(), comes_before)) return;
    // A segment's keys in byte order are in position order but for the
    // fields from 10 on, which come right after field 1: an insertion sort of
    // packed positions makes few moves and clears no counting tables.
    if (values.size() <= kInsertionSortSize && insertion_sort(values)) {
      order_ties_by_key(values);
      return;
    }
    if (!by(values, &Hl7Position::component) || !by(values, &Hl7Position::repetition) ||
        !by(values, &Hl7Position::field)) {
      std::sort(values.begin(), values.end(), comes_before);
      return;
    }
    order_ties_by_key(values);
  }

 private:
  static constexpr std::size_t kInsertionSortSize = 48;

  // The position as one number that orders like comes_before's first three
  // terms, or false when a number is too large to pack.
  static bool pack(const Hl7Position& position, std::uint64_t& packed) {
    if (position.field >= (1u << 24) || position.repetition >= (1u << 16) ||
        position.component >= (1u << 24)) {
      return false;
    }
    packed = position.field << 40 | position.repetition << 24 | position.component;
    return true;
  }

  // Sorts small `values` stably by packed position; false, with `values`
  // untouched, when a position does not pack.
  bool insertion_sort(std::vector<Hl7PlacedValue>& values) {
    order_.resize(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!pack(values[i].position, order_[i].packed)) return false;
      order_[i].index = i;
    }
    sort_nearly_ordered(order_, &Packed::packed);
    sorted_.resize(values.size());
    for (std::size_t i = 0; i < order_.size(); ++i) sorted_[i] = values[order_[i].index];
    values.swap(sorted_);
    return true;
  }

  struct Packed {
    std::uint64_t packed;
    std::size_t index;
  };
  std::vector<Packed> order_;

  // A stable counting sort on one number; false, with `values` merely
  // permuted, when that number spans too wide a range to count.
  bool by(std::vector<Hl7PlacedValue>& values, std::uint64_t Hl7Position::*number) {
    std::uint64_t low = values.front().position.*number;
    std::uint64_t high = low;
    for (const Hl7PlacedValue& value : values) {
      low = std::min(low, value.position.*number);
      high = std::max(high, value.position.*number);
    }
    if (low == high) return true;
    if (high - low > 4 * values.size() + 1024) return false;
    const auto span = static_cast<std::size_t>(high - low) + 1;
    starts_.assign(span + 1, 0);
    for (const Hl7PlacedValue& value : values) {
      ++starts_[static_cast<std::size_t>(value.position.*number - low) + 1];
    }
    for (std::size_t i = 1; i <= span; ++i) starts_[i] += starts_[i - 1];
    sorted_.resize(values.size());
    for (const Hl7PlacedValue& value : values) {
      sorted_[starts_[static_cast<std::size_t>(value.position.*number - low)]++] = value;
    }
    values.swap(sorted_);
    return true;
  }

  std::vector<std::size_t> starts_;
  std::vector<Hl7PlacedValue> sorted_;
};

// Precondition: `values` sorted by comes_before. Keeps, for each position, the
// value of the last key naming it (the last of its run, as entries rise with
// the keys' byte order), and drops a repetition's whole-value slot when a key
// names one of its components: components win over the whole value.
void keep_written_values(std::vector<Hl7PlacedValue>& values) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i + 1 < values.size()) {
      const Hl7Position& here = values[i].position;
      const Hl7Position& next = values[i + 1].position;
      if (next.field == here.field && next.repetition == here.repetition &&
          (here.component == 0 || next.component == here.component)) {
        continue;
      }
    }
    values[kept++] = values[i];
  }
  values.resize(kept);
}

// Adds `count` to `total` unless that would pass `bound`.
// Precondition: total <= bound, so nothing can overflow.
bool add_within(std::uint64_t& total, std::uint64_t count, std::uint64_t bound) {
  if (count > bound - total) return false;
  total += count;
  return true;
}

// The delimiters written before a value that stand for positions no key
// names: all but the one that would precede the value anyway. Precondition:
// `delimiters` is at most kMaximumLineSlots.
std::uint64_t gap_of(std::uint64_t delimiters) { return delimiters > 1 ? delimiters - 1 : 0; }

// The bytes `text` takes once escaped: short texts, the usual record
// value, are counted inline.
std::size_t escaped_size(std::string_view text) {
  if (text.size() >= scan::detail::kShortText) return scan::escaped_size(text);
  std::size_t size = text.size();
  for (const char c : text) {
    const std::size_t length = scan::sequence_length(static_cast<unsigned char>(c));
    size += length == 0 ? 0 : length - 1;
  }
  return size;
}

// Writes `count` copies of `delimiter` at `to`; returns the end.
char* put_delimiters(char* to, std::uint64_t count, char delimiter) {
  if (count == 1) {
    *to = delimiter;
    return to + 1;
  }
  if (count != 0) std::memset(to, delimiter, static_cast<std::size_t>(count));
  return to + count;
}

// The values of field 1 as the record declares them: for each position the
// value of its last key, the whole-value slot kept even where components
// exist. Precondition: `values` sorted by comes_before.
std::vector<Hl7PlacedValue> declared_field_one(const std::vector<Hl7PlacedValue>& values) {
  std::vector<Hl7PlacedValue> declared;
  for (std::size_t i = 0; i < values.size() && values[i].position.field <= 1; ++i) {
    if (values[i].position.field != 1) continue;
    const bool superseded = i + 1 < values.size() && values[i + 1].position.field == 1 &&
                            values[i + 1].position.repetition == values[i].position.repetition &&
                            values[i + 1].position.component == values[i].position.component;
    if (!superseded) declared.push_back(values[i]);
  }
  return declared;
}

// The most bytes the encoding characters take: five characters of up to four
// bytes each.
constexpr std::size_t kMostEncodingCharacterBytes = 5 * 4;

// The text of field 1 with the usual delimiters and no escaping, or nullopt
// when it would pass kMostEncodingCharacterBytes, checked before anything of
// its size is allocated (a key such as "1[0].3000000000" implies gigabytes);
// `written` must be the values that will be written, in line order.
std::optional<std::string> unescaped_field_one(const std::vector<Hl7PlacedValue>& written) {
  std::string text;
  Hl7LineCursor cursor(false);  // at the start of field 1
  for (const Hl7PlacedValue& value : written) {
    if (value.position.field != 1) break;
    const Hl7Gap gap = cursor.advance_to(value.position);
    const std::size_t room = kMostEncodingCharacterBytes - text.size();
    if (gap.tildes > room || gap.carets > room - gap.tildes ||
        value.value.size() > room - gap.tildes - gap.carets) {
      return std::nullopt;
    }
    text.append(static_cast<std::size_t>(gap.tildes), delimiters::kRepetition);
    text.append(static_cast<std::size_t>(gap.carets), delimiters::kComponent);
    text.append(value.value);
  }
  return text;
}

std::size_t count_characters(std::string_view utf8) {
  return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// Whether the entries of the line `parser` last parsed, other than
// "segment_name", are exactly `declared`, position for position and value for
// value.
bool same_field_entries(const Hl7SegmentParser& parser,
                        const std::vector<Hl7PlacedValue>& declared) {
  std::vector<std::pair<Hl7Position, std::string_view>> read;
  parser.for_each_entry([&](const Hl7KeyPosition& position, std::string_view value) {
    if (position.form != Hl7KeyPosition::Form::SegmentName) read.emplace_back(position, value);
  });
  if (read.size() != declared.size()) return false;
  const auto order = [](const auto& a, const auto& b) {
    return std::tie(a.first.field, a.first.repetition, a.first.component) <
           std::tie(b.first.field, b.first.repetition, b.first.component);
  };
  std::sort(read.begin(), read.end(), order);
  for (std::size_t i = 0; i < read.size(); ++i) {
    const Hl7Position& a = read[i].first;
    const Hl7Position& b = declared[i].position;
    if (a.field != b.field || a.repetition != b.repetition || a.component != b.component ||
        read[i].second != declared[i].value) {
      return false;
    }
  }
  return true;
}

// Whether an MSH record's field 1, HL7's MSH-2 (the encoding characters), is
// written as it is instead of escaped. Escaped, "^~\&" would become
// "\S\\R\\E\\T\", a header that no HL7 reader can read. It is written as it
// is when its unescaped text is 4 or 5 characters (MSH-2 holds four, five
// with v2.7's truncation character), holds no "|", CR or LF, and reads back,
// as field 1 of an MSH line, to exactly the entries the record declares:
// with escape decoding, or without it where decoding would not change the
// text; so the round trip stays exact, and a header written "MSH|^~\\&" is
// not turned into one written "MSH|^~\&".
// Preconditions: `values` sorted by comes_before; `written` the values left
// by keep_written_values.
bool writes_encoding_characters_as_is(const std::vector<Hl7PlacedValue>& values,
                                      const std::vector<Hl7PlacedValue>& written,
                                      const Hl7EscapeHandler& handler) {
  const std::optional<std::string> field_one = unescaped_field_one(written);
  if (!field_one) return false;
  const std::string& text = *field_one;
  const std::size_t characters = count_characters(text);
  if (characters < 4 || characters > 5) return false;
  constexpr char kNotInHeaderField[] = {delimiters::kField, '\r', '\n', '\0'};
  if (text.find_first_of(kNotInHeaderField) != std::string::npos) return false;
  const std::vector<Hl7PlacedValue> declared = declared_field_one(values);
  std::string line(kHeaderSegmentName);
  line += delimiters::kField;
  line += text;
  // Read back as a reader of the text reads it by default, decoding escape
  // sequences, or else raw (the form a raw read gives the usual header in),
  // but then only where decoding changes nothing: a record whose field 1
  // only a raw read gives back ("\\&" read raw from "^\\&") would come
  // back changed ("\&") to a reader that decodes.
  Hl7SegmentParser parser;
  parser.parse(line, &handler);
  if (same_field_entries(parser, declared)) return true;
  std::string decoded;
  handler.unescape_into(text, decoded);
  if (decoded != text) return false;
  parser.parse(line, nullptr);
  return same_field_entries(parser, declared);
}

// writes_encoding_characters_as_is, remembered for the last header seen:
// the messages of a feed share one header field 1, and the check parses a
// line. The answer depends on the declared field-1 entries alone (the
// written ones follow from them, the handler holds no state), so those are
// the memo's key. Shared by every thread, hence the lock.
class EncodingCharactersMemo {
 public:
  bool as_is(const std::vector<Hl7PlacedValue>& values, const std::vector<Hl7PlacedValue>& written,
             const Hl7EscapeHandler& handler) {
    std::string key;
    for (const Hl7PlacedValue& value : declared_field_one(values)) {
      const Hl7Position& p = value.position;
      for (const std::uint64_t n : {p.field, p.repetition, p.component}) {
        key.append(reinterpret_cast<const char*>(&n), sizeof n);
      }
      const std::uint64_t size = value.value.size();
      key.append(reinterpret_cast<const char*>(&size), sizeof size);
      key.append(value.value);
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (known_ && key == key_) return answer_;
    }
    const bool answer = writes_encoding_characters_as_is(values, written, handler);
    const std::lock_guard<std::mutex> lock(mutex_);
    key_ = std::move(key);
    answer_ = answer;
    known_ = true;
    return answer;
  }

 private:
  std::mutex mutex_;
  std::string key_;
  bool answer_ = false;
  bool known_ = false;
};

// The writer's view of its sink: room is made once per value, through raw
// pointers; the sink is asked for a larger block only when it is full.
class TextBuffer {
 public:
  explicit TextBuffer(TextSink& sink)
      : sink_(sink), data_(sink.data()), capacity_(sink.capacity()) {}

  // Where the next `more` bytes go, after making room for them.
  char* room(std::size_t more) {
    if (capacity_ - size_ < more) grow(more);
    return data_ + size_;
  }
  // Takes the bytes up to `end` (within the last room()) as written.
  void written_to(const char* end) { size_ = static_cast<std::size_t>(end - data_); }
  void truncate(std::size_t size) { size_ = size; }
  std::size_t size() const { return size_; }
  void reserve(std::size_t bytes) {
    if (bytes > capacity_) enlarge(bytes);
  }

 private:
  void grow(std::size_t more) {
    // At least half again, so many lines cost few reallocations.
    enlarge(std::max({size_ + more, capacity_ + capacity_ / 2, std::size_t{256}}));
  }
  void enlarge(std::size_t capacity) {
    sink_.resize(size_, capacity);
    data_ = sink_.data();
    capacity_ = sink_.capacity();
  }
  TextSink& sink_;
  char* data_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

// A sink of a std::string, for the callers that want one.
class StringSink final : public TextSink {
 public:
  // The text: the first `size` bytes of the block, which is gone after.
  std::string take(std::size_t size) {
    text_.resize(size);
    return std::move(text_);
  }

 private:
  char* enlarge(std::size_t, std::size_t capacity) override {
    text_.resize(capacity);
    return text_.data();
  }
  std::string text_;
};

// Writes `value` escaped at `to`, which has room for five bytes a byte;
// returns the end.
char* put_escaped(char* to, std::string_view value, const Hl7EscapeHandler& handler) {
  if (value.size() < scan::detail::kShortText) {
    // A short value, the usual one, is copied and checked in one loop; the
    // handler takes over from the first byte that needs a sequence.
    for (std::size_t i = 0; i < value.size(); ++i) {
      const char c = value[i];
      if (scan::sequence_length(static_cast<unsigned char>(c)) != 0) {
        return handler.escape_to(value.substr(i), to);
      }
      *to++ = c;
    }
    return to;
  }
  const std::size_t clean = scan::find_to_escape(value, 0);
  to = copy_bytes(to, value.substr(0, clean));
  if (clean == value.size()) return to;
  return handler.escape_to(value.substr(clean), to);
}

// A packed entry of the record being written: its place, and where it is
// among the record's entries.
struct PackedItem {
  std::uint64_t place;
  std::string_view value;
};

// The layouts this thread's writers have remembered. Only one record is
// sorted on a thread at a time.
[[gnu::noinline]] LayoutSorter<PackedItem>& thread_layouts() {
  thread_local LayoutSorter<PackedItem> layouts;
  return layouts;
}

// Writes the lines of a message, one record at a time.
struct LineWriter {
  LineWriter(const Hl7EscapeHandler& escape, TextSink& sink) : handler(escape), out(sink) {}

  // The usual record: every key packed, no two naming one place, and a
  // header only with the usual encoding characters in field 1. False, with
  // nothing written, when the record is not of that kind or its line would
  // pass kMaximumLineSlots delimiters: write_general then decides.
  bool write_packed(const Hl7RecordList::Record& record, std::size_t index);
  // Any record, the header and failures included.
  Status write_general(std::span<const Hl7RecordList::Entry> entries, std::size_t index);

  const Hl7EscapeHandler& handler;
  TextBuffer out;
  std::uint64_t gaps = 0;  // over the message so far, at most kMaximumMessageGaps
  std::size_t records = 0;
  std::vector<PackedItem> items;         // reused from record to record
  std::vector<Hl7PlacedValue> values;    // reused from record to record
  std::vector<Hl7PlacedValue> declared;  // an MSH record's values before keep_written_values
  std::vector<std::size_t> sizes;        // each written value's bytes, escaped or not
  PositionSorter sorter;
};

bool LineWriter::write_packed(const Hl7RecordList::Record& record, std::size_t index) {
  items.clear();
  items.reserve(record.size());  // once, not by doubling
  bool has_name = false;
  std::string_view name;
  bool ascending = true;
  std::uint64_t last = 0;
  for (const Hl7RecordList::Entry& entry : record) {
    const Hl7KeyCode code = entry.code;
    if (code.packed()) {
      ascending = ascending && code.place() > last;
      last = code.place();
      items.push_back(PackedItem{code.place(), entry.value});
    } else if (code.segment_name()) {
      has_name = true;
      name = entry.value;
    } else if (!code.left_out()) {
      return false;  // a position too large to pack
    }
  }
  if (!ascending && !thread_layouts().sort(items)) return false;  // two keys, one place
  // A header whose field 1 is the usual encoding characters alone, which the
  // general path writes as they are, is written here the same way; any
  // other header goes to the general path.
  const bool header = has_name && name == kHeaderSegmentName;
  if (header &&
      !is_usual_header(
          items, [](std::string_view value, std::string_view text) { return value == text; },
          handler)) {
    return false;
  }

  const std::size_t start = out.size();
  const std::uint64_t gaps_before = gaps;
  char* to = out.room(1 + name.size());
  if (index > 0) *to++ = delimiters::kSegment;
  to = copy_bytes(to, name);
  out.written_to(to);
  std::uint64_t field = has_name ? 0 : 1;
  std::uint64_t repetition = 0;
  std::uint64_t component = 1;
  std::uint64_t delimiter_count = 0;
  for (std::size_t k = 0; k < items.size(); ++k) {
    const std::uint64_t place = items[k].place;
    // A repetition's whole value gives way to a key naming one of its
    // components, which sorts right after it.
    if ((place & 0xFFFFFFu) == 0 && k + 1 < items.size() &&
        (items[k + 1].place >> 24) == place >> 24) {
      continue;
    }
    const Hl7KeyCode code = Hl7KeyCode::from_bits(place);
    std::uint64_t pipes = 0;
    std::uint64_t tildes = 0;
    if (code.field() != field) {
      pipes = code.field() - field;
      field = code.field();
      repetition = 0;
      component = 1;
    }
    if (code.repetition() != repetition) {
      tildes = code.repetition() - repetition;
      repetition = code.repetition();
      component = 1;
    }
    const std::uint64_t to_component = std::max<std::uint64_t>(code.component(), 1);
    const std::uint64_t carets = to_component - component;
    component = to_component;
    delimiter_count += pipes + tildes + carets;
    if (delimiter_count > kMaximumLineSlots ||
        !add_within(gaps, gap_of(pipes + tildes + carets), kMaximumMessageGaps)) {
      out.truncate(start);
      gaps = gaps_before;
      return false;
    }
    const std::string_view value = items[k].value;
    to = out.room(static_cast<std::size_t>(pipes + tildes + carets) + 5 * value.size() +
                  kEscapeSlack);
    if (tildes == 0 && pipes + carets == 1) {
      // The usual gap: the next field or the next component.
      *to++ = pipes == 1 ? delimiters::kField : delimiters::kComponent;
    } else {
      to = put_delimiters(to, pipes, delimiters::kField);
      to = put_delimiters(to, tildes, delimiters::kRepetition);
      to = put_delimiters(to, carets, delimiters::kComponent);
    }
    // A header's field 1, checked above, is written as it is.
    to = header && field == 1 ? copy_bytes(to, value) : put_escaped(to, value, handler);
    out.written_to(to);
  }
  return true;
}

Status LineWriter::write_general(std::span<const Hl7RecordList::Entry> entries, std::size_t index) {
  static EncodingCharactersMemo* const memo = new EncodingCharactersMemo();  // never freed
  bool has_name = false;
  std::string_view name;
  values.clear();
  for (const Hl7RecordList::Entry& entry : entries) {
    if (entry.code.left_out()) continue;
    if (entry.code.segment_name()) {
      has_name = true;
      name = entry.value;
      continue;
    }
    const Hl7Position position = entry.code.packed()
                                     ? Hl7Position{Hl7KeyPosition::Form::Whole, entry.code.field(),
                                                   entry.code.repetition(), entry.code.component()}
                                     : *Hl7KeyPosition::parse(entry.key);
    values.push_back(Hl7PlacedValue{position, entry.key, entry.value});
  }
  sorter.sort(values);
  const bool header = has_name && name == kHeaderSegmentName;
  if (header) declared.assign(values.begin(), values.end());
  keep_written_values(values);

  // The delimiter counts first, against both bounds: a key naming a huge
  // position fails before anything of its size is allocated or assembled.
  std::uint64_t delimiter_count = 0;
  Hl7LineCursor counter(has_name);
  for (const Hl7PlacedValue& value : values) {
    const Hl7Gap gap = counter.advance_to(value.position);
    if (!add_within(delimiter_count, gap.pipes, kMaximumLineSlots) ||
        !add_within(delimiter_count, gap.tildes, kMaximumLineSlots) ||
        !add_within(delimiter_count, gap.carets, kMaximumLineSlots)) {
      return Hl7Error::line_too_long(index, value.key, kMaximumLineSlots);
    }
    if (!add_within(gaps, gap_of(gap.pipes + gap.tildes + gap.carets), kMaximumMessageGaps)) {
      return Hl7Error::too_many_gaps(index, value.key, kMaximumMessageGaps);
    }
  }
  const bool verbatim_field_one = header && memo->as_is(declared, values, handler);

  // The line's exact size, then the line written in place.
  std::size_t line_size = (index > 0 ? 1 : 0) + name.size();
  sizes.resize(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const Hl7PlacedValue& value = values[i];
    const bool as_is = verbatim_field_one && value.position.field == 1;
    sizes[i] = as_is ? value.value.size() : escaped_size(value.value);
    line_size += sizes[i];
  }
  line_size += static_cast<std::size_t>(delimiter_count);
  char* to = out.room(line_size + kEscapeSlack);
  if (index > 0) *to++ = delimiters::kSegment;
  to = copy_bytes(to, name);
  Hl7LineCursor writer(has_name);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const Hl7PlacedValue& value = values[i];
    const Hl7Gap gap = writer.advance_to(value.position);
    to = put_delimiters(to, gap.pipes, delimiters::kField);
    to = put_delimiters(to, gap.tildes, delimiters::kRepetition);
    to = put_delimiters(to, gap.carets, delimiters::kComponent);
    if (sizes[i] == value.value.size()) {
      to = copy_bytes(to, value.value);  // nothing to escape, or written as it is
    } else {
      to = handler.escape_to(value.value, to);
    }
  }
  out.written_to(to);
  return Ok{};
}

}  // namespace

namespace {

Result<std::size_t> assemble(const Hl7RecordList& records, const Hl7EscapeHandler& handler,
                             bool short_path, TextSink& sink) {
  LineWriter writer(handler, sink);
  writer.out.reserve(assembly_room(records));
  std::vector<Hl7RecordList::Entry> entries;  // a record's, for the general path
  for (std::size_t index = 0; index < records.size(); ++index) {
    const Hl7RecordList::Record record = records[index];
    if (short_path && writer.write_packed(record, index)) continue;
    entries.clear();
    for (const Hl7RecordList::Entry& entry : record) entries.push_back(entry);
    Status written = writer.write_general(entries, index);
    if (!written) return std::move(written).error();
  }
  return writer.out.size();
}

Result<std::string> assemble_to_string(const Hl7RecordList& records,
                                       const Hl7EscapeHandler& handler, bool short_path) {
  StringSink sink;
  Result<std::size_t> size = assemble(records, handler, short_path, sink);
  if (!size) return std::move(size).error();
  return sink.take(size.value());
}

}  // namespace

Result<std::string> assemble_line(const Hl7RecordList::Record& record, std::size_t index,
                                  std::uint64_t& gaps, const Hl7EscapeHandler& handler) {
  StringSink sink;
  LineWriter writer(handler, sink);
  writer.gaps = gaps;
  std::vector<Hl7RecordList::Entry> entries;
  entries.reserve(record.size());
  for (const Hl7RecordList::Entry& entry : record) entries.push_back(entry);
  Status written = writer.write_general(entries, index);
  if (!written) return std::move(written).error();
  gaps = writer.gaps;
  return sink.take(writer.out.size());
}

Result<std::string> assemble_message(const Hl7RecordList& records,
                                     const Hl7EscapeHandler& handler) {
  return assemble_to_string(records, handler, true);
}

Result<std::size_t> assemble_message_into(const Hl7RecordList& records,
                                          const Hl7EscapeHandler& handler, TextSink& sink) {
  return assemble(records, handler, true, sink);
}

Result<std::string> assemble_message_plainly(const Hl7RecordList& records,
                                             const Hl7EscapeHandler& handler) {
  return assemble_to_string(records, handler, false);
}

}  // namespace brenvolt
