// Argument parsing and conversion at the interpreter boundary, worded as
// CPython words its own errors. A signature's parameter count fixes the size
// of the parsed arguments at compile time, so no parameter can overflow them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace brenvolt::py {

// The parameter list of one function with N parameters. No parameter is
// positional-only or keyword-only; the first `required` ones must be given.
// Made at compile time only: a signature requiring more parameters than it
// has does not compile.
template <std::size_t N>
struct FunctionSignature {
  const char* class_name;
  const char* function_name;
  std::array<const char*, N> parameters;
  std::size_t required;

  consteval FunctionSignature(const char* class_name_, const char* function_name_,
                              const char* const (&parameters_)[N], std::size_t required_)
      : class_name(class_name_), function_name(function_name_), parameters{}, required(required_) {
    if (required_ > N) throw "a signature cannot require more parameters than it has";
    for (std::size_t i = 0; i < N; ++i) parameters[i] = parameters_[i];
  }
};

// Parsed arguments, one per parameter of the signature, borrowed from the
// call (nullptr where the caller gave nothing). They live as long as the
// call's own argument references.
template <std::size_t N>
using Arguments = std::array<PyObject*, N>;

namespace detail {

struct SignatureView {
  const char* class_name;
  const char* function_name;
  std::span<const char* const> parameters;
  std::size_t required;
};

bool parse_vectorcall(const SignatureView& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::span<PyObject*> out);
bool parse_tuple(const SignatureView& signature, PyObject* args, PyObject* kwargs,
                 std::span<PyObject*> out);

template <std::size_t N>
SignatureView view(const FunctionSignature<N>& signature) {
  return {signature.class_name, signature.function_name, signature.parameters, signature.required};
}

}  // namespace detail

// Argument parsing for a vectorcall method (METH_FASTCALL | METH_KEYWORDS).
// Returns false with TypeError set.
template <std::size_t N>
bool parse_arguments(const FunctionSignature<N>& signature, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames, Arguments<N>& out) {
  return detail::parse_vectorcall(detail::view(signature), args,
                                  PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)), kwnames,
                                  out);
}

// Argument parsing for a constructor slot (tuple and keyword dict).
template <std::size_t N>
bool parse_arguments(const FunctionSignature<N>& signature, PyObject* args, PyObject* kwargs,
                     Arguments<N>& out) {
  return detail::parse_tuple(detail::view(signature), args, kwargs, out);
}

// The UTF-8 text of a str (precondition: PyUnicode_Check), viewed in the str's
// own buffer, valid while the str lives; nullopt with the interpreter's
// UnicodeEncodeError set for a str holding an unpaired surrogate.
inline std::optional<std::string_view> utf8_of(PyObject* str) {
  // ASCII text is its own UTF-8: read it in place without a call.
  if (PyUnicode_IS_COMPACT_ASCII(str)) {
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

// The UTF-8 of a str in a new string of its exact size, encoded straight from
// the str's code points: unlike utf8_of, it leaves no UTF-8 copy cached in a
// non-ASCII str, so a large text costs one copy, not two. An unpaired
// surrogate: nullopt with UnicodeEncodeError set, as utf8_of raises it.
std::optional<std::string> utf8_copy_of(PyObject* str);

// A str argument converted to UTF-8 as utf8_of does. Not a str: TypeError
// "argument 'name': ..."; an unpaired surrogate: UnicodeEncodeError, unchanged.
std::optional<std::string_view> to_text(PyObject* value, const char* name);

// True or False, or a NumPy bool scalar; never an int or None.
std::optional<bool> to_flag(PyObject* value, const char* name);

// As to_flag, with None or an absent value giving `fallback`.
std::optional<bool> to_flag_or(PyObject* value, const char* name, bool fallback);

}  // namespace brenvolt::py
