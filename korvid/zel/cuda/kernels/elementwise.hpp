// Binary element-wise kernels.
#pragma once
#include "../../core/fixed_point.hpp"

namespace zel {

#define ZEL_BINARY_BODY(name, expr)                                                              \
    ZEL_HD void name##_body(const ThreadCtx& t, const Fp* a, const Fp* b, Fp* out, int n) {     \
        if ((long long)t.x >= n) return;                                                         \
        const Fp& x = a[t.x];                                                                    \
        const Fp& y = b[t.x];                                                                    \
        out[t.x] = (expr);                                                                       \
    }

ZEL_BINARY_BODY(fp_add_kernel, fp_add(x, y))
ZEL_BINARY_BODY(fp_sub_kernel, fp_sub(x, y))
ZEL_BINARY_BODY(fp_mul_kernel, fp_mul(x, y))
ZEL_BINARY_BODY(fp_div_kernel, fp_div(x, y))

}  // namespace zel

#define ZEL_BINARY_ENTRY(X, name) X(name, (const Fp* a, const Fp* b, Fp* out, int n), (a, b, out, n))

#define ZEL_KERNELS_ELEMENTWISE(X)      \
    ZEL_BINARY_ENTRY(X, fp_add_kernel)  \
    ZEL_BINARY_ENTRY(X, fp_sub_kernel)  \
    ZEL_BINARY_ENTRY(X, fp_mul_kernel)  \
    ZEL_BINARY_ENTRY(X, fp_div_kernel)
