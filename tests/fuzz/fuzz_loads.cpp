// loads on arbitrary bytes must either fail with the codec's own exceptions or give a
// value that dumps accepts and that survives a second round trip unchanged. The byte
// checker (what set_raw and apply_raw accept) must agree with loads on every input: its
// loose form fails exactly where loads fails, with loads' message, and ends where loads'
// value ends; its strict form accepts exactly that value with nothing after it and with
// valid UTF-8 text, and accepts everything dumps writes.
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "codec/check.hpp"
#include "codec/value.hpp"

extern "C" PyObject* PyInit__core(void);

namespace {

PyObject* g_dumps = nullptr;
PyObject* g_loads = nullptr;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "fuzz_loads: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

// The module is built into this binary: make it from its definition under its real name
// and publish it in sys.modules, as the import system would.
void start_interpreter() {
  PyPreConfig pre;
  PyPreConfig_InitIsolatedConfig(&pre);
  pre.allocator = PYMEM_ALLOCATOR_MALLOC;  // every object visible to ASan
  if (PyStatus_Exception(Py_PreInitialize(&pre))) die("pre-initialisation failed");
  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.site_import = 0;
  PyStatus st = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(st)) die("interpreter start failed");

  PyObject* def = PyInit__core();
  PyObject* machinery = PyImport_ImportModule("importlib.machinery");
  if (!def || !machinery) die("module definition");
  PyObject* module_spec =
      PyObject_CallMethod(machinery, "ModuleSpec", "sO", "quorvalent._core", Py_None);
  if (!module_spec) die("ModuleSpec");
  auto* mdef = reinterpret_cast<PyModuleDef*>(def);
  PyObject* mod = PyModule_FromDefAndSpec(mdef, module_spec);
  if (!mod || PyModule_ExecDef(mod, mdef) != 0) die("module execution");
  if (PyDict_SetItemString(PyImport_GetModuleDict(), "quorvalent._core", mod) != 0)
    die("sys.modules");
  g_dumps = PyObject_GetAttrString(mod, "dumps");
  g_loads = PyObject_GetAttrString(mod, "loads");
  if (!g_dumps || !g_loads) die("functions");
  Py_DECREF(module_spec);
  Py_DECREF(machinery);
  Py_DECREF(mod);
}

// NaN compares unequal to itself, so a value holding one cannot be checked with ==.
bool has_nan(PyObject* o) {
  if (PyFloat_CheckExact(o)) return std::isnan(PyFloat_AS_DOUBLE(o));
  if (PyList_CheckExact(o)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i)
      if (has_nan(PyList_GET_ITEM(o, i))) return true;
    return false;
  }
  if (PyDict_CheckExact(o)) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(o, &pos, &k, &v))
      if (has_nan(k) || has_nan(v)) return true;
  }
  return false;
}

// Malformed input, extensions, depth: ValueError with the checker's message. A list or
// dict as a key: TypeError, which the checker calls an unhashable key.
void expect_codec_error(const codec::Checked& loose) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    if (loose.flaw != codec::Flaw::UnhashableKey) die("loads: TypeError the checker missed");
    PyErr_Clear();
    return;
  }
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) die("loads raised an unexpected exception type");
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyObject* text = PyObject_Str(value);
  if (!text) die("str of the error");
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(text, &n);
  if (!s) die("error text");
  if (loose.flaw == codec::Flaw::None || loose.flaw == codec::Flaw::UnhashableKey)
    die("loads: ValueError where the checker found none");
  if (codec::flaw_message(loose) != std::string_view(s, static_cast<std::size_t>(n)))
    die("the checker's message differs from loads'");
  Py_DECREF(text);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
}

bool loads_ok(const std::uint8_t* data, std::size_t size) {
  PyObject* b =
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
  if (!b) die("bytes");
  PyObject* v = PyObject_CallOneArg(g_loads, b);
  Py_DECREF(b);
  if (!v) {
    PyErr_Clear();
    return false;
  }
  Py_DECREF(v);
  return true;
}

