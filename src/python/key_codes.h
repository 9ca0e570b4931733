// The code of each record key (where its value goes), remembered per key
// object: the dicts of a message (and of a feed) share their key str
// objects, so a key's text is parsed once, not once per record.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/assembly.h"
#include "ref.h"

namespace brenvolt::py {

// A two-way set-associative table from key object to code. Each slot owns a
// reference to its key, so an address found here is the same str, never a
// later object at a reused address. A new key takes its set's first slot and
// moves the key there to the second. Only touched with the interpreter lock
// held.
class KeyCodeTable {
 public:
  // The code of the str `key` if the table holds it (a key it holds is
  // known to encode), else nullptr.
  const Hl7KeyCode* find(PyObject* key) const {
    const Slot* set = &slots_[set_index(key)];
    if (set[0].key.get() == key) return &set[0].code;
    if (set[1].key.get() == key) return &set[1].code;
    return nullptr;
  }

  // Hl7KeyCode::of_key of the str `key`, whose UTF-8 is `text`, remembered
  // for it. For a key that find() did not find.
  Hl7KeyCode remember(PyObject* key, std::string_view text);

  // The table the process shares; made on first use, never freed.
  static KeyCodeTable& shared() {
    static KeyCodeTable* const table = new KeyCodeTable();
    return *table;
  }

 private:
  static constexpr unsigned kSetBits = 11;
  struct Slot {
    PyRef key;
    Hl7KeyCode code;
  };
  // The index of the first slot of the set where `key` goes.
  static std::size_t set_index(PyObject* key) {
    const auto address = reinterpret_cast<std::uintptr_t>(key);
    return 2 *
           static_cast<std::size_t>(((address >> 4) * 0x9E3779B97F4A7C15ull) >> (64 - kSetBits));
  }
  Slot slots_[std::size_t{2} << kSetBits];
};

}  // namespace brenvolt::py
