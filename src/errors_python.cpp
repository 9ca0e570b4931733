#include "errors_python.h"

#include "module.h"

namespace brenvolt {

// Cold: taken only on the way out of a failed call.
[[gnu::cold]] PyObject* raise_hl7_error(const Hl7Error& error) {
  const std::string message = error.message();
  py::PyRef text = py::new_str(message);
  if (text) PyErr_SetObject(PyExc_Exception, text.get());
  return nullptr;
}

}  // namespace brenvolt
