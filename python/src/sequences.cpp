#include "types.hpp"

namespace vosket::py {
PyTypeObject* sequences_type() { return nullptr; }  // DEV stub
}  // namespace vosket::py
