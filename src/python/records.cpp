#include "records.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "unicode.h"

namespace brenvolt::py {
namespace {

// Process-wide interned keys. Indexing by position keeps a lookup to one load;
// positions beyond the tables get a fresh str.
constexpr std::size_t kCachedFields = 1024;
constexpr std::size_t kCachedComponentFields = 128;
// Narrative text (a TX or FT value holding carets) runs to hundreds of
// components; a key the table lacks costs a new str and its hash every time.
constexpr std::size_t kCachedComponents = 512;
constexpr std::size_t kCachedRepetitions = 8;
constexpr std::size_t kCachedRepetitionComponents = 64;

// Zero-initialised static storage: no initialisation to check on each use,
// and pages are only touched once a key lands on them.
struct KeyTable {
  PyObject* segment_name;
  PyObject* whole[kCachedFields];
  PyObject* component[kCachedComponentFields * kCachedComponents];
  PyObject* repetition[kCachedComponentFields * kCachedRepetitions];
  PyObject* repetition_component[kCachedComponentFields * kCachedRepetitions *
                                 kCachedRepetitionComponents];
};
KeyTable key_table;  // lives as long as the process

// Where the table keeps `position`, or nullptr when it is not cached.
[[gnu::always_inline]] inline PyObject** key_slot(KeyTable& table, const Hl7KeyPosition& position) {
  using Form = Hl7KeyPosition::Form;
  const std::uint64_t n = position.field;
  const std::uint64_t r = position.repetition;
  const std::uint64_t c = position.component;
  switch (position.form) {
    case Form::SegmentName:
      return &table.segment_name;
    case Form::Whole:
      return n < kCachedFields ? &table.whole[n] : nullptr;
    case Form::Component:
      if (n >= kCachedComponentFields || c >= kCachedComponents) return nullptr;
      return &table.component[n * kCachedComponents + c];
    case Form::Repetition:
      if (n >= kCachedComponentFields || r >= kCachedRepetitions) return nullptr;
      return &table.repetition[n * kCachedRepetitions + r];
    case Form::RepetitionComponent:
      if (n >= kCachedComponentFields || r >= kCachedRepetitions ||
          c >= kCachedRepetitionComponents) {
        return nullptr;
      }
      const std::uint64_t row = n * kCachedRepetitions + r;
      return &table.repetition_component[row * kCachedRepetitionComponents + c];
  }
  return nullptr;
}

std::uint64_t load8(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

std::uint64_t load4(const char* p) {
  std::uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

[[gnu::always_inline]] inline bool is_ascii(std::string_view text) {
  const char* p = text.data();
  const std::size_t n = text.size();
  std::uint64_t any = 0;
  if (n >= 8) {  // whole words, the last one overlapping the one before
    for (std::size_t i = 0; i + 8 < n; i += 8) any |= load8(p + i);
    any |= load8(p + n - 8);
  } else if (n >= 4) {
    any = load4(p) | load4(p + n - 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) any |= static_cast<unsigned char>(p[i]);
  }
  return (any & 0x8080808080808080ull) == 0;
}

// Short values repeat from segment to segment (codes, units, flags, dates):
// a process-wide table keeps the last str made for each slot and hands it out
// again for the same text. A str is immutable, so sharing one is invisible;
// the table is only touched with the interpreter lock held.
class ShortValueCache {
 public:
  static constexpr std::size_t kMaxLength = 24;

  // The str for ASCII `text` (2 to kMaxLength bytes), from the table or new;
  // a borrowed reference (the table keeps one), nullptr with the error set.
  [[gnu::always_inline]] PyObject* get(std::string_view text) {
    // The text as three words. For one size the same bytes always land in
    // the same places (the loads overlap, never reading past the text), so
    // equal words and size are equal texts.
    const char* p = text.data();
    const std::size_t n = text.size();
    std::uint64_t words[3] = {0, 0, 0};
    if (n >= 16) {
      words[0] = load8(p);
      words[1] = load8(p + 8);
      words[2] = load8(p + n - 8);
    } else if (n >= 8) {
      words[0] = load8(p);
      words[1] = load8(p + n - 8);
    } else if (n >= 4) {
      words[0] = load4(p) | (load4(p + n - 4) << 32);
    } else {
      words[0] = static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) |
                 static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
                 static_cast<std::uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
    }
    std::uint64_t hash = (words[0] + n) * 0x9E3779B97F4A7C15ull;
    hash ^= words[1] * 0xC2B2AE3D27D4EB4Full;
    hash ^= words[2] * 0x165667B19E3779F9ull;
    Slot& slot = slots_[hash >> (64 - kSlotBits)];
    if (slot.str != nullptr && slot.size == n && slot.words[0] == words[0] &&
        slot.words[1] == words[1] && slot.words[2] == words[2]) {
      return slot.str;
    }
    PyObject* made = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (made == nullptr) return nullptr;
    std::memcpy(PyUnicode_DATA(made), p, n);
    PyRef previous = PyRef::steal(slot.str);  // released when this returns
    slot = Slot{{words[0], words[1], words[2]}, n, made};
    return made;
  }

 private:
  static constexpr unsigned kSlotBits = 12;
  struct Slot {
    std::uint64_t words[3];
    std::size_t size;
    PyObject* str;
  };
  Slot slots_[std::size_t{1} << kSlotBits] = {};
};

ShortValueCache short_values;  // lives as long as the process

// The interpreter keeps one str for the empty text and for each single
// Latin-1 character; this table (index 128 for the empty one) saves the calls
// that find them. Borrowed references; nullptr with the error set.
PyObject* singles[129];  // lives as long as the process

[[gnu::always_inline]] inline PyObject* single_str(std::string_view ascii) {
  const std::size_t slot = ascii.empty() ? 128 : static_cast<unsigned char>(ascii[0]);
  if (singles[slot] == nullptr) {
    singles[slot] =
        ascii.empty() ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(static_cast<int>(slot));
  }
  return singles[slot];
}

// A value's str: a borrowed reference for texts the tables keep, a new one
// otherwise; nullptr with the error set.
struct ValueStr {
  PyObject* str;
  bool owned;
};

[[gnu::always_inline]] inline ValueStr ascii_value(std::string_view ascii) {
  if (ascii.size() <= 1) return {single_str(ascii), false};
  if (ascii.size() <= ShortValueCache::kMaxLength) return {short_values.get(ascii), false};
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127);
  if (text != nullptr) std::memcpy(PyUnicode_DATA(text), ascii.data(), ascii.size());
  return {text, true};
}

// The str of a key beyond the tables, or nullptr with the error set.
std::size_t decimal_digits(std::uint64_t n) {
  std::size_t digits = 1;
  for (; n >= 10000; n /= 10000) digits += 4;
  return digits + (n >= 10) + (n >= 100) + (n >= 1000);
}

// Writes n's decimal digits ending just before `end`, two at a time; returns
// their start.
char* write_decimal_before(char* end, std::uint64_t n) {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  while (n >= 100) {
    end -= 2;
    std::memcpy(end, kPairs + 2 * (n % 100), 2);
    n /= 100;
  }
  if (n >= 10) {
    end -= 2;
    std::memcpy(end, kPairs + 2 * n, 2);
  } else {
    *--end = static_cast<char>('0' + n);
  }
  return end;
}

// The str of a key, written straight into the str made at its exact size;
// nullptr with the error set. The text is append_key_text()'s (tests hold
// the two to each other); this saves the copy, for lines past the tables
// (a million fields make a million keys).
PyObject* make_key(const Hl7KeyPosition& position) {
  using Form = Hl7KeyPosition::Form;
  if (position.form == Form::SegmentName) {
    return PyUnicode_FromStringAndSize(kSegmentNameKey.data(),
                                       static_cast<Py_ssize_t>(kSegmentNameKey.size()));
  }
  const bool repetition =
      position.form == Form::Repetition || position.form == Form::RepetitionComponent;
  const bool component =
      position.form == Form::Component || position.form == Form::RepetitionComponent;
  std::size_t size = decimal_digits(position.field);
  if (repetition) size += decimal_digits(position.repetition) + 2;
  if (component) size += decimal_digits(position.component) + 1;
  PyObject* key = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
  if (key == nullptr) return nullptr;
  char* at = static_cast<char*>(PyUnicode_DATA(key)) + size;
  if (component) {
    at = write_decimal_before(at, position.component);
    *--at = '.';
  }
  if (repetition) {
    *--at = ']';
    at = write_decimal_before(at, position.repetition);
    *--at = '[';
  }
  write_decimal_before(at, position.field);
  return key;
}

// The key's str: borrowed from the table, which makes it on first use, or new
// for a key beyond the tables; nullptr with the error set.
[[gnu::always_inline]] inline ValueStr key_object(const Hl7KeyPosition& position) {
  PyObject** slot = key_slot(key_table, position);
  if (slot == nullptr) return {make_key(position), true};
  if (*slot == nullptr) *slot = make_key(position);
  return {*slot, false};
}

#if PY_VERSION_HEX < 0x030D0000
// The hint that makes _PyDict_NewPresized() give the smallest table with
// room for `entries`. The interpreter sizes a table for about one and a half
// times its hint, rounded up to a power of two, and a table of size s holds
// 2s/3 entries: so a hint of exactly 2s/3 (21 for 32 slots) gets a table of
// twice the size. The largest hint that maps to size s is (2s - 2) / 3.
std::size_t presize_hint(std::size_t entries) {
  std::size_t size = 8;
  while (size * 2 / 3 < entries) size *= 2;
  return (size * 2 - 2) / 3;
}
#endif  // 3.13 has no _PyDict_NewPresized() in its public headers

// A dict filled one entry at a time. After the first failure, with the
// interpreter's error set, it makes no further C API call: later entries are
// passed over, their keys never made.
class DictBuilder {
 public:
  explicit DictBuilder(std::size_t size_hint) {
#if PY_VERSION_HEX < 0x030D0000
    dict_ = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(presize_hint(size_hint))));
#else
    (void)size_hint;
    dict_ = PyRef::steal(PyDict_New());
#endif
    failed_ = !dict_;
  }

