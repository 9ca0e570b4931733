#include "module.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hl7_json.h"
#include "json_hl7.h"

namespace brenvolt::py {
namespace {

std::string function_label(const FunctionSignature& signature) {
  std::string label(signature.class_name);
  label.append(".").append(signature.function_name).append("()");
  return label;
}

void raise_too_many_positional(const FunctionSignature& signature, Py_ssize_t given) {
  const Py_ssize_t most = signature.parameter_count;
  std::string takes;
  if (signature.required == most) {
    takes = std::to_string(most);
  } else {
    takes = "from " + std::to_string(signature.required) + " to " + std::to_string(most);
  }
  PyErr_Format(PyExc_TypeError, "%s takes %s positional argument%s but %zd %s given",
               function_label(signature).c_str(), takes.c_str(), most == 1 ? "" : "s", given,
               given == 1 ? "was" : "were");
}

// "missing 2 required positional arguments: 'a' and 'b'", with CPython's
// "'a', 'b', and 'c'" for three or more.
void raise_missing(const FunctionSignature& signature, const ParsedArguments& parsed) {
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < signature.required; ++i) {
    if (parsed[i] == nullptr) missing.push_back(signature.parameters[i]);
  }
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    names.append("'").append(missing[i]).append("'");
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
               function_label(signature).c_str(), missing.size(), missing.size() == 1 ? "" : "s",
               names.c_str());
}

// Puts one keyword argument into its slot. False with TypeError set.
bool place_keyword(const FunctionSignature& signature, PyObject* name, PyObject* value,
                   ParsedArguments& out) {
  for (Py_ssize_t i = 0; i < signature.parameter_count; ++i) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, signature.parameters[i]) == 0) {
      if (out.slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     function_label(signature).c_str(), signature.parameters[i]);
        return false;
      }
      out.slots[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
               function_label(signature).c_str(), name);
  return false;
}

bool check_required(const FunctionSignature& signature, const ParsedArguments& parsed) {
  for (Py_ssize_t i = 0; i < signature.required; ++i) {
    if (parsed[i] == nullptr) {
      raise_missing(signature, parsed);
      return false;
    }
  }
  return true;
}

bool is_numpy_bool(PyObject* value) {
  const char* name = Py_TYPE(value)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

// Process-wide interned keys. Indexing by position keeps a lookup to one load;
// positions beyond the tables get a fresh str.
constexpr std::size_t kCachedFields = 1024;
constexpr std::size_t kCachedComponentFields = 128;
constexpr std::size_t kCachedComponents = 64;
constexpr std::size_t kCachedRepetitions = 8;

struct KeyTable {
  PyObject* segment_name = nullptr;
  std::vector<PyObject*> whole = std::vector<PyObject*>(kCachedFields);
  std::vector<PyObject*> component =
      std::vector<PyObject*>(kCachedComponentFields * kCachedComponents);
  std::vector<PyObject*> repetition =
      std::vector<PyObject*>(kCachedComponentFields * kCachedRepetitions);
  std::vector<PyObject*> repetition_component =
      std::vector<PyObject*>(kCachedComponentFields * kCachedRepetitions * kCachedComponents);
};

// Where the table keeps `position`, or nullptr when it is not cached.
PyObject** key_slot(KeyTable& table, const Hl7KeyPosition& position) {
  using Form = Hl7KeyPosition::Form;
  const std::size_t n = position.field;
  const std::size_t r = position.repetition;
  const std::size_t c = position.component;
  switch (position.form) {
    case Form::SegmentName:
      return &table.segment_name;
    case Form::Whole:
      return n < kCachedFields ? &table.whole[n] : nullptr;
    case Form::Component:
      if (n >= kCachedComponentFields || c >= kCachedComponents) return nullptr;
      return &table.component[n * kCachedComponents + c];
    case Form::Repetition:
      if (n >= kCachedComponentFields || r >= kCachedRepetitions) return nullptr;
      return &table.repetition[n * kCachedRepetitions + r];
    case Form::RepetitionComponent:
      if (n >= kCachedComponentFields || r >= kCachedRepetitions || c >= kCachedComponents) {
        return nullptr;
      }
      return &table.repetition_component[(n * kCachedRepetitions + r) * kCachedComponents + c];
  }
  return nullptr;
}

bool is_ascii(std::string_view text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  std::uint64_t any = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    any |= word;
  }
  for (; i < n; ++i) any |= p[i];
  return (any & 0x8080808080808080ull) == 0;
}

