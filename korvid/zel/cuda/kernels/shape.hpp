// Fill and shape kernels.
#pragma once
#include "../../core/fixed_point.hpp"

namespace zel {

ZEL_HD void fp_zeros_kernel_body(const ThreadCtx& t, Fp* out, int n) {
    if ((long long)t.x >= n) return;
    out[t.x] = fp_zero();
}

ZEL_HD void fp_ones_kernel_body(const ThreadCtx& t, Fp* out, int n) {
    if ((long long)t.x >= n) return;
    out[t.x] = fp_from_int(1);
}

}  // namespace zel

#define ZEL_KERNELS_SHAPE(X)                              \
    X(fp_zeros_kernel, (Fp * out, int n), (out, n))       \
    X(fp_ones_kernel, (Fp * out, int n), (out, n))