bool interpreter_utf8(const char* p, std::size_t n) {
  PyObject* s = PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), nullptr);
  if (!s) {
    PyErr_Clear();
    return false;
  }
  Py_DECREF(s);
  return true;
}

// The payload of the str whose marker is at `at`.
std::string_view str_payload(std::string_view in, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(in[i]); };
  const unsigned char m = byte(at);
  std::size_t len = 0, head = 1;
  if ((m & 0xe0) == 0xa0) {
    len = m & 0x1f;
  } else {
    head = m == 0xd9 ? 2 : m == 0xda ? 3 : 5;
    for (std::size_t i = 1; i < head; ++i) len = len << 8 | byte(at + i);
  }
  return in.substr(at + head, len);
}

// The strict check against the loose one and the interpreter, for an input loads reads.
void check_strict(std::string_view in, const codec::Checked& loose) {
  const codec::Checked strict = codec::check_value(in, true);
  switch (strict.flaw) {
    case codec::Flaw::None:
      if (loose.at != in.size()) die("strict check passed trailing bytes");
      break;
    case codec::Flaw::Trailing:
      if (strict.at != loose.at || loose.at == in.size()) die("strict check: wrong trailing place");
      if (codec::check_value(in.substr(0, loose.at), true).flaw != codec::Flaw::None)
        die("strict check refuses the value without its trailing bytes");
      break;
    case codec::Flaw::InvalidUtf8: {
      const std::string_view text = str_payload(in, strict.at);
      if (interpreter_utf8(text.data(), text.size())) die("strict check refused valid UTF-8");
      break;
    }
    default:
      die("strict check found a flaw that loads does not have");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool started = (start_interpreter(), true);
  (void)started;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  if (codec::is_valid_utf8(in) != interpreter_utf8(in.data(), in.size()))
    die("is_valid_utf8 disagrees with the interpreter's strict decoder");
  const codec::Checked loose = codec::check_value(in, false);
  PyObject* input =
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
  if (!input) die("input bytes");
  PyObject* value = PyObject_CallOneArg(g_loads, input);
  Py_DECREF(input);
  if (!value) {
    expect_codec_error(loose);
    if (codec::check_value(in, true).flaw == codec::Flaw::None)
      die("strict check passed bad input");
    return 0;
  }
  if (loose.flaw != codec::Flaw::None) die("the checker refused what loads reads");
  // loads ignores what follows its value: the value must end where the checker says.
  if (loose.at == 0 || !loads_ok(data, loose.at) || loads_ok(data, loose.at - 1))
    die("the checker's end of the value is not loads'");
  check_strict(in, loose);
  PyObject* enc = PyObject_CallOneArg(g_dumps, value);
  if (!enc) die("dumps refused a decoded value");
  if (codec::check_value(
          std::string_view(PyBytes_AS_STRING(enc), static_cast<std::size_t>(PyBytes_GET_SIZE(enc))),
          true)
          .flaw != codec::Flaw::None)
    die("the strict check refuses what dumps wrote");
  PyObject* again = PyObject_CallOneArg(g_loads, enc);
  if (!again) die("loads refused dumps output");
  PyObject* enc2 = PyObject_CallOneArg(g_dumps, again);
  if (!enc2) die("second dumps failed");
  // Bytes are bit-exact even for NaN payloads; == covers the Python-level value.
  if (PyBytes_GET_SIZE(enc) != PyBytes_GET_SIZE(enc2) ||
      std::memcmp(PyBytes_AS_STRING(enc), PyBytes_AS_STRING(enc2), PyBytes_GET_SIZE(enc)) != 0)
    die("dumps(loads(dumps(x))) differs from dumps(x)");
  int eq = PyObject_RichCompareBool(value, again, Py_EQ);
  if (eq < 0) die("comparison raised");
  if (!eq && !has_nan(value)) die("loads(dumps(x)) != x");
  Py_DECREF(enc2);
  Py_DECREF(again);
  Py_DECREF(enc);
  Py_DECREF(value);
  return 0;
}
