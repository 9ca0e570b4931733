// The Hl7Json class: one HL7 message, read as a list of segment records.
#pragma once

#include "module.h"

namespace brenvolt::py {

// The class's slots, members and doc strings; src/module makes the type once.
PyType_Spec& hl7_json_type_spec();

}  // namespace brenvolt::py
