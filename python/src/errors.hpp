#pragma once
/// How failures cross into Python.

#include "py_ref.hpp"
#include "vosket/error.hpp"

namespace vosket::py {

/// The internal-failure exception class (derived directly from
/// BaseException), created once per process on first use.
PyObject* internal_error_type();

/// Sets a ValueError carrying the error's rendered text.
void set_vosket_error(const VosketError& error);

/// Converts the C++ exception being handled into a Python exception. Call
/// only from inside a catch block.
void translate_current_exception() noexcept;

/// Runs `body` (returning a new reference or null with an exception set) so
/// that no C++ exception escapes into the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

/// Same for slots returning int (-1 on error).
template <class F>
int guarded_int(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    translate_current_exception();
    return -1;
  }
}

/// Same for slots returning Py_ssize_t (-1 on error).
template <class F>
Py_ssize_t guarded_ssize(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    translate_current_exception();
    return -1;
  }
}

}  // namespace vosket::py
