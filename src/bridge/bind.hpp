// Argument binding, the same for every function, method and constructor: a parameter
// table per callable, one generic binder, and converters that name the argument when a
// conversion fails with TypeError.
//
// Every parameter is positional-or-keyword. `Args<N>` holds borrowed references to
// what the caller passed (nullptr for an omitted parameter); they stay alive for the
// call because the caller's argument vector or tuple owns them.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/error.hpp"
#include "bridge/ref.hpp"

namespace py {

template <std::size_t N>
struct Signature {
  const char* display;  // "Store.get()", "dumps()"
  std::array<const char*, N> names;
  std::size_t required;  // leading parameters that must be given
  // Leading parameters that may be given by position; the rest are keyword-only.
  std::size_t positional = N;
};

namespace detail {
// Fills out[0..n) from a vectorcall (args, nargs, kwnames) or from a tuple and dict.
// Throws Error with the binding TypeError set.
void bind_vector(const char* display, const char* const* names, std::size_t n, std::size_t required,
                 std::size_t positional, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out);
void bind_tuple(const char* display, const char* const* names, std::size_t n, std::size_t required,
                std::size_t positional, PyObject* args, PyObject* kwargs, PyObject** out);
// Re-raises a pending TypeError as "argument '{name}': {message}" keeping its cause;
// other exceptions are left as they are.
void wrap_argument_error(const char* name) noexcept;
}  // namespace detail

template <std::size_t N>
struct Args {
  std::array<PyObject*, N> v{};
  const Signature<N>* sig = nullptr;

  PyObject* operator[](std::size_t i) const noexcept { return v[i]; }
  bool given(std::size_t i) const noexcept { return v[i] != nullptr; }
  // Omitted, or an explicit None where the default is None.
  bool absent_or_none(std::size_t i) const noexcept { return !v[i] || v[i] == Py_None; }
  const char* name(std::size_t i) const noexcept { return sig->names[i]; }

  // Runs f(); a TypeError it raises is re-raised naming argument i.
  template <class F>
  auto named(std::size_t i, F&& f) const -> decltype(f()) {
    try {
      return f();
    } catch (const Error&) {
      detail::wrap_argument_error(sig->names[i]);
      throw;
    }
  }

  // Runs a conversion of argument i; a TypeError it raises is re-raised naming i.
  template <class F>
  auto convert(std::size_t i, F&& f) const -> decltype(f(v[i])) {
    try {
      return f(v[i]);
    } catch (const Error&) {
      detail::wrap_argument_error(sig->names[i]);
      throw;
    }
  }
};

template <std::size_t N>
Args<N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<N> a;
  a.sig = &sig;
  detail::bind_vector(sig.display, sig.names.data(), N, sig.required, sig.positional, args, nargs,
                      kwnames, a.v.data());
  return a;
}

template <std::size_t N>
Args<N> bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
  Args<N> a;
  a.sig = &sig;
  detail::bind_tuple(sig.display, sig.names.data(), N, sig.required, sig.positional, args, kwargs,
                     a.v.data());
  return a;
}

// Converters. Each raises TypeError "'{type}' object is not an instance of '{target}'"
// (or "'None' is not an instance of '{target}'") for a value of the wrong class.
[[noreturn]] void raise_not_instance(PyObject* obj, const char* target);

// UTF-8 view of a str (subclasses accepted). The view lives as long as `obj`; copy it
// before detaching unless a strong reference is kept. A lone surrogate raises the
// interpreter's UnicodeEncodeError, which is not a TypeError and so is never renamed.
inline std::string_view as_utf8(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_not_instance(obj, "str");
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!s) throw Error{};
  return {s, static_cast<std::size_t>(n)};
}

// The bytes of a bytes object (subclasses accepted), read in place.
inline std::string_view as_bytes(PyObject* obj) {
  if (!PyBytes_Check(obj)) raise_not_instance(obj, "bytes");
  return {PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
}

// An unsigned 64-bit integer through the index protocol. A negative or too large value
// raises the interpreter's OverflowError.
std::uint64_t as_u64_index(PyObject* obj);

// Detached from the interpreter for the scope: no Python object may be touched inside.
class Detach {
 public:
  Detach() noexcept : state_(PyEval_SaveThread()) {}
  ~Detach() { PyEval_RestoreThread(state_); }
  Detach(const Detach&) = delete;
  Detach& operator=(const Detach&) = delete;

 private:
  PyThreadState* state_;
};

// Runs f detached from the interpreter and hands back its result.
template <class F>
auto detached(F&& f) -> decltype(f()) {
  Detach d;
  return f();
}

// The object's per-object lock on the free-threaded build; nothing on the GIL build,
// where the interpreter lock already serialises container access.
class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* o) noexcept { PyCriticalSection_Begin(&cs_, o); }
  ~CriticalSection() { PyCriticalSection_End(&cs_); }
#else
  explicit CriticalSection(PyObject*) noexcept {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection cs_;
#endif
};

}  // namespace py
