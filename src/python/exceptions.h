// Every exception the interpreter boundary raises, and its wording, made in
// one place: an Hl7Error becomes the built-in Exception; wrong arguments
// become TypeErrors worded as CPython words its own; conflicting claims
// become RuntimeErrors. Each function sets the pending exception; those
// returning PyObject* return nullptr so that callers can `return raise_...`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "core/errors.h"
#include "ref.h"

namespace brenvolt::py {

// Exception itself (no subclass), with the error's message as its one
// argument.
PyObject* raise_hl7_error(const Hl7Error& error);

// RuntimeError "Already mutably borrowed" (a shared claim refused) or
// "Already borrowed" (an exclusive one).
void raise_claim_conflict(ClaimKind refused);

// AttributeError, the setters' answer to `del obj.flag`; returns -1.
int refuse_delete();

// The short name of a value's type, as CPython's own messages print it
// ("int", "NoneType", "PosixPath").
const char* type_name(PyObject* value);

// Argument parsing. `function` is the label CPython prints: "Hl7Json.validate()".
void raise_too_many_positional(std::string_view function, std::size_t most, std::size_t required,
                               std::size_t given);
void raise_missing_arguments(std::string_view function, std::span<const char* const> missing);
void raise_multiple_values(std::string_view function, const char* parameter);
void raise_unexpected_keyword(std::string_view function, PyObject* keyword);

// "argument 'name': 'T' object cannot be converted to 'target'".
void raise_conversion_error(const char* name, PyObject* value, const char* target);

// Records given to JsonHl7, for argument `name`: a str, or no sequence, in
// place of the records; item `index` no dict; a key, or a value, no str.
void raise_records_are_text(const char* name);
void raise_records_not_a_sequence(const char* name, PyObject* value);
void raise_record_not_a_dict(const char* name, Py_ssize_t index, PyObject* item);
void raise_record_key_not_text(const char* name, Py_ssize_t index, PyObject* key);
void raise_record_value_not_text(const char* name, Py_ssize_t index, PyObject* key,
                                 PyObject* value);

}  // namespace brenvolt::py
