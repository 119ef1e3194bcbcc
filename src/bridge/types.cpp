#include "bridge/types.hpp"

#include <string>

namespace py {

namespace {

// Filled slots, newest first. Pushed while the runtime lives, emptied after it is gone.
std::atomic<RuntimeSlot*> filled{nullptr};
std::atomic<bool> exit_registered{false};

}  // namespace

PyObject* RuntimeSlot::get(PyObject* (*make)(const void* ctx), const void* ctx) noexcept {
  if (PyObject* o = obj_.load(std::memory_order_acquire)) return o;
  PyObject* made = make(ctx);
  if (!made) return nullptr;
  PyObject* seen = nullptr;
  if (!obj_.compare_exchange_strong(seen, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return seen;
  }
  // Only the winner lists the slot, so it is listed once per runtime.
  next_ = filled.load(std::memory_order_relaxed);
  while (!filled.compare_exchange_weak(next_, this, std::memory_order_release,
                                       std::memory_order_relaxed)) {
  }
  return made;
}

// Runs after the runtime has finalized: no Python API may be called, and none is needed,
// since the objects already belong to a dead runtime.
void forget_runtime_slots() noexcept {
  RuntimeSlot* s = filled.exchange(nullptr, std::memory_order_acquire);
  while (s) {
    s->obj_.store(nullptr, std::memory_order_release);
    s = std::exchange(s->next_, nullptr);
  }
  exit_registered.store(false, std::memory_order_release);
}

void forget_runtime_slots_at_exit() noexcept {
  if (exit_registered.exchange(true, std::memory_order_acq_rel)) return;
  // The interpreter holds few such handlers; without one a later runtime in this process
  // would reuse dead objects, but this runtime works as usual.
  if (Py_AtExit(forget_runtime_slots) != 0) exit_registered.store(false, std::memory_order_release);
}

PyTypeObject* LazyType::get() noexcept {
  PyObject* t = slot_.get(
      [](const void* ctx) -> PyObject* {
        const LazyType& self = *static_cast<const LazyType*>(ctx);
        PyObject* made = PyType_FromSpec(self.spec_);
        if (made) return made;
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s",
                     self.name_);
        PyObject* err = PyErr_GetRaisedException();
        PyException_SetCause(err, cause);
        PyErr_SetRaisedException(err);
        return nullptr;
      },
      this);
  return reinterpret_cast<PyTypeObject*>(t);
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
