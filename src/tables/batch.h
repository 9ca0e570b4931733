// The boundary of brenvolt_tables._native, its Arrow side: RecordBatch, a
// finished batch that exports itself through the Arrow PyCapsule Interface
// (__arrow_c_schema__, __arrow_c_array__), and the capsules of schemas and of
// streams over a Python iterator of batches (__arrow_c_stream__).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "core/columns.h"

namespace brenvolt::tables {

PyType_Spec& record_batch_type_spec();

// A new RecordBatch of `batch`, for the table named `table`; nullptr with the
// error set.
PyObject* make_record_batch(PyTypeObject* type, std::string table,
                            std::shared_ptr<const columns::ColumnBatch> batch);

// A PyCapsule "arrow_schema" of a record batch of `fields`; nullptr with the
// error set.
PyObject* schema_capsule(const std::vector<columns::ColumnField>& fields);

// A PyCapsule "arrow_array_stream" whose batches are the RecordBatch objects
// (of type `type`, each of `fields`) that `iterator` yields. The stream takes
// the interpreter lock whenever a consumer asks it for the next batch, from
// whatever thread; an exception from the iterator ends the stream with EIO and
// its text as the last error.
PyObject* stream_capsule(std::vector<columns::ColumnField> fields, PyObject* iterator,
                         PyTypeObject* type);

}  // namespace brenvolt::tables
