#include "given_records.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "arguments.h"
#include "core/assembly.h"
#include "core/header_field_one.h"
#include "core/keys.h"
#include "core/place_sort.h"
#include "core/record_list.h"
#include "core/scan.h"
#include "exceptions.h"
#include "key_codes.h"
#include "unicode.h"

namespace brenvolt::py {
namespace {

// How many entries ahead a value object is fetched into the cache, in a
// message of at least kPrefetchedEntries entries.
constexpr std::size_t kPrefetchAhead = 16;
constexpr std::size_t kPrefetchedEntries = 16384;

// How many entries of a record are read from its dict before they are
// checked: their values are fetched into the cache meanwhile.
constexpr std::ptrdiff_t kFetchedStretch = 32;

// A message of at least this many code points is written without the
// interpreter lock.
constexpr std::size_t kReleaseLockUnits = 256 * 1024;

// Whether a code point lies among the surrogates, which UTF-8 cannot encode.
template <class Char>
bool is_surrogate(Char c) {
  return (static_cast<std::uint32_t>(c) & 0xFFFFF800u) == 0xD800u;
}

// What escaping adds for the code point c: its sequence's length less one,
// or 0 when it is written as it is. Comparisons rather than a table, so that
// loops over wide text are vectorised. The same choice as scan::sequence_length.
template <class Char>
std::size_t extra_of(Char c) {
  return 2u * ((c == '|') | (c == '^') | (c == '~') | (c == '&') | (c == '\\')) +
         4u * ((c == '\t') | (c == '\n') | (c == '\r'));
}

// Eight UCS-2 code points as one vector (GCC's and Clang's vector
// extensions, on every target): the loops below test eight at a time.
using Ucs2x8 = std::uint16_t __attribute__((vector_size(16)));

constexpr Ucs2x8 splat(std::uint16_t c) { return Ucs2x8{c, c, c, c, c, c, c, c}; }

Ucs2x8 load_ucs2x8(const Py_UCS2* p) {
  Ucs2x8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Eight Latin-1 code points, widened to UCS-2.
using Ucs1x8 = std::uint8_t __attribute__((vector_size(8)));

Ucs2x8 load_widened(const Py_UCS1* p) {
  Ucs1x8 v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_convertvector(v, Ucs2x8);
}

Ucs2x8 load_widened(const Py_UCS2* p) { return load_ucs2x8(p); }

template <class Mask>
bool any_lane(Mask mask) {
  std::uint64_t words[2];
  static_assert(sizeof mask == sizeof words);
  std::memcpy(words, &mask, sizeof words);
  return (words[0] | words[1]) != 0;
}

// The index of the first lane of `mask` (lanes of 16 bits, all ones or
// zeros) that is set; at least one is.
template <class Mask>
std::size_t first_lane(Mask mask) {
  std::uint64_t words[2];
  static_assert(sizeof mask == sizeof words);
  std::memcpy(words, &mask, sizeof words);
  return words[0] != 0 ? static_cast<std::size_t>(__builtin_ctzll(words[0])) / 16
                       : 4 + static_cast<std::size_t>(__builtin_ctzll(words[1])) / 16;
}

// The lanes of `v` that may be written as escape sequences: every one that
// is, and the vertical tab and form feed, which callers check again one by
// one. Folding pairs of delimiters a case bit apart ("|" and "\\", "~" and
// "^") and the line controls into one range takes half the comparisons.
auto escaped_lanes(Ucs2x8 v) {
  const Ucs2x8 folded = v | splat(0x20);
  return (folded == splat('|')) | (folded == splat('~')) | (v == splat('&')) |
         ((v - splat('\t')) <= splat('\r' - '\t'));
}

// The first four and the last four code points of p[0..n), 4 <= n < 8 (some
// of them both), as one vector.
template <class Char>
Ucs2x8 load_ends(const Char* p, std::size_t n) {
  if constexpr (sizeof(Char) == 1) {
    Ucs1x8 v;
    std::memcpy(&v, p, 4);
    std::memcpy(reinterpret_cast<unsigned char*>(&v) + 4, p + n - 4, 4);
    return __builtin_convertvector(v, Ucs2x8);
  } else {
    Ucs2x8 v;
    std::memcpy(&v, p, 8);
    std::memcpy(reinterpret_cast<unsigned char*>(&v) + 8, p + n - 4, 8);
    return v;
  }
}

// Writes the short text p[0..n), 4 <= n < 16, as it is at `to` when no code
// point of it may need a sequence: two overlapping loads test it whole, and
// two overlapping stores write it. Returns the end, or nullptr when one may
// (the caller then writes it one by one). A short value is the usual one,
// and one by one costs a few instructions a code point.
template <class Char, class Out>
Out* put_clean_short(const Char* p, std::size_t n, Out* to) {
  static_assert(sizeof(Char) <= sizeof(Out) && sizeof(Out) <= 2);
  if (n >= 8) {
    const Ucs2x8 head = load_widened(p);
    const Ucs2x8 tail = load_widened(p + n - 8);
    if (any_lane(escaped_lanes(head) | escaped_lanes(tail))) return nullptr;
    if constexpr (sizeof(Out) == sizeof(Char)) {
      std::memcpy(to, p, 8 * sizeof(Out));
      std::memcpy(to + n - 8, p + n - 8, 8 * sizeof(Out));
    } else {
      std::memcpy(to, &head, sizeof head);
      std::memcpy(to + n - 8, &tail, sizeof tail);
    }
    return to + n;
  }
  const Ucs2x8 ends = load_ends(p, n);
  if (any_lane(escaped_lanes(ends))) return nullptr;
  if constexpr (sizeof(Out) == sizeof(Char)) {
    std::memcpy(to, p, 4 * sizeof(Out));
    std::memcpy(to + n - 4, p + n - 4, 4 * sizeof(Out));
  } else {
    std::memcpy(to, &ends, 4 * sizeof(Out));
    std::memcpy(to + n - 4, reinterpret_cast<const unsigned char*>(&ends) + 8, 4 * sizeof(Out));
  }
  return to + n;
}

// The index of the first code point of the wide text p[0..n) at or after
// `from` that is written as an escape sequence, or n.
template <class Char>
std::size_t find_wide_to_escape(const Char* p, std::size_t from, std::size_t n) {
  std::size_t i = from;
  if constexpr (sizeof(Char) == 2) {
    for (; i + 8 <= n; i += 8) {
      if (any_lane(escaped_lanes(load_ucs2x8(p + i)))) break;
    }
  }
  for (; i < n; ++i) {
    if (extra_of(p[i]) != 0) return i;
  }
  return n;
}

// Whether the wide text p[0..n) holds a surrogate.
template <class Char>
bool holds_surrogate(const Char* p, std::size_t n) {
  std::size_t i = 0;
  if constexpr (sizeof(Char) == 2) {
    auto surrogates = splat(0) != splat(0);
    for (; i + 8 <= n; i += 8) surrogates |= (load_ucs2x8(p + i) & splat(0xF800)) == splat(0xD800);
    if (any_lane(surrogates)) return true;
  }
  for (; i < n; ++i) {
    if (is_surrogate(p[i])) return true;
  }
  return false;
}

// An exact str with the text of the str `object` (a subclass's own text,
// whatever its methods say); nullptr with the error set.
PyRef exact_str(PyObject* object) {
  if (PyUnicode_CheckExact(object)) return PyRef::borrow(object);
  return PyRef::steal(PyUnicode_FromObject(object));
}

}  // namespace

GivenRecords::~GivenRecords() {
  const std::size_t count = entries_.size();
  const bool prefetch = count >= kPrefetchedEntries;
  for (std::size_t i = 0; i < count; ++i) {
    if (prefetch && i + kPrefetchAhead < count) {
      __builtin_prefetch(entries_[i + kPrefetchAhead].value, 1);
    }
    Py_DECREF(entries_[i].key);
    Py_DECREF(entries_[i].value);
  }
}

bool GivenRecords::add_record(PyObject* item, Py_ssize_t index, const char* name) {
  if (!PyDict_Check(item)) {
    raise_record_not_a_dict(name, index, item);
    return false;
  }
  KeyCodeTable& known_keys = KeyCodeTable::shared();
  // Room for the dict's entries at once, filled through a pointer. The dict
  // cannot change while it is read: nothing below runs Python code before
  // an entry is refused (its error message may call a repr), and then the
  // dict is not read again. Copying a str subclass's text runs none of its
  // methods.
  const std::size_t first = entries_.size();
  entries_.resize(first + static_cast<std::size_t>(PyDict_GET_SIZE(item)));
  Entry* const begin = entries_.data() + first;
  Entry* const limit = entries_.data() + entries_.size();  // a dict yields its size, no more
  // The entries below `filled` own their references; on every way out,
  // an exception's too, the room is cut back to them.
  Entry* filled = begin;
  struct CutBack {
    std::vector<Entry>& entries;
    Entry* const& filled;  // the variable itself, as it moves
    ~CutBack() { entries.resize(static_cast<std::size_t>(filled - entries.data())); }
  } cut_back{entries_, filled};
  // Fills `entry` with `key`: `value`; false with the error set.
  const auto fill = [&](Entry* entry, PyObject* key, PyObject* value) {
    // The usual entry takes a few checks: exact strs (the key table keeps
    // references to keys, and a str subclass's could run code when it is
    // let go) and a value of one byte a code point (so without surrogates).
    // A key found in the table is not encoded again.
    if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(value) &&
        PyUnicode_KIND(value) == PyUnicode_1BYTE_KIND) {
      const Hl7KeyCode* const known = known_keys.find(key);
      std::uint64_t code = 0;
      if (known != nullptr) {
        code = known->bits();
      } else {
        const auto key_text = utf8_of(key);
        if (!key_text) return false;
        code = known_keys.remember(key, *key_text).bits();
      }
      *entry = Entry{code, Py_NewRef(key), Py_NewRef(value)};
      width_.ascii &= PyUnicode_IS_ASCII(value);
      units_ += static_cast<std::size_t>(PyUnicode_GET_LENGTH(value));
      return true;
    }
    const std::optional<Entry> checked = any_entry(key, value, index, name);
    if (!checked) return false;
    *entry = *checked;
    return true;
  };
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  if (!fetch_ahead_) {
    while (filled != limit && PyDict_Next(item, &position, &key, &value)) {
      if (!fill(filled, key, value)) return false;
      ++filled;
    }
  } else {
    // A large message's value objects are mostly no longer in the cache:
    // the dict is read a stretch of entries at a time, first their keys and
    // values (borrowed until filled), each value fetched as it is found
    // (asked for together, they arrive together), then each entry filled.
    for (;;) {
      Entry* end = filled;
      while (end - filled < kFetchedStretch && end != limit &&
             PyDict_Next(item, &position, &key, &value)) {
        __builtin_prefetch(value, 1);
        end->key = key;
        end->value = value;
        ++end;
      }
      if (end == filled) break;
      for (; filled != end; ++filled) {
        if (!fill(filled, filled->key, filled->value)) return false;
      }
    }
  }
  ends_.push_back(first + static_cast<std::size_t>(filled - begin));
  return true;
}

std::optional<GivenRecords::Entry> GivenRecords::any_entry(PyObject* key, PyObject* value,
                                                           Py_ssize_t index, const char* name) {
  if (!PyUnicode_Check(key)) {
    raise_record_key_not_text(name, index, key);
    return std::nullopt;
  }
  if (!PyUnicode_Check(value)) {
    raise_record_value_not_text(name, index, key, value);
    return std::nullopt;
  }
  // Only exact strs go into the key table (see add_record).
  const bool exact = PyUnicode_CheckExact(key);
  const Hl7KeyCode* const known = exact ? KeyCodeTable::shared().find(key) : nullptr;
  Hl7KeyCode code;
  if (known != nullptr) {
    code = *known;
  } else {
    const auto key_text = utf8_of(key);
    if (!key_text) return std::nullopt;
    code = exact ? KeyCodeTable::shared().remember(key, *key_text)
                 : Hl7KeyCodeCache::for_this_thread().code(*key_text);
  }
  // A str subclass's text is kept as an exact str.
  const PyRef exact_key = exact_str(key);
  if (!exact_key) return std::nullopt;
  const PyRef exact_value = exact_str(value);
  if (!exact_value) return std::nullopt;
  PyObject* const text = exact_value.get();
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
  const int kind = PyUnicode_KIND(text);
  // UTF-8 cannot hold a surrogate: the encoder raises its usual error.
  const bool surrogate =
      kind == PyUnicode_2BYTE_KIND
          ? holds_surrogate(static_cast<const Py_UCS2*>(PyUnicode_DATA(text)), length)
          : kind == PyUnicode_4BYTE_KIND &&
                holds_surrogate(static_cast<const Py_UCS4*>(PyUnicode_DATA(text)), length);
  if (surrogate && !utf8_of(text)) return std::nullopt;
  width_.add(text);
  units_ += length;
  return Entry{code.bits(), Py_NewRef(exact_key.get()), Py_NewRef(text)};
}

std::optional<GivenRecords> GivenRecords::convert(PyObject* json_data, const char* name) {
  if (PyUnicode_Check(json_data)) {
    raise_records_are_text(name);
    return std::nullopt;
  }
  if (!PySequence_Check(json_data)) {
    raise_records_not_a_sequence(name, json_data);
    return std::nullopt;
  }
  GivenRecords records;
  const Py_ssize_t size = PySequence_Size(json_data);
  if (size < 0) {
    PyErr_Clear();  // only a sizing hint: iteration decides
  } else {
    records.ends_.reserve(static_cast<std::size_t>(size));
  }
  // A list's or tuple's dicts say how many entries come: room for them at
  // once, not by growing a large vector step by step.
  if (PyList_CheckExact(json_data) || PyTuple_CheckExact(json_data)) {
    PyObject* const* items = PySequence_Fast_ITEMS(json_data);
    std::size_t entries = 0;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(json_data); ++i) {
      if (PyDict_Check(items[i])) entries += static_cast<std::size_t>(PyDict_GET_SIZE(items[i]));
    }
    records.entries_.reserve(entries);
    records.fetch_ahead_ = entries >= kPrefetchedEntries;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(json_data));
  if (!iterator) return std::nullopt;
  for (Py_ssize_t index = 0;; ++index) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) return std::nullopt;
      break;
    }
    if (!records.add_record(item.get(), index, name)) return std::nullopt;
  }
  return records;
}

