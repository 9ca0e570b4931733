#include "assembly.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

#include "keys.h"
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
// Kept small (the key is found again from `entry` on the one error path):
// a wide record sorts millions of these.
struct Hl7PlacedValue {
  Hl7Position position;
  std::size_t entry;  // index in the record: a later entry has a later key
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

bool comes_before(const Hl7PlacedValue& a, const Hl7PlacedValue& b) {
  return std::tie(a.position.field, a.position.repetition, a.position.component, a.entry) <
         std::tie(b.position.field, b.position.repetition, b.position.component, b.entry);
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
    if (values.size() <= kInsertionSortSize && insertion_sort(values)) return;
    if (!by(values, &Hl7Position::component) || !by(values, &Hl7Position::repetition) ||
        !by(values, &Hl7Position::field)) {
      std::sort(values.begin(), values.end(), comes_before);
    }
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

  // Sorts small `values` stably by packed position (so entries keep their
  // order, as comes_before wants); false, with `values` untouched, when a
  // position does not pack.
  bool insertion_sort(std::vector<Hl7PlacedValue>& values) {
    order_.resize(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!pack(values[i].position, order_[i].packed)) return false;
      order_[i].index = i;
    }
    for (std::size_t i = 1; i < order_.size(); ++i) {
      const Packed moved = order_[i];
      std::size_t j = i;
      while (j > 0 && moved.packed < order_[j - 1].packed) {
        order_[j] = order_[j - 1];
        --j;
      }
      order_[j] = moved;
    }
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

// Adds `count` to `total` unless that would pass kMaximumLineSlots.
// Precondition: total <= kMaximumLineSlots, so nothing can overflow.
bool add_within_line_bound(std::uint64_t& total, std::uint64_t count) {
  if (count > kMaximumLineSlots - total) return false;
  total += count;
  return true;
}

// The key of entry `entry` (from 0) of `record`.
std::string_view key_at(const Hl7RecordList::Record& record, std::size_t entry) {
  auto it = record.begin();
  for (std::size_t i = 0; i < entry; ++i) ++it;
  return it->key;
}

// Makes room for `more` bytes after the text already in `out`, growing by at
// least half again so that many lines cost few reallocations whatever the
// standard library's reserve() does.
void reserve_more(std::string& out, std::size_t more) {
  const std::size_t needed = out.size() + more;
  if (needed <= out.capacity()) return;
  out.reserve(std::max(needed, out.capacity() + out.capacity() / 2));
}

// Most gaps are one delimiter or none; the count form is for real gaps.
void append_delimiters(std::string& out, std::uint64_t count, char delimiter) {
  if (count == 0) return;
  if (count == 1) {
    out.push_back(delimiter);
  } else {
    out.append(static_cast<std::size_t>(count), delimiter);
  }
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

// The text of field 1 with the usual delimiters and no escaping; `written`
// must be the values that will be written, in line order.
std::string unescaped_field_one(const std::vector<Hl7PlacedValue>& written) {
  std::string text;
  Hl7LineCursor cursor(false);  // at the start of field 1
  for (const Hl7PlacedValue& value : written) {
    if (value.position.field != 1) break;
    const Hl7Gap gap = cursor.advance_to(value.position);
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
// as field 1 of an MSH line with or without escape decoding, to exactly the
// entries the record declares; so the round trip stays exact, and a header
// written "MSH|^~\\&" is not turned into one written "MSH|^~\&".
// Preconditions: `values` sorted by comes_before; `written` the values left
// by keep_written_values.
bool writes_encoding_characters_as_is(const std::vector<Hl7PlacedValue>& values,
                                      const std::vector<Hl7PlacedValue>& written,
                                      const Hl7EscapeHandler& handler) {
  const std::string text = unescaped_field_one(written);
  const std::size_t characters = count_characters(text);
  if (characters < 4 || characters > 5) return false;
  constexpr char kNotInHeaderField[] = {delimiters::kField, '\r', '\n', '\0'};
  if (text.find_first_of(kNotInHeaderField) != std::string::npos) return false;
  const std::vector<Hl7PlacedValue> declared = declared_field_one(values);
  std::string line(kHeaderSegmentName);
  line += delimiters::kField;
  line += text;
  Hl7SegmentParser parser;
  for (const Hl7EscapeHandler* decoding :
       {static_cast<const Hl7EscapeHandler*>(nullptr), &handler}) {
    parser.parse(line, decoding);
    if (same_field_entries(parser, declared)) return true;
  }
  return false;
}

// Hl7KeyPosition::parse for the few distinct keys of a feed, each parsed
// once: records name the same keys over and over. A
// direct-mapped table of short key texts; a longer key, or one whose slot
// holds another key, is parsed as usual.
class KeyPositionCache {
 public:
  std::optional<Hl7KeyPosition> parse(std::string_view key) {
    if (key.size() > kMaxKey) return Hl7KeyPosition::parse(key);
    std::uint32_t hash = static_cast<std::uint32_t>(key.size());
    for (const char c : key) hash = hash * 31u + static_cast<unsigned char>(c);
    Slot& slot = slots_[hash & (kSlots - 1)];
    if (slot.size == key.size() && std::memcmp(slot.text, key.data(), key.size()) == 0) {
      return slot.position;
    }
    const auto position = Hl7KeyPosition::parse(key);
    slot.size = key.size();
    std::memcpy(slot.text, key.data(), key.size());
    slot.position = position;
    return position;
  }

 private:
  static constexpr std::size_t kMaxKey = 14;
  static constexpr std::size_t kSlots = 512;
  struct Slot {
    std::size_t size = kMaxKey + 1;  // no key matches an empty slot
    char text[kMaxKey] = {};
    std::optional<Hl7KeyPosition> position;
  };
  std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
};

}  // namespace

Result<std::string> assemble_message(const Hl7RecordList& records,
                                     const Hl7EscapeHandler& handler) {
  std::string out;
  std::vector<Hl7PlacedValue> values;    // reused from record to record
  std::vector<Hl7PlacedValue> declared;  // an MSH record's values before keep_written_values
  bool verbatim_field_one = false;
  PositionSorter sorter;
  // A key's position never changes, so the table lives on from call to call:
  // the next message of a feed finds its keys already parsed.
  thread_local KeyPositionCache positions;
  for (std::size_t index = 0; index < records.size(); ++index) {
    const Hl7RecordList::Record record = records[index];

    bool has_name = false;
    std::string_view name;
    std::size_t line_size = 1;  // the line feed before it
    values.clear();
    std::size_t entry = 0;
    for (const Hl7RecordList::Entry& item : record) {
      const std::size_t index_in_record = entry++;
      const auto position = positions.parse(item.key);
      if (!position) continue;
      if (position->form == Hl7KeyPosition::Form::SegmentName) {
        has_name = true;
        name = item.value;
        continue;
      }
      // Field 0 is never written, so it takes no room either.
      if (position->field == 0) continue;
      values.push_back(Hl7PlacedValue{*position, index_in_record, item.value});
      line_size += item.value.size();
    }
    line_size += name.size();
    sorter.sort(values);
    if (has_name && name == kHeaderSegmentName) {
      declared.assign(values.begin(), values.end());
      keep_written_values(values);
      verbatim_field_one = writes_encoding_characters_as_is(declared, values, handler);
    } else {
      keep_written_values(values);
      verbatim_field_one = false;
    }

    // One pass writes the line and counts its delimiters, checking the count
    // before each gap is written: a key naming a huge position fails before
    // anything of its size is allocated. A failed call returns no text, so
    // the part already written does not matter.
    reserve_more(out, line_size + values.size());
    if (index > 0) out.push_back(delimiters::kSegment);
    out.append(name);
    std::uint64_t delimiters = 0;
    Hl7LineCursor writer(has_name);
    for (const Hl7PlacedValue& value : values) {
      const Hl7Gap gap = writer.advance_to(value.position);
      if (!add_within_line_bound(delimiters, gap.pipes) ||
          !add_within_line_bound(delimiters, gap.tildes) ||
          !add_within_line_bound(delimiters, gap.carets)) {
        return Hl7Error::line_too_long(index, key_at(record, value.entry), kMaximumLineSlots);
      }
      append_delimiters(out, gap.pipes, delimiters::kField);
      append_delimiters(out, gap.tildes, delimiters::kRepetition);
      append_delimiters(out, gap.carets, delimiters::kComponent);
      if (verbatim_field_one && value.position.field == 1) {
        out.append(value.value);
      } else {
        handler.escape_into(value.value, out);
      }
    }
  }
  return out;
}

}  // namespace brenvolt
