#include "batch.h"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <utility>

#include "python/ref.h"

namespace brenvolt::tables {
namespace {

using py::PyRef;

struct RecordBatchState {
  std::string table;
  std::shared_ptr<const columns::ColumnBatch> batch;
};

struct RecordBatchObject {
  PyObject_HEAD RecordBatchState state;
};

RecordBatchObject* as_batch(PyObject* self) { return reinterpret_cast<RecordBatchObject*>(self); }

void release_schema_capsule(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (schema == nullptr) return;
  if (schema->release != nullptr) schema->release(schema);
  delete schema;
}

void release_array_capsule(PyObject* capsule) {
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
  if (array == nullptr) return;
  if (array->release != nullptr) array->release(array);
  delete array;
}

PyObject* array_capsule(const std::shared_ptr<const columns::ColumnBatch>& batch) {
  auto array = std::make_unique<ArrowArray>();
  array->release = nullptr;
  columns::export_batch(batch, array.get());
  PyObject* capsule = PyCapsule_New(array.get(), "arrow_array", release_array_capsule);
  if (capsule == nullptr) {
    array->release(array.get());
    return nullptr;
  }
  array.release();
  return capsule;
}

PyObject* batch_schema(PyObject* self, PyObject*) {
  return py::guarded(
      [&]() -> PyObject* { return schema_capsule(as_batch(self)->state.batch->fields); });
}

// requested_schema is accepted and, as the interface allows, not acted on:
// the batch has one form.
PyObject* batch_array(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    const Py_ssize_t given = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    if (given > 1) {
      PyErr_SetString(
          PyExc_TypeError,
          "RecordBatch.__arrow_c_array__() takes at most 1 argument (requested_schema)");
      return nullptr;
    }
    const auto& batch = as_batch(self)->state.batch;
    PyRef schema = PyRef::steal(schema_capsule(batch->fields));
    if (!schema) return nullptr;
    PyRef array = PyRef::steal(array_capsule(batch));
    if (!array) return nullptr;
    return PyTuple_Pack(2, schema.get(), array.get());
  });
}

PyObject* get_num_rows(PyObject* self, void*) {
  return PyLong_FromSize_t(as_batch(self)->state.batch->rows);
}

PyObject* get_table(PyObject* self, void*) {
  const std::string& table = as_batch(self)->state.table;
  return PyUnicode_FromStringAndSize(table.data(), static_cast<Py_ssize_t>(table.size()));
}

PyObject* get_column_names(PyObject* self, void*) {
  return py::guarded([&]() -> PyObject* {
    const auto& fields = as_batch(self)->state.batch->fields;
    PyRef names = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(fields.size())));
    if (!names) return nullptr;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      PyObject* name = PyUnicode_FromStringAndSize(fields[i].name.data(),
                                                   static_cast<Py_ssize_t>(fields[i].name.size()));
      if (name == nullptr) return nullptr;
      PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    return names.release();
  });
}

