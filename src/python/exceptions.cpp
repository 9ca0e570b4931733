#include "exceptions.h"

#include <cstring>
#include <string>

#include "records.h"

namespace brenvolt::py {

// Cold: taken only on the way out of a failed call.
[[gnu::cold]] PyObject* raise_hl7_error(const Hl7Error& error) {
  const std::string message = error.message();
  PyRef text = new_str(message);
  if (text) PyErr_SetObject(PyExc_Exception, text.get());
  return nullptr;
}

void raise_claim_conflict(ClaimKind refused) {
  PyErr_SetString(PyExc_RuntimeError,
                  refused == ClaimKind::Shared ? "Already mutably borrowed" : "Already borrowed");
}

int refuse_delete() {
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return -1;
}

const char* type_name(PyObject* value) {
  const char* name = Py_TYPE(value)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

void raise_too_many_positional(std::string_view function, std::size_t most, std::size_t required,
                               std::size_t given) {
  std::string takes;
  if (required == most) {
    takes = std::to_string(most);
  } else {
    takes = "from " + std::to_string(required) + " to " + std::to_string(most);
  }
  const std::string label(function);
  PyErr_Format(PyExc_TypeError, "%s takes %s positional argument%s but %zu %s given", label.c_str(),
               takes.c_str(), most == 1 ? "" : "s", given, given == 1 ? "was" : "were");
}

// "missing 2 required positional arguments: 'a' and 'b'", with CPython's
// "'a', 'b', and 'c'" for three or more.
void raise_missing_arguments(std::string_view function, std::span<const char* const> missing) {
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    names.append("'").append(missing[i]).append("'");
  }
  const std::string label(function);
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", label.c_str(),
               missing.size(), missing.size() == 1 ? "" : "s", names.c_str());
}

void raise_multiple_values(std::string_view function, const char* parameter) {
  const std::string label(function);
  PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", label.c_str(),
               parameter);
}

void raise_unexpected_keyword(std::string_view function, PyObject* keyword) {
  const std::string label(function);
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", label.c_str(),
               keyword);
}

void raise_conversion_error(const char* name, PyObject* value, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", name,
               type_name(value), target);
}

void raise_records_are_text(const char* name) {
  PyErr_Format(PyExc_TypeError,
               "argument '%s': a str cannot be converted to a sequence of records; pass a list "
               "of dicts (JsonHl7.from_file reads JSON text from a file)",
               name);
}

void raise_records_not_a_sequence(const char* name, PyObject* value) {
  PyErr_Format(PyExc_TypeError,
               "argument '%s': '%s' object cannot be converted to a sequence of records (a list "
               "or tuple of dicts)",
               name, type_name(value));
}

void raise_record_not_a_dict(const char* name, Py_ssize_t index, PyObject* item) {
  PyErr_Format(PyExc_TypeError,
               "argument '%s': item %zd is a '%s' object, not a dict of str to str", name, index,
               type_name(item));
}

void raise_record_key_not_text(const char* name, Py_ssize_t index, PyObject* key) {
  PyErr_Format(PyExc_TypeError, "argument '%s': item %zd has a key of type '%s', not str", name,
               index, type_name(key));
}

void raise_record_value_not_text(const char* name, Py_ssize_t index, PyObject* key,
                                 PyObject* value) {
  PyErr_Format(PyExc_TypeError,
               "argument '%s': item %zd, key %R: value is a '%s' object, not a str", name, index,
               key, type_name(value));
}

}  // namespace brenvolt::py
