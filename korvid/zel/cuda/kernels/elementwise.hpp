// Binary element-wise kernels: arithmetic, comparisons, mod, integer power,
// clamp and select.
//
// The documented kernels read both operands element by element (i < n).  The
// *_bcast_ variants take a step per operand (0 or 1), so that a one-record
// operand is applied to every element without materialising n copies of it;
// the host picks them whenever one side holds a single record.
#pragma once
#include "../../core/fixed_point.hpp"
#include "wide.hpp"

namespace zel {

// ------------------------------------------------------------ primitives

// Floored remainder, like Python's % on the exact values: the result takes
// the divisor's sign; a zero divisor gives 0.  Exact (|r| < |b|, so it never
// overflows): both records share the scale 2^256, so the remainder of the
// magnitudes is the remainder of the values.
ZEL_HD Fp fp_mod(const Fp& a, const Fp& b) {
    int nb = mag_len<NLIMB>(b.limb);
    int na = mag_len<NLIMB>(a.limb);
    if (nb == 0 || na == 0) return fp_zero();
    uint64_t r[NLIMB];
    if (mag_cmp<NLIMB>(a.limb, b.limb) < 0) {
        for (int i = 0; i < NLIMB; ++i) r[i] = a.limb[i];
    } else {
        uint64_t q[NLIMB + 1], rr[NLIMB];
        mag_divmod<NLIMB>(a.limb, na, b.limb, nb, q, rr);
        for (int i = 0; i < NLIMB; ++i) r[i] = i < nb ? rr[i] : 0;
    }
    bool an = fp_neg_sign(a), bn = fp_neg_sign(b);
    if (an != bn && !mag_is_zero<NLIMB>(r)) mag_sub<NLIMB>(r, b.limb, r);
    return fp_make(r, bn);
}

// |x|^-m for m >= 1 (x != 0): |x|^m in the 640-bit floating form, then one
// division rounded to nearest.  Faithful over the whole range; correctly
// rounded (ties to even) whenever |x|^m is exact in that form, which covers
// every power that is exact on the record grid.
ZEL_HDN Fp fp_pow_neg_mag(const Fp& x, uint32_t m, bool neg) {
    bool inexact = false;
    const Xf y = xf_pow(xf_from_mag(x.limb), m, inexact);
    // 1/y in units of 2^-256 is 2^(256-e)/mant, mant in [2^639, 2^640).
    if (y.e <= -896) return fp_max_mag(neg);  // above 2^512 units
    if (y.e > -382) return fp_zero();         // below 1/4 unit
    uint64_t u[2 * XLIMB + 2], q[2 * XLIMB + 2], rem[XLIMB];
    for (int i = 0; i < 2 * XLIMB + 2; ++i) u[i] = q[i] = 0;
    u[2 * XLIMB + 1] = 1;  // 2^1344
    mag_divmod<2 * XLIMB + 2>(u, 2 * XLIMB + 2, y.m, XLIMB, q, rem);
    if (!mag_is_zero<XLIMB>(rem)) q[0] |= 1;  // sticky: the shift below is >= 193 bits
    return fp_round_mag<2 * XLIMB + 2>(q, (int)(1088 + y.e), neg);
}

// x^e by left-to-right binary powering: each square and each multiplication
// by x is one correctly rounded fp_mul.  x^0 = 1 (0^0 too).  A negative
// exponent divides once by |x|^|e| held in the wide floating form
// (fp_pow_neg_mag); 0^-m saturates to +MAX.
ZEL_HD Fp fp_pow_int(const Fp& x, int e) {
    uint32_t m = e < 0 ? 0u - (uint32_t)e : (uint32_t)e;
    Fp one = fp_from_int(1);
    if (m == 0) return one;
    Fp base = fp_canon(x);
    if (e < 0) {
        if (fp_is_zero(base)) return fp_max_mag(false);
        return fp_pow_neg_mag(base, m, fp_neg_sign(base) && (m & 1u));
    }
    Fp r = base;
    int top = 63 - clz64((uint64_t)m);
    for (int i = top - 1; i >= 0; --i) {
        if (fp_is_zero(r)) break;  // stays zero
        r = fp_mul(r, r);
        if ((m >> i) & 1u) r = fp_mul(r, base);
    }
    return r;
}

// Limits x to [lo, hi]; with lo > hi the result is hi (lower bound applied
// first, then the upper, as numpy.clip does).
ZEL_HD Fp fp_clamp(const Fp& x, const Fp& lo, const Fp& hi) {
    const Fp* v = &x;
    if (fp_cmp(*v, lo) < 0) v = &lo;
    if (fp_cmp(*v, hi) > 0) v = &hi;
    return fp_canon(*v);
}

// ------------------------------------------------------------ kernels

#define ZEL_BINARY_BODY(name, expr)                                                                    \
    ZEL_HD void name##_kernel_body(const ThreadCtx& t, const Fp* a, const Fp* b, Fp* out, int n) {     \
        if ((long long)t.x >= n) return;                                                               \
        const Fp& x = a[t.x];                                                                          \
        const Fp& y = b[t.x];                                                                          \
        out[t.x] = (expr);                                                                             \
    }                                                                                                  \
    ZEL_HD void name##_bcast_kernel_body(const ThreadCtx& t, const Fp* a, const Fp* b, Fp* out, int n, \
                                         int a_step, int b_step) {                                     \
        if ((long long)t.x >= n) return;                                                               \
        const Fp& x = a[(size_t)t.x * a_step];                                                         \
        const Fp& y = b[(size_t)t.x * b_step];                                                         \
        out[t.x] = (expr);                                                                             \
    }

