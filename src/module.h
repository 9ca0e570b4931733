// The interpreter boundary: an owning reference type, argument parsing and
// conversion worded as CPython words its own errors, object claims, and the
// building of Python results. Only the module, Hl7Json and JsonHl7 units
// include this header.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <exception>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "segments.h"

namespace brenvolt::py {

// A move-only owner of one strong reference. Every new reference goes straight
// into a PyRef; release() hands it over where the C API steals it.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* object) { return PyRef(object); }
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }
  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// The parameter list of one function, for argument parsing. No parameter is
// positional-only or keyword-only; the first `required` ones must be given.
struct FunctionSignature {
  const char* class_name;
  const char* function_name;
  const char* const* parameters;
  Py_ssize_t parameter_count;
  Py_ssize_t required;
};

// Up to four parsed arguments, borrowed from the call (nullptr where the caller
// gave nothing). They live as long as the call's own argument references.
struct ParsedArguments {
  PyObject* slots[4] = {};
  PyObject* operator[](Py_ssize_t i) const { return slots[i]; }
};

// Argument parsing for a vectorcall method (METH_FASTCALL | METH_KEYWORDS).
// Returns false with TypeError set.
bool parse_arguments(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, ParsedArguments& out);

// Argument parsing for a constructor slot (tuple and keyword dict).
bool parse_arguments(const FunctionSignature& signature, PyObject* args, PyObject* kwargs,
                     ParsedArguments& out);

// The UTF-8 text of a str (precondition: PyUnicode_Check), viewed in the str's
// own buffer, valid while the str lives; nullopt with the interpreter's
// UnicodeEncodeError set for a str holding an unpaired surrogate.
inline std::optional<std::string_view> utf8_of(PyObject* str) {
  // ASCII text is its own UTF-8: read it in place without a call.
  if (PyUnicode_IS_COMPACT_ASCII(str)) {
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

// A str argument converted to UTF-8 as utf8_of does. Not a str: TypeError
// "argument 'name': ..."; an unpaired surrogate: UnicodeEncodeError, unchanged.
std::optional<std::string_view> to_text(PyObject* value, const char* name);

// True or False, or a NumPy bool scalar; never an int or None.
std::optional<bool> to_flag(PyObject* value, const char* name);

// As to_flag, with None or an absent value giving `fallback`.
std::optional<bool> to_flag_or(PyObject* value, const char* name, bool fallback);

// The short name of a value's type, as CPython's own messages print it
// ("int", "NoneType", "PosixPath").
const char* type_name(PyObject* value);

// Raises TypeError "argument 'name': 'T' object cannot be converted to 'target'".
void raise_conversion_error(const char* name, PyObject* value, const char* target);

// Claim counter of one object: shared claims count up, an exclusive claim is
// -1. Calls never re-enter Python while holding a claim, so a conflict means
// re-entrant use of the object and is refused rather than waited for.
class BorrowFlag {
 public:
  bool try_share() {
    Py_ssize_t current = count_.load(std::memory_order_relaxed);
    do {
      if (current < 0) return false;
    } while (!count_.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
    return true;
  }
  void unshare() { count_.fetch_sub(1, std::memory_order_release); }
  bool try_exclusive() {
    Py_ssize_t expected = 0;
    return count_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
  }
  void unexclusive() { count_.store(0, std::memory_order_release); }

 private:
  std::atomic<Py_ssize_t> count_{0};
};

// A scoped shared claim. Check with operator bool; on failure RuntimeError
// "Already mutably borrowed" is set.
class SharedClaim {
 public:
  explicit SharedClaim(BorrowFlag& flag);
  ~SharedClaim() {
    if (flag_) flag_->unshare();
  }
  SharedClaim(const SharedClaim&) = delete;
  SharedClaim& operator=(const SharedClaim&) = delete;
  explicit operator bool() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

// A scoped exclusive claim; on failure RuntimeError "Already borrowed" is set.
class ExclusiveClaim {
 public:
  explicit ExclusiveClaim(BorrowFlag& flag);
  ~ExclusiveClaim() {
    if (flag_) flag_->unexclusive();
  }
  ExclusiveClaim(const ExclusiveClaim&) = delete;
  ExclusiveClaim& operator=(const ExclusiveClaim&) = delete;
  explicit operator bool() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

// A new str from UTF-8 text that is known to be valid.
PyRef new_str(std::string_view utf8);

// A str for a record value: as new_str, except that short ASCII texts may come
// back as the same (immutable) str object as an earlier equal value.
PyRef new_value_str(std::string_view utf8);

// The key of a record entry as a str. Common keys come from a process-wide
// table made on first use and never freed, so repeated keys cost no
// allocation; the table is only touched with the interpreter lock held.
PyRef key_str(const Hl7KeyPosition& position);

// The record of the line last parsed into `scratch`, as a new dict filled in
// ascending key order.
PyRef record_dict(const Hl7LineScratch& scratch);

// A record as a new dict filled in its (ascending) order.
PyRef record_dict(const Hl7Record& record);
PyRef record_dict(const Hl7RecordList::Record& record);

// Runs `body` (returning PyObject*, or int for setters) and turns any C++
// exception into a Python one, so that nothing unwinds through interpreter
// frames: std::bad_alloc becomes MemoryError, anything else SystemError.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_SystemError, "brenvolt internal error: %s", error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "brenvolt internal error");
  }
  if constexpr (std::is_same_v<decltype(body()), int>) {
    return -1;
  } else {
    return nullptr;
  }
}

// The layout of an instance of either class: the claim counter and the C++
// state, both built with placement new when the instance is made and
// destroyed explicitly when it goes.
template <class State>
struct Instance {
  PyObject_HEAD
  BorrowFlag borrow;
  State state;

  static Instance* of(PyObject* self) { return reinterpret_cast<Instance*>(self); }

  // A new instance of `type` holding `state`; nullptr with an error set.
  static PyObject* make(PyTypeObject* type, State&& state) {
    if (type == nullptr) return nullptr;
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Instance* instance = of(self.get());
    new (&instance->borrow) BorrowFlag();
    new (&instance->state) State(std::move(state));
    return self.release();
  }

  // tp_dealloc. Instances of heap types own a reference to their type.
  static void dealloc(PyObject* self) {
    Instance* instance = of(self);
    instance->state.~State();
    instance->borrow.~BorrowFlag();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    PyRef::steal(reinterpret_cast<PyObject*>(type));
  }
};

// Casts a vectorcall method to the PyCFunction slot type, as CPython's own
// method tables do.
template <class F>
PyCFunction as_cfunction(F function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The attribute setter's answer to `del obj.flag`.
int refuse_delete();

// The two classes, made once per process on first use. Borrowed references;
// nullptr with the interpreter's error set when a type cannot be made.
PyTypeObject* hl7_json_type();
PyTypeObject* json_hl7_type();

}  // namespace brenvolt::py
