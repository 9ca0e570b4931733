// The interpreter boundary's ownership: PyRef, the owner of one strong
// reference; the claims that keep one object's state from being changed
// while a call reads it; the layout of an instance of either class; and the
// guard every entry point runs its body in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>

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

enum class ClaimKind { Shared, Exclusive };

// A scoped claim on one object: Shared for calls that read its state,
// Exclusive for those that change it. Check with operator bool; on failure
// RuntimeError is set ("Already mutably borrowed" for a shared claim,
// "Already borrowed" for an exclusive one).
template <ClaimKind Kind>
class Claim {
 public:
  explicit Claim(BorrowFlag& flag)
      : flag_((Kind == ClaimKind::Shared ? flag.try_share() : flag.try_exclusive()) ? &flag
                                                                                    : nullptr) {
    if (flag_ == nullptr) raise_refused();
  }
  ~Claim() {
    if (flag_ == nullptr) return;
    if constexpr (Kind == ClaimKind::Shared) {
      flag_->unshare();
    } else {
      flag_->unexclusive();
    }
  }
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  explicit operator bool() const { return flag_ != nullptr; }

 private:
  static void raise_refused();
  BorrowFlag* flag_;
};

using SharedClaim = Claim<ClaimKind::Shared>;
using ExclusiveClaim = Claim<ClaimKind::Exclusive>;

// Lets other threads run Python while this one does work that touches no
// Python object (reads a file, parses JSON, writes a message): releases the
// interpreter lock for its scope, and takes it back when the scope ends,
// whether by return or by exception. The work may only use memory that stays
// alive and unchanged meanwhile: C++ state under a claim, or the text of an
// argument str that the call holds.
class InterpreterLockReleased {
 public:
  InterpreterLockReleased() : state_(PyEval_SaveThread()) {}
  ~InterpreterLockReleased() { PyEval_RestoreThread(state_); }
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

 private:
  PyThreadState* state_;
};

// The layout of an instance of either class: the claim counter and the C++
// state, both built with placement new when the instance is made and
// destroyed explicitly when it goes.
template <class State>
struct Instance {
  PyObject_HEAD BorrowFlag borrow;
  State state;

  static Instance* of(PyObject* self) { return reinterpret_cast<Instance*>(self); }

  // A new instance of `type` (the class a constructor or class method was
  // called on) holding `state`; nullptr with an error set.
  static PyObject* make(PyTypeObject* type, State&& state) {
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

// Casts a vectorcall method to the PyCFunction slot type, as CPython's own
// method tables do.
template <class F>
PyCFunction as_cfunction(F function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace brenvolt::py