PyRef GivenRecords::to_list() const {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ends_.size())));
  if (!list) return {};
  std::vector<const Entry*> order;
  std::size_t first = 0;
  for (std::size_t r = 0; r < ends_.size(); ++r) {
    order.clear();
    for (std::size_t i = first; i < ends_[r]; ++i) order.push_back(&entries_[i]);
    first = ends_[r];
    // Code point order is the byte order of the UTF-8. Stable, so that of
    // two equal keys (possible only from a str subclass's own hash and
    // equality) the later value wins, as in a record list.
    std::stable_sort(order.begin(), order.end(), [](const Entry* a, const Entry* b) {
      return PyUnicode_Compare(a->key, b->key) < 0;
    });
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (const Entry* entry : order) {
      if (PyDict_SetItem(dict.get(), entry->key, entry->value) < 0) return {};
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), dict.release());
  }
  return list;
}

namespace {

// Adds `count` to `total` unless that would pass `bound` (total <= bound).
bool add_within(std::uint64_t& total, std::uint64_t count, std::uint64_t bound) {
  if (count > bound - total) return false;
  total += count;
  return true;
}

// The delimiters written before a value for positions no key names.
std::uint64_t gap_of(std::uint64_t delimiters) { return delimiters > 1 ? delimiters - 1 : 0; }

// Values at least this long are measured before room is made for them,
// rather than given room for every character escaped.
constexpr std::size_t kMeasuredValue = 4096;

// The length of the str `value` once escaped, in code points.
std::size_t escaped_length(PyObject* value) {
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(value));
  const void* data = PyUnicode_DATA(value);
  std::size_t size = n;
  switch (PyUnicode_KIND(value)) {
    case PyUnicode_1BYTE_KIND:
      // Latin-1 bytes above 0x7F are no delimiters: byte scanning is exact.
      return scan::escaped_size(std::string_view(static_cast<const char*>(data), n));
    case PyUnicode_2BYTE_KIND: {
      const auto* p = static_cast<const Py_UCS2*>(data);
      std::size_t i = 0;
      for (; i + 8 <= n; i += 8) {
        if (!any_lane(escaped_lanes(load_ucs2x8(p + i)))) continue;
        for (std::size_t j = i; j < i + 8; ++j) size += extra_of(p[j]);
      }
      for (; i < n; ++i) size += extra_of(p[i]);
      return size;
    }
    default: {
      const auto* p = static_cast<const Py_UCS4*>(data);
      for (std::size_t i = 0; i < n; ++i) size += extra_of(p[i]);
      return size;
    }
  }
}

