// Errors inside the bridge travel as C++ exceptions and become Python exceptions at the
// slot boundary (`guard`), which is the only place that catches them. `Error` means a
// Python exception is already set; the other types carry a kind and a message to raise.
#pragma once

#include <Python.h>

#include <exception>
#include <string>

#include "bridge/ref.hpp"

namespace py {

// A Python exception is set in the interpreter; just unwind.
struct Error {};

// Raise helpers: set the exception and throw Error.
[[noreturn]] void raise(PyObject* type, const std::string& msg);
[[noreturn]] inline void raise_type_error(const std::string& msg) { raise(PyExc_TypeError, msg); }
[[noreturn]] inline void raise_value_error(const std::string& msg) { raise(PyExc_ValueError, msg); }
[[noreturn]] inline void raise_runtime_error(const std::string& msg) {
  raise(PyExc_RuntimeError, msg);
}
// The panic exception, derived directly from BaseException: a failed internal
// consistency check (a container resized by another thread mid-walk).
[[noreturn]] void raise_panic(const std::string& msg);
PyObject* panic_type() noexcept;  // borrowed, process-lifetime; nullptr with an error set

// Throws Error when `ok` is false (a C API call reported failure with an exception set).
inline void check(bool ok) {
  if (!ok) throw Error{};
}
// Adopts a new reference from a C API call; throws Error when it is null.
inline Ref check(PyObject* p) {
  if (!p) throw Error{};
  return steal(p);
}

// Translates whatever escaped into a Python exception. Called from catch blocks only.
void set_from_current_exception() noexcept;

// The slot boundary: runs `f`, turns any C++ exception into a Python one.
// `fail` is the slot's failure value (nullptr, -1, ...).
template <class R, class F>
R guard(R fail, F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    set_from_current_exception();
    return fail;
  }
}

}  // namespace py
