#include "json_hl7.h"

namespace brenvolt::py {
namespace {

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("JsonHl7(json_data)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.JsonHl7",
    static_cast<int>(sizeof(PyObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyType_Spec& json_hl7_type_spec() { return spec; }

}  // namespace brenvolt::py
