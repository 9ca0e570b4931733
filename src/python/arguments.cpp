#include "arguments.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/utf8.h"
#include "exceptions.h"

namespace brenvolt::py::detail {
namespace {

std::string function_label(const SignatureView& signature) {
  std::string label(signature.class_name);
  label.append(".").append(signature.function_name).append("()");
  return label;
}

bool check_positional_count(const SignatureView& signature, Py_ssize_t nargs) {
  if (static_cast<std::size_t>(nargs) <= signature.parameters.size()) return true;
  raise_too_many_positional(function_label(signature), signature.parameters.size(),
                            signature.required, static_cast<std::size_t>(nargs));
  return false;
}

// Puts one keyword argument into its slot. False with TypeError set.
bool place_keyword(const SignatureView& signature, PyObject* name, PyObject* value,
                   std::span<PyObject*> out) {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_Check(name) &&
        PyUnicode_CompareWithASCIIString(name, signature.parameters[i]) == 0) {
      if (out[i] != nullptr) {
        raise_multiple_values(function_label(signature), signature.parameters[i]);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  raise_unexpected_keyword(function_label(signature), name);
  return false;
}

bool check_required(const SignatureView& signature, std::span<PyObject*> parsed) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (parsed[i] == nullptr) missing.push_back(signature.parameters[i]);
  }
  if (missing.empty()) return true;
  raise_missing_arguments(function_label(signature), missing);
  return false;
}

}  // namespace

bool parse_vectorcall(const SignatureView& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::span<PyObject*> out) {
  if (!check_positional_count(signature, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      if (!place_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) {
        return false;
      }
    }
  }
  return check_required(signature, out);
}

bool parse_tuple(const SignatureView& signature, PyObject* args, PyObject* kwargs,
                 std::span<PyObject*> out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!check_positional_count(signature, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    out[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(signature, name, value, out)) return false;
    }
  }
  return check_required(signature, out);
}

}  // namespace brenvolt::py::detail

namespace brenvolt::py {
namespace {

bool is_numpy_bool(PyObject* value) {
  const char* name = Py_TYPE(value)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

}  // namespace

std::optional<std::string_view> to_text(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    raise_conversion_error(name, value, "str");
    return std::nullopt;
  }
  return utf8_of(value);
}

namespace {

template <class Unit>
std::optional<std::string> encode_kind(PyObject* str) {
  const auto* units = static_cast<const Unit*>(PyUnicode_DATA(str));
  const auto count = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  const std::size_t size = utf8::encoded_size(units, count);
  if (size == utf8::kSurrogate) {  // let the interpreter raise its error
    if (!utf8_of(str)) return std::nullopt;
    return std::string(*utf8_of(str));
  }
  std::string out(size, '\0');
  utf8::encode(units, count, out.data());
  return out;
}

}  // namespace

std::optional<std::string> utf8_copy_of(PyObject* str) {
  if (PyUnicode_IS_COMPACT_ASCII(str)) return std::string(*utf8_of(str));
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      return encode_kind<Py_UCS1>(str);
    case PyUnicode_2BYTE_KIND:
      return encode_kind<Py_UCS2>(str);
    default:
      return encode_kind<Py_UCS4>(str);
  }
}

std::optional<bool> to_flag(PyObject* value, const char* name) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  if (is_numpy_bool(value)) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return std::nullopt;
    return truth == 1;
  }
  raise_conversion_error(name, value, "bool");
  return std::nullopt;
}

std::optional<bool> to_flag_or(PyObject* value, const char* name, bool fallback) {
  if (value == nullptr || value == Py_None) return fallback;
  return to_flag(value, name);
}

}  // namespace brenvolt::py
