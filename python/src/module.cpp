// Module definition, multi-phase initialisation and registration.

#include "args.hpp"
#include "types.hpp"

namespace vosket::py {
namespace {

constexpr const char* kVersion = "0.1.0-alpha.3";

/// Appends `name` to __all__ (creating it when absent), then sets the
/// attribute. Returns -1 with an exception set on failure.
int add_entry(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

int add_class(PyObject* module, const char* name, PyTypeObject* (*get)()) {
  PyTypeObject* type = get();
  if (type == nullptr) return PyErr_Occurred() ? -1 : 0;  // DEV: not built yet
  return add_entry(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
  return guarded_int([&]() -> int {
    if (!PyModule_Check(module)) {
      PyErr_Format(PyExc_TypeError, "expected a module object, got '%s'",
                   type_name_of(module).c_str());
      return -1;
    }
    struct ClassEntry {
      const char* name;
      PyTypeObject* (*get)();
    };
    static const ClassEntry classes[] = {
        {"Sequences", sequences_type},       {"Popularity", popularity_type},
        {"Random", random_type},             {"Sknn", sknn_type},
        {"VSknn", vsknn_type},               {"SSknn", ssknn_type},
        {"SknnConfig", sknn_config_type},    {"Similarity", similarity_type},
        {"EvaluationReport", evaluation_report_type},
    };
    for (const ClassEntry& c : classes) {
      if (add_class(module, c.name, c.get) < 0) return -1;
    }
    PyRef module_name = PyRef::steal(PyUnicode_FromString("_vosket"));
    if (!module_name) return -1;
    for (PyMethodDef* def = metric_function_defs(); def->ml_name != nullptr; ++def) {
      PyRef fn = PyRef::steal(PyCFunction_NewEx(def, nullptr, module_name.get()));
      if (!fn || add_entry(module, def->ml_name, fn.get()) < 0) return -1;
    }
    PyRef version = PyRef::steal(PyUnicode_FromString(kVersion));
    if (!version) return -1;
    return add_entry(module, "__version__", version.get());
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vosket",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vosket::py

PyMODINIT_FUNC PyInit__vosket(void) { return PyModuleDef_Init(&vosket::py::module_def); }