// Short values repeat from segment to segment (codes, units, flags, dates):
// a process-wide table keeps the last str made for each slot and hands it out
// again for the same text. A str is immutable, so sharing one is invisible;
// the table is only touched with the interpreter lock held.
class ShortValueCache {
 public:
  static constexpr std::size_t kMaxLength = 24;

  // The str for ASCII `text` (2 to kMaxLength bytes), from the table or new.
  PyRef get(std::string_view text) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    PyObject*& slot = slots_[hash & (kSlots - 1)];
    if (slot != nullptr && static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot)) == text.size() &&
        std::memcmp(PyUnicode_DATA(slot), text.data(), text.size()) == 0) {
      return PyRef::borrow(slot);
    }
    PyRef made = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    if (!made) return made;
    std::memcpy(PyUnicode_DATA(made.get()), text.data(), text.size());
    PyRef previous = PyRef::steal(slot);  // released when this returns
    slot = PyRef::borrow(made.get()).release();
    return made;
  }

 private:
  static constexpr std::size_t kSlots = 4096;
  PyObject* slots_[kSlots] = {};
};

// Fills `dict` from a sequence of (key, value) pairs given by `for_each`.
template <class ForEach>
PyRef fill_dict(Py_ssize_t size_hint, ForEach&& for_each) {
#if PY_VERSION_HEX < 0x030D0000
  PyRef dict = PyRef::steal(_PyDict_NewPresized(size_hint));
#else
  (void)size_hint;
  PyRef dict = PyRef::steal(PyDict_New());
#endif
  if (!dict) return {};
  bool failed = false;
  for_each([&](PyRef key, std::string_view value) {
    if (failed) return;
    PyRef text = new_value_str(value);
    if (!key || !text || PyDict_SetItem(dict.get(), key.get(), text.get()) < 0) failed = true;
  });
  if (failed) return {};
  return dict;
}

PyObject* g_hl7_json_type = nullptr;
PyObject* g_json_hl7_type = nullptr;

// Makes the type once. Making a type can run a garbage collection and so
// other threads; a thread that loses the race keeps the first type made.
PyTypeObject* get_or_create_type(PyObject*& cache, PyType_Spec& spec) {
  if (cache == nullptr) {
    PyRef made = PyRef::steal(PyType_FromSpec(&spec));
    if (!made) return nullptr;
    if (cache == nullptr) cache = made.release();
  }
  return reinterpret_cast<PyTypeObject*>(cache);
}

}  // namespace

bool parse_arguments(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, ParsedArguments& out) {
  if (nargs > signature.parameter_count) {
    raise_too_many_positional(signature, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out.slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      if (!place_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_required(signature, out);
}

bool parse_arguments(const FunctionSignature& signature, PyObject* args, PyObject* kwargs,
                     ParsedArguments& out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > signature.parameter_count) {
    raise_too_many_positional(signature, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out.slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(signature, name, value, out)) return false;
    }
  }
  return check_required(signature, out);
}

const char* type_name(PyObject* value) {
  const char* name = Py_TYPE(value)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

void raise_conversion_error(const char* name, PyObject* value, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", name,
               type_name(value), target);
}

std::optional<std::string_view> to_text(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    raise_conversion_error(name, value, "str");
    return std::nullopt;
  }
  return utf8_of(value);
}

std::optional<bool> to_flag(PyObject* value, const char* name) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  if (is_numpy_bool(value)) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return std::nullopt;
    return truth == 1;
  }
  raise_conversion_error(name, value, "bool");
  return std::nullopt;
}

std::optional<bool> to_flag_or(PyObject* value, const char* name, bool fallback) {
  if (value == nullptr || value == Py_None) return fallback;
  return to_flag(value, name);
}

