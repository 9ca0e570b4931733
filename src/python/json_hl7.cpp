#include "json_hl7.h"

#include <cstring>
#include <string>
#include <utility>
#include <variant>

#include "arguments.h"
#include "core/assembly.h"
#include "core/escape.h"
#include "core/json_records.h"
#include "core/record_list.h"
#include "exceptions.h"
#include "given_records.h"
#include "records.h"
#include "ref.h"
#include "str_sink.h"

namespace brenvolt::py {
namespace {

// What a JsonHl7 object holds; nothing changes it after construction.
// Records given as dicts are kept as their str objects; records read from a
// file, where there are none, as a flat record list.
struct JsonHl7State {
  std::variant<GivenRecords, Hl7RecordList> json_data;
  Hl7EscapeHandler escape_handler;
};

using JsonHl7Object = Instance<JsonHl7State>;

// A new instance of `type` (JsonHl7, which has no subclasses).
template <class Records>
PyObject* make_object(PyTypeObject* type, Records records) {
  return JsonHl7Object::make(
      type, JsonHl7State{std::variant<GivenRecords, Hl7RecordList>(std::in_place_type<Records>,
                                                                   std::move(records)),
                         create_default_escape_handler()});
}

constexpr const char* kJsonData = "json_data";

// Records of at least this many bytes are written without the interpreter lock.
constexpr std::size_t kReleaseLockBytes = 256 * 1024;

constexpr FunctionSignature kNew{"JsonHl7", "__new__", {"json_data"}, 1};

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments<1> parsed{};
    if (!parse_arguments(kNew, args, kwargs, parsed)) return nullptr;
    auto records = GivenRecords::convert(parsed[0], kJsonData);
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
    if (const auto* given = std::get_if<GivenRecords>(&state.json_data)) {
      return given->write(state.escape_handler).release();
    }
    const Hl7RecordList& records = std::get<Hl7RecordList>(state.json_data);
    // The text goes straight into the result's str, made before the writing
    // starts. The state is never changed after construction, and the claim
    // and the call's reference keep it alive: a large message is written
    // with the lock released. A small one keeps it, since taking it back can
    // wait for another thread's turn.
    StrSink sink;
    sink.resize(0, assembly_room(records));
    if (records.bytes() >= kReleaseLockBytes) sink.release_lock();
    Result<std::size_t> written = assemble_message_into(records, state.escape_handler, sink);
    sink.take_lock();
    if (!written) return raise_hl7_error(written.error());
    return sink.finish(written.value()).release();
  });
}

PyObject* get_hl7_string(PyObject* self, void*) { return convert_json_to_hl7(self, nullptr); }

PyObject* get_json_data(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    SharedClaim claim(JsonHl7Object::of(self)->borrow);
    if (!claim) return nullptr;
    const auto& json_data = JsonHl7Object::of(self)->state.json_data;
    if (const auto* given = std::get_if<GivenRecords>(&json_data))
      return given->to_list().release();
    const Hl7RecordList& records = std::get<Hl7RecordList>(json_data);
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
