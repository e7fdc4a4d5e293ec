// unary kernels.
#pragma once
#include "../../core/fixed_point.hpp"

namespace zel {
}  // namespace zel

#define ZEL_KERNELS_UNARY(X)
