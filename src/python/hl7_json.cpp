#include "hl7_json.h"

#include <string>
#include <vector>

#include "arguments.h"
#include "core/escape.h"
#include "core/lines.h"
#include "core/segment_parser.h"
#include "core/text.h"
#include "core/validation.h"
#include "exceptions.h"
#include "hl7_text.h"
#include "records.h"
#include "ref.h"

namespace brenvolt::py {
namespace {

// What an Hl7Json object holds. The text is kept as it came (a str by
// reference); its lines are cut as normalised text's would be each time it is
// read, and nothing converted from it is cached.
struct Hl7JsonState {
  Hl7Text text;
  Hl7EscapeHandler escape_handler;
  bool validation_enabled = false;
  bool strict_validation = false;
  bool escaping_enabled = true;
};

using Hl7JsonObject = Instance<Hl7JsonState>;

Hl7JsonObject* as_object(PyObject* self) { return Hl7JsonObject::of(self); }

struct Flags {
  bool validation_enabled;
  bool strict_validation;
  bool escaping_enabled;
};

// Converts the three optional flags that follow the first parameter, in
// parameter order; None or absent gives the default.
template <std::size_t N>
std::optional<Flags> convert_flags(const FunctionSignature<N>& signature,
                                   const Arguments<N>& args) {
  static_assert(N == 4, "the first parameter, then the three flags");
  const auto validation = to_flag_or(args[1], signature.parameters[1], false);
  if (!validation) return std::nullopt;
  const auto strict = to_flag_or(args[2], signature.parameters[2], false);
  if (!strict) return std::nullopt;
  const auto escaping = to_flag_or(args[3], signature.parameters[3], true);
  if (!escaping) return std::nullopt;
  return Flags{*validation, *strict, *escaping};
}

// A new instance of `type` holding `text`. Cannot fail but for memory.
PyObject* make_object(PyTypeObject* type, Hl7Text text, const Flags& flags) {
  Hl7JsonState state;
  state.text = std::move(text);
  state.escape_handler = create_default_escape_handler();
  state.validation_enabled = flags.validation_enabled;
  state.strict_validation = flags.strict_validation;
  state.escaping_enabled = flags.escaping_enabled;
  return Hl7JsonObject::make(type, std::move(state));
}

constexpr FunctionSignature kNew{
    "Hl7Json",
    "__new__",
    {"hl7_string", "validation_enabled", "strict_validation", "escaping_enabled"},
    1};

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments<4> parsed{};
    if (!parse_arguments(kNew, args, kwargs, parsed)) return nullptr;
    if (!PyUnicode_Check(parsed[0])) {
      raise_conversion_error(kNew.parameters[0], parsed[0], "str");
      return nullptr;
    }
    // Kept by reference: neither a copy nor a UTF-8 form left in the str.
    auto text = Hl7Text::of_str(parsed[0]);
    if (!text) return nullptr;
    const auto flags = convert_flags(kNew, parsed);
    if (!flags) return nullptr;
    return make_object(type, std::move(*text), *flags);
  });
}

constexpr FunctionSignature kFromFile{
    "Hl7Json",
    "from_file",
    {"path", "validation_enabled", "strict_validation", "escaping_enabled"},
    1};

// A class method: `cls` is the class it is called on (Hl7Json, which has no
// subclasses).
PyObject* from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<4> parsed{};
    if (!parse_arguments(kFromFile, args, nargsf, kwnames, parsed)) return nullptr;
    const auto path = to_text(parsed[0], kFromFile.parameters[0]);
    if (!path) return nullptr;
    const auto flags = convert_flags(kFromFile, parsed);
    if (!flags) return nullptr;
    Result<std::string> text = [&] {
      InterpreterLockReleased released;  // `path` is the text of an argument
      return read_text_file(*path);
    }();
    if (!text) return raise_hl7_error(text.error());
    if (is_blank(text.value())) return raise_hl7_error(Hl7Error::empty_message());
    return make_object(reinterpret_cast<PyTypeObject*>(cls),
                       Hl7Text::of_utf8(std::move(text).value()), *flags);
  });
}

// Records made so far, owned until they go into the list; the lines are
// not counted first, which would take a pass of its own over the text.
class RecordSequence {
 public:
  RecordSequence() = default;
  RecordSequence(const RecordSequence&) = delete;
  RecordSequence& operator=(const RecordSequence&) = delete;
  ~RecordSequence() {
    for (PyObject* record : records_) Py_DECREF(record);
  }