  // Adds the key that make_key() returns (a PyRef), mapped to the str that
  // make_value() returns.
  template <class MakeKey, class MakeValue>
  void add(MakeKey&& make_key, MakeValue&& make_value) {
    if (failed_) return;
    PyRef key = make_key();
    if (!key) {
      failed_ = true;
      return;
    }
    PyRef text = make_value();
    failed_ = !text || PyDict_SetItem(dict_.get(), key.get(), text.get()) < 0;
  }

  // Adds `key` mapped to `value`, taking over the references they own;
  // either may be nullptr, for a failure with the error set.
  [[gnu::always_inline]] void add(ValueStr key, ValueStr value) {
    if (!failed_) {
      failed_ = key.str == nullptr || value.str == nullptr ||
                PyDict_SetItem(dict_.get(), key.str, value.str) < 0;
    }
    if (key.owned) Py_XDECREF(key.str);
    if (value.owned) Py_XDECREF(value.str);
  }

  bool failed() const { return failed_; }

  PyObject* get() const { return dict_.get(); }

  // The dict, or nullptr with the error set.
  PyRef finish() {
    if (failed_) return {};
    return std::move(dict_);
  }

 private:
  PyRef dict_;
  bool failed_ = false;
};

}  // namespace

PyRef new_ascii_value_str(std::string_view ascii) {
  const ValueStr value = ascii_value(ascii);
  return value.owned ? PyRef::steal(value.str) : PyRef::borrow(value.str);
}

