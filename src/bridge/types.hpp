// Class plumbing shared by the Python types: process-wide type objects created once per
// runtime on first use, the slot wrappers that bind arguments and translate errors, and
// the per-object access flag.
//
// Type objects are process-wide (the module keeps no state of its own), which is also
// why the module refuses to load into subinterpreters.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "bridge/bind.hpp"
#include "bridge/error.hpp"

namespace py {

// One Python object shared by the whole process for the life of one interpreter runtime:
// made on first use and published by compare-and-swap, so nobody waits on a lock while
// attached and a thread that loses the race drops its copy. When the runtime finalizes
// the slot forgets the object (the runtime has freed or abandoned it by then), so a
// runtime initialised later in the same process makes its own.
class RuntimeSlot {
 public:
  constexpr RuntimeSlot() noexcept = default;
  // Borrowed; `make` returns a new reference or nullptr with an exception set.
  PyObject* get(PyObject* (*make)(const void* ctx), const void* ctx) noexcept;

 private:
  friend void forget_runtime_slots() noexcept;
  std::atomic<PyObject*> obj_{nullptr};
  RuntimeSlot* next_ = nullptr;  // in the list of filled slots, written before publishing
};

// Arranges, once per runtime, for every filled slot to be forgotten when the runtime
// finalizes. Called by the module's execution step, before any slot can be filled.
void forget_runtime_slots_at_exit() noexcept;

class LazyType {
 public:
  constexpr LazyType(PyType_Spec* type_spec, const char* class_name) noexcept
      : spec_(type_spec), name_(class_name) {}
  // Borrowed; lives as long as the runtime. nullptr with RuntimeError "An error occurred
  // while initializing class {name}" set when creation fails.
  PyTypeObject* get() noexcept;

 private:
  RuntimeSlot slot_;
  PyType_Spec* spec_;
  const char* name_;
};

// Native instance layout: the object header followed by one C++ value, constructed in
// place after tp_alloc and destroyed in dealloc.
template <class T>
struct Object {
  PyObject_HEAD T value;
};

template <class T>
T& native(PyObject* self) noexcept {
  return reinterpret_cast<Object<T>*>(self)->value;
}

// Allocates an instance of `type` and constructs its value from `args`.
template <class T, class... A>
Ref make_object(PyTypeObject* type, A&&... args) {
  Ref self = check(type->tp_alloc(type, 0));
  new (&reinterpret_cast<Object<T>*>(self.get())->value) T(std::forward<A>(args)...);
  return self;
}

// dealloc in the interpreter's order for a non-GC heap type: destroy, free, drop type.
template <class T>
void object_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object<T>*>(self)->value.~T();
  type->tp_free(self);
  Py_DECREF(type);
}

// The per-object access flag: 0 free, n > 0 shared by n calls, all bits set exclusive.
// Neither kind of access ever waits; a conflict fails at once.
class AccessFlag {
 public:
  static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};

  // Raise RuntimeError "Already mutably borrowed" / "Already borrowed" on conflict.
  void acquire_shared();
  void acquire_exclusive();
  void release_shared() noexcept { flag_.fetch_sub(1, std::memory_order_release); }
  void release_exclusive() noexcept { flag_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::uintptr_t> flag_{0};
};

class SharedAccess {
 public:
  explicit SharedAccess(AccessFlag& f) : f_(f) { f_.acquire_shared(); }
  ~SharedAccess() { f_.release_shared(); }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;

 private:
  AccessFlag& f_;
};

class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(AccessFlag& f) : f_(f) { f_.acquire_exclusive(); }
  ~ExclusiveAccess() { f_.release_exclusive(); }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

 private:
  AccessFlag& f_;
};

// Slot wrappers: `Impl` works in C++ terms (py::Ref results, thrown errors) and these
// give it the C signatures. Use as `fastcall<&store_get_impl>`.
template <Ref (*Impl)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] { return Impl(self, args, nargs, kwnames).release(); });
}

template <Ref (*Impl)(PyObject*)>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&] { return Impl(self).release(); });
}

template <Ref (*Impl)(PyObject*)>
PyObject* getter(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&] { return Impl(self).release(); });
}

template <Ref (*Impl)(PyTypeObject*, PyObject*, PyObject*)>
PyObject* newfunc(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&] { return Impl(type, args, kwargs).release(); });
}

template <Ref (*Impl)(PyObject*)>
PyObject* reprfunc(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&] { return Impl(self).release(); });
}

template <Py_ssize_t (*Impl)(PyObject*)>
Py_ssize_t lenfunc(PyObject* self) noexcept {
  return guard<Py_ssize_t>(-1, [&] { return Impl(self); });
}

template <bool (*Impl)(PyObject*, PyObject*)>
int containsfunc(PyObject* self, PyObject* arg) noexcept {
  return guard<int>(-1, [&] { return Impl(self, arg) ? 1 : 0; });
}

// A count for `len()`: above the interpreter's size type it raises OverflowError with no
// message.
Py_ssize_t to_ssize(std::uint64_t n);

// Small result builders.
inline Ref none() noexcept { return borrow(Py_None); }
inline Ref boolean(bool b) noexcept { return borrow(b ? Py_True : Py_False); }
inline Ref str(std::string_view s) {
  return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
}
inline Ref integer(std::uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }

}  // namespace py
