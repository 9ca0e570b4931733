// Module init and the type registry: the module `brenvolt`, its two classes
// made from their specs once per process, and the guard against a second
// interpreter.

#include <atomic>
#include <cstdint>

#include "hl7_json.h"
#include "json_hl7.h"
#include "ref.h"

namespace brenvolt::py {
namespace {

PyModuleDef brenvolt_module = {
    PyModuleDef_HEAD_INIT,
    "brenvolt",  // m_name
    "",          // m_doc: an empty str, not None
    0,           // m_size: no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The identifier of the interpreter that first imported the module; -1 until
// then. Objects made here (types, cached keys) belong to that interpreter.
std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

// One class of the module: its name and its spec, and the type made from it.
struct RegisteredType {
  const char* name;
  PyType_Spec& (*spec)();
  PyObject* type = nullptr;  // made once per process, never freed
};

RegisteredType g_types[] = {
    {"Hl7Json", hl7_json_type_spec},
    {"JsonHl7", json_hl7_type_spec},
};

// Makes the type once. Making a type can run a garbage collection and so
// other threads; a thread that loses the race keeps the first type made.
PyObject* get_or_create_type(RegisteredType& entry) {
  if (entry.type == nullptr) {
    PyRef made = PyRef::steal(PyType_FromSpec(&entry.spec()));
    if (!made) return nullptr;
    if (entry.type == nullptr) entry.type = made.release();
  }
  return entry.type;
}

// Appends the class's name to __all__ (making the list when the module has
// none yet), then sets the module attribute.
bool register_class(PyObject* module, RegisteredType& entry) {
  PyObject* type = get_or_create_type(entry);
  if (type == nullptr) return false;
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyRef all = PyRef::borrow(PyDict_GetItemString(dict, "__all__"));
  if (!all) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(entry.name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, entry.name, type) == 0;
}

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred()) return nullptr;
  std::int64_t first = -1;
  if (!g_interpreter_id.compare_exchange_strong(first, id) && first != id) {
    PyErr_SetString(PyExc_ImportError,
                    "brenvolt does not support sub-interpreters: it can only be imported by the "
                    "interpreter that imported it first");
    return nullptr;
  }
  if (g_module != nullptr) return PyRef::borrow(g_module).release();

  PyRef module = PyRef::steal(PyModule_Create(&brenvolt_module));
  if (!module) return nullptr;
  for (RegisteredType& entry : g_types) {
    if (!register_class(module.get(), entry)) return nullptr;
  }
  if (g_module == nullptr) g_module = PyRef::borrow(module.get()).release();
  return module.release();
}

}  // namespace
}  // namespace brenvolt::py

PyMODINIT_FUNC PyInit_brenvolt() {
  return brenvolt::py::guarded([] { return brenvolt::py::init_module(); });
}
