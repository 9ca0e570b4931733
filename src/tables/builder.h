// The boundary of brenvolt_tables._native, its builder: TableBuilder, which
// takes messages (texts, records, or errors) from Python and hands out the
// finished RecordBatch objects of the tables it makes (core/tables.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string_view>
#include <vector>

#include "core/columns.h"

namespace brenvolt::tables {

PyType_Spec& table_builder_type_spec();

// The fields of table `table` ("messages", "segments", "values", or a
// segment name, whose wide columns are `columns`: a list of (field,
// component) pairs); nullopt with the error set for a bad `columns`.
std::optional<std::vector<columns::ColumnField>> table_fields(std::string_view table,
                                                              PyObject* columns);

}  // namespace brenvolt::tables