  void push(PyRef record) {
    records_.push_back(record.get());
    record.release();
  }

  // The records as a list of exactly their number, or nullptr with the error
  // set.
  PyObject* into_list() {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(records_.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < records_.size(); ++i) {
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), records_[i]);
    }
    records_.clear();
    return list;
  }

 private:
  std::vector<PyObject*> records_;
};

// Adds `count` records of an empty line; false with the error set.
bool push_empty_records(RecordSequence& records, std::size_t count,
                        const Hl7EscapeHandler* handler) {
  if (count == 0) return true;
  Hl7SegmentParser empty;
  empty.parse(std::string_view(), handler);
  for (std::size_t i = 0; i < count; ++i) {
    PyRef record = record_dict(empty);
    if (!record) return false;
    records.push(std::move(record));
  }
  return true;
}

// The records of the stored text's segment lines, as a list of dicts: every
// line but the empty ones after the last line with text (Hl7TrailingLines).
// Each line is parsed once: with validation on, the validator checks the
// same parse that becomes the line's record, and the first broken rule fails
// the call.
PyObject* convert_message(const Hl7JsonState& state) {
  RecordSequence records;
  const Hl7EscapeHandler* handler = state.escaping_enabled ? &state.escape_handler : nullptr;
  std::optional<Hl7MessageCheck> check;
  if (state.validation_enabled) check.emplace(Hl7Validator{state.strict_validation, false});
  Hl7SegmentParser parser;
  Hl7TrailingLines trailing;
  bool failed = false;
  state.text.for_each_line([&](std::string_view line) {
    if (failed) return;
    parser.parse(line, handler);
    if (check) {
      if (Status valid = check->add_line(parser); !valid) {
        raise_hl7_error(valid.error());
        failed = true;
        return;
      }
    }
    if (line.empty()) {
      trailing.release_before(line);
      return;
    }
    if (!push_empty_records(records, trailing.release_before(line), handler)) {
      failed = true;
      return;
    }
    PyRef record = record_dict(parser);
    if (!record) {
      failed = true;
      return;
    }
    records.push(std::move(record));
  });
  if (failed) return nullptr;
  if (check) {
    if (Status valid = check->finish(); !valid) return raise_hl7_error(valid.error());
  }
  if (!push_empty_records(records, trailing.at_end(), handler)) return nullptr;
  return records.into_list();
}

PyObject* convert_hl7_to_json(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    SharedClaim claim(as_object(self)->borrow);
    if (!claim) return nullptr;
    return convert_message(as_object(self)->state);
  });
}

PyObject* get_hl7_json(PyObject* self, void*) { return convert_hl7_to_json(self, nullptr); }

constexpr FunctionSignature kValidate{
    "Hl7Json", "validate", {"strict_mode", "validate_required_fields"}, 2};

PyObject* validate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<2> parsed{};
    if (!parse_arguments(kValidate, args, nargsf, kwnames, parsed)) return nullptr;
    const Hl7JsonState& state = as_object(self)->state;
    // Read strict_validation only under the claim below; here only the
    // arguments are converted, None standing for "the object's setting".
    const bool strict_given = parsed[0] != nullptr && parsed[0] != Py_None;
    const auto strict = to_flag_or(parsed[0], kValidate.parameters[0], false);
    if (!strict) return nullptr;
    const auto required = to_flag_or(parsed[1], kValidate.parameters[1], true);
    if (!required) return nullptr;
    SharedClaim claim(as_object(self)->borrow);
    if (!claim) return nullptr;
    const Hl7Validator validator{strict_given ? *strict : state.strict_validation, *required};
    // validate_message_text()'s walk, over the lines as the text holds them.
    Hl7MessageCheck check(validator);
    Hl7SegmentParser parser;
    Status valid = Ok{};
    state.text.for_each_line([&](std::string_view line) {
      if (!valid) return;
      parser.parse(line, nullptr);
      valid = check.add_line(parser);
    });
    if (valid) valid = check.finish();
    if (!valid) return raise_hl7_error(valid.error());
    Py_RETURN_NONE;
  });
}

constexpr FunctionSignature kSplit{"Hl7Json", "_split_hl7_seg_to_json", {"seg"}, 1};
constexpr FunctionSignature kSplitEscaping{
    "Hl7Json", "_split_hl7_seg_to_json_with_escaping", {"seg"}, 1};

