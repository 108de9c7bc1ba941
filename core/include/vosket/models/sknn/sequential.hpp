#pragma once
/// S-SKNN: cosine neighbours; from each one, the items after its anchor
/// (the last occurrence of the newest shared query item) score
/// similarity / distance.

#include "vosket/models/sknn/common.hpp"

namespace vosket {

using SSknn = SessionKnn<detail::kSSknnVariant>;

}  // namespace vosket
