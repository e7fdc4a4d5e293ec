// Exact products of records below 1 in magnitude (integer limbs zero) for
// the host matrix products: the four fraction limbs of each operand, the
// product rounded at bit 256 as fp_mul rounds it (a product below 2^512
// units never saturates), added into a 320-bit accumulator that holds any
// sum of fewer than 2^62 such terms exactly.  Host code only.
#pragma once

#include <cstdint>

#include "../core/accum.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#define ZEL_MULX 1
#endif

namespace zel {

using u128 = unsigned __int128;

struct Frac {
    uint64_t l[FRAC_LIMBS];
    uint64_t neg;  // all ones for a negative sign
};

inline bool below_one(const Fp& x) {
    uint64_t hi = 0;
    for (int i = FRAC_LIMBS; i < NLIMB; ++i) hi |= x.limb[i];
    return hi == 0;
}

inline void pack_frac(Frac& f, const Fp& x) {
    for (int i = 0; i < FRAC_LIMBS; ++i) f.l[i] = x.limb[i];
    f.neg = x.sign < 0 ? ~0ull : 0ull;
}

// Four limbs of two's complement and a signed top limb: exact for fewer than
// 2^62 terms of magnitude at most 2^256.
struct NAcc {
    uint64_t w[FRAC_LIMBS + 1];
};

static_assert(FRAC_LIMBS == 4, "the narrow product is written for four fraction limbs");

// p = a*b for four-limb a and b, row by row: a[i]*b[j] + p[i+j] + carry < 2^128.
__attribute__((always_inline)) inline void mul4(uint64_t* p, const uint64_t* a, const uint64_t* b) {
    u128 t;
    uint64_t c = 0;
    for (int j = 0; j < 4; ++j) {
        t = (u128)a[0] * b[j] + c;
        p[j] = (uint64_t)t;
        c = (uint64_t)(t >> 64);
    }
    p[4] = c;
    for (int i = 1; i < 4; ++i) {
        c = 0;
        for (int j = 0; j < 4; ++j) {
            t = (u128)a[i] * b[j] + p[i + j] + c;
            p[i + j] = (uint64_t)t;
            c = (uint64_t)(t >> 64);
        }
        p[i + 4] = c;
    }
}

#if defined(ZEL_MULX)

// The asm text of the MULX products.  A row multiplies a[i] (in rdx) by b[j]
// and adds the low halves into one carry chain (ADCX) and the high halves into
// the other (ADOX); the row's top limb takes both chains' last carries.
#define ZEL_MULX_ROW_START(a_off) \
    "xorl %k[z], %k[z]\n\t"       \
    "movq " #a_off "(%[a]), %%rdx\n\t"
// + b[b_off/8] * rdx at limbs lo, lo + 1
#define ZEL_MULX_STEP(b_off, lo, hi) \
    "mulxq " #b_off                  \
    "(%[b]), %[t], %[h]\n\t"         \
    "adcxq %[t], %[" #lo             \
    "]\n\t"                          \
    "adoxq %[h], %[" #hi "]\n\t"
// + b[3] * rdx at limbs lo, top, and the row's carries into top
#define ZEL_MULX_LAST(lo, top)      \
    "mulxq 24(%[b]), %[t], %[" #top \
    "]\n\t"                         \
    "adcxq %[t], %[" #lo            \
    "]\n\t"                         \
    "adoxq %[z], %[" #top           \
    "]\n\t"                         \
    "adcxq %[z], %[" #top "]\n\t"
// a[a_off/8] * b[0..3] added at limbs r0 .. r4 (r4 written fresh)
#define ZEL_MULX_ROW(a_off, r0, r1, r2, r3, r4) \
    ZEL_MULX_ROW_START(a_off)                   \
    ZEL_MULX_STEP(0, r0, r1)                    \
    ZEL_MULX_STEP(8, r1, r2)                    \
    ZEL_MULX_STEP(16, r2, r3)                   \
    ZEL_MULX_LAST(r3, r4)

#define ZEL_MULX_OUTPUTS                                                                            \
    [r2] "=&r"(r2), [r3] "=&r"(r3), [r4] "=&r"(r4), [r5] "=&r"(r5), [r6] "=&r"(r6), [r7] "=&r"(r7), \
        [t] "=&r"(t), [h] "=&r"(h), [z] "=&r"(z)

// The same product with MULX and two carry chains (ADCX for the low halves,
// ADOX for the high ones): about a third faster per product.
__attribute__((always_inline)) inline void mul4_adx(uint64_t* p, const uint64_t* a, const uint64_t* b) {
    uint64_t r0, r1, r2, r3, r4, r5, r6, r7, t, h, z;
    __asm__(
        // row a[0]: one chain suffices, nothing to add to yet
        "movq 0(%[a]), %%rdx\n\t"
        "mulxq 0(%[b]), %[r0], %[r1]\n\t"
        "mulxq 8(%[b]), %[t], %[r2]\n\t"
        "addq %[t], %[r1]\n\t"
        "mulxq 16(%[b]), %[t], %[r3]\n\t"
        "adcq %[t], %[r2]\n\t"
        "mulxq 24(%[b]), %[t], %[r4]\n\t"
        "adcq %[t], %[r3]\n\t"
        "adcq $0, %[r4]\n\t" ZEL_MULX_ROW(8, r1, r2, r3, r4, r5) ZEL_MULX_ROW(16, r2, r3, r4, r5, r6)
            ZEL_MULX_ROW(24, r3, r4, r5, r6, r7)
        : [r0] "=&r"(r0), [r1] "=&r"(r1), ZEL_MULX_OUTPUTS
        : [a] "r"(a), [b] "r"(b)
        : "rdx", "cc", "memory");
    p[0] = r0;
    p[1] = r1;
    p[2] = r2;
    p[3] = r3;
    p[4] = r4;
    p[5] = r5;
    p[6] = r6;
    p[7] = r7;
}

// Limbs 2..7 of a*b less the three products a0*b0, a0*b1 and a1*b0, which
// add less than 2^194: almost always too little to move the rounding.
__attribute__((always_inline)) inline void mul4_hi_adx(uint64_t* p, const uint64_t* a, const uint64_t* b) {
    uint64_t r2, r3, r4, r5, r6, r7, t, h, z;
    __asm__(
        // row a[0] from b[2], one chain
        "movq 0(%[a]), %%rdx\n\t"
        "mulxq 16(%[b]), %[r2], %[r3]\n\t"
        "mulxq 24(%[b]), %[t], %[r4]\n\t"
        "addq %[t], %[r3]\n\t"
        "adcq $0, %[r4]\n\t"
        // row a[1] from b[1]
        ZEL_MULX_ROW_START(8) ZEL_MULX_STEP(8, r2, r3) ZEL_MULX_STEP(16, r3, r4) ZEL_MULX_LAST(r4, r5)
            ZEL_MULX_ROW(16, r2, r3, r4, r5, r6) ZEL_MULX_ROW(24, r3, r4, r5, r6, r7)
        : ZEL_MULX_OUTPUTS
        : [a] "r"(a), [b] "r"(b)
        : "rdx", "cc", "memory");
    p[2] = r2;
    p[3] = r3;
    p[4] = r4;
    p[5] = r5;
    p[6] = r6;
    p[7] = r7;
}

#undef ZEL_MULX_ROW_START
#undef ZEL_MULX_STEP
#undef ZEL_MULX_LAST
#undef ZEL_MULX_ROW
#undef ZEL_MULX_OUTPUTS

// BMI2 (MULX) and ADX (ADCX, ADOX), CPUID leaf 7.
inline bool cpu_has_mulx_adx() {
    unsigned a, b, c, d;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return (b & (1u << 8)) && (b & (1u << 19));
}
#else
inline bool cpu_has_mulx_adx() { return false; }
#endif

// 1 when the 512-bit product p rounds up at bit 256: above half, or a tie
// with an odd quotient.
inline uint64_t round_inc(const uint64_t* p) {
    const uint64_t half = p[3] >> 63;
    const uint64_t sticky = (p[3] << 1) | p[2] | p[1] | p[0];
    return half & ((uint64_t)(sticky != 0) | (p[4] & 1));
}

// acc += (mask ? -1 : 1) * round(a*b / 2^256), ties to even: the term
// wacc_add_prod adds for these magnitudes (it cannot saturate).
template <bool ADX>
__attribute__((always_inline)) inline void nacc_add_prod(NAcc& acc, const uint64_t* a, const uint64_t* b,
                                                         uint64_t mask) {
    uint64_t p[8];
    uint64_t inc;
#if defined(ZEL_MULX)
    if constexpr (ADX) {
        mul4_hi_adx(p, a, b);
        // The left-out part e < 2^194 = 4 * 2^192.  p3 < 2^63 - 4: the
        // fraction stays below half, no rounding up.  p3 > 2^63: it is above
        // half (round up), or e carries into bit 256 and leaves less than
        // half (round down): the same sum.  In between (every tie among
        // them) the full product decides.
        if (__builtin_expect(p[3] - ((1ull << 63) - 4) <= 4, 0)) {
            mul4_adx(p, a, b);
            inc = round_inc(p);
        } else {
            inc = p[3] >> 63;
        }
    } else {
        mul4(p, a, b);
        inc = round_inc(p);
    }
#else
    mul4(p, a, b);
    inc = round_inc(p);
#endif
    // -(x + inc) = ~x + (1 - inc): the complement with carry in inc ^ neg.
    unsigned char cy = (unsigned char)((inc ^ mask) & 1);
    acc.w[0] = wadc(acc.w[0], p[4] ^ mask, cy);
    acc.w[1] = wadc(acc.w[1], p[5] ^ mask, cy);
    acc.w[2] = wadc(acc.w[2], p[6] ^ mask, cy);
    acc.w[3] = wadc(acc.w[3], p[7] ^ mask, cy);
    acc.w[4] = wadc(acc.w[4], mask, cy);
}

inline Fp nacc_to_fp(const NAcc& acc) {
    WAcc w;
    for (int i = 0; i <= FRAC_LIMBS; ++i) w.w[i] = acc.w[i];
    const uint64_t ext = (int64_t)acc.w[FRAC_LIMBS] < 0 ? ~0ull : 0ull;
    for (int i = FRAC_LIMBS + 1; i < WLIMB; ++i) w.w[i] = ext;
    return wacc_to_fp(w);
}

}  // namespace zel
