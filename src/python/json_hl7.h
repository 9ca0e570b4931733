// The JsonHl7 class: segment records (Python dicts or a JSON file) written
// back as HL7 message text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace brenvolt::py {

// The class's slots, members and doc strings; module.cpp makes the type from
// them at import.
PyType_Spec& json_hl7_type_spec();

}  // namespace brenvolt::py
