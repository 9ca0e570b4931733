#include "builder.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "batch.h"
#include "core/tables.h"
#include "module.h"
#include "python/ref.h"

namespace brenvolt::tables {
namespace {

using py::PyRef;

struct TableBuilderObject {
  PyObject_HEAD Hl7TableBuilder builder;
};

Hl7TableBuilder& builder_of(PyObject* self) {
  return reinterpret_cast<TableBuilderObject*>(self)->builder;
}

std::optional<std::string_view> utf8_of(PyObject* text, const char* what) {
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.100s", what, Py_TYPE(text)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

// The message's place from arguments (source, index, offset, sha256): str,
// int, int or None, str or None.
std::optional<Hl7MessageSource> message_source(PyObject* const* args) {
  const auto source = utf8_of(args[0], "source");
  if (!source) return std::nullopt;
  Hl7MessageSource from;
  from.source = *source;
  from.index = PyLong_AsLongLong(args[1]);
  if (from.index == -1 && PyErr_Occurred()) return std::nullopt;
  if (args[2] != Py_None) {
    const long long offset = PyLong_AsLongLong(args[2]);
    if (offset == -1 && PyErr_Occurred()) return std::nullopt;
    from.offset = offset;
  }
  if (args[3] != Py_None) {
    const auto sha256 = utf8_of(args[3], "sha256");
    if (!sha256) return std::nullopt;
    from.sha256 = *sha256;
  }
  return from;
}

bool check_count(const char* name, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t expected) {
  if (nargs == expected && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) {
    return true;
  }
  PyErr_Format(PyExc_TypeError, "TableBuilder.%s() takes exactly %zd positional arguments", name,
               expected);
  return false;
}

// The text of the pending exception (which it clears), for an error row.
std::string error_text() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  PyRef str = PyRef::steal(value != nullptr ? PyObject_Str(value) : nullptr);
  const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
  std::string text = utf8 != nullptr ? utf8 : "unreadable text";
  PyErr_Clear();
  return text;
}

constexpr const char* kTextArgs = "add_text";

// add_text(text, source, index, offset, sha256)
PyObject* add_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    if (!check_count(kTextArgs, nargs, kwnames, 5)) return nullptr;
    const auto from = message_source(args + 1);
    if (!from) return nullptr;
    if (!PyUnicode_Check(args[0])) {
      PyErr_Format(PyExc_TypeError, "text must be str, not %.100s", Py_TYPE(args[0])->tp_name);
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(args[0], &size);
    if (data == nullptr) {
      // A lone surrogate has no UTF-8 form: the message's error row says so.
      builder_of(self).add_error(*from, error_text());
    } else {
      builder_of(self).add_text(*from, std::string_view(data, static_cast<std::size_t>(size)));
    }
    Py_RETURN_NONE;
  });
}

// Why `records` is not a list of records of str, or nullopt when it is.
std::optional<std::string> not_records(PyObject* records) {
  if (!PyList_Check(records)) {
    return std::string("expected a list of records, found ") + Py_TYPE(records)->tp_name;
  }
  const Py_ssize_t count = PyList_GET_SIZE(records);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* record = PyList_GET_ITEM(records, i);
    if (!PyDict_Check(record)) {
      return "record " + std::to_string(i) + ": expected an object of strings, found " +
             Py_TYPE(record)->tp_name;
    }
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(record, &at, &key, &value)) {
      if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) {
        PyRef shown = PyRef::steal(PyObject_Repr(key));
        const char* name = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
        if (name == nullptr) PyErr_Clear();
        return "record " + std::to_string(i) + ", member " + (name ? name : "?") +
               ": expected a string, found " + Py_TYPE(value)->tp_name;
      }
    }
  }
  return std::nullopt;
}

// add_records(records, source, index, offset, sha256): None, or the text of
// the error row written for a `records` that is not a list of dicts of str.
PyObject* add_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    if (!check_count("add_records", nargs, kwnames, 5)) return nullptr;
    const auto from = message_source(args + 1);
    if (!from) return nullptr;
    PyObject* records = args[0];
    Hl7TableBuilder& builder = builder_of(self);
    if (auto why = not_records(records)) {
      builder.add_error(*from, *why);
      return PyUnicode_FromStringAndSize(why->data(), static_cast<Py_ssize_t>(why->size()));
    }
    // Every text is checked for a UTF-8 form before any row is written.
    const Py_ssize_t count = PyList_GET_SIZE(records);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* record = PyList_GET_ITEM(records, i);
      Py_ssize_t at = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(record, &at, &key, &value)) {
        if (PyUnicode_AsUTF8AndSize(key, nullptr) == nullptr ||
            PyUnicode_AsUTF8AndSize(value, nullptr) == nullptr) {
          const std::string why = "record " + std::to_string(i) + ": " + error_text();
          builder.add_error(*from, why);
          return PyUnicode_FromStringAndSize(why.data(), static_cast<Py_ssize_t>(why.size()));
        }
      }
    }
    std::vector<std::pair<std::string_view, std::string_view>> entries;
    builder.begin_records(*from);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* record = PyList_GET_ITEM(records, i);
      entries.clear();
      Py_ssize_t at = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(record, &at, &key, &value)) {
        Py_ssize_t key_size = 0;
        Py_ssize_t value_size = 0;
        const char* key_data = PyUnicode_AsUTF8AndSize(key, &key_size);
        const char* value_data = PyUnicode_AsUTF8AndSize(value, &value_size);
        entries.emplace_back(std::string_view(key_data, static_cast<std::size_t>(key_size)),
                             std::string_view(value_data, static_cast<std::size_t>(value_size)));
      }
      builder.add_record(entries);
    }
    builder.end_records();
    Py_RETURN_NONE;
  });
}