// The text being written, in the str that becomes the result: made with
// room for an estimate of its length at the width the records' values
// call for, grown in place where the allocator can, cut to its length at
// the end. Growing makes a call, so it takes the interpreter lock when the
// writer has let it go (`lock`).
template <class Out>
class TextStr {
 public:
  TextStr(std::size_t capacity, Py_UCS4 max_char) {
    str_ = PyUnicode_New(static_cast<Py_ssize_t>(capacity), max_char);
    if (str_ == nullptr) throw std::bad_alloc();
    data_ = static_cast<Out*>(PyUnicode_DATA(str_));
    capacity_ = capacity;
  }
  TextStr(const TextStr&) = delete;
  TextStr& operator=(const TextStr&) = delete;
  ~TextStr() { Py_XDECREF(str_); }  // with the lock held

  // Where the next `more` code points go, after making room for them.
  template <class Lock>
  Out* room(std::size_t more, Lock&& lock) {
    if (capacity_ - size_ < more) lock([&] { grow(more); });
    return data_ + size_;
  }
  // Takes the code points up to `end` (within the last room()) as written.
  void written_to(const Out* end) { size_ = static_cast<std::size_t>(end - data_); }
  void truncate(std::size_t size) { size_ = size; }
  std::size_t size() const { return size_; }
  const Out* data() const { return data_; }

