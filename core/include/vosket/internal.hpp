#pragma once
/// Broken invariants and unimplemented paths. These are not expected
/// failures: the core throws InternalFailure, and the binding turns it into
/// the module's internal-failure exception.

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace vosket {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

/// A request beyond what the data model can represent (more than 2^32 items
/// or sessions, a catalogue too large to address). Reported to callers as an
/// ordinary error, not as an internal failure.
class CapacityError : public std::length_error {
 public:
  using std::length_error::length_error;
};

[[noreturn]] inline void internal_failure(std::string message) {
  throw InternalFailure(std::move(message));
}

}  // namespace vosket

#define VOSKET_CHECK(cond, message)                       \
  do {                                                    \
    if (!(cond)) [[unlikely]] ::vosket::internal_failure(message); \
  } while (false)
