// Module init of brenvolt_tables._native and its one piece of process-wide
// state: the RecordBatch type, made once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace brenvolt::tables {

// The RecordBatch type; set once the module is initialised.
PyTypeObject* record_batch_type();

}  // namespace brenvolt::tables
