// A message's text written straight into the str that becomes the result,
// so that it is never copied from a buffer into a str.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>

#include "core/assembly.h"
#include "ref.h"

namespace brenvolt::py {

// The block is a one-byte str, made and enlarged (in place where the
// allocator can) with the interpreter lock held: the sink takes it back for
// that while the writer has let it go. At the end the str is cut to the text
// when the text is ASCII, as nearly every message is; any other text is
// decoded from it into a new str of the width it calls for.
class StrSink final : public TextSink {
 public:
  StrSink() = default;
  ~StrSink();

  // Lets the interpreter lock go until take_lock() (or the end of the sink).
  void release_lock() { released_.emplace(); }
  void take_lock() { released_.reset(); }

  // The str of the first `size` bytes written, with the lock held; nullptr
  // with the error set when it cannot be made.
  PyRef finish(std::size_t size);

 private:
  char* enlarge(std::size_t used, std::size_t capacity) override;

  PyObject* str_ = nullptr;
  std::optional<InterpreterLockReleased> released_;
};

}  // namespace brenvolt::py
