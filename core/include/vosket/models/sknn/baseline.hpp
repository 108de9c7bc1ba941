#pragma once
/// SKNN: binary query, cosine neighbours; an item scores the summed
/// similarities of the kept neighbours that contain it.

#include "vosket/models/sknn/common.hpp"

namespace vosket {

using Sknn = SessionKnn<detail::kSknnVariant>;

}  // namespace vosket
