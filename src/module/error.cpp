#include "module/error.hpp"

#include <atomic>
#include <new>
#include <stdexcept>

namespace py {

void raise(PyObject* type, const std::string& msg) {
  PyErr_SetString(type, msg.c_str());
  throw Error{};
}

PyObject* panic_type() noexcept {
  // Created once per process and published by compare-and-swap: no lock is waited on
  // while attached, and the loser of a race drops its copy.
  static std::atomic<PyObject*> type{nullptr};
  if (PyObject* t = type.load(std::memory_order_acquire)) return t;
  PyObject* made = PyErr_NewExceptionWithDoc(
      "quorvalent._core.PanicException",
      "Raised when an internal consistency check fails (for example a container changed by "
      "another thread while it was being walked).",
      PyExc_BaseException, nullptr);
  if (!made) return nullptr;
  PyObject* seen = nullptr;
  if (type.compare_exchange_strong(seen, made, std::memory_order_acq_rel)) return made;
  Py_DECREF(made);
  return seen;
}

void raise_panic(const std::string& msg) {
  PyObject* t = panic_type();
  if (t) PyErr_SetString(t, msg.c_str());
  throw Error{};
}

void set_from_current_exception() noexcept {
  try {
    throw;
  } catch (const Error&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown native exception");
  }
}

}  // namespace py