#define ZEL_COMPARE_BODY(name, rel)                                                                         \
    ZEL_HD void name##_kernel_body(const ThreadCtx& t, const Fp* a, const Fp* b, int32_t* out, int n) {     \
        if ((long long)t.x >= n) return;                                                                    \
        out[t.x] = (fp_cmp(a[t.x], b[t.x]) rel 0) ? 1 : 0;                                                  \
    }                                                                                                       \
    ZEL_HD void name##_bcast_kernel_body(const ThreadCtx& t, const Fp* a, const Fp* b, int32_t* out, int n, \
                                         int a_step, int b_step) {                                          \
        if ((long long)t.x >= n) return;                                                                    \
        out[t.x] = (fp_cmp(a[(size_t)t.x * a_step], b[(size_t)t.x * b_step]) rel 0) ? 1 : 0;                \
    }

ZEL_BINARY_BODY(fp_add, fp_add(x, y))
ZEL_BINARY_BODY(fp_sub, fp_sub(x, y))
ZEL_BINARY_BODY(fp_mul, fp_mul(x, y))
ZEL_BINARY_BODY(fp_div, fp_div(x, y))
ZEL_BINARY_BODY(fp_mod, fp_mod(x, y))

ZEL_COMPARE_BODY(fp_eq, ==)
ZEL_COMPARE_BODY(fp_ne, !=)
ZEL_COMPARE_BODY(fp_lt, <)
ZEL_COMPARE_BODY(fp_le, <=)
ZEL_COMPARE_BODY(fp_gt, >)
ZEL_COMPARE_BODY(fp_ge, >=)

ZEL_HD void fp_pow_int_kernel_body(const ThreadCtx& t, const Fp* a, Fp* out, int exp, int n) {
    if ((long long)t.x >= n) return;
    out[t.x] = fp_pow_int(a[t.x], exp);
}

// lo and hi are single records applied to every element.
ZEL_HD void fp_clamp_kernel_body(const ThreadCtx& t, const Fp* a, Fp* out, const Fp* lo, const Fp* hi,
                                 int n) {
    if ((long long)t.x >= n) return;
    out[t.x] = fp_clamp(a[t.x], lo[0], hi[0]);
}

ZEL_HD void fp_where_kernel_body(const ThreadCtx& t, const int32_t* cond, const Fp* a, const Fp* b, Fp* out,
                                 int n) {
    if ((long long)t.x >= n) return;
    out[t.x] = fp_canon(cond[t.x] ? a[t.x] : b[t.x]);
}

ZEL_HD void fp_where_bcast_kernel_body(const ThreadCtx& t, const int32_t* cond, const Fp* a, const Fp* b,
                                       Fp* out, int n, int b_step) {
    if ((long long)t.x >= n) return;
    out[t.x] = fp_canon(cond[t.x] ? a[t.x] : b[(size_t)t.x * b_step]);
}

}  // namespace zel

