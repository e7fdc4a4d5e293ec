// Conversion kernels between doubles and records.
#pragma once
#include "../../core/fixed_point.hpp"

namespace zel {

ZEL_HD void fp_from_double_kernel_body(const ThreadCtx& t, const double* in, Fp* out, int n) {
    if ((long long)t.x >= n) return;
    out[t.x] = fp_from_double(in[t.x]);
}

ZEL_HD void fp_to_double_kernel_body(const ThreadCtx& t, const Fp* in, double* out, int n) {
    if ((long long)t.x >= n) return;
    out[t.x] = fp_to_double(in[t.x]);
}

}  // namespace zel

#define ZEL_KERNELS_CONVERT(X)                                                 \
    X(fp_from_double_kernel, (const double* in, Fp* out, int n), (in, out, n)) \
    X(fp_to_double_kernel, (const Fp* in, double* out, int n), (in, out, n))

// Bounds of raw launches (host only, see bounds.hpp).
#ifndef __CUDACC__
#include "bounds.hpp"
namespace zel::bounds {
inline constexpr Rule fp_from_double_kernel_bounds = holds_n, fp_to_double_kernel_bounds = holds_n;
}  // namespace zel::bounds
#endif