  // The str cut to the text written, or nullptr with the error set.
  PyRef finish() {
    if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(size_)) < 0) return {};
    return PyRef::steal(std::exchange(str_, nullptr));
  }

 private:
  void grow(std::size_t more) {
    // At least half again, so that many lines cost few reallocations.
    const std::size_t capacity = std::max(size_ + more, capacity_ + capacity_ / 2);
    if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(capacity)) < 0) throw std::bad_alloc();
    data_ = static_cast<Out*>(PyUnicode_DATA(str_));
    capacity_ = capacity;
  }
  PyObject* str_ = nullptr;
  Out* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The escape sequences for the characters below 256 at a width: the
// character itself or its sequence, then filler, eight code points a row,
// so that any character is written by one fixed-size copy.
template <class Out>
struct WideEscapes {
  Out text[256][8] = {};
  unsigned char length[256] = {};
};

template <class Out>
WideEscapes<Out> make_wide_escapes() {
  WideEscapes<Out> made;
  const Hl7EscapeHandler handler = create_default_escape_handler();
  for (int c = 0; c < 256; ++c) {
    std::string escaped;
    if (c < 0x80) {
      handler.escape_into(std::string(1, static_cast<char>(c)), escaped);
    } else {
      escaped.assign(1, static_cast<char>(c));  // stands for the code point c
    }
    for (std::size_t i = 0; i < escaped.size(); ++i) {
      made.text[c][i] = static_cast<Out>(static_cast<unsigned char>(escaped[i]));
    }
    made.length[c] = static_cast<unsigned char>(escaped.size());
  }
  return made;
}

