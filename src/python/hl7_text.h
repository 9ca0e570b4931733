// Hl7Text: the message an Hl7Json object holds, and its segment lines as
// UTF-8. A str argument is kept by reference, not copied: an ASCII str's own
// bytes are the UTF-8 text, and any other str is encoded one line at a time
// as conversion reaches it. Text read from a file is UTF-8 already. Line
// endings stay as they came; the lines are cut as replace_eof() would
// normalise them (core/lines.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/lines.h"
#include "ref.h"

namespace brenvolt::py {

// Room for one encoded line at a time: grows, and is never initialised.
class LineBuffer {
 public:
  // At least `size` bytes, the first `kept` as they were.
  char* room(std::size_t size, std::size_t kept) {
    if (size > capacity_) {
      const std::size_t capacity = size > 2 * capacity_ ? size : 2 * capacity_;
      std::unique_ptr<char[]> grown(new char[capacity]);
      if (kept > 0) std::memcpy(grown.get(), data_.get(), kept);
      data_ = std::move(grown);
      capacity_ = capacity;
    }
    return data_.get();
  }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
};

class Hl7Text {
 public:
  // Keeps a reference to `str`. Fails, with the interpreter's
  // UnicodeEncodeError set, for a str that holds a lone surrogate, which has
  // no UTF-8 form.
  static std::optional<Hl7Text> of_str(PyObject* str);

  // Owns `utf8`, valid UTF-8.
  static Hl7Text of_utf8(std::string utf8);

  // Calls visit(line) for every segment line, UTF-8, in order: the lines of
  // the normalised text. A line's view lasts until the next call.
  template <class Visit>
  void for_each_line(Visit&& visit) const;

  // The normalised text as a str (the kept str itself when it needs no
  // change); nullptr with the error set.
  PyRef normalised_str() const;

  // The normalised text as UTF-8.
  std::string normalised_utf8() const;

 private:
  // Encodes the line of the kept (non-ASCII) str that starts at code unit
  // `start` into `buffer` and views it in `line`; returns the index of its
  // line end, or the length.
  std::size_t encode_line(std::size_t start, LineBuffer& buffer, std::string_view& line) const;
  // The length of the kept str's line end at code unit `at`.
  std::size_t str_line_end_length(std::size_t at) const;

  // The UTF-8 text: the kept ASCII str's bytes, or the file's text.
  std::string_view bytes() const;

  PyRef str_;                      // the caller's str
  std::string utf8_;               // or the text read from a file
  bool encoded_per_line_ = false;  // true for a non-ASCII str
  int kind_ = PyUnicode_1BYTE_KIND;
  std::size_t length_ = 0;  // code units of the kept str
};

template <class Visit>
void Hl7Text::for_each_line(Visit&& visit) const {
  if (!encoded_per_line_) {
    for_each_raw_line(bytes(), visit);
    return;
  }
  LineBuffer buffer;
  std::string_view line;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = encode_line(start, buffer, line);
    visit(line);
    if (end == length_) return;
    start = end + str_line_end_length(end);
  }
}

}  // namespace brenvolt::py
