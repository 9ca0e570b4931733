#include "str_sink.h"

#include <new>
#include <string_view>
#include <utility>

#include "core/utf8.h"
#include "unicode.h"

namespace brenvolt::py {

StrSink::~StrSink() {
  released_.reset();  // the lock is needed to let the str go
  Py_XDECREF(str_);
}

char* StrSink::enlarge(std::size_t, std::size_t capacity) {
  const bool was_released = released_.has_value();
  released_.reset();
  // A str keeps its first characters when it is resized, so `used` needs
  // no copy here.
  bool made;
  if (str_ == nullptr) {
    str_ = PyUnicode_New(static_cast<Py_ssize_t>(capacity), 127);
    made = str_ != nullptr;
  } else {
    made = PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(capacity)) == 0;
  }
  if (!made) {
    PyErr_Clear();  // the caller raises MemoryError for the std::bad_alloc
    throw std::bad_alloc();
  }
  if (was_released) released_.emplace();
  return static_cast<char*>(PyUnicode_DATA(str_));
}

PyRef StrSink::finish(std::size_t size) {
  released_.reset();
  if (size == 0 || str_ == nullptr) return PyRef::steal(PyUnicode_New(0, 0));
  const std::string_view text(data(), size);
  const utf8::Measure measure = utf8::measure(text);
  if (measure.max_bound > 127) return decode_str(text, measure);
  if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(size)) < 0) return {};
  return PyRef::steal(std::exchange(str_, nullptr));
}

}  // namespace brenvolt::py