// Made when the module loads, from the core's constant tables.
template <class Out>
const WideEscapes<Out> kWideEscapes = make_wide_escapes<Out>();

// Copies p[0..n) to `to`, widened; returns the end.
template <class Char, class Out>
Out* copy_units(const Char* p, std::size_t n, Out* to) {
  if constexpr (sizeof(Char) == sizeof(Out)) {
    if (n != 0) std::memcpy(to, p, n * sizeof(Out));
  } else {
    for (std::size_t i = 0; i < n; ++i) to[i] = static_cast<Out>(p[i]);
  }
  return to + n;
}

// Writes the bytes p[0..n) escaped at `to`; returns the end.
char* put_escaped_bytes(const char* p, std::size_t n, char* to, const Hl7EscapeHandler& handler) {
  static_assert(scan::detail::kShortText <= 16, "put_clean_short() takes fewer than 16");
  if (n < scan::detail::kShortText) {
    if (n >= 4) {
      const auto* bytes = reinterpret_cast<const Py_UCS1*>(p);
      if (char* end = put_clean_short(bytes, n, to)) return end;
    }
    // The value is copied and checked in one loop; the handler takes over
    // from the first byte that needs a sequence.
    for (std::size_t i = 0; i < n; ++i) {
      const char c = p[i];
      if (scan::sequence_length(static_cast<unsigned char>(c)) != 0) {
        return handler.escape_to(std::string_view(p + i, n - i), to);
      }
      *to++ = c;
    }
    return to;
  }
  const std::string_view text(p, n);
  const std::size_t clean = scan::find_to_escape(text, 0);
  std::memcpy(to, p, clean);
  to += clean;
  if (clean == n) return to;
  return handler.escape_to(text.substr(clean), to);
}

