#pragma once
/// Owning handle for PyObject references and small helpers shared by the
/// binding. Every PyObject* the binding keeps beyond one statement is held
/// in a PyRef: move-only, explicit steal/borrow, never an implicit incref.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vosket::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  /// Takes over a new reference (may be null).
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  /// Adds a reference to a borrowed pointer (may be null).
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  /// Gives up ownership: the caller now holds the reference.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

/// Thrown inside binding code when a Python exception is already set; the
/// entry wrapper returns null and leaves the exception in place.
struct PythonErrorSet {};

/// Throws PythonErrorSet when `ok` is false.
inline void ensure(bool ok) {
  if (!ok) throw PythonErrorSet{};
}

/// Throws PythonErrorSet when `p` is null; returns `p`.
template <class T>
inline T* ensure(T* p) {
  if (p == nullptr) throw PythonErrorSet{};
  return p;
}

}  // namespace vosket::py
