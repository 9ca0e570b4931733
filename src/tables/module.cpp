// Module init of brenvolt_tables._native: the TableBuilder and RecordBatch
// types, and the functions that make schema and stream capsules.

#include "module.h"

#include <string>

#include "batch.h"
#include "builder.h"
#include "python/ref.h"

namespace brenvolt::tables {
namespace {

using py::PyRef;

PyObject* g_record_batch_type = nullptr;  // made once per process, never freed

// schema(table, columns=()): a PyCapsule "arrow_schema" of the table.
PyObject* schema(PyObject*, PyObject* args) {
  return py::guarded([&]() -> PyObject* {
    const char* table = nullptr;
    PyObject* columns = nullptr;
    if (!PyArg_ParseTuple(args, "s|O:schema", &table, &columns)) return nullptr;
    PyRef none = PyRef::steal(PyTuple_New(0));
    if (!none) return nullptr;
    const auto fields = table_fields(table, columns != nullptr ? columns : none.get());
    if (!fields) return nullptr;
    return schema_capsule(*fields);
  });
}

// stream(table, columns, batches): a PyCapsule "arrow_array_stream" over the
// RecordBatch objects that the iterable `batches` yields, all of `table`.
PyObject* stream(PyObject*, PyObject* args) {
  return py::guarded([&]() -> PyObject* {
    const char* table = nullptr;
    PyObject* columns = nullptr;
    PyObject* batches = nullptr;
    if (!PyArg_ParseTuple(args, "sOO:stream", &table, &columns, &batches)) return nullptr;
    auto fields = table_fields(table, columns);
    if (!fields) return nullptr;
    PyRef iterator = PyRef::steal(PyObject_GetIter(batches));
    if (!iterator) return nullptr;
    return stream_capsule(std::move(*fields), iterator.get(), record_batch_type());
  });
}

PyMethodDef functions[] = {
    {"schema", schema, METH_VARARGS,
     "schema(table, columns=(), /)\n--\n\nThe Arrow schema of a table as a PyCapsule; a wide "
     "table's columns are (field, component) pairs."},
    {"stream", stream, METH_VARARGS,
     "stream(table, columns, batches, /)\n--\n\nAn Arrow array stream PyCapsule over the "
     "RecordBatch objects of one table that an iterable yields."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "brenvolt_tables._native",
    "HL7 messages into Arrow record batches, built natively from brenvolt's core.",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() {
  PyRef module = PyRef::steal(PyModule_Create(&native_module));
  if (!module) return nullptr;
  if (g_record_batch_type == nullptr) {
    PyRef type = PyRef::steal(PyType_FromSpec(&record_batch_type_spec()));
    if (!type) return nullptr;
    if (g_record_batch_type == nullptr) g_record_batch_type = type.release();
  }
  PyRef builder_type = PyRef::steal(PyType_FromSpec(&table_builder_type_spec()));
  if (!builder_type) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "RecordBatch", g_record_batch_type) < 0 ||
      PyModule_AddObjectRef(module.get(), "TableBuilder", builder_type.get()) < 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace

PyTypeObject* record_batch_type() { return reinterpret_cast<PyTypeObject*>(g_record_batch_type); }

}  // namespace brenvolt::tables

PyMODINIT_FUNC PyInit__native() {
  return brenvolt::py::guarded([] { return brenvolt::tables::init_module(); });
}
