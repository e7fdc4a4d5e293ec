// Unary kernels: one record in, one record out, one per entry of
// unary_list.hpp.  The math lives in elementary.hpp; fp_exp, fp_log and
// fp_sqrt are also called by other kernel bodies (softmax).
#pragma once
#include "../../core/fixed_point.hpp"
#include "elementary.hpp"
#include "elementwise.hpp"
#include "unary_list.hpp"

namespace zel {

// One body per entry of the unary list.
#define ZEL_UNARY_BODY(E, fn, py, kernel, expr, doc)                             \
    ZEL_HD void kernel##_body(const ThreadCtx& t, const Fp* a, Fp* out, int n) { \
        if ((long long)t.x >= n) return;                                         \
        const Fp x = a[t.x];                                                     \
        out[t.x] = (expr);                                                       \
    }

ZEL_UNARY_FUNCTIONS(ZEL_UNARY_BODY, _)

#undef ZEL_UNARY_BODY

// atan2(y, x) element by element; the _bcast form reads each operand with its
// own step (0 applies a one-record operand to every element).
ZEL_BINARY_BODY(fp_atan2, fp_atan2(x, y))

// The slope is one record shared by every thread.
ZEL_HD void fp_leaky_relu_kernel_body(const ThreadCtx& t, const Fp* a, Fp* out, const Fp* slope, int n) {
    if ((long long)t.x >= n) return;
    out[t.x] = fp_leaky_relu(a[t.x], slope[0]);
}

// Bounds of raw launches (host only, see bounds.hpp, which elementwise.hpp
// includes): a and out hold n records, leaky_relu's slope one.
#ifndef __CUDACC__
namespace bounds {
#define ZEL_UNARY_BOUNDS(E, fn, py, kernel, expr, doc) inline constexpr Rule kernel##_bounds = holds_n;
ZEL_UNARY_FUNCTIONS(ZEL_UNARY_BOUNDS, _)
#undef ZEL_UNARY_BOUNDS

inline void fp_leaky_relu_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(1), L.nonneg({0});
    L.need(0, iv[0]), L.need(1, iv[0]), L.need(2, iv[0] > 0);
}

ZEL_BINARY_BOUNDS(fp_atan2)
}  // namespace bounds
#endif

}  // namespace zel

#define ZEL_UNARY_ENTRY(X, fn, py, kernel, expr, doc) X(kernel, (const Fp* a, Fp* out, int n), (a, out, n))

#define ZEL_KERNELS_UNARY(X)                                                                    \
    ZEL_UNARY_FUNCTIONS(ZEL_UNARY_ENTRY, X)                                                     \
    X(fp_leaky_relu_kernel, (const Fp* a, Fp* out, const Fp* slope, int n), (a, out, slope, n)) \
    ZEL_BINARY_ENTRY(X, fp_atan2)
