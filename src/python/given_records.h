// Records given to JsonHl7 as Python dicts, kept as the str objects they
// hold and written to HL7 text straight from those objects' own data: no
// value is encoded to UTF-8 or copied on the way in, and the text is written
// once, into a str of its final length and width.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/escape.h"
#include "ref.h"

namespace brenvolt::py {

class GivenRecords {
 public:
  // The records of `json_data`, given as argument `name`: a sequence, not a
  // str, of dicts of str to str. Nullopt with TypeError (naming the item and
  // key) or UnicodeEncodeError set; errors raised by the caller's sequence
  // while it is iterated pass through unchanged.
  static std::optional<GivenRecords> convert(PyObject* json_data, const char* name);

  GivenRecords() = default;
  GivenRecords(GivenRecords&&) noexcept = default;
  GivenRecords& operator=(GivenRecords&&) = delete;
  GivenRecords(const GivenRecords&) = delete;
  GivenRecords& operator=(const GivenRecords&) = delete;
  ~GivenRecords();  // with the interpreter lock held

  // The records as a new list of new dicts, each filled in ascending byte
  // order of its keys' UTF-8 (as a record list keeps them); nullptr with the
  // error set.
  PyRef to_list() const;

  // The message text, as assemble_message() writes the same records: usual
  // records by a short path of its own, the others line by line through
  // assemble_line(). Nullptr with the error set: an HL7 encoding error where
  // assemble_message() fails, MemoryError.
  PyRef write(const Hl7EscapeHandler& handler) const;

 private:
  struct Entry {
    // Left unset: resize() makes room for a record that add_record() fills
    // at once, without writing each entry twice.
    Entry() {}  // NOLINT(cppcoreguidelines-pro-type-member-init,modernize-use-equals-default)
    Entry(std::uint64_t c, PyObject* k, PyObject* v) : code(c), key(k), value(v) {}
    std::uint64_t code;  // the key's Hl7KeyCode
    PyObject* key;       // owned; an exact str (once add_record() has filled it)
    PyObject* value;     // owned; an exact str (likewise)
  };
  // The width of text: whether it is all ASCII, and the widest kind of str
  // in it (PyUnicode_KIND: 1, 2 or 4 bytes a code point).
  struct Width {
    unsigned kinds = PyUnicode_1BYTE_KIND;  // the kinds seen, or'ed: the widest is the top bit
    unsigned ascii = 1;                     // and'ed
    void add(PyObject* str) {
      kinds |= PyUnicode_KIND(str);
      ascii &= PyUnicode_IS_ASCII(str);
    }
    int kind() const {
      return kinds & PyUnicode_4BYTE_KIND   ? PyUnicode_4BYTE_KIND
             : kinds & PyUnicode_2BYTE_KIND ? PyUnicode_2BYTE_KIND
                                            : PyUnicode_1BYTE_KIND;
    }
  };
  bool add_record(PyObject* dict, Py_ssize_t index, const char* name);
  // The entry `key`: `value` of the record at `index`, whatever their types,
  // with references of its own: nullopt with the error set when they are
  // not strs, either does not encode, or memory runs out.
  std::optional<Entry> any_entry(PyObject* key, PyObject* value, Py_ssize_t index,
                                 const char* name);
  template <class Out>
  PyRef write_as(const Hl7EscapeHandler& handler) const;

  std::vector<Entry> entries_;
  std::vector<std::size_t> ends_;  // one past each record's last entry
  Width width_;                    // of all values: the text is no wider
  std::size_t units_ = 0;          // the code points of all values
  bool fetch_ahead_ = false;       // add_record() fetches values ahead (a large message)
};

}  // namespace brenvolt::py
