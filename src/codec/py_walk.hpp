// Stepping through a list or dict that another thread may change: each step reads one
// element under the container's critical section and takes a reference that outlives
// it; the element is then handled outside, so no two sections are ever held at once.
//
// On the GIL build nothing can change a container while we walk it (the walk runs no
// Python code and never lets go of the interpreter), so elements are only borrowed.
#pragma once

#include <Python.h>

#include <cstdint>

#include "bridge/bind.hpp"
#include "bridge/error.hpp"
#include "codec/limits.hpp"

namespace codec::detail {

#ifdef Py_GIL_DISABLED
using ItemRef = py::Ref;
inline ItemRef hold(PyObject* o) { return py::borrow(o); }
inline PyObject* get(const ItemRef& r) { return r.get(); }
#else
using ItemRef = PyObject*;
inline ItemRef hold(PyObject* o) { return o; }
inline PyObject* get(PyObject* r) { return r; }
#endif

[[noreturn]] void length_error(const char* kind, std::uint64_t n);

inline std::uint32_t u32_len(Py_ssize_t n, const char* kind) {
  if (static_cast<std::uint64_t>(n) > kMaxLength) length_error(kind, static_cast<std::uint64_t>(n));
  return static_cast<std::uint32_t>(n);
}

// Calls f(key, value) for each pair of `d`, whose size was read once as `n` (the same
// reading that went into the map header). A header that disagrees with the pairs
// written is never produced: any change in size or keys stops the walk with a panic.
template <class F>
void walk_dict(PyObject* d, Py_ssize_t n, F&& f) {
  Py_ssize_t pos = 0, seen = 0;
  for (;;) {
    ItemRef k{}, v{};
    bool more;
    {
      py::CriticalSection cs(d);
      if (PyDict_GET_SIZE(d) != n) py::raise_panic("dictionary changed size during iteration");
      PyObject *kb, *vb;
      more = PyDict_Next(d, &pos, &kb, &vb);
      if (more) {
        k = hold(kb);
        v = hold(vb);
      }
    }
    if (!more) break;
    if (++seen > n) py::raise_panic("dictionary keys changed during iteration");
    f(get(k), get(v));
  }
  if (seen != n) py::raise_panic("dictionary keys changed during iteration");
}

// Calls f(element) for elements 0 .. n-1 of `l`, stopping early if another thread
// shortens it; growth is ignored. A shortened list would leave fewer elements than the
// header announced, so that case fails with a panic.
template <class F>
void walk_list(PyObject* l, Py_ssize_t n, F&& f) {
#ifndef Py_GIL_DISABLED
  for (Py_ssize_t i = 0; i < n; ++i) f(PyList_GET_ITEM(l, i));
#else
  for (Py_ssize_t i = 0; i < n; ++i) {
    ItemRef item;
    {
      py::CriticalSection cs(l);
      if (i < PyList_GET_SIZE(l)) item = hold(PyList_GET_ITEM(l, i));
    }
    if (!item) py::raise_panic("list changed size during iteration");
    f(get(item));
  }
#endif
}

}  // namespace codec::detail
