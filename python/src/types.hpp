#pragma once
/// Instance layout and type creation shared by every class of the module.

#include <new>
#include <utility>

#include "errors.hpp"
#include "py_ref.hpp"
#include "vosket/interner.hpp"
#include "vosket/sequence.hpp"

namespace vosket::py {

/// A Python object holding one C++ value by value.
template <class T>
struct Box {
  PyObject_HEAD
  T value;
};

/// A new instance of `type` holding `value` (moved in). Null with an
/// exception set on failure.
template <class T>
PyObject* box_new(PyTypeObject* type, T&& value) {
  PyObject* obj = PyType_GenericAlloc(type, 0);
  if (obj == nullptr) return nullptr;
  new (&reinterpret_cast<Box<std::decay_t<T>>*>(obj)->value) std::decay_t<T>(std::forward<T>(value));
  return obj;
}

template <class T>
T& unbox(PyObject* obj) noexcept {
  return reinterpret_cast<Box<T>*>(obj)->value;
}

/// tp_dealloc for Box<T>.
template <class T>
void box_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  reinterpret_cast<Box<T>*>(obj)->value.~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(obj);
  Py_DECREF(type);
}

/// Creates the type from `spec` on first call and returns it on every call
/// (a borrowed reference that lives for the rest of the process). `cache`
/// must be a function-local static. Null with an exception set on failure.
inline PyTypeObject* type_once(PyObject*& cache, PyType_Spec& spec) {
  if (cache == nullptr) {
    PyObject* created = PyType_FromSpec(&spec);
    if (created == nullptr) return nullptr;
    if (cache == nullptr) {
      cache = created;
    } else {
      Py_DECREF(created);
    }
  }
  return reinterpret_cast<PyTypeObject*>(cache);
}

/// What a Sequences object holds.
struct SequencesData {
  Interner interner;
  Sequences sequences;
};

// Class types, in registration order. Each creates its type once per
// process and returns it (borrowed), or null with an exception set.
PyTypeObject* sequences_type();
PyTypeObject* popularity_type();
PyTypeObject* random_type();
PyTypeObject* sknn_type();
PyTypeObject* vsknn_type();
PyTypeObject* ssknn_type();
PyTypeObject* sknn_config_type();
PyTypeObject* similarity_type();
PyTypeObject* evaluation_report_type();

/// The eight metric functions in registration order, then a sentinel.
PyMethodDef* metric_function_defs();

}  // namespace vosket::py
