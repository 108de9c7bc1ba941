#pragma once
/// Argument binding and conversion shared by every entry point.
///
/// A function is a trampoline that binds its arguments against a static
/// Signature (producing every binding message), converts each bound value
/// with the converters below (producing every conversion message), and then
/// calls a typed implementation.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "py_ref.hpp"

namespace vosket::py {

struct Param {
  const char* name;
  bool keyword_only = false;
  bool required = true;
};

struct Signature {
  /// Display name used in messages, e.g. "Popularity.recommend()".
  const char* display;
  std::span<const Param> params;
};

/// Binds vectorcall arguments. On success `out[i]` holds a borrowed reference
/// to the value of params[i], or null when it was omitted. On failure sets a
/// TypeError and returns false.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);

/// Same for a classic (args tuple, kwargs dict) call, as tp_new receives.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// --- converters: each returns false with a Python exception set -----------

bool to_u64(PyObject* obj, std::uint64_t& out);
bool to_usize(PyObject* obj, std::size_t& out);
bool to_i64(PyObject* obj, std::int64_t& out);
/// A str, as UTF-8.
bool to_text(PyObject* obj, std::string& out);
/// A bool or a NumPy boolean scalar; an int is not a flag.
bool to_flag(PyObject* obj, bool& out);
/// A sequence (not a str) of integers, read by iterating it.
bool to_id_list(PyObject* obj, std::vector<std::int64_t>& out);

/// A sequence of sequences of integers, flattened: list i is
/// values[offsets[i] .. offsets[i+1]).
struct IdLists {
  std::vector<std::int64_t> values;
  std::vector<std::size_t> offsets{0};
  std::size_t size() const noexcept { return offsets.size() - 1; }
};
bool to_id_lists(PyObject* obj, IdLists& out);

/// `obj` is an instance of `type` (named `type_name` in the message).
bool check_instance(PyObject* obj, PyTypeObject* type, const char* type_name);

/// Sets TypeError "'{type}' object is not an instance of '{expected}'".
void set_not_instance(PyObject* obj, const char* expected);

/// If the pending exception is a TypeError, replaces it with
/// TypeError("argument '{param}': {message}") keeping its cause.
void prefix_argument_error(const char* param);

/// Converts with `convert`, prefixing a TypeError with the parameter name.
template <class F>
bool convert_named(const char* param, F&& convert) {
  if (convert()) return true;
  prefix_argument_error(param);
  return false;
}

/// The `__name__` of obj's type, for messages.
std::string type_name_of(PyObject* obj);

}  // namespace vosket::py