// add_error(source, index, offset, sha256, error)
PyObject* add_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    if (!check_count("add_error", nargs, kwnames, 5)) return nullptr;
    const auto from = message_source(args);
    if (!from) return nullptr;
    const auto error = utf8_of(args[4], "error");
    if (!error) return nullptr;
    builder_of(self).add_error(*from, *error);
    Py_RETURN_NONE;
  });
}

std::optional<std::vector<Hl7WideColumn>> wide_column_list(PyObject* columns) {
  PyRef sequence = PyRef::steal(PySequence_Fast(columns, "columns must be a sequence of pairs"));
  if (!sequence) return std::nullopt;
  std::vector<Hl7WideColumn> out;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* pair = PySequence_Fast_GET_ITEM(sequence.get(), i);
    Py_ssize_t field = 0;
    Py_ssize_t component = 0;
    if (!PyTuple_Check(pair) || !PyArg_ParseTuple(pair, "nn", &field, &component)) {
      if (!PyErr_Occurred())
        PyErr_SetString(PyExc_TypeError, "columns must be (field, component) pairs");
      return std::nullopt;
    }
    if (field < 1 || component < 1 || field > 0x7FFFFFFF || component > 0x7FFFFFFF) {
      PyErr_SetString(PyExc_ValueError, "columns: field and component count from 1");
      return std::nullopt;
    }
    out.push_back({static_cast<std::uint32_t>(field), static_cast<std::uint32_t>(component)});
  }
  return out;
}

PyObject* columns_list(const std::vector<Hl7WideColumn>& columns) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    PyObject* pair = Py_BuildValue("(kk)", static_cast<unsigned long>(columns[i].field),
                                   static_cast<unsigned long>(columns[i].component));
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

// fix_wide_columns(segment, columns)
PyObject* fix_wide_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    if (!check_count("fix_wide_columns", nargs, kwnames, 2)) return nullptr;
    const auto segment = utf8_of(args[0], "segment");
    if (!segment) return nullptr;
    auto columns = wide_column_list(args[1]);
    if (!columns) return nullptr;
    builder_of(self).fix_wide_columns(*segment, std::move(*columns));
    Py_RETURN_NONE;
  });
}

PyObject* wide_columns(PyObject* self, PyObject* segment) {
  return py::guarded([&]() -> PyObject* {
    const auto name = utf8_of(segment, "segment");
    if (!name) return nullptr;
    return columns_list(builder_of(self).wide_columns(*name));
  });
}

PyObject* take(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    std::vector<Hl7TableBatch> batches = builder_of(self).take_batches();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(batches.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < batches.size(); ++i) {
      PyObject* batch = make_record_batch(record_batch_type(), std::move(batches[i].table),
                                          std::move(batches[i].batch));
      if (batch == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), batch);
    }
    return list.release();
  });
}

PyObject* finish(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    builder_of(self).finish();
    Py_RETURN_NONE;
  });
}

