// Elementary functions of one record, faithful to the last bit.
//
// Each function reduces its argument exactly or with >= 64 guard bits, works
// in the Q63.320 format of wide.hpp (Q63.576 for exp with large results),
// and rounds once, to nearest, at the end.  The working error stays near
// 2^-310, so results are correctly rounded except within ~2^-50 ulp of a tie.
#pragma once
#include "wide.hpp"
#include "elementary_tables.hpp"

namespace zel {

using W5 = Wf<5>;
using W9 = Wf<9>;

ZEL_HD int64_t clamp64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Magnitude compare against an integer power of two 2^(256+e) (value 2^e).
ZEL_HD int mag_cmp_pow2(const uint64_t* m, int e) {
    int tb = mag_top_bit<NLIMB>(m);
    int p = 256 + e;
    if (tb != p) return tb < p ? -1 : 1;
    return mag_any_below<NLIMB>(m, p) ? 1 : 0;
}

// Integer part of |x| when it fits 63 bits, else -1.
ZEL_HD int64_t mag_int_small(const uint64_t* m) {
    if (m[5] | m[6] | m[7] || (m[4] >> 62)) return -1;
    return (int64_t)m[4];
}

// ------------------------------------------------------------------- exp

template <int F>
ZEL_HD Wf<F> wf_ln2() {
    static_assert(F == 5 || F == 9, "working formats are Q63.320 and Q63.576");
    return F == 5 ? wf_load<F>(ZT_LN2_5(), 6) : wf_load<F>(ZT_LN2_9(), 10);
}

// round(a / ln 2) for |a| < 2^31, from a * 2^32.
template <int F>
ZEL_HD int64_t wf_exp_k(const Wf<F>& a) {
    int64_t aq = (int64_t)((a.l[F] << 32) | (a.l[F - 1] >> 32));
    bool neg = aq < 0;
    uint64_t m = neg ? 0ull - (uint64_t)aq : (uint64_t)aq;
    uint64_t lo, hi;
    mul64(m, 6196328019ull, lo, hi);  // round(2^32 / ln 2)
    int64_t k = (int64_t)(hi + (lo >> 63));
    return neg ? -k : k;
}

// exp(r) for |r| <= ln2/2 (+ slack): two table steps leave |t| <= 2^-15.
template <int F>
ZEL_HDN Wf<F> wf_exp_reduced(const Wf<F>& r) {
    int64_t j1 = clamp64(wf_round_bits<F>(r, 7), ZT_EXP1_LO, ZT_EXP1_HI);
    Wf<F> t = wf_sub_frac<F>(r, j1, 7);
    int64_t j2 = clamp64(wf_round_bits<F>(t, 14), ZT_EXP2_LO, ZT_EXP2_HI);
    t = wf_sub_frac<F>(t, j2, 14);
    Wf<F> p = wf_horner<F>(ZT_EXPC(), 10, F == 5 ? ZT_EXP_DEG5 : ZT_EXP_DEG9, t, 15);
    Wf<F> e = wf_mul(wf_load<F>(ZT_EXP1() + (j1 - ZT_EXP1_LO) * 10, 10),
                     wf_load<F>(ZT_EXP2() + (j2 - ZT_EXP2_LO) * 10, 10));
    return wf_mul(e, p);
}

// a - k ln 2
template <int F>
ZEL_HD Wf<F> wf_exp_arg(const Wf<F>& a, int64_t k) {
    Wf<F> kl = wf_mul_u(wf_ln2<F>(), (uint64_t)(k < 0 ? -k : k));
    return wf_sub(a, wf_cneg(kl, k < 0));
}

// exp(a) for a <= 0 as a working value (0 below 2^-320).
ZEL_HDN W5 wf_exp_nonpos(const W5& a) {
    if ((int64_t)a.l[5] < -300) return wf_int<5>(0);
    int64_t k = wf_exp_k<5>(a);
    W5 e = wf_exp_reduced<5>(wf_exp_arg<5>(a, k));
    if (k >= 0) return e;
    return wf_shr_pos(e, (int)-k);
}

ZEL_HD Fp fp_exp(const Fp& x) {
    if (fp_is_zero(x)) return fp_from_int(1);
    bool neg = fp_neg_sign(x);
    if (!neg) {
        int64_t ip = mag_int_small(x.limb);
        if (ip < 0 || ip >= 178) return fp_max_mag(false);  // e^178 > 2^256
    } else if (mag_cmp<NLIMB>(x.limb, ZT_FP_EXP_FLUSH()) > 0) {
        return fp_zero();  // x < -256 ln 2: e^x < 2^-256
    }
    W5 a = wf_cneg(wf_from_mag<5>(x.limb), neg);
    int64_t k = wf_exp_k<5>(a);
    // Up to 2^40 the result keeps 2^-270 absolute accuracy at 320 bits;
    // larger ones need 256 + k significant bits.
    if (k <= 40) return wf_to_fp(wf_exp_reduced<5>(wf_exp_arg<5>(a, k)), (int)k);
    W9 a9 = wf_from_mag<9>(x.limb);
    return wf_to_fp(wf_exp_reduced<9>(wf_exp_arg<9>(a9, k)), (int)k);
}

// ------------------------------------------------------------------- log

// log(m) for m in [1, 2): m1 = m c1/256 (|m1 - 1| < 0.0056), then
// m2 = m1 (1 - j2/2^14) (|m2 - 1| < 2^-14), then the log1p series.
ZEL_HDN W5 wf_log_mant(const W5& m) {
    int j = (int)(m.l[4] >> 57);
    uint64_t c1 = ZT_LOG_C1()[j];
    W5 m1 = wf_shr(wf_mul_u(m, c1), 8);
    int64_t j2 = clamp64(wf_round_bits<5>(wf_sub(m1, wf_int<5>(1)), 14), ZT_LOG2_LO, ZT_LOG2_HI);
    W5 d = wf_shr(wf_cneg(wf_mul_u(m1, (uint64_t)(j2 < 0 ? -j2 : j2)), j2 < 0), 14);
    W5 t = wf_sub(wf_sub(m1, d), wf_int<5>(1));
    W5 s = wf_mul(t, wf_horner<5>(ZT_LOGC(), 6, ZT_LOG_DEG, t, ZT_LOG_TBITS));
    W5 l = wf_add(wf_load<5>(ZT_LOG1() + 6 * j, 6), wf_load<5>(ZT_LOG2() + 6 * (j2 - ZT_LOG2_LO), 6));
    return wf_add(l, s);
}

// ln of a non-zero record magnitude as a working value.
ZEL_HD W5 wf_log_mag(const uint64_t* mag) {
    int tb = mag_top_bit<NLIMB>(mag);
    W5 m;
    for (int i = 0; i <= 5; ++i) m.l[i] = mag_bits64<NLIMB>(mag, tb - 320 + 64 * i);
    int e = tb - 256;
    W5 el = wf_cneg(wf_mul_u(wf_ln2<5>(), (uint64_t)(e < 0 ? -e : e)), e < 0);
    return wf_add(wf_log_mant(m), el);
}

ZEL_HD Fp fp_log(const Fp& x) {
    if (fp_is_zero(x) || fp_neg_sign(x)) return fp_max_mag(true);
    return wf_to_fp(wf_log_mag(x.limb));
}

// ------------------------------------------------------------------ sqrt

// Correctly rounded: s = isqrt(M 2^256), up by one when M 2^256 - s^2 > s
// (no ties: that would need a square equal to s^2 + s + 1/4).
ZEL_HD Fp fp_sqrt(const Fp& x) {
    if (fp_is_zero(x) || fp_neg_sign(x)) return fp_zero();
    uint64_t n[12];
    for (int i = 0; i < 4; ++i) n[i] = 0;
    for (int i = 0; i < NLIMB; ++i) n[4 + i] = x.limb[i];
    uint64_t s[6];
    mag_isqrt12(n, s);
    uint64_t sq[12], rem[12], s12[12];
    mag_mul(sq, s, 6, s, 6);
    mag_sub<12>(rem, n, sq);
    for (int i = 0; i < 12; ++i) s12[i] = i < 6 ? s[i] : 0;
    uint64_t out[NLIMB];
    for (int i = 0; i < NLIMB; ++i) out[i] = i < 6 ? s[i] : 0;
    if (mag_cmp<12>(rem, s12) > 0) mag_inc<NLIMB>(out);
    return fp_make(out, false);
}

// --------------------------------------------------------------- sin, cos

// |x| = k pi/2 + r with |r| <= pi/4 (+2^-60); q = k mod 4.  pi/2 carries 640
// fractional bits, so r keeps 2^-320 accuracy for every |x| < 2^256.
ZEL_HDN W5 wf_reduce_pio2(const uint64_t* mag, int& q) {
    int nm = mag_len<NLIMB>(mag);
    uint64_t p[13];
    for (int i = 0; i < 13; ++i) p[i] = 0;
    mag_mul(p, mag, nm, ZT_TWO_OVER_PI(), 5);
    uint64_t c = 0;
    p[8] = addc(p[8], 1ull << 63, c);  // + 1/2, then k = floor(p / 2^576)
    for (int i = 9; i < 13; ++i) p[i] = addc(p[i], 0, c);
    const uint64_t* k = p + 9;
    q = (int)(k[0] & 3);
    int nk = mag_len<4>(k);
    if (nk == 0) return wf_from_mag<5>(mag);
    uint64_t xs[16], kp[16], d[16];
    for (int i = 0; i < 16; ++i) xs[i] = kp[i] = 0;
    for (int i = 0; i < NLIMB; ++i) xs[6 + i] = mag[i];
    mag_mul(kp, k, nk, ZT_PIO2_BIG(), 11);
    mag_sub<16>(d, xs, kp);
    W5 r;
    for (int i = 0; i <= 5; ++i) r.l[i] = d[5 + i];
    return r;
}

// sin(r) (want_cos false) or cos(r) for |r| <= 0.8: r = j/64 + t, |t| <= 2^-7.
ZEL_HDN W5 wf_sin_cos(const W5& r, bool want_cos) {
    bool neg = wf_is_neg(r);
    W5 a = wf_cneg(r, neg);
    int64_t j = clamp64(wf_round_bits<5>(a, 6), 0, ZT_SC_HI);
    W5 t = wf_sub_frac<5>(a, j, 6);
    W5 u = wf_mul(t, t);
    W5 st = wf_mul(t, wf_horner<5>(ZT_SINC(), 6, ZT_SIN_DEG, u, 14));
    W5 ct = wf_horner<5>(ZT_COSC(), 6, ZT_COS_DEG, u, 14);
    W5 sa = wf_load<5>(ZT_SIN_TAB() + 6 * j, 6), ca = wf_load<5>(ZT_COS_TAB() + 6 * j, 6);
    if (want_cos) return wf_sub(wf_mul(ca, ct), wf_mul(sa, st));
    return wf_cneg(wf_add(wf_mul(sa, ct), wf_mul(ca, st)), neg);
}

// sin (cos_shift 0) or cos (cos_shift 1) of a record: cos x = sin(x + pi/2)
// shifts the quadrant by one.
ZEL_HD Fp fp_sin_cos(const Fp& x, int cos_shift) {
    int q;
    W5 r = wf_reduce_pio2(x.limb, q);
    bool neg = cos_shift ? false : fp_neg_sign(x) && !fp_is_zero(x);
    q = (q + cos_shift) & 3;
    W5 v = wf_sin_cos(r, (q & 1) != 0);
    if (q >= 2) neg = !neg;
    return wf_to_fp(wf_cneg(v, neg));
}

ZEL_HD Fp fp_sin(const Fp& x) { return fp_sin_cos(x, 0); }
ZEL_HD Fp fp_cos(const Fp& x) { return fp_sin_cos(x, 1); }

// ------------------------------------------------------------------ atan

// atan(y) for 0 <= y <= 1: c = j/256, t = (y - c)/(1 + y c), |t| <= 2^-9.
ZEL_HDN W5 wf_atan01(const W5& y) {
    int64_t j = clamp64(wf_round_bits<5>(y, 8), 0, ZT_ATAN_N);
    W5 num = wf_sub_frac<5>(y, j, 8);
    W5 den = wf_add(wf_int<5>(1), wf_shr(wf_mul_u(y, (uint64_t)j), 8));
    W5 t = wf_div(num, den);
    W5 s = wf_mul(t, wf_horner<5>(ZT_ATANC(), 6, ZT_ATAN_DEG, wf_mul(t, t), 18));
    return wf_add(wf_load<5>(ZT_ATAN_TAB() + 6 * j, 6), s);
}

// 1/|x| for |x| > 1 (magnitude m): 2^576 / M truncated at 2^-320.
ZEL_HD W5 wf_recip_mag(const uint64_t* m) {
    uint64_t u[10], q[10], rem[NLIMB];
    for (int i = 0; i < 10; ++i) u[i] = q[i] = 0;
    u[9] = 1;
    mag_divmod<10>(u, 10, m, mag_len<NLIMB>(m), q, rem);
    W5 inv;
    for (int i = 0; i <= 5; ++i) inv.l[i] = q[i];
    return inv;
}

ZEL_HD Fp fp_atan(const Fp& x) {
    if (fp_is_zero(x)) return fp_zero();
    bool neg = fp_neg_sign(x);
    W5 res;
    if (mag_cmp_pow2(x.limb, 0) <= 0) {
        res = wf_atan01(wf_from_mag<5>(x.limb));
    } else {
        // atan|x| = pi/2 - atan(1/|x|).
        res = wf_sub(wf_load<5>(ZT_PIO2_5(), 6), wf_atan01(wf_recip_mag(x.limb)));
    }
    return wf_to_fp(wf_cneg(res, neg));
}

// atan2(y, x) in (-pi, pi], quadrants as C's atan2: atan of the smaller
// magnitude over the larger (a quotient in [0, 1] at 2^-320, so no step
// saturates however far apart the operands are), placed in its octant.
// Zero y with negative x gives +pi (records have no negative zero);
// atan2(0, 0) = 0.
ZEL_HD Fp fp_atan2(const Fp& y, const Fp& x) {
    bool yz = fp_is_zero(y), xz = fp_is_zero(x);
    if (yz && xz) return fp_zero();
    int c = mag_cmp<NLIMB>(y.limb, x.limb);
    const uint64_t* num = c <= 0 ? y.limb : x.limb;
    const uint64_t* den = c <= 0 ? x.limb : y.limb;
    int nn = mag_len<NLIMB>(num), nd = mag_len<NLIMB>(den);
    W5 r = wf_int<5>(0);  // floor(num * 2^320 / den) <= 2^320
    if (nn > 0 && 5 + nn >= nd) {
        uint64_t u[NLIMB + 5], q[NLIMB + 5], rem[NLIMB];
        for (int i = 0; i < NLIMB + 5; ++i) u[i] = q[i] = 0;
        for (int i = 0; i < nn; ++i) u[5 + i] = num[i];
        mag_divmod<NLIMB + 5>(u, 5 + nn, den, nd, q, rem);
        for (int i = 0; i <= 5; ++i) r.l[i] = q[i];
    }
    W5 a = wf_atan01(r);
    W5 pio2 = wf_load<5>(ZT_PIO2_5(), 6);
    if (c > 0) a = wf_sub(pio2, a);
    if (fp_neg_sign(x) && !xz) a = wf_sub(wf_add(pio2, pio2), a);
    return wf_to_fp(wf_cneg(a, fp_neg_sign(y) && !yz));
}

// ------------------------------------------------------------ asin, acos

// asin(z) for 0 <= z <= 1/2 as atan(z / sqrt(1 - z^2)).
ZEL_HDN W5 wf_asin_half(const W5& z) {
    W5 w2 = wf_sub(wf_int<5>(1), wf_mul(z, z));
    uint64_t n[12], s[6];
    for (int i = 0; i < 12; ++i) n[i] = 0;
    for (int i = 0; i <= 5; ++i) n[5 + i] = w2.l[i];
    mag_isqrt12(n, s);
    W5 w;
    for (int i = 0; i <= 5; ++i) w.l[i] = s[i];
    return wf_atan01(wf_div(z, w));
}

// sqrt((1 - |x|)/2) at 2^-320 from the exact 1 - |x|, for 1/2 < |x| <= 1:
// the half-angle step keeps asin and acos accurate next to +-1.
ZEL_HDN W5 wf_half_versin_root(const uint64_t* mag) {
    uint64_t d[12], n[12], s[6];
    for (int i = 0; i < 12; ++i) d[i] = 0;
    for (int i = 0; i < NLIMB; ++i) d[i] = (i == FRAC_LIMBS ? 1ull : 0ull);
    mag_sub<NLIMB>(d, d, mag);
    mag_shl<12>(n, d, 383);  // d 2^-256 / 2 at 2^-640
    mag_isqrt12(n, s);
    W5 z;
    for (int i = 0; i <= 5; ++i) z.l[i] = s[i];
    return z;
}

// |x| clamped to 1.
ZEL_HD void mag_clamp_one(const uint64_t* m, uint64_t* out) {
    bool over = mag_cmp_pow2(m, 0) > 0;
    for (int i = 0; i < NLIMB; ++i) out[i] = over ? (i == FRAC_LIMBS ? 1ull : 0ull) : m[i];
}

ZEL_HD Fp fp_asin(const Fp& x) {
    if (fp_is_zero(x)) return fp_zero();
    bool neg = fp_neg_sign(x);
    uint64_t m[NLIMB];
    mag_clamp_one(x.limb, m);
    W5 res;
    if (mag_cmp_pow2(m, -1) <= 0) {
        res = wf_asin_half(wf_from_mag<5>(m));
    } else {
        W5 a = wf_asin_half(wf_half_versin_root(m));
        res = wf_sub(wf_load<5>(ZT_PIO2_5(), 6), wf_add(a, a));
    }
    return wf_to_fp(wf_cneg(res, neg));
}

ZEL_HD Fp fp_acos(const Fp& x) {
    bool neg = fp_neg_sign(x) && !fp_is_zero(x);
    uint64_t m[NLIMB];
    mag_clamp_one(x.limb, m);
    W5 res;
    if (mag_cmp_pow2(m, -1) <= 0) {
        res = wf_sub(wf_load<5>(ZT_PIO2_5(), 6), wf_cneg(wf_asin_half(wf_from_mag<5>(m)), neg));
    } else {
        W5 a = wf_asin_half(wf_half_versin_root(m));
        a = wf_add(a, a);
        res = neg ? wf_sub(wf_load<5>(ZT_PI_5(), 6), a) : a;
    }
    return wf_to_fp(res);
}

// ------------------------------------------------------------ activations

ZEL_HD Fp fp_tanh(const Fp& x) {
    if (fp_is_zero(x)) return fp_zero();
    bool neg = fp_neg_sign(x);
    int64_t ip = mag_int_small(x.limb);
    if (ip < 0 || ip >= 128) return fp_from_int(neg ? -1 : 1);  // 1 - tanh < 2^-368
    W5 a = wf_from_mag<5>(x.limb);
    W5 e = wf_exp_nonpos(wf_neg(wf_add(a, a)));
    W5 one = wf_int<5>(1);
    return wf_to_fp(wf_cneg(wf_div(wf_sub(one, e), wf_add(one, e)), neg));
}

// 1/(1 + e^-a) for |a| < 2^31, from e^-|a| <= 1 only.
ZEL_HDN W5 wf_sigmoid(const W5& a) {
    bool neg = wf_is_neg(a);
    W5 e = wf_exp_nonpos(wf_cneg(a, !neg));
    W5 den = wf_add(wf_int<5>(1), e);
    return wf_div(neg ? e : wf_int<5>(1), den);
}

ZEL_HD Fp fp_sigmoid(const Fp& x) {
    bool neg = fp_neg_sign(x) && !fp_is_zero(x);
    int64_t ip = mag_int_small(x.limb);
    if (ip < 0 || ip >= 256) return neg ? fp_zero() : fp_from_int(1);  // e^-256 < 2^-369
    return wf_to_fp(wf_sigmoid(wf_cneg(wf_from_mag<5>(x.limb), neg)));
}

ZEL_HD Fp fp_silu(const Fp& x) {
    bool neg = fp_neg_sign(x) && !fp_is_zero(x);
    int64_t ip = mag_int_small(x.limb);
    if (ip < 0 || ip >= 256) return neg ? fp_zero() : fp_canon(x);  // |x| e^-|x| < 2^-360
    W5 a = wf_cneg(wf_from_mag<5>(x.limb), neg);
    return wf_to_fp(wf_mul(a, wf_sigmoid(a)));
}

// erf(z) for 0 <= z <= 14.2 by Taylor expansion about z0 = j/16:
// erf(z0 + h) = erf(z0) + (2/sqrt(pi)) e^(-z0^2) h sum_m (-1)^m b_m h^m/(m+1)
// with b_m = H_m(z0)/m!, b_(m+1) = (2 z0 b_m - 2 b_(m-1))/(m+1), |h| <= 1/32.
ZEL_HDN W5 wf_erf(const W5& z) {
    int64_t j = clamp64(wf_round_bits<5>(z, 4), 0, ZT_ERF_HI);
    W5 h = wf_sub_frac<5>(z, j, 4);
    W5 sum = wf_int<5>(0), hp = wf_int<5>(1), bprev = wf_int<5>(0), b = wf_int<5>(1);
    int small = 0;
    for (int m = 0; m < 200 && small < 2; ++m) {
        W5 term = wf_div_u(wf_mul(b, hp), (uint64_t)(m + 1));
        sum = (m & 1) ? wf_sub(sum, term) : wf_add(sum, term);
        W5 at = wf_abs(term);
        bool tiny = (at.l[5] | at.l[4] | at.l[3] | at.l[2] | at.l[1]) == 0 && (at.l[0] >> 12) == 0;
        small = (tiny && m >= 2) ? small + 1 : 0;
        W5 bn = wf_sub(wf_shr(wf_mul_u(b, (uint64_t)j), 3), wf_add(bprev, bprev));
        bprev = b;
        b = wf_div_u(bn, (uint64_t)(m + 1));
        hp = wf_mul(hp, h);
    }
    W5 d = wf_mul(wf_load<5>(ZT_ERF_E() + 6 * j, 6), wf_mul(h, sum));
    return wf_add(wf_load<5>(ZT_ERF_TAB() + 6 * j, 6), d);
}

// x Phi(x) = x (1 + erf(x/sqrt 2))/2; beyond |x| = 20 the tail is below 2^-280.
ZEL_HD Fp fp_gelu(const Fp& x) {
    if (fp_is_zero(x)) return fp_zero();
    bool neg = fp_neg_sign(x);
    int64_t ip = mag_int_small(x.limb);
    if (ip < 0 || ip >= 20) return neg ? fp_zero() : fp_canon(x);
    W5 a = wf_from_mag<5>(x.limb);
    W5 e = wf_erf(wf_mul(a, wf_load<5>(ZT_RSQRT2_5(), 6)));
    W5 one = wf_int<5>(1);
    W5 phi = wf_shr(neg ? wf_sub(one, e) : wf_add(one, e), 1);
    return wf_to_fp(wf_cneg(wf_mul(a, phi), neg));
}

// -------------------------------------------------------- rounding family

ZEL_HD bool fp_has_frac(const Fp& x) { return (x.limb[0] | x.limb[1] | x.limb[2] | x.limb[3]) != 0; }

// Integer part of |x|, plus one when `up`; saturates when 2^256 is reached.
ZEL_HD Fp fp_int_part(const Fp& x, bool up, bool neg) {
    uint64_t m[NLIMB];
    for (int i = 0; i < NLIMB; ++i) m[i] = i < FRAC_LIMBS ? 0 : x.limb[i];
    if (up && mag_inc<NLIMB - FRAC_LIMBS>(m + FRAC_LIMBS)) return fp_max_mag(neg);
    return fp_make(m, neg);
}

ZEL_HD Fp fp_trunc_int(const Fp& x) { return fp_int_part(x, false, fp_neg_sign(x)); }

ZEL_HD Fp fp_floor_int(const Fp& x) {
    bool neg = fp_neg_sign(x);
    return fp_int_part(x, neg && fp_has_frac(x), neg);
}

ZEL_HD Fp fp_ceil_int(const Fp& x) {
    bool neg = fp_neg_sign(x);
    return fp_int_part(x, !neg && fp_has_frac(x), neg);
}

// Half to even, symmetric in the sign.
ZEL_HD Fp fp_round_int(const Fp& x) {
    const uint64_t h = 1ull << 63;
    bool below = (x.limb[0] | x.limb[1] | x.limb[2]) != 0;
    bool up = x.limb[3] > h || (x.limb[3] == h && (below || (x.limb[4] & 1)));
    return fp_int_part(x, up, fp_neg_sign(x));
}

ZEL_HD Fp fp_frac_part(const Fp& x) {
    uint64_t m[NLIMB];
    for (int i = 0; i < NLIMB; ++i) m[i] = i < FRAC_LIMBS ? x.limb[i] : 0;
    return fp_make(m, fp_neg_sign(x));
}

ZEL_HD Fp fp_signum(const Fp& x) {
    if (fp_is_zero(x)) return fp_zero();
    return fp_from_int(fp_neg_sign(x) ? -1 : 1);
}

ZEL_HD Fp fp_relu(const Fp& x) { return fp_neg_sign(x) ? fp_zero() : fp_canon(x); }

ZEL_HD Fp fp_leaky_relu(const Fp& x, const Fp& slope) {
    return (fp_neg_sign(x) && !fp_is_zero(x)) ? fp_mul(x, slope) : fp_canon(x);
}

// ------------------------------------------------------ hyperbolic functions
// sinh, cosh, asinh and acosh evaluate the module's compositions record for
// record where those are right, and switch to a dedicated wide path only
// where a step of the composition saturates although the result fits.

// e^|x|/2 +- e^-|x|/2 for |x| where e^|x| leaves the format (|x| > 177.4):
// e^|x| = E 2^k in Q63.576, the small term from the Q63.320 exponential.
ZEL_HDN Fp fp_exp_half_far(const Fp& x, bool minus, bool neg) {
    int64_t ip = mag_int_small(x.limb);
    if (ip < 0 || ip >= 179) return fp_max_mag(neg);  // e^179/2 > 2^256
    W9 a = wf_from_mag<9>(x.limb);
    int64_t k = wf_exp_k<9>(a);
    W9 big = wf_exp_reduced<9>(wf_exp_arg<9>(a, k));  // value E, E 2^k = e^|x|
    // e^-|x|/2 = T 2^-321 in units of 2^(k-1-576): T 2^(256-k).
    W5 t = wf_exp_nonpos(wf_neg(wf_from_mag<5>(x.limb)));
    uint64_t tt[10];
    for (int i = 0; i < 10; ++i) tt[i] = i <= 5 ? t.l[i] : 0;
    const int sh = 256 - (int)k;
    uint64_t ts[10];
    if (sh >= 0) {
        mag_shl<10>(ts, tt, sh);
    } else {
        mag_shr<10>(ts, tt, -sh);
    }
    if (minus) {
        mag_sub<10>(big.l, big.l, ts);
    } else {
        mag_add<10>(big.l, big.l, ts);
    }
    return fp_round_mag<10>(big.l, 576 - 256 - ((int)k - 1), neg);
}

ZEL_HD Fp fp_half_rec() {
    Fp h = fp_zero();
    h.limb[FRAC_LIMBS - 1] = 1ull << 63;
    return h;
}

ZEL_HD bool fp_is_max_mag(const Fp& x) {
    uint64_t acc = ~0ull;
    for (int i = 0; i < NLIMB; ++i) acc &= x.limb[i];
    return acc == ~0ull;
}

// (exp(x) -+ exp(-x)) * 0.5, each step rounded as the module's operations
// round it, unless an exponential saturates.
ZEL_HD Fp fp_sinh_cosh(const Fp& x, bool cosh) {
    const Fp e1 = fp_exp(x);
    const Fp e2 = fp_exp(fp_neg(x));
    if (fp_is_max_mag(e1) || fp_is_max_mag(e2)) {
        bool neg = !cosh && fp_neg_sign(x) && !fp_is_zero(x);
        return fp_exp_half_far(x, !cosh, neg);
    }
    const Fp s = cosh ? fp_add(e1, e2) : fp_sub(e1, e2);
    return fp_mul(s, fp_half_rec());
}

// ln(2|x|) +- 1/(4x^2) for |x| >= 2^64 (the next term is below 2^-258).
ZEL_HDN Fp fp_log_2x_far(const Fp& x, bool minus, bool neg) {
    W5 l = wf_add(wf_log_mag(x.limb), wf_ln2<5>());
    // (1/|x|)^2 / 4.
    const W5 inv = wf_recip_mag(x.limb);
    W5 c = wf_shr(wf_mul(inv, inv), 2);
    l = minus ? wf_sub(l, c) : wf_add(l, c);
    return wf_to_fp(wf_cneg(l, neg));
}

// sign(x) ln(|x| + sqrt(x^2 + 1)) as composed; the far form where x^2 + 1
// saturates (|x| next to or above 2^128).
ZEL_HD Fp fp_asinh(const Fp& x) {
    const Fp sq = fp_add(fp_mul(x, x), fp_from_int(1));
    if (fp_is_max_mag(sq)) return fp_log_2x_far(x, false, fp_neg_sign(x) && !fp_is_zero(x));
    const Fp l = fp_log(fp_add(fp_abs(x), fp_sqrt(sq)));
    return fp_mul(fp_signum(x), l);
}

// ln(x + sqrt(x^2 - 1)) as composed; the far form where x^2 saturates.
ZEL_HD Fp fp_acosh(const Fp& x) {
    const Fp sq = fp_mul(x, x);
    if (fp_is_max_mag(sq) && !fp_neg_sign(x)) return fp_log_2x_far(x, true, false);
    return fp_log(fp_add(x, fp_sqrt(fp_sub(sq, fp_from_int(1)))));
}

}  // namespace zel
