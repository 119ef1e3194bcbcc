// Reference ownership for the bridge. `Ref` owns one strong reference; a bare
// `PyObject*` is always borrowed. Transfers are named where they happen: `steal` adopts a
// new reference, `borrow` takes a new one, `release` hands ours to an API that steals.
#pragma once

#include <Python.h>

#include <utility>

namespace py {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(const Ref& o) noexcept {
    PyObject* old = std::exchange(p_, Py_XNewRef(o.p_));  // incref first: o may alias us
    Py_XDECREF(old);
    return *this;
  }
  Ref& operator=(Ref&& o) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { Py_CLEAR(p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

inline Ref steal(PyObject* p) noexcept { return Ref::steal(p); }
inline Ref borrow(PyObject* p) noexcept { return Ref::borrow(p); }

}  // namespace py
