// Unary kernels: one record in, one record out.  The math lives in
// elementary.hpp; fp_exp, fp_log and fp_sqrt are also called by other
// kernel bodies (softmax).
#pragma once
#include "../../core/fixed_point.hpp"
#include "elementary.hpp"
#include "elementwise.hpp"

namespace zel {

#define ZEL_UNARY_BODY(name, expr)                                                    \
    ZEL_HD void name##_body(const ThreadCtx& t, const Fp* a, Fp* out, int n) {       \
        if ((long long)t.x >= n) return;                                              \
        const Fp x = a[t.x];                                                          \
        out[t.x] = (expr);                                                            \
    }

ZEL_UNARY_BODY(fp_neg_kernel, fp_neg(x))
ZEL_UNARY_BODY(fp_abs_kernel, fp_abs(x))
ZEL_UNARY_BODY(fp_sign_kernel, fp_signum(x))
ZEL_UNARY_BODY(fp_relu_kernel, fp_relu(x))
ZEL_UNARY_BODY(fp_sigmoid_kernel, fp_sigmoid(x))
ZEL_UNARY_BODY(fp_tanh_kernel, fp_tanh(x))
ZEL_UNARY_BODY(fp_gelu_kernel, fp_gelu(x))
ZEL_UNARY_BODY(fp_silu_kernel, fp_silu(x))
ZEL_UNARY_BODY(fp_exp_kernel, fp_exp(x))
ZEL_UNARY_BODY(fp_log_kernel, fp_log(x))
ZEL_UNARY_BODY(fp_sin_kernel, fp_sin(x))
ZEL_UNARY_BODY(fp_cos_kernel, fp_cos(x))
ZEL_UNARY_BODY(fp_sqrt_kernel, fp_sqrt(x))
ZEL_UNARY_BODY(fp_asin_kernel, fp_asin(x))
ZEL_UNARY_BODY(fp_acos_kernel, fp_acos(x))
ZEL_UNARY_BODY(fp_atan_kernel, fp_atan(x))
ZEL_UNARY_BODY(fp_ceil_kernel, fp_ceil_int(x))
ZEL_UNARY_BODY(fp_floor_kernel, fp_floor_int(x))
ZEL_UNARY_BODY(fp_round_kernel, fp_round_int(x))
ZEL_UNARY_BODY(fp_trunc_kernel, fp_trunc_int(x))
ZEL_UNARY_BODY(fp_frac_kernel, fp_frac_part(x))
ZEL_UNARY_BODY(fp_sinh_kernel, fp_sinh_cosh(x, false))
ZEL_UNARY_BODY(fp_cosh_kernel, fp_sinh_cosh(x, true))
ZEL_UNARY_BODY(fp_asinh_kernel, fp_asinh(x))
ZEL_UNARY_BODY(fp_acosh_kernel, fp_acosh(x))

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
inline constexpr Rule fp_neg_kernel_bounds = holds_n, fp_abs_kernel_bounds = holds_n;
inline constexpr Rule fp_sign_kernel_bounds = holds_n, fp_relu_kernel_bounds = holds_n;
inline constexpr Rule fp_sigmoid_kernel_bounds = holds_n, fp_tanh_kernel_bounds = holds_n;
inline constexpr Rule fp_gelu_kernel_bounds = holds_n, fp_silu_kernel_bounds = holds_n;
inline constexpr Rule fp_exp_kernel_bounds = holds_n, fp_log_kernel_bounds = holds_n;
inline constexpr Rule fp_sin_kernel_bounds = holds_n, fp_cos_kernel_bounds = holds_n;
inline constexpr Rule fp_sqrt_kernel_bounds = holds_n, fp_asin_kernel_bounds = holds_n;
inline constexpr Rule fp_acos_kernel_bounds = holds_n, fp_atan_kernel_bounds = holds_n;
inline constexpr Rule fp_ceil_kernel_bounds = holds_n, fp_floor_kernel_bounds = holds_n;
inline constexpr Rule fp_round_kernel_bounds = holds_n, fp_trunc_kernel_bounds = holds_n;
inline constexpr Rule fp_frac_kernel_bounds = holds_n, fp_sinh_kernel_bounds = holds_n;
inline constexpr Rule fp_cosh_kernel_bounds = holds_n, fp_asinh_kernel_bounds = holds_n;
inline constexpr Rule fp_acosh_kernel_bounds = holds_n;

inline void fp_leaky_relu_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(1), L.nonneg({0});
    L.need(0, iv[0]), L.need(1, iv[0]), L.need(2, iv[0] > 0);
}

ZEL_BINARY_BOUNDS(fp_atan2)
}  // namespace bounds
#endif

}  // namespace zel

#define ZEL_UNARY_ENTRY(X, name) X(name, (const Fp* a, Fp* out, int n), (a, out, n))

#define ZEL_KERNELS_UNARY(X)                                                                        \
    ZEL_UNARY_ENTRY(X, fp_neg_kernel)                                                               \
    ZEL_UNARY_ENTRY(X, fp_abs_kernel)                                                               \
    ZEL_UNARY_ENTRY(X, fp_sign_kernel)                                                              \
    ZEL_UNARY_ENTRY(X, fp_relu_kernel)                                                              \
    X(fp_leaky_relu_kernel, (const Fp* a, Fp* out, const Fp* slope, int n), (a, out, slope, n))    \
    ZEL_UNARY_ENTRY(X, fp_sigmoid_kernel)                                                           \
    ZEL_UNARY_ENTRY(X, fp_tanh_kernel)                                                              \
    ZEL_UNARY_ENTRY(X, fp_gelu_kernel)                                                              \
    ZEL_UNARY_ENTRY(X, fp_silu_kernel)                                                              \
    ZEL_UNARY_ENTRY(X, fp_exp_kernel)                                                               \
    ZEL_UNARY_ENTRY(X, fp_log_kernel)                                                               \
    ZEL_UNARY_ENTRY(X, fp_sin_kernel)                                                               \
    ZEL_UNARY_ENTRY(X, fp_cos_kernel)                                                               \
    ZEL_UNARY_ENTRY(X, fp_sqrt_kernel)                                                              \
    ZEL_UNARY_ENTRY(X, fp_asin_kernel)                                                              \
    ZEL_UNARY_ENTRY(X, fp_acos_kernel)                                                              \
    ZEL_UNARY_ENTRY(X, fp_atan_kernel)                                                              \
    ZEL_BINARY_ENTRY(X, fp_atan2)                                                                   \
    ZEL_UNARY_ENTRY(X, fp_ceil_kernel)                                                              \
    ZEL_UNARY_ENTRY(X, fp_floor_kernel)                                                             \
    ZEL_UNARY_ENTRY(X, fp_round_kernel)                                                             \
    ZEL_UNARY_ENTRY(X, fp_trunc_kernel)                                                             \
    ZEL_UNARY_ENTRY(X, fp_frac_kernel)                                                              \
    ZEL_UNARY_ENTRY(X, fp_sinh_kernel)                                                              \
    ZEL_UNARY_ENTRY(X, fp_cosh_kernel)                                                              \
    ZEL_UNARY_ENTRY(X, fp_asinh_kernel)                                                             \
    ZEL_UNARY_ENTRY(X, fp_acosh_kernel)
