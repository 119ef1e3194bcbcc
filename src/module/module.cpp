// The module frame: multi-phase initialisation, and the execution step that fills the
// module in a fixed order, keeping `__all__` in step with what it adds.
#include <Python.h>

#include "bridge/error.hpp"
#include "bridge/types.hpp"
#include "codec/py_codec.hpp"
#include "module/classes.hpp"

namespace {

#ifndef QV_VERSION
#error "QV_VERSION comes from pyproject.toml, through the build"
#endif
constexpr const char* kVersion = QV_VERSION;

PyObject* core_version(PyObject*, PyObject*) noexcept { return PyUnicode_FromString(kVersion); }

PyMethodDef kFunctions[] = {
    {"core_version", core_version, METH_NOARGS,
     "core_version()\n--\n\n"
     "Return the version string of the compiled native core.\n\n"
     "The package and its tests call it to confirm that the native module loaded."},
    {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(codec::codec_dumps)),
     METH_FASTCALL | METH_KEYWORDS,
     "dumps(obj)\n--\n\n"
     "Serialize a Python object to msgpack bytes (quorvalent's stable, cross-language codec)."},
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(codec::codec_loads)),
     METH_FASTCALL | METH_KEYWORDS,
     "loads(data)\n--\n\n"
     "Deserialize msgpack bytes back into a Python object."},
};

// Added after the classes, so that the names above keep their places in `__all__`.
PyMethodDef kLaterFunctions[] = {
    {"roundtrips",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(codec::codec_roundtrips)),
     METH_FASTCALL | METH_KEYWORDS,
     "roundtrips(obj)\n--\n\n"
     "Whether `loads(dumps(obj))` gives back `obj` with every type as it was.\n\n"
     "True for exact None, bool, int, float, str and bytes, and exact lists and dicts with str\n"
     "keys of them, that dumps accepts. False, raising nothing, for the rest: tuples (they\n"
     "come back as lists), subclasses (as their base type), other dict keys, and values\n"
     "dumps rejects. It checks `obj` as it is now: if another thread changes it before it is\n"
     "encoded, the encoding follows the change."},
};

// Appends `name` to `__all__` (made on first use), then sets the attribute.
void add_name(PyObject* module, const char* name, py::Ref value) {
  PyObject* found = nullptr;
  int r = PyObject_GetOptionalAttrString(module, "__all__", &found);
  py::check(r >= 0);
  py::Ref all = py::steal(found);
  if (r == 0) {
    all = py::check(PyList_New(0));
    py::check(PyObject_SetAttrString(module, "__all__", all.get()) == 0);
  } else if (!PyList_Check(all.get())) {
    py::raise_type_error("`__all__` must be a list");
  }
  py::Ref text = py::check(PyUnicode_FromString(name));
  py::check(PyList_Append(all.get(), text.get()) == 0);
  py::check(PyObject_SetAttr(module, text.get(), value.get()) == 0);
}

int module_exec(PyObject* module) noexcept {
  return py::guard<int>(-1, [&] {
    if (!PyModule_Check(module)) py::raise_not_instance(module, "PyModule");
    py::forget_runtime_slots_at_exit();
#ifdef Py_GIL_DISABLED
    py::check(PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) == 0);
#endif
    add_name(module, "__version__", py::check(PyUnicode_FromString(kVersion)));
    py::Ref modname = py::check(PyModule_GetNameObject(module));
    for (PyMethodDef& def : kFunctions)
      add_name(module, def.ml_name, py::check(PyCFunction_NewEx(&def, module, modname.get())));
    for (const auto& cls : qv::module_classes()) {
      PyTypeObject* type = cls.type();
      py::check(type != nullptr);
      add_name(module, cls.name, py::borrow(reinterpret_cast<PyObject*>(type)));
    }
    for (PyMethodDef& def : kLaterFunctions)
      add_name(module, def.ml_name, py::check(PyCFunction_NewEx(&def, module, modname.get())));
    return 0;
  });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // Type objects are shared by the whole process, which subinterpreters must not see.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "The `quorvalent._core` native module.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&kModule); }