PyRef new_value_str(std::string_view utf8) {
  if (is_ascii(utf8)) return new_ascii_value_str(utf8);
  return new_str(utf8);
}

PyRef new_str(std::string_view utf8) {
  const auto size = static_cast<Py_ssize_t>(utf8.size());
  // The interpreter keeps one str for each single Latin-1 character.
  if (size == 1 && static_cast<unsigned char>(utf8[0]) < 0x80) {
    return PyRef::steal(PyUnicode_FromOrdinal(static_cast<unsigned char>(utf8[0])));
  }
  if (is_ascii(utf8)) {
    PyRef text = PyRef::steal(PyUnicode_New(size, 127));
    if (text && size > 0) std::memcpy(PyUnicode_DATA(text.get()), utf8.data(), utf8.size());
    return text;
  }
  return decode_str(utf8);
}

PyRef key_str(const Hl7KeyPosition& position) {
  const ValueStr key = key_object(position);
  return key.owned ? PyRef::steal(key.str) : PyRef::borrow(key.str);
}

// A huge record (a line of thousands of fields or components) goes into a
// dict far larger than the processor's caches, where each insertion waits on
// a cache miss at its key's slot of the table. So its keys and values are
// made first, and each insertion prefetches the slot of a key some entries
// ahead. The slot is found from the table's header, laid out as in Python
// 3.11 and 3.12 (elsewhere no prefetch is made); a prefetch never faults and
// never changes what the dict holds, so a wrong guess costs only time.
namespace {

constexpr std::size_t kStagedEntries = 4096;
constexpr std::size_t kPrefetchAhead = 16;

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030D0000
struct DictKeysHead {  // the interpreter's PyDictKeysObject, up to its slots
  Py_ssize_t refcnt;
  std::uint8_t log2_size;
  std::uint8_t log2_index_bytes;
  std::uint8_t kind;
  std::uint32_t version;
  Py_ssize_t usable;
  Py_ssize_t nentries;
};

void prefetch_slot(PyObject* dict, Py_hash_t hash) {
  const auto* keys =
      reinterpret_cast<const DictKeysHead*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
  const std::size_t slot =
      static_cast<std::size_t>(hash) & ((std::size_t{1} << keys->log2_size) - 1);
  const char* slots = reinterpret_cast<const char*>(keys) + sizeof(DictKeysHead);
  __builtin_prefetch(slots + (slot << (keys->log2_index_bytes - keys->log2_size)), 1);
}
#else
void prefetch_slot(PyObject*, Py_hash_t) {}
#endif

PyRef staged_record_dict(const Hl7SegmentParser& parser) {
  // Owned references, key and value by turn, released on every way out.
  struct Items {
    std::vector<PyObject*> objects;
    ~Items() {
      for (PyObject* object : objects) Py_DECREF(object);
    }
  } items;
  items.objects.reserve(2 * parser.entry_count());
  const auto owned = [](ValueStr made) {
    if (!made.owned) Py_INCREF(made.str);
    return made.str;
  };
  bool failed = false;
  parser.for_each_entry([&](const Hl7KeyPosition& position, std::string_view value) {
    if (failed) return;
    const ValueStr key = key_object(position);
    if (key.str == nullptr) {
      failed = true;
      return;
    }
    items.objects.push_back(owned(key));
    const ValueStr text = parser.ascii() || is_ascii(value)
                              ? ascii_value(value)
                              : ValueStr{new_str(value).release(), true};
    if (text.str == nullptr) {
      failed = true;
      return;
    }
    items.objects.push_back(owned(text));
  });
  if (failed) return {};
  const std::size_t count = items.objects.size() / 2;
  std::vector<Py_hash_t> hashes(count);
  for (std::size_t i = 0; i < count; ++i) {
    hashes[i] = PyObject_Hash(items.objects[2 * i]);  // kept in the str from now on
    if (hashes[i] == -1) return {};
  }
  DictBuilder dict(count);
  if (dict.failed()) return {};
  PyObject* const target = dict.get();
  for (std::size_t i = 0; i < count; ++i) {
    if (i + kPrefetchAhead < count) prefetch_slot(target, hashes[i + kPrefetchAhead]);
    if (PyDict_SetItem(target, items.objects[2 * i], items.objects[2 * i + 1]) < 0) return {};
  }
  return dict.finish();
}

}  // namespace

