// 512-bit sign-magnitude fixed-point primitives (256 fractional bits).
//
// Everything here is compiled twice: by nvcc for the GPU kernel set and by
// the host compiler for the CPU kernel set.  Results must be bit-identical,
// so only exact integer arithmetic is used; no floating point except where
// a double is the input or output of a conversion.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__CUDACC__)
#define ZEL_HD __host__ __device__ __forceinline__
#define ZEL_HD_PART ZEL_HD
#else
#define ZEL_HD inline
// A named part of a larger ZEL_HD function: inlined into it on the host too.
#define ZEL_HD_PART inline __attribute__((always_inline))
#endif

// ZEL_DEVICE_PATH selects the code the GPU runs.  A host build with
// ZEL_EMULATE_DEVICE_PATHS takes it too (intrinsics emulated below), so the
// build checks can compare the GPU's arithmetic with the CPU's, bit for bit,
// on a machine without a GPU.
#if defined(__CUDA_ARCH__) || defined(ZEL_EMULATE_DEVICE_PATHS)
#define ZEL_DEVICE_PATH 1
#endif
// ZEL_X86_CARRY: host builds on x86-64 use the carry intrinsics
// (_addcarry_u64, _subborrow_u64) for multi-limb additions.
#if !defined(__CUDACC__) && !defined(ZEL_DEVICE_PATH) && defined(__x86_64__)
#include <immintrin.h>
#define ZEL_X86_CARRY 1
#endif
#if defined(ZEL_EMULATE_DEVICE_PATHS) && !defined(__CUDA_ARCH__)
inline uint64_t __umul64hi(uint64_t a, uint64_t b) { return (uint64_t)(((unsigned __int128)a * b) >> 64); }
inline int __clzll(long long x) { return x ? __builtin_clzll((unsigned long long)x) : 64; }
inline int __ffsll(long long x) { return __builtin_ffsll(x); }
#endif

