#include "unicode.h"

#include <cstdint>

#include "core/utf8.h"

namespace brenvolt::py {

PyRef decode_str(std::string_view utf8) { return decode_str(utf8, utf8::measure(utf8)); }

PyRef decode_str(std::string_view utf8, const utf8::Measure& measure) {
  PyRef str = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(measure.characters),
                                         static_cast<Py_UCS4>(measure.max_bound)));
  if (!str) return str;
  void* data = PyUnicode_DATA(str.get());
  // The bound is the one PyUnicode_New chose the width by, so the width
  // written is the str's own.
  switch (PyUnicode_KIND(str.get())) {
    case PyUnicode_1BYTE_KIND:
      utf8::widen(utf8, measure.characters, static_cast<std::uint8_t*>(data));
      break;
    case PyUnicode_2BYTE_KIND:
      utf8::widen(utf8, measure.characters, static_cast<std::uint16_t*>(data));
      break;
    default:
      utf8::widen(utf8, measure.characters, static_cast<std::uint32_t*>(data));
      break;
  }
  return str;
}

}  // namespace brenvolt::py
