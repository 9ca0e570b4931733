// The brenvolt_fsync module: FsyncPool, the interpreter's handle on a
// SyncPool. The listener's store hands it the descriptors of each batch of
// lines and reads the finished batches when fileno() becomes readable; the
// workers never touch the interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "core/sync_pool.h"
#include "python/ref.h"

namespace {

using brenvolt::SyncDone;
using brenvolt::SyncPool;
using brenvolt::py::PyRef;

struct FsyncPoolObject {
  PyObject_HEAD std::unique_ptr<SyncPool> pool;
};

FsyncPoolObject* as_pool(PyObject* self) { return reinterpret_cast<FsyncPoolObject*>(self); }

// The pool of an open object, or nullptr with ValueError set once closed.
SyncPool* open_pool(PyObject* self) {
  SyncPool* pool = as_pool(self)->pool.get();
  if (pool == nullptr) PyErr_SetString(PyExc_ValueError, "the FsyncPool is closed");
  return pool;
}

// Stops and frees the pool without the interpreter lock: a worker may be in
// the middle of a long fdatasync.
void close_pool(FsyncPoolObject* object) {
  std::unique_ptr<SyncPool> pool = std::move(object->pool);
  if (!pool) return;
  Py_BEGIN_ALLOW_THREADS pool.reset();
  Py_END_ALLOW_THREADS
}

PyObject* pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"threads", nullptr};
  int threads = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i:FsyncPool", const_cast<char**>(keywords),
                                   &threads)) {
    return nullptr;
  }
  if (threads < 1) {
    PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %d", threads);
    return nullptr;
  }
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  new (&as_pool(self.get())->pool) std::unique_ptr<SyncPool>();
  try {
    as_pool(self.get())->pool = SyncPool::start(threads);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!as_pool(self.get())->pool) return PyErr_SetFromErrno(PyExc_OSError);
  return self.release();
}

void pool_dealloc(PyObject* self) {
  close_pool(as_pool(self));
  as_pool(self)->pool.~unique_ptr();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* pool_fileno(PyObject* self, PyObject*) {
  SyncPool* pool = open_pool(self);
  return pool == nullptr ? nullptr : PyLong_FromLong(pool->notify_fd());
}

PyObject* pool_submit(PyObject* self, PyObject* const* args, Py_ssize_t count) {
  if (count != 2) {
    PyErr_Format(PyExc_TypeError, "FsyncPool.submit() takes 2 arguments (%zd given)", count);
    return nullptr;
  }
  SyncPool* pool = open_pool(self);
  if (pool == nullptr) return nullptr;
  const unsigned long long token = PyLong_AsUnsignedLongLong(args[0]);
  if (token == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  PyRef sequence =
      PyRef::steal(PySequence_Fast(args[1], "argument 'fds': must be a sequence of int"));
  if (!sequence) return nullptr;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
  std::vector<int> fds;
  try {
    fds.reserve(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  for (Py_ssize_t i = 0; i < size; ++i) {
    const long fd = PyLong_AsLong(PySequence_Fast_GET_ITEM(sequence.get(), i));
    if (fd == -1 && PyErr_Occurred()) return nullptr;
    if (fd < 0 || fd > INT32_MAX) {
      PyErr_Format(PyExc_ValueError, "argument 'fds': %ld is not a file descriptor", fd);
      return nullptr;
    }
    fds.push_back(static_cast<int>(fd));
  }
  bool taken = false;
  try {
    taken = pool->submit(static_cast<std::uint64_t>(token), std::move(fds));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!taken) {
    PyErr_SetString(PyExc_ValueError, "the FsyncPool is stopping");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* pool_completed(PyObject* self, PyObject*) {
  SyncPool* pool = open_pool(self);
  if (pool == nullptr) return nullptr;
  std::vector<SyncDone> done;
  try {
    done = pool->take_done();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(done.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < done.size(); ++i) {
    PyRef item = PyRef::steal(Py_BuildValue("(Kid)", static_cast<unsigned long long>(done[i].token),
                                            done[i].error, done[i].seconds));
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list.release();
}

PyObject* pool_close(PyObject* self, PyObject*) {
  close_pool(as_pool(self));
  Py_RETURN_NONE;
}

PyMethodDef pool_methods[] = {
    {"fileno", pool_fileno, METH_NOARGS,
     "fileno($self, /)\n--\n\nThe descriptor that becomes readable when finished batches wait in "
     "completed()."},
    {"submit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pool_submit)),
     METH_FASTCALL,
     "submit($self, token, fds, /)\n--\n\nQueue a batch: every descriptor of fds is fdatasync'd in "
     "order (the "
     "first failure skips the rest) and closed; the pool owns them from here on. token (an int of "
     "64 bits) "
     "names the batch in completed()."},
    {"completed", pool_completed, METH_NOARGS,
     "completed($self, /)\n--\n\nThe batches finished since the last call, in the order they "
     "finished: a list "
     "of (token, errno, seconds), errno 0 when every descriptor was made durable."},
    {"close", pool_close, METH_NOARGS,
     "close($self, /)\n--\n\nFinish every batch queued, stop the threads and close fileno(). Later "
     "calls do "
     "nothing; other methods raise ValueError."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pool_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pool_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pool_dealloc)},
    {Py_tp_methods, pool_methods},
    {Py_tp_doc,
     const_cast<char*>(
         "FsyncPool(threads)\n--\n\nThreads that fdatasync batches of file descriptors without the "
         "interpreter lock; an event loop watches fileno() and reads completed().")},
    {0, nullptr},
};

PyType_Spec pool_spec = {
    "brenvolt_fsync.FsyncPool", sizeof(FsyncPoolObject), 0, Py_TPFLAGS_DEFAULT, pool_slots,
};

int module_exec(PyObject* module) {
  PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &pool_spec, nullptr));
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "FsyncPool", type.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "brenvolt_fsync",
    "Durability for brenvolt listen's store: FsyncPool, threads that fdatasync without the "
    "interpreter lock.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_brenvolt_fsync() { return PyModuleDef_Init(&module_def); }