PyRef record_dict(const Hl7SegmentParser& parser) {
  if (parser.entry_count() >= kStagedEntries) return staged_record_dict(parser);
  DictBuilder dict(parser.entry_count());
  if (parser.ascii()) {  // every value ASCII: no value checked again
    // Inlined at each place an entry is emitted, where the key's form is
    // known: the key lookup comes down to an index.
    parser.for_each_entry([&](const Hl7KeyPosition& position, std::string_view value)
                              __attribute__((always_inline)) {
                                if (dict.failed()) return;
                                const ValueStr key = key_object(position);
                                dict.add(key, key.str == nullptr ? ValueStr{} : ascii_value(value));
                              });
  } else {
    parser.for_each_entry([&](const Hl7KeyPosition& position,
                              std::string_view value) __attribute__((always_inline)) {
      if (dict.failed()) return;
      const ValueStr key = key_object(position);
      if (key.str == nullptr || is_ascii(value)) {
        dict.add(key, key.str == nullptr ? ValueStr{} : ascii_value(value));
      } else {
        dict.add(key, {new_str(value).release(), true});
      }
    });
  }
  return dict.finish();
}

PyRef record_dict(const Hl7RecordList::Record& record) {
  DictBuilder dict(record.size());
  for (const Hl7RecordList::Entry& entry : record) {
    dict.add([&] { return new_str(entry.key); }, [&] { return new_value_str(entry.value); });
  }
  return dict.finish();
}

}  // namespace brenvolt::py