namespace zel {

constexpr int NLIMB = 8;       // 64-bit limbs in a magnitude
constexpr int FRAC_LIMBS = 4;  // limbs below the binary point

// The record as stored in every device array: 72 bytes, no padding.
struct Fp {
    int32_t sign;
    int32_t pad;
    uint64_t limb[NLIMB];
};
static_assert(sizeof(Fp) == 72, "record layout must be 72 bytes");

// Per-thread coordinates handed to every kernel body: global x/y index.
struct ThreadCtx {
    uint32_t x, y;
};

// ---------------------------------------------------------------- words

ZEL_HD void mul64(uint64_t a, uint64_t b, uint64_t& lo, uint64_t& hi) {
#if defined(ZEL_DEVICE_PATH)
    lo = a * b;
    hi = __umul64hi(a, b);
#else
    unsigned __int128 p = (unsigned __int128)a * b;
    lo = (uint64_t)p;
    hi = (uint64_t)(p >> 64);
#endif
}

ZEL_HD uint64_t addc(uint64_t a, uint64_t b, uint64_t& carry) {
    uint64_t s = a + b;
    uint64_t c1 = s < a;
    uint64_t r = s + carry;
    uint64_t c2 = r < s;
    carry = c1 | c2;
    return r;
}

ZEL_HD uint64_t subb(uint64_t a, uint64_t b, uint64_t& borrow) {
    uint64_t d = a - b;
    uint64_t b1 = a < b;
    uint64_t r = d - borrow;
    uint64_t b2 = d < borrow;
    borrow = b1 | b2;
    return r;
}

ZEL_HD int clz64(uint64_t x) {
#if defined(ZEL_DEVICE_PATH)
    return __clzll((long long)x);
#else
    return x ? __builtin_clzll(x) : 64;
#endif
}

ZEL_HD int ctz64(uint64_t x) {
#if defined(ZEL_DEVICE_PATH)
    return x ? __ffsll((long long)x) - 1 : 64;
#else
    return x ? __builtin_ctzll(x) : 64;
#endif
}

// (u1:u0) / v for a normalised v (top bit set) and u1 < v.  Exact on both
// backends; the host uses the hardware instruction where there is one.
ZEL_HD uint64_t divlu(uint64_t u1, uint64_t u0, uint64_t v, uint64_t& rem) {
#if !defined(ZEL_DEVICE_PATH) && defined(__x86_64__)
    uint64_t q, r;
    __asm__("divq %4" : "=a"(q), "=d"(r) : "a"(u0), "d"(u1), "rm"(v));
    rem = r;
    return q;
#else
    const uint64_t b = 1ull << 32;
    uint64_t vn1 = v >> 32, vn0 = v & 0xffffffffull;
    uint64_t un1 = u0 >> 32, un0 = u0 & 0xffffffffull;
    uint64_t q1 = u1 / vn1, rhat = u1 - q1 * vn1;
    while (q1 >= b || q1 * vn0 > ((rhat << 32) | un1)) {
        q1--;
        rhat += vn1;
        if (rhat >= b) break;
    }
    uint64_t un21 = (u1 << 32) + un1 - q1 * v;
    uint64_t q0 = un21 / vn1;
    rhat = un21 - q0 * vn1;
    while (q0 >= b || q0 * vn0 > ((rhat << 32) | un0)) {
        q0--;
        rhat += vn1;
        if (rhat >= b) break;
    }
    rem = (un21 << 32) + un0 - q0 * v;
    return (q1 << 32) + q0;
#endif
}

// Reciprocal of a normalised d: floor((2^128 - 1) / d) - 2^64.
ZEL_HD uint64_t reciprocal_word(uint64_t d) {
    uint64_t r;
    return divlu(~d, ~0ull, d, r);
}

// (u1:u0) / d as divlu computes it, from the reciprocal v of d: two products
// instead of a division (Moller and Granlund, "Improved division by invariant
// integers", algorithm 4).  Pays off wherever one divisor serves many steps.
ZEL_HD uint64_t divlu_pi(uint64_t u1, uint64_t u0, uint64_t d, uint64_t v, uint64_t& rem) {
    uint64_t q0, q1;
    mul64(v, u1, q0, q1);
    uint64_t c = 0;
    q0 = addc(q0, u0, c);
    q1 = q1 + u1 + c + 1;
    uint64_t r = u0 - q1 * d;
    if (r > q0) {
        q1--;
        r += d;
    }
    if (r >= d) {
        q1++;
        r -= d;
    }
    rem = r;
    return q1;
}

// Reciprocal of a normalised two-limb divisor (d1:d0) for div_3by2
// (Moller and Granlund, algorithm 6).
ZEL_HD uint64_t reciprocal_3by2(uint64_t d1, uint64_t d0) {
    uint64_t v = reciprocal_word(d1);
    uint64_t p = d1 * v + d0;
    if (p < d0) {
        v--;
        if (p >= d1) {
            v--;
            p -= d1;
        }
        p -= d1;
    }
    uint64_t t0, t1;
    mul64(v, d0, t0, t1);
    p += t1;
    if (p < t1) {
        v--;
        if (p > d1 || (p == d1 && t0 >= d0)) v--;
    }
    return v;
}

// (u2:u1:u0) / (d1:d0) for a normalised divisor and (u2:u1) < (d1:d0), with
// v = reciprocal_3by2(d1, d0): the quotient limb, remainder in (r1:r0)
// (algorithm 5 of the same paper).  Replaces Knuth's estimate-and-correct
// step for two-limb divisors.
ZEL_HD uint64_t div_3by2(uint64_t u2, uint64_t u1, uint64_t u0, uint64_t d1, uint64_t d0, uint64_t v,
                         uint64_t& r1, uint64_t& r0) {
    uint64_t q0, q1;
    mul64(v, u2, q0, q1);
    uint64_t c = 0;
    q0 = addc(q0, u1, c);
    q1 = q1 + u2 + c;
    r1 = u1 - q1 * d1;
    uint64_t t0, t1;
    mul64(d0, q1, t0, t1);
    uint64_t b = 0;
    r0 = subb(u0, t0, b);
    r1 = r1 - t1 - b;
    b = 0;
    r0 = subb(r0, d0, b);
    r1 = r1 - d1 - b;
    q1 = q1 + 1;
    if (r1 >= q0) {
        q1 = q1 - 1;
        c = 0;
        r0 = addc(r0, d0, c);
        r1 = r1 + d1 + c;
    }
    if (r1 > d1 || (r1 == d1 && r0 >= d0)) {
        q1 = q1 + 1;
        b = 0;
        r0 = subb(r0, d0, b);
        r1 = r1 - d1 - b;
    }
    return q1;
}

// ----------------------------------------------------- magnitude arrays

template <int N>
ZEL_HD bool mag_is_zero(const uint64_t* a) {
    uint64_t acc = 0;
    for (int i = 0; i < N; ++i) acc |= a[i];
    return acc == 0;
}

template <int N>
ZEL_HD int mag_cmp(const uint64_t* a, const uint64_t* b) {
    for (int i = N - 1; i >= 0; --i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

template <int N>
ZEL_HD uint64_t mag_add(uint64_t* r, const uint64_t* a, const uint64_t* b) {
    uint64_t c = 0;
    for (int i = 0; i < N; ++i) r[i] = addc(a[i], b[i], c);
    return c;
}

template <int N>
ZEL_HD uint64_t mag_sub(uint64_t* r, const uint64_t* a, const uint64_t* b) {
    uint64_t br = 0;
    for (int i = 0; i < N; ++i) r[i] = subb(a[i], b[i], br);
    return br;
}

// Adds one unit; returns the carry out of the top limb.
template <int N>
ZEL_HD uint64_t mag_inc(uint64_t* r) {
    for (int i = 0; i < N; ++i) {
        if (++r[i] != 0) return 0;
    }
    return 1;
}

// Number of significant limbs (0 for zero).
template <int N>
ZEL_HD int mag_len(const uint64_t* a) {
    int n = N;
    while (n > 0 && a[n - 1] == 0) --n;
    return n;
}

// Index of the highest set bit, -1 for zero.
template <int N>
ZEL_HD int mag_top_bit(const uint64_t* a) {
    for (int i = N - 1; i >= 0; --i) {
        if (a[i]) return 64 * i + 63 - clz64(a[i]);
    }
    return -1;
}

// 64 bits of a starting at bit lo (lo may be negative; bits outside are 0).
template <int N>
ZEL_HD uint64_t mag_bits64(const uint64_t* a, int lo) {
    if (lo <= -64 || lo >= 64 * N) return 0;
    if (lo < 0) return a[0] << (-lo);
    int w = lo >> 6, o = lo & 63;
    uint64_t v = a[w] >> o;
    if (o && w + 1 < N) v |= a[w + 1] << (64 - o);
    return v;
}

// True when any bit strictly below bit index `below` is set.
template <int N>
ZEL_HD bool mag_any_below(const uint64_t* a, int below) {
    if (below <= 0) return false;
    if (below >= 64 * N) return !mag_is_zero<N>(a);
    int w = below >> 6, o = below & 63;
    uint64_t acc = 0;
    for (int i = 0; i < w; ++i) acc |= a[i];
    if (o) acc |= a[w] & ((1ull << o) - 1);
    return acc != 0;
}

// r = a >> s (logical), for 0 <= s.
template <int N>
ZEL_HD void mag_shr(uint64_t* r, const uint64_t* a, int s) {
    int w = s >> 6, o = s & 63;
    for (int i = 0; i < N; ++i) {
        int j = i + w;
        uint64_t v = 0;
        if (j < N) {
            v = a[j] >> o;
            if (o && j + 1 < N) v |= a[j + 1] << (64 - o);
        }
        r[i] = v;
    }
}

// r = a << s, bits past the top are dropped.
template <int N>
ZEL_HD void mag_shl(uint64_t* r, const uint64_t* a, int s) {
    int w = s >> 6, o = s & 63;
    for (int i = N - 1; i >= 0; --i) {
        int j = i - w;
        uint64_t v = 0;
        if (j >= 0) {
            v = a[j] << o;
            if (o && j - 1 >= 0) v |= a[j - 1] >> (64 - o);
        }
        r[i] = v;
    }
}

// Schoolbook product of a (na limbs) and b (nb limbs) into r (na+nb limbs).
ZEL_HD void mag_mul(uint64_t* r, const uint64_t* a, int na, const uint64_t* b, int nb) {
#if !defined(ZEL_DEVICE_PATH)
    // Host: a*b + r + carry < 2^128, so each limb product is one multiply and
    // an add-with-carry chain; the first row initialises r (about twice as
    // fast as the portable form below, which the device keeps).
    if (na == 0) {
        for (int j = 0; j < nb; ++j) r[j] = 0;
        return;
    }
    uint64_t carry = 0;
    for (int j = 0; j < nb; ++j) {
        unsigned __int128 acc = (unsigned __int128)a[0] * b[j] + carry;
        r[j] = (uint64_t)acc;
        carry = (uint64_t)(acc >> 64);
    }
    r[nb] = carry;
    for (int i = 1; i < na; ++i) {
        const uint64_t ai = a[i];
        carry = 0;
        for (int j = 0; j < nb; ++j) {
            unsigned __int128 acc = (unsigned __int128)ai * b[j] + r[i + j] + carry;
            r[i + j] = (uint64_t)acc;
            carry = (uint64_t)(acc >> 64);
        }
        r[i + nb] = carry;
    }
#else
    for (int i = 0; i < na + nb; ++i) r[i] = 0;
    for (int i = 0; i < na; ++i) {
        uint64_t carry = 0;
        uint64_t ai = a[i];
        if (ai == 0) continue;
        for (int j = 0; j < nb; ++j) {
            uint64_t lo, hi;
            mul64(ai, b[j], lo, hi);
            uint64_t c = 0;
            lo = addc(lo, r[i + j], c);
            hi += c;
            c = 0;
            lo = addc(lo, carry, c);
            hi += c;
            r[i + j] = lo;
            carry = hi;
        }
        r[i + nb] = carry;
    }
#endif
}

// Division by one limb d: normalised short division, the shifted dividend
// fed word by word.  q receives m limbs, r[0] the remainder.
ZEL_HD_PART void divmod_1(const uint64_t* u, int m, uint64_t d, uint64_t* q, uint64_t* r) {
    int s = clz64(d);
    uint64_t dn = d << s;
    uint64_t dinv = reciprocal_word(dn);
    uint64_t rem = s ? (u[m - 1] >> (64 - s)) : 0;
    for (int i = m - 1; i >= 0; --i) {
        uint64_t w = (u[i] << s) | (s && i > 0 ? u[i - 1] >> (64 - s) : 0);
        uint64_t rr;
        q[i] = divlu_pi(rem, w, dn, dinv, rr);
        rem = rr;
    }
    r[0] = rem >> s;
}

// Division by two limbs v[0..1]: 3-by-2 steps with one reciprocal.  q
// receives m-1 limbs, r two.
ZEL_HD_PART void divmod_2(const uint64_t* u, int m, const uint64_t* v, uint64_t* q, uint64_t* r) {
    int s = clz64(v[1]);
    const uint64_t d1 = (v[1] << s) | (s ? v[0] >> (64 - s) : 0), d0 = v[0] << s;
    const uint64_t dinv = reciprocal_3by2(d1, d0);
    // Shifted dividend from the top: (r1:r0) carries the running remainder.
    uint64_t r1 = s ? u[m - 1] >> (64 - s) : 0;
    uint64_t r0 = (u[m - 1] << s) | (s && m > 1 ? u[m - 2] >> (64 - s) : 0);
    for (int j = m - 2; j >= 0; --j) {
        uint64_t w = (u[j] << s) | (s && j > 0 ? u[j - 1] >> (64 - s) : 0);
        q[j] = div_3by2(r1, r0, w, d1, d0, dinv, r1, r0);
    }
    r[0] = (r0 >> s) | (s ? r1 << (64 - s) : 0);
    r[1] = r1 >> s;
}

// Knuth D, step D3: the estimate of digit j of the quotient of the
// normalised un by the normalised vn (n >= 2 limbs) from the top two limbs
// and vn[n-2]; it is then at most one too large.
ZEL_HD_PART uint64_t knuth_qhat(const uint64_t* un, const uint64_t* vn, int n, int j, uint64_t vinv) {
    uint64_t qhat, rhat;
    bool rhat_big = false;
    if (un[j + n] >= vn[n - 1]) {
        qhat = ~0ull;
        uint64_t c = 0;
        rhat = addc(un[j + n - 1], vn[n - 1], c);
        rhat_big = c != 0;
    } else {
        qhat = divlu_pi(un[j + n], un[j + n - 1], vn[n - 1], vinv, rhat);
    }
    while (!rhat_big) {
        uint64_t plo, phi;
        mul64(qhat, vn[n - 2], plo, phi);
        if (phi > rhat || (phi == rhat && plo > un[j + n - 2])) {
            qhat--;
            uint64_t c = 0;
            rhat = addc(rhat, vn[n - 1], c);
            rhat_big = c != 0;
        } else {
            break;
        }
    }
    return qhat;
}

// Knuth D, steps D4-D6: un[j .. j+n] -= qhat * vn, adding vn back once when
// qhat was one too large.  Returns the digit.
ZEL_HD_PART uint64_t knuth_submul(uint64_t* un, const uint64_t* vn, int n, int j, uint64_t qhat) {
    uint64_t borrow = 0, carry = 0;
    for (int i = 0; i < n; ++i) {
        uint64_t plo, phi;
        mul64(qhat, vn[i], plo, phi);
        uint64_t c = 0;
        plo = addc(plo, carry, c);
        phi += c;
        carry = phi;
        un[i + j] = subb(un[i + j], plo, borrow);
    }
    un[j + n] = subb(un[j + n], carry, borrow);
    if (borrow) {
        qhat--;
        uint64_t c = 0;
        for (int i = 0; i < n; ++i) un[i + j] = addc(un[i + j], vn[i], c);
        un[j + n] += c;
    }
    return qhat;
}

// Knuth's algorithm D: q = u / v, r = u % v for u of m limbs, v of n limbs
// (v[n-1] != 0, m >= n).  q receives m-n+1 limbs, r n limbs.  Scratch sizes
// are bounded by MAXU limbs.
template <int MAXU>
ZEL_HD void mag_divmod(const uint64_t* u, int m, const uint64_t* v, int n, uint64_t* q, uint64_t* r) {
    if (n == 1) return divmod_1(u, m, v[0], q, r);
    if (n == 2) return divmod_2(u, m, v, q, r);
    // D1: normalise so that the divisor's top bit is set.
    uint64_t un[MAXU + 1];
    uint64_t vn[MAXU];
    int s = clz64(v[n - 1]);
    for (int i = n - 1; i > 0; --i) vn[i] = (v[i] << s) | (s ? v[i - 1] >> (64 - s) : 0);
    vn[0] = v[0] << s;
    un[m] = s ? u[m - 1] >> (64 - s) : 0;
    for (int i = m - 1; i > 0; --i) un[i] = (u[i] << s) | (s ? u[i - 1] >> (64 - s) : 0);
    un[0] = u[0] << s;
    const uint64_t vinv = reciprocal_word(vn[n - 1]);
    for (int j = m - n; j >= 0; --j) q[j] = knuth_submul(un, vn, n, j, knuth_qhat(un, vn, n, j, vinv));
    // D8: the remainder, shifted back.
    for (int i = 0; i < n - 1; ++i) r[i] = (un[i] >> s) | (s ? un[i + 1] << (64 - s) : 0);
    r[n - 1] = un[n - 1] >> s;
}

// ---------------------------------------------------------------- records

ZEL_HD bool fp_neg_sign(const Fp& a) { return a.sign < 0; }

ZEL_HD bool fp_is_zero(const Fp& a) { return mag_is_zero<NLIMB>(a.limb); }

ZEL_HD Fp fp_zero() {
    Fp r;
    r.sign = 1;
    r.pad = 0;
    for (int i = 0; i < NLIMB; ++i) r.limb[i] = 0;
    return r;
}

// Largest magnitude with the given sign: the saturation value.
ZEL_HD Fp fp_max_mag(bool negative) {
    Fp r;
    r.sign = negative ? -1 : 1;
    r.pad = 0;
    for (int i = 0; i < NLIMB; ++i) r.limb[i] = ~0ull;
    return r;
}

ZEL_HD Fp fp_from_u64(uint64_t v, bool negative) {
    Fp r = fp_zero();
    r.limb[FRAC_LIMBS] = v;
    r.sign = (negative && v) ? -1 : 1;
    return r;
}

ZEL_HD Fp fp_from_int(int64_t v) {
    uint64_t m = v < 0 ? 0ull - (uint64_t)v : (uint64_t)v;
    return fp_from_u64(m, v < 0);
}

// Canonical form of a value: sign +1 or -1, zero with +1, pad 0.
ZEL_HD Fp fp_canon(const Fp& a) {
    Fp r = a;
    r.pad = 0;
    r.sign = (a.sign < 0 && !fp_is_zero(a)) ? -1 : 1;
    return r;
}

ZEL_HD Fp fp_make(const uint64_t* mag, bool negative) {
    Fp r;
    r.pad = 0;
    for (int i = 0; i < NLIMB; ++i) r.limb[i] = mag[i];
    r.sign = (negative && !mag_is_zero<NLIMB>(mag)) ? -1 : 1;
    return r;
}

ZEL_HD Fp fp_neg(const Fp& a) {
    Fp r = fp_canon(a);
    if (!fp_is_zero(r)) r.sign = -r.sign;
    return r;
}

ZEL_HD Fp fp_abs(const Fp& a) {
    Fp r = a;
    r.pad = 0;
    r.sign = 1;
    return r;
}

// Exact three-way comparison of values (all zeros compare equal).
ZEL_HD int fp_cmp(const Fp& a, const Fp& b) {
    bool za = fp_is_zero(a), zb = fp_is_zero(b);
    bool na = !za && a.sign < 0, nb = !zb && b.sign < 0;
    if (na != nb) return na ? -1 : 1;
    int c = mag_cmp<NLIMB>(a.limb, b.limb);
    return na ? -c : c;
}

// Signed sum of magnitudes with signs; saturates on overflow.
ZEL_HD Fp fp_add_signed(const uint64_t* am, bool an, const uint64_t* bm, bool bn) {
    uint64_t r[NLIMB];
    if (an == bn) {
        if (mag_add<NLIMB>(r, am, bm)) return fp_max_mag(an);
        return fp_make(r, an);
    }
    int c = mag_cmp<NLIMB>(am, bm);
    if (c >= 0) {
        mag_sub<NLIMB>(r, am, bm);
        return fp_make(r, an);
    }
    mag_sub<NLIMB>(r, bm, am);
    return fp_make(r, bn);
}

ZEL_HD Fp fp_add(const Fp& a, const Fp& b) {
    return fp_add_signed(a.limb, fp_neg_sign(a), b.limb, fp_neg_sign(b));
}

ZEL_HD Fp fp_sub(const Fp& a, const Fp& b) {
    return fp_add_signed(a.limb, fp_neg_sign(a), b.limb, !fp_neg_sign(b));
}

// Rounds the 2N-limb value p (scaled by 2^(64*shift_limbs) too much) to
// nearest, ties to even, into NLIMB limbs.  Returns false on overflow.
template <int PN>
ZEL_HD bool mag_round_shift(uint64_t* out, const uint64_t* p, int shift_limbs) {
    for (int i = shift_limbs + NLIMB; i < PN; ++i) {
        if (p[i]) return false;
    }
    for (int i = 0; i < NLIMB; ++i) out[i] = p[shift_limbs + i];
    uint64_t below = p[shift_limbs - 1];
    bool half = (below >> 63) != 0;
    bool sticky = (below << 1) != 0;
    for (int i = 0; i < shift_limbs - 1 && !sticky; ++i) sticky = p[i] != 0;
    if (half && (sticky || (out[0] & 1))) {
        if (mag_inc<NLIMB>(out)) return false;
    }
    return true;
}

// Product correctly rounded to 2^-256, ties to even; saturates.
ZEL_HD Fp fp_mul(const Fp& a, const Fp& b) {
    bool neg = fp_neg_sign(a) != fp_neg_sign(b);
    int na = mag_len<NLIMB>(a.limb), nb = mag_len<NLIMB>(b.limb);
    if (na == 0 || nb == 0) return fp_zero();
    uint64_t p[2 * NLIMB];
    mag_mul(p, a.limb, na, b.limb, nb);
    for (int i = na + nb; i < 2 * NLIMB; ++i) p[i] = 0;
    uint64_t r[NLIMB];
    if (!mag_round_shift<2 * NLIMB>(r, p, FRAC_LIMBS)) return fp_max_mag(neg);
    return fp_make(r, neg);
}

// Quotient correctly rounded to 2^-256, ties to even.  x/0 is the largest
// magnitude with the sign of x; 0/0 is 0.
ZEL_HD Fp fp_div(const Fp& a, const Fp& b) {
    int nb = mag_len<NLIMB>(b.limb);
    int na = mag_len<NLIMB>(a.limb);
    if (na == 0) return fp_zero();
    bool neg = fp_neg_sign(a) != fp_neg_sign(b);
    if (nb == 0) return fp_max_mag(fp_neg_sign(a));
    // Quotient >= 2^512 exactly when the divisor is below 2^256 and the
    // integer part of the dividend reaches it.
    if (nb <= FRAC_LIMBS && mag_cmp<FRAC_LIMBS>(a.limb + FRAC_LIMBS, b.limb) >= 0) return fp_max_mag(neg);
    // u = |a| * 2^256 (12 limbs, trimmed)
    uint64_t u[NLIMB + FRAC_LIMBS];
    for (int i = 0; i < FRAC_LIMBS; ++i) u[i] = 0;
    for (int i = 0; i < NLIMB; ++i) u[FRAC_LIMBS + i] = a.limb[i];
    int m = FRAC_LIMBS + na;
    uint64_t q[NLIMB + FRAC_LIMBS + 1];
    uint64_t r[NLIMB];
    uint64_t qm[NLIMB + 1];
    for (int i = 0; i <= NLIMB; ++i) qm[i] = 0;
    if (m < nb) {
        // |a|*2^256 < |b|: quotient is 0, remainder is the dividend.
        for (int i = 0; i < NLIMB; ++i) r[i] = i < m ? u[i] : 0;
    } else {
        mag_divmod<NLIMB + FRAC_LIMBS>(u, m, b.limb, nb, q, r);
        int qn = m - nb + 1;
        for (int i = 0; i < qn; ++i) {
            if (i < NLIMB)
                qm[i] = q[i];
            else if (q[i])
                return fp_max_mag(neg);
        }
    }
    // Round to nearest: compare 2r with b.
    int top = r[nb - 1] >> 63;
    bool up;
    if (top) {
        up = true;
    } else {
        uint64_t r2[NLIMB];
        for (int i = 0; i < NLIMB; ++i) r2[i] = i < nb ? r[i] : 0;
        uint64_t t[NLIMB];
        mag_shl<NLIMB>(t, r2, 1);
        int c = mag_cmp<NLIMB>(t, b.limb);
        up = c > 0 || (c == 0 && (qm[0] & 1));
    }
    if (up) {
        if (mag_inc<NLIMB>(qm)) return fp_max_mag(neg);
    }
    return fp_make(qm, neg);
}

// Exact conversion of a finite double; bits below 2^-256 round toward -inf.
// NaN gives 0; infinities and magnitudes of 2^256 or more saturate.
ZEL_HD Fp fp_from_double(double d) {
    uint64_t bits;
    memcpy(&bits, &d, sizeof bits);
    bool neg = (bits >> 63) != 0;
    int ex = (int)((bits >> 52) & 0x7ff);
    uint64_t mant = bits & ((1ull << 52) - 1);
    if (ex == 0x7ff) {
        if (mant) return fp_zero();  // NaN
        return fp_max_mag(neg);
    }
    int e;
    if (ex == 0) {
        e = -1074;
    } else {
        mant |= 1ull << 52;
        e = ex - 1075;
    }
    if (mant == 0) return fp_zero();
    int shift = e + 256;  // magnitude = mant * 2^shift
    uint64_t m[NLIMB];
    for (int i = 0; i < NLIMB; ++i) m[i] = 0;
    if (shift >= 0) {
        int bl = 64 - clz64(mant);
        if (bl + shift > 64 * NLIMB) return fp_max_mag(neg);
        int w = shift >> 6, o = shift & 63;
        m[w] = mant << o;
        if (o && w + 1 < NLIMB) m[w + 1] = mant >> (64 - o);
    } else {
        int rs = -shift;
        bool lost;
        if (rs >= 64) {
            lost = true;  // mant != 0 here
        } else {
            m[0] = mant >> rs;
            lost = (mant & ((1ull << rs) - 1)) != 0;
        }
        if (lost && neg) mag_inc<NLIMB>(m);
    }
    return fp_make(m, neg);
}

ZEL_HD double ldexp_exact(double x, int e) {
    // x * 2^e without libm; results here never leave the normal range.
    while (e > 1000) {
        x *= 0x1p1000;
        e -= 1000;
    }
    while (e < -1000) {
        x *= 0x1p-1000;
        e += 1000;
    }
    uint64_t bits = (uint64_t)(e + 1023) << 52;
    double s;
    memcpy(&s, &bits, sizeof s);
    return x * s;
}

// Value as a double, correctly rounded (ties to even).
ZEL_HD double fp_to_double(const Fp& a) {
    int p = mag_top_bit<NLIMB>(a.limb);
    if (p < 0) return 0.0;
    uint64_t mant;
    int e;
    if (p <= 52) {
        mant = a.limb[0];
        e = -256;
    } else {
        int lo = p - 52;
        mant = mag_bits64<NLIMB>(a.limb, lo) & ((1ull << 53) - 1);
        bool half = (mag_bits64<NLIMB>(a.limb, lo - 1) & 1) != 0;
        bool sticky = mag_any_below<NLIMB>(a.limb, lo - 1);
        if (half && (sticky || (mant & 1))) mant += 1;
        e = lo - 256;
    }
    double v = ldexp_exact((double)mant, e);
    return a.sign < 0 ? -v : v;
}

}  // namespace zel
