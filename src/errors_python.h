// The one place an Hl7Error becomes a Python exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "errors.h"

namespace brenvolt {

// Sets the pending exception to the built-in Exception itself (no subclass),
// with the error's message as its one argument, and returns nullptr so that
// wrappers can `return raise_hl7_error(...)`.
PyObject* raise_hl7_error(const Hl7Error& error);

}  // namespace brenvolt
