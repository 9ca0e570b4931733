// The Hl7Json class: one HL7 message, read as a list of segment records.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace brenvolt::py {

// The class's slots, members and doc strings; module.cpp makes the type from
// them at import.
PyType_Spec& hl7_json_type_spec();

}  // namespace brenvolt::py
