#include "types.hpp"

namespace vosket::py {
PyTypeObject* popularity_type() { return nullptr; }  // DEV stub
PyTypeObject* random_type() { return nullptr; }  // DEV stub
}  // namespace vosket::py
