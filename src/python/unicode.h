// A str made from UTF-8 text in one allocation: the text is measured first,
// then written straight into a str of its exact length and width.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "core/utf8.h"
#include "ref.h"

namespace brenvolt::py {

// A new str from `utf8`, which must be valid UTF-8 (any text the core cut
// from, or decoded out of, a str's own UTF-8); nullptr with the error set
// when the str cannot be allocated.
PyRef decode_str(std::string_view utf8);

// decode_str for a caller that has measured the text already.
PyRef decode_str(std::string_view utf8, const utf8::Measure& measure);

}  // namespace brenvolt::py
