#include "json_hl7.h"

#include <cstring>
#include <string>

#include "arguments.h"
#include "core/assembly.h"
#include "core/escape.h"
#include "core/json_records.h"
#include "core/record_list.h"
#include "exceptions.h"
#include "key_codes.h"
#include "records.h"
#include "ref.h"
#include "unicode.h"

namespace brenvolt::py {
namespace {

// What a JsonHl7 object holds; nothing changes it after construction.
struct JsonHl7State {
  Hl7RecordList json_data;
  Hl7EscapeHandler escape_handler;
};

using JsonHl7Object = Instance<JsonHl7State>;

// A new instance of `type` (JsonHl7, which has no subclasses).
PyObject* make_object(PyTypeObject* type, Hl7RecordList records) {
  return JsonHl7Object::make(type,
                             JsonHl7State{std::move(records), create_default_escape_handler()});
}

constexpr const char* kJsonData = "json_data";

// Records of at least this many bytes are written without the interpreter lock.
constexpr std::size_t kReleaseLockBytes = 256 * 1024;

// One dict of str to str as the next record of `records`. False with
// TypeError (naming the item and key) or UnicodeEncodeError set.
bool convert_record(PyObject* item, Py_ssize_t index, Hl7RecordList& records) {
  if (!PyDict_Check(item)) {
    raise_record_not_a_dict(kJsonData, index, item);
    return false;
  }
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // Nothing below runs Python code, so the dict cannot change under PyDict_Next.
  while (PyDict_Next(item, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      raise_record_key_not_text(kJsonData, index, key);
      return false;
    }
    if (!PyUnicode_Check(value)) {
      raise_record_value_not_text(kJsonData, index, key, value);
      return false;
    }
    const auto key_text = utf8_of(key);
    if (!key_text) return false;
    const auto value_text = utf8_of(value);
    if (!value_text) return false;
    // The table keeps references to keys; a str subclass's could run code
    // when it is let go, so only exact str go into it.
    records.add(*key_text, *value_text,
                PyUnicode_CheckExact(key) ? KeyCodeTable::shared().code(key, *key_text)
                                          : Hl7KeyCodeCache::for_this_thread().code(*key_text));
  }
  records.end_record();
  return true;
}

// A sequence (not a str) of dicts of str to str, as records. Errors raised by
// the caller's sequence while it is iterated pass through unchanged.
std::optional<Hl7RecordList> convert_records(PyObject* json_data) {
  if (PyUnicode_Check(json_data)) {
    raise_records_are_text(kJsonData);
    return std::nullopt;
  }
  if (!PySequence_Check(json_data)) {
    raise_records_not_a_sequence(kJsonData, json_data);
    return std::nullopt;
  }
  Hl7RecordList records;
  const Py_ssize_t size = PySequence_Size(json_data);
  if (size < 0) {
    PyErr_Clear();  // only a sizing hint: iteration decides
  } else {
    records.reserve(static_cast<std::size_t>(size));
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(json_data));
  if (!iterator) return std::nullopt;
  for (Py_ssize_t index = 0;; ++index) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) return std::nullopt;
      break;
    }
    if (!convert_record(item.get(), index, records)) return std::nullopt;
  }
  return records;
}

constexpr FunctionSignature kNew{"JsonHl7", "__new__", {"json_data"}, 1};

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments<1> parsed{};
    if (!parse_arguments(kNew, args, kwargs, parsed)) return nullptr;
    auto records = convert_records(parsed[0]);
    if (!records) return nullptr;
    return make_object(type, std::move(*records));
  });
}

constexpr FunctionSignature kFromFile{"JsonHl7", "from_file", {"path"}, 1};

// A class method: `cls` is the class it is called on.
PyObject* from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<1> parsed{};
    if (!parse_arguments(kFromFile, args, nargsf, kwnames, parsed)) return nullptr;
    const auto path = to_text(parsed[0], kFromFile.parameters[0]);
    if (!path) return nullptr;
    Result<Hl7RecordList> records = [&] {
      InterpreterLockReleased released;  // `path` is the text of an argument
      return load_json_records_file(*path);
    }();
    if (!records) return raise_hl7_error(records.error());
    return make_object(reinterpret_cast<PyTypeObject*>(cls), std::move(records).value());
  });
}

PyObject* convert_json_to_hl7(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    SharedClaim claim(JsonHl7Object::of(self)->borrow);
    if (!claim) return nullptr;
    const JsonHl7State& state = JsonHl7Object::of(self)->state;
    // The state is never changed after construction, and the claim and the
    // call's reference keep it alive: a large message is written with the
    // lock released. A small one keeps it, since taking it back can wait for
    // another thread's turn.
    const auto assemble = [&] { return assemble_message(state.json_data, state.escape_handler); };
    Result<std::string> text = [&] {
      if (state.json_data.bytes() < kReleaseLockBytes) return assemble();
      InterpreterLockReleased released;
      return assemble();
    }();
    if (!text) return raise_hl7_error(text.error());
    return decode_str(text.value()).release();
  });
}

PyObject* get_hl7_string(PyObject* self, void*) { return convert_json_to_hl7(self, nullptr); }

PyObject* get_json_data(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    SharedClaim claim(JsonHl7Object::of(self)->borrow);
    if (!claim) return nullptr;
    const Hl7RecordList& records = JsonHl7Object::of(self)->state.json_data;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
      PyRef dict = record_dict(records[i]);
      if (!dict) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
    }
    return list.release();
  });
}

PyGetSetDef getset[] = {
    {"json_data", get_json_data, nullptr, "", nullptr},
    {"hl7_string", get_hl7_string, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"from_file", as_cfunction(from_file), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($cls, path)\n--\n\n"},
    {"_convert_json_to_hl7", convert_json_to_hl7, METH_NOARGS,
     "_convert_json_to_hl7($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("JsonHl7(json_data)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(JsonHl7Object::dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.JsonHl7",
    static_cast<int>(sizeof(JsonHl7Object)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyType_Spec& json_hl7_type_spec() { return spec; }

}  // namespace brenvolt::py
