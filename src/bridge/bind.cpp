#include "bridge/bind.hpp"

#include <cstring>
#include <string>

namespace py {
namespace {

std::string quoted_list(const char* const* names, std::size_t n) {
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c' (the interpreter's own phrasing)
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) {
      if (n > 2) s += ',';
      s += (i == n - 1) ? " and " : " ";
    }
    s += '\'';
    s += names[i];
    s += '\'';
  }
  return s;
}

[[noreturn]] void too_many_positional(const char* display, std::size_t n, std::size_t required,
                                      Py_ssize_t given) {
  std::string msg = display;
  if (required == n)
    msg += " takes " + std::to_string(n);
  else
    msg += " takes from " + std::to_string(required) + " to " + std::to_string(n);
  msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
         " given";
  raise_type_error(msg);
}

// Matches a keyword to a parameter by exact text; returns n when none matches. Compares
// without encoding, so a name no parameter can have (a lone surrogate) simply misses.
std::size_t find_param(PyObject* key, const char* const* names, std::size_t n) {
  if (!PyUnicode_Check(key)) return n;
  for (std::size_t i = 0; i < n; ++i)
    if (PyUnicode_EqualToUTF8AndSize(key, names[i], static_cast<Py_ssize_t>(std::strlen(names[i]))))
      return i;
  return n;
}

void place_keyword(const char* display, const char* const* names, std::size_t n, PyObject* key,
                   PyObject* value, PyObject** out) {
  std::size_t i = find_param(key, names, n);
  if (i == n) {
    // Formatted as a str, as the interpreter does, so any name survives into the message.
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", display, key);
    throw Error{};
  }
  if (out[i])
    raise_type_error(std::string(display) + " got multiple values for argument '" + names[i] + "'");
  out[i] = value;
}

void check_missing(const char* display, const char* const* names, std::size_t required,
                   PyObject** out) {
  const char* missing[16];
  std::size_t m = 0;
  for (std::size_t i = 0; i < required && m < 16; ++i)
    if (!out[i]) missing[m++] = names[i];
  if (m == 0) return;
  raise_type_error(std::string(display) + " missing " + std::to_string(m) +
                   " required positional " + (m == 1 ? "argument" : "arguments") + ": " +
                   quoted_list(missing, m));
}

}  // namespace

namespace detail {

void bind_vector(const char* display, const char* const* names, std::size_t n, std::size_t required,
                 std::size_t positional, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (static_cast<std::size_t>(nargs) > positional)
    too_many_positional(display, positional, required, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nk; ++j)
      place_keyword(display, names, n, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], out);
  }
  check_missing(display, names, required, out);
}

void bind_tuple(const char* display, const char* const* names, std::size_t n, std::size_t required,
                std::size_t positional, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  if (static_cast<std::size_t>(nargs) > positional)
    too_many_positional(display, positional, required, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    // The call's own keyword dict: no other thread holds it.
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) place_keyword(display, names, n, k, v, out);
  }
  check_missing(display, names, required, out);
}

void wrap_argument_error(const char* name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* raised = PyErr_GetRaisedException();
  PyObject* text = PyObject_Str(raised);
  if (!text) {
    Py_DECREF(raised);
    return;
  }
  PyObject* msg = PyUnicode_FromFormat("argument '%s': %U", name, text);
  Py_DECREF(text);
  PyObject* wrapped = msg ? PyObject_CallOneArg(PyExc_TypeError, msg) : nullptr;
  Py_XDECREF(msg);
  if (!wrapped) {
    Py_DECREF(raised);
    return;
  }
  // The new error keeps the original's cause.
  PyException_SetCause(wrapped, PyException_GetCause(raised));  // steals the new ref
  Py_DECREF(raised);
  PyErr_SetRaisedException(wrapped);
}

}  // namespace detail

void raise_not_instance(PyObject* obj, const char* target) {
  if (obj == Py_None)
    raise_type_error(std::string("'None' is not an instance of '") + target + "'");
  Ref qual = check(PyType_GetQualName(Py_TYPE(obj)));
  Py_ssize_t len;
  const char* q = PyUnicode_AsUTF8AndSize(qual.get(), &len);
  if (!q) throw Error{};
  raise_type_error("'" + std::string(q, len) + "' object is not an instance of '" + target + "'");
}

std::uint64_t as_u64_index(PyObject* obj) {
  Ref idx = check(PyNumber_Index(obj));
  unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw Error{};
  return v;
}

}  // namespace py