PyObject* get_left_out(PyObject* self, void*) {
  return PyLong_FromSize_t(builder_of(self).values_left_out());
}

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    static const char* keywords[] = {"tables",     "escaping",    "validation",  "strict",
                                     "batch_rows", "batch_bytes", "total_bytes", nullptr};
    PyObject* tables = nullptr;
    int escaping = 1;
    int validation = 0;
    int strict = 0;
    Py_ssize_t batch_rows = 65536;
    Py_ssize_t batch_bytes = Py_ssize_t{64} << 20;
    Py_ssize_t total_bytes = Py_ssize_t{256} << 20;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pppnnn:TableBuilder",
                                     const_cast<char**>(keywords), &tables, &escaping, &validation,
                                     &strict, &batch_rows, &batch_bytes, &total_bytes)) {
      return nullptr;
    }
    if (batch_rows < 1 || batch_bytes < 1 || total_bytes < 1) {
      PyErr_SetString(PyExc_ValueError,
                      "batch_rows, batch_bytes and total_bytes must be at least 1");
      return nullptr;
    }
    // Text offsets are 32-bit: a batch stays well below 2 GiB.
    constexpr Py_ssize_t kMostBatchBytes = Py_ssize_t{1} << 30;
    if (batch_bytes > kMostBatchBytes) batch_bytes = kMostBatchBytes;
    Hl7TableOptions options;
    options.messages = options.segments = options.values = options.every_wide = false;
    options.escaping = escaping != 0;
    options.validation = validation != 0 || strict != 0;
    options.strict = strict != 0;
    options.batch_rows = static_cast<std::size_t>(batch_rows);
    options.batch_bytes = static_cast<std::size_t>(batch_bytes);
    options.total_bytes = static_cast<std::size_t>(total_bytes);
    PyRef names = PyRef::steal(PySequence_Fast(tables, "tables must be a sequence of str"));
    if (!names) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names.get()); ++i) {
      const auto name = utf8_of(PySequence_Fast_GET_ITEM(names.get(), i), "a table name");
      if (!name) return nullptr;
      if (*name == "messages") {
        options.messages = true;
      } else if (*name == "segments") {
        options.segments = true;
      } else if (*name == "values") {
        options.values = true;
      } else if (*name == "wide") {
        options.every_wide = true;
      } else if (has_wide_table(*name)) {
        options.wide_names.emplace_back(*name);
      } else {
        PyErr_Format(PyExc_ValueError, "no table %R", PySequence_Fast_GET_ITEM(names.get(), i));
        return nullptr;
      }
    }
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&builder_of(self.get())) Hl7TableBuilder(std::move(options));
    return self.release();
  });
}

void builder_dealloc(PyObject* self) {
  builder_of(self).~Hl7TableBuilder();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef builder_methods[] = {
    {"add_text", py::as_cfunction(add_text), METH_FASTCALL | METH_KEYWORDS,
     "add_text($self, text, source, index, offset, sha256, /)\n--\n\n"
     "Adds the rows of one message given as text."},
    {"add_records", py::as_cfunction(add_records), METH_FASTCALL | METH_KEYWORDS,
     "add_records($self, records, source, index, offset, sha256, /)\n--\n\n"
     "Adds the rows of one message given as records; returns None, or the error text of its "
     "error row when records is not a list of dicts of str."},
    {"add_error", py::as_cfunction(add_error), METH_FASTCALL | METH_KEYWORDS,
     "add_error($self, source, index, offset, sha256, error, /)\n--\n\n"
     "Adds the messages row of a message that could not be read."},
    {"fix_wide_columns", py::as_cfunction(fix_wide_columns), METH_FASTCALL | METH_KEYWORDS,
     "fix_wide_columns($self, segment, columns, /)\n--\n\n"
     "Gives every batch of a wide table exactly these (field, component) columns."},
    {"wide_columns", wide_columns, METH_O,
     "wide_columns($self, segment, /)\n--\n\nEvery (field, component) a wide table has had."},
    {"take", take, METH_NOARGS,
     "take($self, /)\n--\n\nThe batches closed since the last call, oldest first."},
    {"finish", finish, METH_NOARGS, "finish($self, /)\n--\n\nCloses every partial batch."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef builder_getset[] = {
    {"values_left_out", get_left_out, nullptr,
     "Values left out of wide tables whose columns were fixed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot builder_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("TableBuilder(tables, *, escaping=True, validation=False, strict=False, "
                       "batch_rows=65536, batch_bytes=67108864, total_bytes=268435456)\n--\n\n"
                       "Builds the rows of the named tables from messages, in batches.")},
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(builder_dealloc)},
    {Py_tp_methods, builder_methods},
    {Py_tp_getset, builder_getset},
    {0, nullptr},
};

PyType_Spec builder_spec = {
    "brenvolt_tables._native.TableBuilder",
    static_cast<int>(sizeof(TableBuilderObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    builder_slots,
};

}  // namespace

PyType_Spec& table_builder_type_spec() { return builder_spec; }

std::optional<std::vector<columns::ColumnField>> table_fields(std::string_view table,
                                                              PyObject* columns) {
  if (table == "messages") return messages_fields();
  if (table == "segments") return segments_fields();
  if (table == "values") return values_fields();
  if (!has_wide_table(table)) {
    PyErr_Format(PyExc_ValueError, "no table '%.200s'", std::string(table).c_str());
    return std::nullopt;
  }
  auto places = wide_column_list(columns);
  if (!places) return std::nullopt;
  std::sort(places->begin(), places->end());
  places->erase(std::unique(places->begin(), places->end()), places->end());
  return wide_fields(table, *places);
}

}  // namespace brenvolt::tables
