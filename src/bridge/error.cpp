#include "bridge/error.hpp"

#include <atomic>
#include <new>
#include <stdexcept>

#include "bridge/types.hpp"

namespace py {

namespace {

// Messages quote callers' text, which may hold NUL characters: the str is made from the
// whole buffer, never read as a C string.
void set_message(PyObject* type, const std::string& msg) noexcept {
  PyObject* text = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
  if (!text) return;  // MemoryError is set instead
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace

void raise(PyObject* type, const std::string& msg) {
  set_message(type, msg);
  throw Error{};
}

PyObject* panic_type() noexcept {
  static RuntimeSlot slot;
  return slot.get(
      [](const void*) {
        return PyErr_NewExceptionWithDoc(
            "quorvalent._core.PanicException",
            "Raised when an internal consistency check fails (for example a container changed "
            "by another thread while it was being walked).",
            PyExc_BaseException, nullptr);
      },
      nullptr);
}

void raise_panic(const std::string& msg) {
  PyObject* t = panic_type();
  if (t) set_message(t, msg);
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