// Writes p[0..n) escaped at `to`, which has room for the escaped text and
// kEscapeSlack code points more, which it may overwrite; returns the end.
template <class Char, class Out>
Out* escape_units(const Char* p, std::size_t n, Out* to, const Hl7EscapeHandler& handler) {
  if constexpr (sizeof(Char) == 1 && sizeof(Out) == 1) {
    return reinterpret_cast<Out*>(put_escaped_bytes(reinterpret_cast<const char*>(p), n,
                                                    reinterpret_cast<char*>(to), handler));
  } else if constexpr (sizeof(Char) <= 2 && sizeof(Out) == 2) {
    // Eight code points at a time, widened as they are loaded and stored
    // as they are; a sequence, and each code point of the last few, is
    // written by one fixed-size copy of its table row.
    const WideEscapes<Out>& table = kWideEscapes<Out>;
    const auto put_one = [&](std::size_t c) {
      if constexpr (sizeof(Char) > 1) {
        if (c >= 0x100) {
          *to++ = static_cast<Out>(c);
          return;
        }
      }
      std::memcpy(to, table.text[c], sizeof table.text[c]);
      to += table.length[c];
    };
    if (n >= 4 && n < 16) {
      if (Out* end = put_clean_short(p, n, to)) return end;
    }
    // A block holding one to escape is kept up to that code point, which
    // is written as its sequence; the next block starts right after it.
    std::size_t i = 0;
    while (i + 8 <= n) {
      const Ucs2x8 v = load_widened(p + i);
      std::memcpy(to, &v, sizeof v);
      const auto lanes = escaped_lanes(v);
      if (!any_lane(lanes)) {
        to += 8;
        i += 8;
        continue;
      }
      const std::size_t first = first_lane(lanes);
      to += first;
      put_one(static_cast<std::size_t>(p[i + first]));
      i += first + 1;
    }
    for (; i < n; ++i) put_one(static_cast<std::size_t>(p[i]));
    return to;
  } else {
    // Runs without a sequence copied in blocks, each sequence by one
    // fixed-size copy of its table row.
    const WideEscapes<Out>& table = kWideEscapes<Out>;
    std::size_t i = 0;
    for (;;) {
      std::size_t next;
      if constexpr (sizeof(Char) == 1) {
        next = scan::find_to_escape(std::string_view(reinterpret_cast<const char*>(p), n), i);
      } else {
        next = find_wide_to_escape(p, i, n);
      }
      to = copy_units(p + i, next - i, to);
      if (next == n) return to;
      const auto c = static_cast<std::size_t>(p[next]);  // ASCII
      std::memcpy(to, table.text[c], sizeof table.text[c]);
      to += table.length[c];
      i = next + 1;
    }
  }
}

// Writes the str `value` escaped at `to` (room as for escape_units); returns
// the end.
template <class Out>
Out* put_value(PyObject* value, Out* to, const Hl7EscapeHandler& handler) {
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(value));
  const void* data = PyUnicode_DATA(value);
  const auto kind = PyUnicode_KIND(value);
  if (kind == PyUnicode_1BYTE_KIND) {
    return escape_units(static_cast<const Py_UCS1*>(data), n, to, handler);
  }
  if constexpr (sizeof(Out) >= 2) {
    if (kind == PyUnicode_2BYTE_KIND) {
      return escape_units(static_cast<const Py_UCS2*>(data), n, to, handler);
    }
  }
  if constexpr (sizeof(Out) == 4) {
    return escape_units(static_cast<const Py_UCS4*>(data), n, to, handler);
  }
  return to;  // not reached: the text is as wide as its widest value
}

// Writes the str `text` as it is at `to`; returns the end.
template <class Out>
Out* put_text(PyObject* text, Out* to) {
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
  const void* data = PyUnicode_DATA(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      return copy_units(static_cast<const Py_UCS1*>(data), n, to);
    case PyUnicode_2BYTE_KIND:
      if constexpr (sizeof(Out) >= 2) return copy_units(static_cast<const Py_UCS2*>(data), n, to);
      return to;
    default:
      if constexpr (sizeof(Out) == 4) return copy_units(static_cast<const Py_UCS4*>(data), n, to);
      return to;
  }
}

template <class Out>
Out* put_delimiters(Out* to, std::uint64_t count, char delimiter) {
  for (std::uint64_t i = 0; i < count; ++i) to[i] = static_cast<Out>(delimiter);
  return to + count;
}

