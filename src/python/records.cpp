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
constexpr std::size_t kCachedComponents = 64;
constexpr std::size_t kCachedRepetitions = 8;

struct KeyTable {
  PyObject* segment_name = nullptr;
  std::vector<PyObject*> whole = std::vector<PyObject*>(kCachedFields);
  std::vector<PyObject*> component =
      std::vector<PyObject*>(kCachedComponentFields * kCachedComponents);
  std::vector<PyObject*> repetition =
      std::vector<PyObject*>(kCachedComponentFields * kCachedRepetitions);
  std::vector<PyObject*> repetition_component =
      std::vector<PyObject*>(kCachedComponentFields * kCachedRepetitions * kCachedComponents);
};

// Where the table keeps `position`, or nullptr when it is not cached.
PyObject** key_slot(KeyTable& table, const Hl7KeyPosition& position) {
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
      if (n >= kCachedComponentFields || r >= kCachedRepetitions || c >= kCachedComponents) {
        return nullptr;
      }
      return &table.repetition_component[(n * kCachedRepetitions + r) * kCachedComponents + c];
  }
  return nullptr;
}

bool is_ascii(std::string_view text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  std::uint64_t any = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    any |= word;
  }
  for (; i < n; ++i) any |= p[i];
  return (any & 0x8080808080808080ull) == 0;
}

// Short values repeat from segment to segment (codes, units, flags, dates):
// a process-wide table keeps the last str made for each slot and hands it out
// again for the same text. A str is immutable, so sharing one is invisible;
// the table is only touched with the interpreter lock held.
class ShortValueCache {
 public:
  static constexpr std::size_t kMaxLength = 24;

  // The str for ASCII `text` (2 to kMaxLength bytes), from the table or new.
  PyRef get(std::string_view text) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    PyObject*& slot = slots_[hash & (kSlots - 1)];
    if (slot != nullptr && static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot)) == text.size() &&
        std::memcmp(PyUnicode_DATA(slot), text.data(), text.size()) == 0) {
      return PyRef::borrow(slot);
    }
    PyRef made = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    if (!made) return made;
    std::memcpy(PyUnicode_DATA(made.get()), text.data(), text.size());
    PyRef previous = PyRef::steal(slot);  // released when this returns
    slot = PyRef::borrow(made.get()).release();
    return made;
  }

 private:
  static constexpr std::size_t kSlots = 4096;
  PyObject* slots_[kSlots] = {};
};

// A dict filled one entry at a time. After the first failure, with the
// interpreter's error set, it makes no further C API call: later entries are
// passed over, their keys never made.
class DictBuilder {
 public:
  explicit DictBuilder(std::size_t size_hint) {
#if PY_VERSION_HEX < 0x030D0000
    dict_ = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(size_hint)));
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
  static ShortValueCache* cache = new ShortValueCache();  // lives as long as the process
  const std::size_t size = ascii.size();
  if (size <= 1) {
    // The interpreter keeps one str for the empty text and for each single
    // Latin-1 character; this table saves the calls that find them.
    static PyObject** singles = new PyObject*[129]();  // lives as long as the process
    const std::size_t slot = size == 0 ? 128 : static_cast<unsigned char>(ascii[0]);
    if (singles[slot] == nullptr) {
      PyRef made = PyRef::steal(size == 0 ? PyUnicode_New(0, 0)
                                          : PyUnicode_FromOrdinal(static_cast<int>(slot)));
      if (!made) return made;
      singles[slot] = made.release();
    }
    return PyRef::borrow(singles[slot]);
  }
  if (size <= ShortValueCache::kMaxLength) return cache->get(ascii);
  PyRef text = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
  if (text) std::memcpy(PyUnicode_DATA(text.get()), ascii.data(), size);
  return text;
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
  static KeyTable* table = new KeyTable();  // lives as long as the process
  PyObject** slot = key_slot(*table, position);
  if (slot != nullptr && *slot != nullptr) return PyRef::borrow(*slot);
  std::string text;
  position.append_key_text(text);
  PyRef key = new_str(text);
  if (key && slot != nullptr) *slot = PyRef::borrow(key.get()).release();
  return key;
}

PyRef record_dict(const Hl7SegmentParser& parser) {
  DictBuilder dict(parser.entry_count());
  if (parser.ascii()) {  // every value ASCII: no value checked again
    parser.for_each_entry([&](const Hl7KeyPosition& position, std::string_view value) {
      dict.add([&] { return key_str(position); }, [&] { return new_ascii_value_str(value); });
    });
  } else {
    parser.for_each_entry([&](const Hl7KeyPosition& position, std::string_view value) {
      dict.add([&] { return key_str(position); }, [&] { return new_value_str(value); });
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