// One segment line to its record, through the parser that conversion uses.
// The line is not normalised or cut: line ends inside it stay in its field
// text.
PyObject* split_segment(const FunctionSignature<1>& signature, bool escaping, PyObject* self,
                        PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<1> parsed{};
    if (!parse_arguments(signature, args, nargsf, kwnames, parsed)) return nullptr;
    const auto seg = to_text(parsed[0], signature.parameters[0]);
    if (!seg) return nullptr;
    SharedClaim claim(as_object(self)->borrow);
    if (!claim) return nullptr;
    const Hl7EscapeHandler* handler = escaping ? &as_object(self)->state.escape_handler : nullptr;
    Hl7SegmentParser parser;
    parser.parse(*seg, handler);
    return record_dict(parser).release();
  });
}

PyObject* split_hl7_seg_to_json(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
  return split_segment(kSplit, false, self, args, nargsf, kwnames);
}

PyObject* split_hl7_seg_to_json_with_escaping(PyObject* self, PyObject* const* args,
                                              Py_ssize_t nargsf, PyObject* kwnames) {
  return split_segment(kSplitEscaping, true, self, args, nargsf, kwnames);
}

PyObject* get_hl7_string(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    SharedClaim claim(as_object(self)->borrow);
    if (!claim) return nullptr;
    return as_object(self)->state.text.normalised_str().release();
  });
}

// The three option flags share one reader and one writer, told apart by the
// member pointer in the closure.
using FlagMember = bool Hl7JsonState::*;
struct FlagProperty {
  const char* name;
  FlagMember member;
};
const FlagProperty kValidationEnabled = {"validation_enabled", &Hl7JsonState::validation_enabled};
const FlagProperty kStrictValidation = {"strict_validation", &Hl7JsonState::strict_validation};
const FlagProperty kEscapingEnabled = {"escaping_enabled", &Hl7JsonState::escaping_enabled};

PyObject* get_flag(PyObject* self, void* closure) {
  return guarded([&]() -> PyObject* {
    const auto* property = static_cast<const FlagProperty*>(closure);
    SharedClaim claim(as_object(self)->borrow);
    if (!claim) return nullptr;
    return PyBool_FromLong(as_object(self)->state.*(property->member));
  });
}

int set_flag(PyObject* self, PyObject* value, void* closure) {
  return guarded([&]() -> int {
    if (value == nullptr) return refuse_delete();
    const auto* property = static_cast<const FlagProperty*>(closure);
    const auto flag = to_flag(value, property->name);
    if (!flag) return -1;
    ExclusiveClaim claim(as_object(self)->borrow);
    if (!claim) return -1;
    as_object(self)->state.*(property->member) = *flag;
    return 0;
  });
}

void* closure(const FlagProperty& property) { return const_cast<FlagProperty*>(&property); }

PyGetSetDef getset[] = {
    {"hl7_string", get_hl7_string, nullptr, "", nullptr},
    {"validation_enabled", get_flag, set_flag, "", closure(kValidationEnabled)},
    {"strict_validation", get_flag, set_flag, "", closure(kStrictValidation)},
    {"escaping_enabled", get_flag, set_flag, "", closure(kEscapingEnabled)},
    {"hl7_json", get_hl7_json, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"from_file", as_cfunction(from_file), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($cls, path, validation_enabled=None, strict_validation=None, "
     "escaping_enabled=None)\n--\n\n"},
    {"_split_hl7_seg_to_json", as_cfunction(split_hl7_seg_to_json), METH_FASTCALL | METH_KEYWORDS,
     "_split_hl7_seg_to_json($self, seg)\n--\n\n"},
    {"_split_hl7_seg_to_json_with_escaping", as_cfunction(split_hl7_seg_to_json_with_escaping),
     METH_FASTCALL | METH_KEYWORDS, "_split_hl7_seg_to_json_with_escaping($self, seg)\n--\n\n"},
    {"_convert_hl7_to_json", convert_hl7_to_json, METH_NOARGS,
     "_convert_hl7_to_json($self)\n--\n\n"},
    {"validate", as_cfunction(validate), METH_FASTCALL | METH_KEYWORDS,
     "validate($self, strict_mode, validate_required_fields)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Hl7Json(hl7_string, validation_enabled=None, "
                                  "strict_validation=None, escaping_enabled=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Hl7JsonObject::dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.Hl7Json",
    static_cast<int>(sizeof(Hl7JsonObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyType_Spec& hl7_json_type_spec() { return spec; }

}  // namespace brenvolt::py