// Whether the str `name` is the header's segment name, read without a call.
bool is_header_name(PyObject* name) {
  return PyUnicode_GET_LENGTH(name) == 3 && PyUnicode_KIND(name) == PyUnicode_1BYTE_KIND &&
         std::memcmp(PyUnicode_DATA(name), "MSH", 3) == 0;
}

bool has_text(PyObject* str, std::string_view text) {
  return PyUnicode_GET_LENGTH(str) == static_cast<Py_ssize_t>(text.size()) &&
         PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND &&
         std::memcmp(PyUnicode_DATA(str), text.data(), text.size()) == 0;
}

// A packed entry of the record being written.
struct Item {
  std::uint64_t place;
  PyObject* value;  // borrowed from the records being written
};

// The layouts a thread has remembered. Only one write runs on a thread at a
// time (nothing in it calls back into Python).
[[gnu::noinline]] LayoutSorter<Item>& thread_layouts() {
  thread_local LayoutSorter<Item> layouts;
  return layouts;
}

}  // namespace

template <class Out>
PyRef GivenRecords::write_as(const Hl7EscapeHandler& handler) const {
  Py_UCS4 max_char = 0x10FFFF;
  if (width_.ascii != 0) {
    max_char = 0x7F;
  } else if (width_.kind() == PyUnicode_1BYTE_KIND) {
    max_char = 0xFF;
  } else if (width_.kind() == PyUnicode_2BYTE_KIND) {
    max_char = 0xFFFF;
  }
  // Room for the values, a delimiter each and a few escapes; gaps and more
  // escapes grow it.
  TextStr<Out> out(units_ + units_ / 16 + 2 * entries_.size() + ends_.size() + 64, max_char);
  // A local buffer: the compiler keeps its ends in registers while text is
  // stored, which it cannot do for one reached through a reference.
  std::vector<Item> items;  // reused from record to record
  LayoutSorter<Item>& layouts = thread_layouts();
  std::uint64_t gaps = 0;  // over the message so far, at most kMaximumMessageGaps
  // Whether a value of the records is not in the text (a left-out key, a
  // whole value given way to a component, a record on the general path):
  // only then can the text be narrower than its widest value.
  bool all_written = true;
  // The strs read are immutable and owned by these records, and the buffer
  // is this call's alone: a large text is written with the lock released,
  // taken back only for a record that takes the general path. A small one
  // keeps it, since taking it back can wait for another thread's turn.
  const bool release = units_ >= kReleaseLockUnits;
  // Declared after `out`: the lock is back before `out` is let go.
  std::optional<InterpreterLockReleased> released;
  if (release) released.emplace();
  const auto lock = [&](auto&& work) {
    const bool was_released = released.has_value();
    released.reset();
    work();
    if (was_released) released.emplace();
  };

  const Entry* const entries_end = entries_.data() + entries_.size();
  // Only a message larger than the caches gains by fetching ahead.
  const bool prefetch = entries_.size() >= kPrefetchedEntries;
  std::size_t first = 0;
  for (std::size_t index = 0; index < ends_.size(); ++index) {
    const Entry* const begin = entries_.data() + first;
    const Entry* const end = entries_.data() + ends_[index];
    first = ends_[index];
    // The short path takes the usual record: every key packed, no two
    // naming one place, not a header, and its line within the bounds.
    bool usual = true;
    bool skipped = false;  // a value of the record not written
    PyObject* name = nullptr;
    // Room for every entry at once, filled through a pointer: no capacity
    // check an entry.
    items.resize(static_cast<std::size_t>(end - begin));
    Item* packed = items.data();
    bool ascending = true;
    std::uint64_t last = 0;
    for (const Entry* entry = begin; entry != end && usual; ++entry) {
      // The value objects lie anywhere in memory: in a large message most
      // are no longer cached, so each is fetched a few entries ahead.
      if (prefetch && entry + kPrefetchAhead < entries_end) {
        __builtin_prefetch((entry + kPrefetchAhead)->value);
      }
      const Hl7KeyCode code = Hl7KeyCode::from_bits(entry->code);
      if (code.packed()) {
        ascending = ascending && code.place() > last;
        last = code.place();
        *packed++ = Item{code.place(), entry->value};
      } else if (code.segment_name()) {
        usual = name == nullptr;  // two names only from a str subclass's equality
        name = entry->value;
      } else if (!code.left_out()) {
        usual = false;  // a position too large to pack
      } else {
        skipped = true;
      }
    }
    items.resize(static_cast<std::size_t>(packed - items.data()));
    const bool header = usual && name != nullptr && is_header_name(name);
    if (usual && !ascending) {
      usual = layouts.sort(items);  // false for two keys naming one place
    }
    // A header whose field 1 is the usual encoding characters alone, which
    // the general path writes as they are, is written here the same way;
    // any other header goes to the general path.
    if (usual && header) usual = is_usual_header(items, has_text, handler);
    if (usual) {
      const std::size_t start = out.size();
      const std::uint64_t gaps_before = gaps;
      const std::size_t name_size =
          name == nullptr ? 0 : static_cast<std::size_t>(PyUnicode_GET_LENGTH(name));
      Out* to = out.room(1 + name_size, lock);
      if (index > 0) *to++ = static_cast<Out>(delimiters::kSegment);
      if (name != nullptr) to = put_text(name, to);
      out.written_to(to);
      std::uint64_t field = name != nullptr ? 0 : 1;
      std::uint64_t repetition = 0;
      std::uint64_t component = 1;
      std::uint64_t delimiter_count = 0;
      for (std::size_t k = 0; k < items.size(); ++k) {
        const std::uint64_t place = items[k].place;
        // A repetition's whole value gives way to a key naming one of its
        // components, which sorts right after it.
        if ((place & 0xFFFFFFu) == 0 && k + 1 < items.size() &&
            (items[k + 1].place >> 24) == place >> 24) {
          skipped = true;
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
          out.truncate(start);  // the general path names the key
          gaps = gaps_before;
          usual = false;
          break;
        }
        PyObject* const value = items[k].value;
        const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(value));
        const std::size_t most = size < kMeasuredValue ? 5 * size : escaped_length(value);
        to =
            out.room(static_cast<std::size_t>(pipes + tildes + carets) + most + kEscapeSlack, lock);
        if (tildes == 0 && pipes + carets == 1) {
          // The usual gap: the next field or the next component.
          *to++ = static_cast<Out>(pipes == 1 ? delimiters::kField : delimiters::kComponent);
        } else {
          to = put_delimiters(to, pipes, delimiters::kField);
          to = put_delimiters(to, tildes, delimiters::kRepetition);
          to = put_delimiters(to, carets, delimiters::kComponent);
        }
        // A header's field 1, checked above, is written as it is.
        to = header && field == 1 ? put_text(value, to) : put_value(value, to, handler);
        out.written_to(to);
      }
      if (usual) {
        all_written = all_written && !skipped;
        continue;
      }
    }
    // The general path, with the lock held: it makes Python objects.
    released.reset();
    Hl7RecordList record;
    for (const Entry* entry = begin; entry != end; ++entry) {
      // Both were encoded when the records were given.
      const auto key = utf8_of(entry->key);
      const auto value = utf8_of(entry->value);
      if (!key || !value) return {};
      record.add(*key, *value, Hl7KeyCode::from_bits(entry->code));
    }
    record.end_record();
    Result<std::string> text = assemble_line(record[0], index, gaps, handler);
    if (!text) {
      raise_hl7_error(text.error());
      return {};
    }
    PyRef line = decode_str(text.value());
    if (!line) return {};
    all_written = false;
    out.written_to(put_text(
        line.get(), out.room(static_cast<std::size_t>(PyUnicode_GET_LENGTH(line.get())), lock)));
    if (release) released.emplace();
  }
  released.reset();

  const std::size_t size = out.size();
  if (size == 0) return PyRef::steal(PyUnicode_New(0, 0));
  if (!all_written) {
    // Maybe a value wider than the rest was left out: the str is made at
    // the width of what was written.
    constexpr int kind = sizeof(Out) == 1   ? PyUnicode_1BYTE_KIND
                         : sizeof(Out) == 2 ? PyUnicode_2BYTE_KIND
                                            : PyUnicode_4BYTE_KIND;
    return PyRef::steal(PyUnicode_FromKindAndData(kind, out.data(), static_cast<Py_ssize_t>(size)));
  }
  return out.finish();
}

PyRef GivenRecords::write(const Hl7EscapeHandler& handler) const {
  switch (width_.kind()) {
    case PyUnicode_1BYTE_KIND:
      return write_as<Py_UCS1>(handler);
    case PyUnicode_2BYTE_KIND:
      return write_as<Py_UCS2>(handler);
    default:
      return write_as<Py_UCS4>(handler);
  }
}

}  // namespace brenvolt::py