SharedClaim::SharedClaim(BorrowFlag& flag) : flag_(flag.try_share() ? &flag : nullptr) {
  if (flag_ == nullptr) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}

ExclusiveClaim::ExclusiveClaim(BorrowFlag& flag) : flag_(flag.try_exclusive() ? &flag : nullptr) {
  if (flag_ == nullptr) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
}

PyRef new_value_str(std::string_view utf8) {
  static ShortValueCache* cache = new ShortValueCache();  // lives as long as the process
  if (utf8.size() >= 2 && utf8.size() <= ShortValueCache::kMaxLength && is_ascii(utf8)) {
    return cache->get(utf8);
  }
  return new_str(utf8);
}

PyRef new_str(std::string_view utf8) {
  const auto size = static_cast<Py_ssize_t>(utf8.size());
  // The interpreter keeps one str for each single Latin-1 character.
  if (size == 1 && static_cast<unsigned char>(utf8[0]) < 0x80) {
    return PyRef::steal(PyUnicode_FromOrdinal(static_cast<unsigned char>(utf8[0])));
  }
  if (is_ascii(utf8)) {
    PyRef text = PyRef::steal(PyUnicode_New(size, 127));
    if (text && size > 0) std::memcpy(PyUnicode_DATA(text.get()), utf8.data(), utf8.size());
    return text;
  }
  return PyRef::steal(PyUnicode_DecodeUTF8(utf8.data(), size, "strict"));
}

PyRef key_str(const Hl7KeyPosition& position) {
  static KeyTable* table = new KeyTable();  // lives as long as the process
  PyObject** slot = key_slot(*table, position);
  if (slot != nullptr && *slot != nullptr) return PyRef::borrow(*slot);
  std::string text;
  append_key_text(position, text);
  PyRef key = new_str(text);
  if (key && slot != nullptr) *slot = PyRef::borrow(key.get()).release();
  return key;
}

PyRef record_dict(const Hl7LineScratch& scratch) {
  return fill_dict(static_cast<Py_ssize_t>(scratch.entry_count()), [&](auto&& add) {
    scratch.for_each_entry(
        [&](const Hl7KeyPosition& position, std::string_view value) { add(key_str(position), value); });
  });
}

PyRef record_dict(const Hl7Record& record) {
  return fill_dict(static_cast<Py_ssize_t>(record.size()), [&](auto&& add) {
    for (const Hl7RecordEntry& entry : record) add(new_str(entry.key), entry.value);
  });
}

PyRef record_dict(const Hl7RecordList::Record& record) {
  return fill_dict(static_cast<Py_ssize_t>(record.size()), [&](auto&& add) {
    for (const Hl7RecordList::Entry& entry : record) add(new_str(entry.key), entry.value);
  });
}

int refuse_delete() {
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return -1;
}

PyTypeObject* hl7_json_type() { return get_or_create_type(g_hl7_json_type, hl7_json_type_spec()); }
PyTypeObject* json_hl7_type() { return get_or_create_type(g_json_hl7_type, json_hl7_type_spec()); }

}  // namespace brenvolt::py

namespace {

using brenvolt::py::PyRef;

PyModuleDef brenvolt_module = {
    PyModuleDef_HEAD_INIT,
    "brenvolt",  // m_name
    "",          // m_doc: an empty str, not None
    0,           // m_size: no per-module state
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The identifier of the interpreter that first imported the module; -1 until
// then. Objects made here (types, cached keys) belong to that interpreter.
std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

// Appends the class's name to __all__ (making the list when the module has
// none yet), then sets the module attribute.
bool register_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return false;
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyRef all = PyRef::borrow(PyDict_GetItemString(dict, "__all__"));
  if (!all) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
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
  if (!register_class(module.get(), "Hl7Json", brenvolt::py::hl7_json_type())) return nullptr;
  if (!register_class(module.get(), "JsonHl7", brenvolt::py::json_hl7_type())) return nullptr;
  if (g_module == nullptr) g_module = PyRef::borrow(module.get()).release();
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_brenvolt() {
  return brenvolt::py::guarded([] { return init_module(); });
}
