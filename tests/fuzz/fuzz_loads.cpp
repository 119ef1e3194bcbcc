// loads on arbitrary bytes must either fail with the codec's own exceptions or give a
// value that dumps accepts and that survives a second round trip unchanged.
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void expect_codec_error() {
  // Malformed input, extensions, depth: ValueError. A list or dict as a key: TypeError.
  if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError))
    die("loads raised an unexpected exception type");
  PyErr_Clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool started = (start_interpreter(), true);
  (void)started;
  PyObject* input =
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
  if (!input) die("input bytes");
  PyObject* value = PyObject_CallOneArg(g_loads, input);
  Py_DECREF(input);
  if (!value) {
    expect_codec_error();
    return 0;
  }
  PyObject* enc = PyObject_CallOneArg(g_dumps, value);
  if (!enc) die("dumps refused a decoded value");
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
