// The working format of the elementary functions: Q63.(64F) fixed point in
// F+1 limbs, two's complement, one signed integer limb on top.  F = 5 (320
// fractional bits, 64 guard bits over a record) serves every function whose
// result needs absolute accuracy only; F = 9 (576 bits) carries exp where
// its result reaches 2^256 and needs ~520 significant bits.  All arithmetic
// is exact integer work, so both backends produce the same bits.
#pragma once
#include "../../core/fixed_point.hpp"

#if defined(__CUDACC__)
// Large helpers stay out of line on the device: inlining them into every
// kernel would multiply code size and compile time.
#define ZEL_HDN __host__ __device__ __noinline__
#else
#define ZEL_HDN inline
#endif

namespace zel {

template <int F>
struct Wf {
    uint64_t l[F + 1];
};

template <int F>
ZEL_HD Wf<F> wf_int(int64_t v) {
    Wf<F> r;
    for (int i = 0; i < F; ++i) r.l[i] = 0;
    r.l[F] = (uint64_t)v;
    return r;
}

template <int F>
ZEL_HD bool wf_is_neg(const Wf<F>& a) {
    return (int64_t)a.l[F] < 0;
}

template <int F>
ZEL_HD bool wf_is_zero(const Wf<F>& a) {
    return mag_is_zero<F + 1>(a.l);
}

// a + b, or a - b when Sub, modulo 2^(64(F+1)).
template <bool Sub, int F>
ZEL_HD Wf<F> wf_add_or_sub(const Wf<F>& a, const Wf<F>& b) {
    Wf<F> r;
#if defined(ZEL_X86_CARRY)
    unsigned char c = 0;
    for (int i = 0; i <= F; ++i) {
        unsigned long long* ri = (unsigned long long*)&r.l[i];
        c = Sub ? _subborrow_u64(c, a.l[i], b.l[i], ri) : _addcarry_u64(c, a.l[i], b.l[i], ri);
    }
#else
    if (Sub) {
        mag_sub<F + 1>(r.l, a.l, b.l);
    } else {
        mag_add<F + 1>(r.l, a.l, b.l);
    }
#endif
    return r;
}

template <int F>
ZEL_HD Wf<F> wf_add(const Wf<F>& a, const Wf<F>& b) {
    return wf_add_or_sub<false>(a, b);
}

template <int F>
ZEL_HD Wf<F> wf_sub(const Wf<F>& a, const Wf<F>& b) {
    return wf_add_or_sub<true>(a, b);
}

template <int F>
ZEL_HD Wf<F> wf_neg(const Wf<F>& a) {
    Wf<F> r;
#if defined(ZEL_X86_CARRY)
    unsigned char c = 0;
    for (int i = 0; i <= F; ++i) c = _subborrow_u64(c, 0, a.l[i], (unsigned long long*)&r.l[i]);
#else
    uint64_t c = 1;
    for (int i = 0; i <= F; ++i) r.l[i] = addc(~a.l[i], 0, c);
#endif
    return r;
}

template <int F>
ZEL_HD Wf<F> wf_abs(const Wf<F>& a) {
    return wf_is_neg(a) ? wf_neg(a) : a;
}

template <int F>
ZEL_HD Wf<F> wf_cneg(const Wf<F>& a, bool neg) {
    return neg ? wf_neg(a) : a;
}

// Top F+1 limbs of a table entry of `width` limbs with the same integer limb.
template <int F>
ZEL_HD Wf<F> wf_load(const uint64_t* c, int width) {
    Wf<F> r;
    for (int i = 0; i <= F; ++i) r.l[i] = c[width - 1 - F + i];
    return r;
}

// Arithmetic shift right by 0 <= s < 64 (rounds toward -inf).
template <int F>
ZEL_HD Wf<F> wf_shr(const Wf<F>& a, int s) {
    if (s == 0) return a;
    Wf<F> r;
    for (int i = 0; i < F; ++i) r.l[i] = (a.l[i] >> s) | (a.l[i + 1] << (64 - s));
    r.l[F] = (uint64_t)((int64_t)a.l[F] >> s);
    return r;
}

// Shift right of a non-negative value by any s >= 0.
template <int F>
ZEL_HD Wf<F> wf_shr_pos(const Wf<F>& a, int s) {
    Wf<F> r;
    if (s >= 64 * (F + 1)) {
        for (int i = 0; i <= F; ++i) r.l[i] = 0;
        return r;
    }
    mag_shr<F + 1>(r.l, a.l, s);
    return r;
}

// round(a * 2^bits) for results well inside an int64 (0 < bits < 64).
template <int F>
ZEL_HD int64_t wf_round_bits(const Wf<F>& a, int bits) {
    Wf<F> h = wf_int<F>(0);
    h.l[F - 1] = 1ull << (63 - bits);
    Wf<F> t = wf_add(a, h);
    return (int64_t)((t.l[F] << bits) | (t.l[F - 1] >> (64 - bits)));
}

// a - j * 2^-bits (0 < bits < 64).
template <int F>
ZEL_HD Wf<F> wf_sub_frac(const Wf<F>& a, int64_t j, int bits) {
    Wf<F> b;
    for (int i = 0; i < F; ++i) b.l[i] = 0;
    b.l[F - 1] = (uint64_t)j << (64 - bits);
    b.l[F] = (uint64_t)(j >> bits);
    return wf_sub(a, b);
}

// (c2:c1:c0) += a * b
ZEL_HD void mac3(uint64_t& c0, uint64_t& c1, uint64_t& c2, uint64_t a, uint64_t b) {
#if defined(ZEL_X86_CARRY)
    unsigned __int128 p = (unsigned __int128)a * b;
    unsigned long long t0, t1;
    unsigned char cf = _addcarry_u64(0, c0, (uint64_t)p, &t0);
    cf = _addcarry_u64(cf, c1, (uint64_t)(p >> 64), &t1);
    c0 = t0;
    c1 = t1;
    c2 += cf;
#else
    uint64_t lo, hi;
    mul64(a, b, lo, hi);
    c0 += lo;
    hi += c0 < lo;  // hi <= 2^64 - 2: no wrap
    c1 += hi;
    c2 += c1 < hi;
#endif
}

// Column-wise product of the columns >= F-1+LO, limbs F..2F kept.
template <int F, int LO>
ZEL_HD void wf_umul_cols(uint64_t* r, const uint64_t* a, const uint64_t* b) {
    uint64_t s0 = 0, s1 = 0, s2 = 0;
#if defined(__CUDA_ARCH__)
#pragma unroll
#else
#pragma GCC unroll 16
#endif
    for (int c = F - 1 + LO; c <= 2 * F; ++c) {
#if defined(__CUDA_ARCH__)
#pragma unroll
#else
#pragma GCC unroll 16
#endif
        for (int i = (c - F > 0 ? c - F : 0); i <= (c < F ? c : F); ++i) mac3(s0, s1, s2, a[i], b[c - i]);
        if (c >= F) r[c - F] = s0;
        s0 = s1;
        s1 = s2;
        s2 = 0;
    }
}

// Unsigned product of two (F+1)-limb magnitudes, scaled back by 2^-64F and
// truncated to the partial products of columns >= F-1+lo.  The result is
// accurate to about 2^(64 lo + 4) units of 2^-64F, which Horner steps whose
// error is later scaled by a small power exploit.
template <int F>
ZEL_HDN void wf_umul(uint64_t* r, const uint64_t* a, const uint64_t* b, int lo) {
    switch (lo) {
        case 0: wf_umul_cols<F, 0>(r, a, b); break;
        case 1: wf_umul_cols<F, 1>(r, a, b); break;
        case 2: wf_umul_cols<F, 2>(r, a, b); break;
        case 3: wf_umul_cols<F, 3>(r, a, b); break;
        case 4: wf_umul_cols<F, (4 < F ? 4 : F - 1)>(r, a, b); break;
        case 5: wf_umul_cols<F, (5 < F ? 5 : F - 1)>(r, a, b); break;
        case 6: wf_umul_cols<F, (6 < F ? 6 : F - 1)>(r, a, b); break;
        default: wf_umul_cols<F, (7 < F ? 7 : F - 1)>(r, a, b); break;
    }
}

template <int F>
ZEL_HD Wf<F> wf_mul(const Wf<F>& a, const Wf<F>& b, int lo = 0) {
    bool na = wf_is_neg(a), nb = wf_is_neg(b);
    Wf<F> ua = wf_cneg(a, na), ub = wf_cneg(b, nb);
    Wf<F> r;
    wf_umul<F>(r.l, ua.l, ub.l, lo);
    return wf_cneg(r, na != nb);
}

// a * k for a small unsigned k (two's complement product, no overflow).
template <int F>
ZEL_HD Wf<F> wf_mul_u(const Wf<F>& a, uint64_t k) {
    Wf<F> r;
    uint64_t carry = 0;
    for (int i = 0; i <= F; ++i) {
        uint64_t lo, hi;
        mul64(a.l[i], k, lo, hi);
        uint64_t c = 0;
        lo = addc(lo, carry, c);
        r.l[i] = lo;
        carry = hi + c;
    }
    return r;
}

// a / k toward zero, k > 0.
template <int F>
ZEL_HDN Wf<F> wf_div_u(const Wf<F>& a, uint64_t k) {
    bool na = wf_is_neg(a);
    Wf<F> u = wf_cneg(a, na), q;
    int s = clz64(k);
    uint64_t d = k << s, rem = 0;
    // Normalised short division over the shifted magnitude.
    rem = s ? (u.l[F] >> (64 - s)) : 0;
    for (int i = F; i >= 0; --i) {
        uint64_t w = (u.l[i] << s) | (s && i > 0 ? u.l[i - 1] >> (64 - s) : 0);
        uint64_t rr;
        q.l[i] = divlu(rem, w, d, rr);
        rem = rr;
    }
    return wf_cneg(q, na);
}

// a / b truncated, b != 0; the quotient must fit the format.
template <int F>
ZEL_HDN Wf<F> wf_div(const Wf<F>& a, const Wf<F>& b) {
    bool na = wf_is_neg(a), nb = wf_is_neg(b);
    Wf<F> ua = wf_cneg(a, na), ub = wf_cneg(b, nb);
    uint64_t u[2 * F + 1];
    for (int i = 0; i < F; ++i) u[i] = 0;
    for (int i = 0; i <= F; ++i) u[F + i] = ua.l[i];
    int m = mag_len<2 * F + 1>(u), n = mag_len<F + 1>(ub.l);
    Wf<F> r = wf_int<F>(0);
    if (n == 0 || m < n) return r;
    uint64_t q[2 * F + 1], rem[F + 1];
    mag_divmod<2 * F + 1>(u, m, ub.l, n, q, rem);
    int qn = m - n + 1;
    for (int i = 0; i <= F && i < qn; ++i) r.l[i] = q[i];
    return wf_cneg(r, na != nb);
}

// p(x) = sum c_n x^n, n = 0..deg, coefficients of `width` limbs.  |x| <=
// 2^-bits, so the error of step n is scaled by 2^(-bits n) and the step
// may drop that many low bits.
template <int F>
ZEL_HDN Wf<F> wf_horner(const uint64_t* c, int width, int deg, const Wf<F>& x, int bits) {
    Wf<F> p = wf_load<F>(c + deg * width, width);
    for (int n = deg - 1; n >= 0; --n) {
        int lo = (bits * n - 6) / 64;
        if (lo < 0) lo = 0;
        if (lo > F - 1) lo = F - 1;
        p = wf_add(wf_mul(p, x, lo), wf_load<F>(c + n * width, width));
    }
    return p;
}

// Rounds the magnitude mag (N limbs) times 2^-s to the record grid, ties to
// even, saturating at MAX.
template <int N>
ZEL_HD Fp fp_round_mag(const uint64_t* mag, int s, bool neg) {
    if (mag_top_bit<N>(mag) >= s + 64 * NLIMB) return fp_max_mag(neg);
    uint64_t out[NLIMB];
    for (int i = 0; i < NLIMB; ++i) out[i] = mag_bits64<N>(mag, s + 64 * i);
    if (s > 0) {
        bool half = (mag_bits64<N>(mag, s - 1) & 1) != 0;
        bool sticky = mag_any_below<N>(mag, s - 1);
        if (half && (sticky || (out[0] & 1))) {
            if (mag_inc<NLIMB>(out)) return fp_max_mag(neg);
        }
    }
    return fp_make(out, neg);
}

// A working value times 2^e as a record.
template <int F>
ZEL_HD Fp wf_to_fp(const Wf<F>& a, int e = 0) {
    bool neg = wf_is_neg(a);
    Wf<F> m = wf_cneg(a, neg);
    return fp_round_mag<F + 1>(m.l, 64 * F - 256 - e, neg);
}

// |x| of a record as a working value; |x| must be below 2^63.
template <int F>
ZEL_HD Wf<F> wf_from_mag(const uint64_t* mag) {
    Wf<F> r;
    for (int i = 0; i <= F; ++i) {
        int k = i - (F - FRAC_LIMBS);
        r.l[i] = (k >= 0 && k < NLIMB) ? mag[k] : 0;
    }
    return r;
}

// floor(sqrt(n)) of a 64-bit value, bit by bit.
ZEL_HD uint64_t isqrt64(uint64_t v) {
    uint64_t r = 0, bit = 1ull << 62;
    while (bit > v) bit >>= 2;
    while (bit) {
        if (v >= r + bit) {
            v -= r + bit;
            r = (r >> 1) + bit;
        } else {
            r >>= 1;
        }
        bit >>= 2;
    }
    return r;
}

// One Newton step of the root of the top 2K limbs of the normalised N
// (12 limbs, top limb >= 2^62): y = (x + T/x)/2 with x the K'-limb root of
// the previous step scaled up, clamped to K limbs (the root of T fits).
template <int K, int KP>
ZEL_HD void isqrt_step(const uint64_t* n12, const uint64_t* yprev, uint64_t* y) {
    uint64_t x[K], q[2 * K + 1], rem[K], s[K + 1];
    for (int i = 0; i < K; ++i) x[i] = i < K - KP ? 0 : yprev[i - (K - KP)];
    for (int i = 0; i <= 2 * K; ++i) q[i] = 0;
    mag_divmod<2 * K>(n12 + 12 - 2 * K, 2 * K, x, K, q, rem);
    uint64_t c = 0;
    for (int i = 0; i < K; ++i) s[i] = addc(x[i], q[i], c);
    s[K] = q[K] + c;
    for (int i = 0; i < K; ++i) s[i] = (s[i] >> 1) | (s[i + 1] << 63);
    bool over = (s[K] >> 1) != 0;
    for (int i = 0; i < K; ++i) y[i] = over ? ~0ull : s[i];
}

// s = floor(sqrt(n)) for n of 12 limbs, s of 6 limbs.  n is shifted by an
// even amount until its top limb is >= 2^62; Newton steps then double the
// precision on ever longer heads of it (64, 128, 256, 384 bits), so only
// the last division is full length, and an exact remainder check settles
// the last unit.
ZEL_HDN void mag_isqrt12(const uint64_t* n, uint64_t* s) {
    for (int i = 0; i < 6; ++i) s[i] = 0;
    int tb = mag_top_bit<12>(n);
    if (tb < 0) return;
    int t = (767 - tb) / 2;
    uint64_t nn[12];
    mag_shl<12>(nn, n, 2 * t);
    uint64_t y1[1] = {isqrt64(nn[11]) << 32}, y2[2], y4[4], y[6];
    isqrt_step<1, 1>(nn, y1, y1);
    isqrt_step<2, 1>(nn, y1, y2);
    isqrt_step<4, 2>(nn, y2, y4);
    isqrt_step<6, 4>(nn, y4, y);
    // Exact correction: r = N - y^2 must satisfy 0 <= r <= 2y.
    uint64_t sq[12], r[12];
    mag_mul(sq, y, 6, y, 6);
    while (mag_cmp<12>(sq, nn) > 0) {
        uint64_t y2x[12] = {0};
        for (int i = 0; i < 6; ++i) y2x[i] = y[i];
        mag_shl<12>(y2x, y2x, 1);
        mag_sub<12>(sq, sq, y2x);  // (y-1)^2 = y^2 - 2y + 1
        mag_inc<12>(sq);
        uint64_t one[6] = {1, 0, 0, 0, 0, 0};
        mag_sub<6>(y, y, one);
    }
    for (;;) {
        mag_sub<12>(r, nn, sq);
        uint64_t y2x[12] = {0};
        for (int i = 0; i < 6; ++i) y2x[i] = y[i];
        mag_shl<12>(y2x, y2x, 1);
        if (mag_cmp<12>(r, y2x) <= 0) break;
        mag_add<12>(sq, sq, y2x);  // (y+1)^2 = y^2 + 2y + 1
        mag_inc<12>(sq);
        mag_inc<6>(y);
    }
    mag_shr<6>(s, y, t);
}

// ------------------------------------------------------- wide floating point
// A positive value m * 2^e with a normalised 640-bit mantissa (top bit of
// m[9] set), m = 0 for zero.  Powers of a record in this form keep a relative
// error below 2^-638 per product, whatever the magnitude: integer powers of
// tiny or huge values (negative powers, p-norms) stay accurate where the
// record grid would round them away or saturate.
constexpr int XLIMB = 10;

struct Xf {
    uint64_t m[XLIMB];
    int64_t e;
};

// |x| of a record magnitude (value M 2^-256), exactly.
ZEL_HD Xf xf_from_mag(const uint64_t* mag) {
    Xf r;
    int tb = mag_top_bit<NLIMB>(mag);
    for (int i = 0; i < XLIMB; ++i) r.m[i] = 0;
    r.e = 0;
    if (tb < 0) return r;
    uint64_t t[XLIMB];
    for (int i = 0; i < XLIMB; ++i) t[i] = i < NLIMB ? mag[i] : 0;
    mag_shl<XLIMB>(r.m, t, 64 * XLIMB - 1 - tb);
    r.e = (int64_t)tb - (64 * XLIMB - 1) - 256;
    return r;
}

// a * b truncated to 640 bits; `inexact` is set when non-zero bits drop.
ZEL_HDN Xf xf_mul(const Xf& a, const Xf& b, bool& inexact) {
    uint64_t p[2 * XLIMB];
    mag_mul(p, a.m, XLIMB, b.m, XLIMB);
    Xf r;
    // Normalised factors give a product with its top bit at 1278 or 1279.
    const int sh = (p[2 * XLIMB - 1] >> 63) ? 64 * XLIMB : 64 * XLIMB - 1;
    if (mag_any_below<2 * XLIMB>(p, sh)) inexact = true;
    uint64_t t[2 * XLIMB];
    mag_shr<2 * XLIMB>(t, p, sh);
    for (int i = 0; i < XLIMB; ++i) r.m[i] = t[i];
    r.e = a.e + b.e + sh;
    return r;
}

// x^k for k >= 1 by left-to-right binary powering (x != 0).
ZEL_HDN Xf xf_pow(const Xf& x, uint32_t k, bool& inexact) {
    Xf r = x;
    int top = 63 - clz64((uint64_t)k);
    for (int i = top - 1; i >= 0; --i) {
        r = xf_mul(r, r, inexact);
        if ((k >> i) & 1u) r = xf_mul(r, x, inexact);
    }
    return r;
}

}  // namespace zel