#define ZEL_BINARY_ENTRY(X, name)                                                              \
    X(name##_kernel, (const Fp* a, const Fp* b, Fp* out, int n), (a, b, out, n))               \
    X(name##_bcast_kernel, (const Fp* a, const Fp* b, Fp* out, int n, int a_step, int b_step), \
      (a, b, out, n, a_step, b_step))

#define ZEL_COMPARE_ENTRY(X, name)                                                                  \
    X(name##_kernel, (const Fp* a, const Fp* b, int32_t* out, int n), (a, b, out, n))               \
    X(name##_bcast_kernel, (const Fp* a, const Fp* b, int32_t* out, int n, int a_step, int b_step), \
      (a, b, out, n, a_step, b_step))

#define ZEL_KERNELS_ELEMENTWISE(X)                                                                        \
    ZEL_BINARY_ENTRY(X, fp_add)                                                                           \
    ZEL_BINARY_ENTRY(X, fp_sub)                                                                           \
    ZEL_BINARY_ENTRY(X, fp_mul)                                                                           \
    ZEL_BINARY_ENTRY(X, fp_div)                                                                           \
    ZEL_COMPARE_ENTRY(X, fp_eq)                                                                           \
    ZEL_COMPARE_ENTRY(X, fp_ne)                                                                           \
    ZEL_COMPARE_ENTRY(X, fp_lt)                                                                           \
    ZEL_COMPARE_ENTRY(X, fp_le)                                                                           \
    ZEL_COMPARE_ENTRY(X, fp_gt)                                                                           \
    ZEL_COMPARE_ENTRY(X, fp_ge)                                                                           \
    ZEL_BINARY_ENTRY(X, fp_mod)                                                                           \
    X(fp_pow_int_kernel, (const Fp* a, Fp* out, int exp, int n), (a, out, exp, n))                        \
    X(fp_clamp_kernel, (const Fp* a, Fp* out, const Fp* lo, const Fp* hi, int n), (a, out, lo, hi, n))    \
    X(fp_where_kernel, (const int32_t* cond, const Fp* a, const Fp* b, Fp* out, int n),                   \
      (cond, a, b, out, n))                                                                               \
    X(fp_where_bcast_kernel, (const int32_t* cond, const Fp* a, const Fp* b, Fp* out, int n, int b_step), \
      (cond, a, b, out, n, b_step))

// Bounds of raw launches (host only, see bounds.hpp).
#ifndef __CUDACC__
#include "bounds.hpp"
namespace zel::bounds {

// (a, b, out, n, a_step, b_step): a step-0 operand is one record.
inline void binary_bcast(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(3), L.nonneg({0}), L.steps({1, 2});
    L.need(0, step_span(iv[0], iv[1])), L.need(1, step_span(iv[0], iv[2])), L.need(2, iv[0]);
}

#define ZEL_BINARY_BOUNDS(name) \
    inline constexpr Rule name##_kernel_bounds = holds_n, name##_bcast_kernel_bounds = binary_bcast;
ZEL_BINARY_BOUNDS(fp_add)
ZEL_BINARY_BOUNDS(fp_sub)
ZEL_BINARY_BOUNDS(fp_mul)
ZEL_BINARY_BOUNDS(fp_div)
ZEL_BINARY_BOUNDS(fp_eq)
ZEL_BINARY_BOUNDS(fp_ne)
ZEL_BINARY_BOUNDS(fp_lt)
ZEL_BINARY_BOUNDS(fp_le)
ZEL_BINARY_BOUNDS(fp_gt)
ZEL_BINARY_BOUNDS(fp_ge)
ZEL_BINARY_BOUNDS(fp_mod)

// (a, out, exp, n)
inline void fp_pow_int_kernel_bounds(const Launch& L) {
    L.ints(2), L.nonneg({1});
    L.need(0, L.iv[1]), L.need(1, L.iv[1]);
}

// (a, out, lo, hi, n): the bounds are one record each.
inline void fp_clamp_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(1), L.nonneg({0});
    L.need(0, iv[0]), L.need(1, iv[0]), L.need(2, iv[0] > 0), L.need(3, iv[0] > 0);
}

inline constexpr Rule fp_where_kernel_bounds = holds_n;

// (cond, a, b, out, n, b_step)
inline void fp_where_bcast_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(2), L.nonneg({0}), L.steps({1});
    L.need(0, iv[0]), L.need(1, iv[0]), L.need(2, step_span(iv[0], iv[1])), L.need(3, iv[0]);
}

}  // namespace zel::bounds
#endif
