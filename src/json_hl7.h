// The JsonHl7 class: segment records (Python dicts or a JSON file) written
// back as HL7 message text.
#pragma once

#include "module.h"

namespace brenvolt::py {

// The class's slots, members and doc strings; src/module makes the type once.
PyType_Spec& json_hl7_type_spec();

}  // namespace brenvolt::py
