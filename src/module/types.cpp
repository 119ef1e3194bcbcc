#include "module/types.hpp"

#include <string>

namespace py {

PyTypeObject* LazyType::get() noexcept {
  if (PyObject* t = type_.load(std::memory_order_acquire))
    return reinterpret_cast<PyTypeObject*>(t);
  PyObject* made = PyType_FromSpec(spec_);
  if (!made) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name_);
    PyObject* err = PyErr_GetRaisedException();
    PyException_SetCause(err, cause);
    PyErr_SetRaisedException(err);
    return nullptr;
  }
  // Published by compare-and-swap; a thread that loses the race drops its copy, so
  // every caller sees one object and nobody waits on a lock while attached.
  PyObject* seen = nullptr;
  if (type_.compare_exchange_strong(seen, made, std::memory_order_acq_rel))
    return reinterpret_cast<PyTypeObject*>(made);
  Py_DECREF(made);
  return reinterpret_cast<PyTypeObject*>(seen);
}

void AccessFlag::acquire_shared() {
  std::uintptr_t cur = flag_.load(std::memory_order_relaxed);
  do {
    if (cur == kExclusive) raise_runtime_error("Already mutably borrowed");
  } while (!flag_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                        std::memory_order_relaxed));
}

void AccessFlag::acquire_exclusive() {
  std::uintptr_t expected = 0;
  if (!flag_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                     std::memory_order_relaxed))
    raise_runtime_error("Already borrowed");
}

Py_ssize_t to_ssize(std::uint64_t n) {
  if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetNone(PyExc_OverflowError);
    throw Error{};
  }
  return static_cast<Py_ssize_t>(n);
}

}  // namespace py