void batch_dealloc(PyObject* self) {
  as_batch(self)->state.~RecordBatchState();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef batch_methods[] = {
    {"__arrow_c_schema__", batch_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe batch's schema as a PyCapsule (Arrow PyCapsule "
     "Interface)."},
    {"__arrow_c_array__", py::as_cfunction(batch_array), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\nThe batch as a pair of PyCapsules, "
     "schema and struct array (Arrow PyCapsule Interface); each call exports it anew, without "
     "a copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_getset[] = {
    {"num_rows", get_num_rows, nullptr, "The number of rows.", nullptr},
    {"table", get_table, nullptr, "The table the batch belongs to.", nullptr},
    {"column_names", get_column_names, nullptr, "The names of the columns, in order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_doc, const_cast<char*>("A record batch of one table, made by TableBuilder.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, batch_methods},
    {Py_tp_getset, batch_getset},
    {0, nullptr},
};

PyType_Spec batch_spec = {
    "brenvolt_tables._native.RecordBatch",
    static_cast<int>(sizeof(RecordBatchObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    batch_slots,
};

// ---- stream -------------------------------------------------------------------

struct StreamState {
  std::vector<columns::ColumnField> fields;
  PyObject* iterator;  // owned
  PyTypeObject* type;  // owned: RecordBatch
  std::string last_error;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  try {
    columns::export_schema(state->fields, out);
    return 0;
  } catch (const std::bad_alloc&) {
    state->last_error = "out of memory";
    return ENOMEM;
  }
}

// The text of the pending exception, which it clears.
std::string take_error_text() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  std::string text = owned_type ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "error";
  if (owned_value) {
    PyRef str = PyRef::steal(PyObject_Str(value));
    const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
    if (utf8 != nullptr && *utf8 != '\0') {
      text += ": ";
      text += utf8;
    }
    PyErr_Clear();
  }
  return text;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  const PyGILState_STATE gil = PyGILState_Ensure();
  int status = 0;
  try {
    PyRef item = PyRef::steal(PyIter_Next(state->iterator));
    if (!item) {
      if (PyErr_Occurred()) {
        state->last_error = take_error_text();
        status = EIO;
      } else {
        out->release = nullptr;  // the end of the stream
      }
    } else if (Py_TYPE(item.get()) != state->type) {
      state->last_error = "the stream's iterator yielded something other than a RecordBatch";
      status = EINVAL;
    } else {
      const auto& batch = as_batch(item.get())->state.batch;
      if (batch->fields.size() != state->fields.size()) {
        state->last_error = "a batch's columns differ from the stream's schema";
        status = EINVAL;
      } else {
        columns::export_batch(batch, out);
      }
    }
  } catch (const std::bad_alloc&) {
    state->last_error = "out of memory";
    status = ENOMEM;
  }
  PyGILState_Release(gil);
  return status;
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  return state->last_error.empty() ? nullptr : state->last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  if (Py_IsInitialized()) {
    const PyGILState_STATE gil = PyGILState_Ensure();
    Py_DECREF(state->iterator);
    Py_DECREF(reinterpret_cast<PyObject*>(state->type));
    PyGILState_Release(gil);
  }
  delete state;
  stream->release = nullptr;
}

void release_stream_capsule(PyObject* capsule) {
  auto* stream =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (stream == nullptr) return;
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

}  // namespace

PyType_Spec& record_batch_type_spec() { return batch_spec; }

PyObject* make_record_batch(PyTypeObject* type, std::string table,
                            std::shared_ptr<const columns::ColumnBatch> batch) {
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  new (&as_batch(self.get())->state) RecordBatchState{std::move(table), std::move(batch)};
  return self.release();
}

PyObject* schema_capsule(const std::vector<columns::ColumnField>& fields) {
  auto schema = std::make_unique<ArrowSchema>();
  schema->release = nullptr;
  columns::export_schema(fields, schema.get());
  PyObject* capsule = PyCapsule_New(schema.get(), "arrow_schema", release_schema_capsule);
  if (capsule == nullptr) {
    schema->release(schema.get());
    return nullptr;
  }
  schema.release();
  return capsule;
}

PyObject* stream_capsule(std::vector<columns::ColumnField> fields, PyObject* iterator,
                         PyTypeObject* type) {
  auto stream = std::make_unique<ArrowArrayStream>();
  auto state = std::make_unique<StreamState>();
  state->fields = std::move(fields);
  state->iterator = PyRef::borrow(iterator).release();
  state->type =
      reinterpret_cast<PyTypeObject*>(PyRef::borrow(reinterpret_cast<PyObject*>(type)).release());
  stream->get_schema = stream_get_schema;
  stream->get_next = stream_get_next;
  stream->get_last_error = stream_get_last_error;
  stream->release = stream_release;
  stream->private_data = state.release();
  PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", release_stream_capsule);
  if (capsule == nullptr) {
    stream->release(stream.get());
    return nullptr;
  }
  stream.release();
  return capsule;
}

}  // namespace brenvolt::tables
