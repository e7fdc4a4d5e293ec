// Exact products of records below 1 in magnitude (integer limbs zero) for
// the host matrix products: the four fraction limbs of each operand, the
// product rounded at bit 256 as fp_mul rounds it (a product below 2^512
// units never saturates), added into a 320-bit accumulator that holds any
// sum of fewer than 2^62 such terms exactly.  Host code only.
#pragma once

#include <cstdint>

#include "../cuda/kernels/reduce.hpp"

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

inline uint64_t narrow_adc(uint64_t a, uint64_t b, unsigned char& c) {
#if defined(ZEL_X86_ADC)
    unsigned long long r;
    c = _addcarry_u64(c, a, b, &r);
    return r;
#else
    return wadc(a, b, c);
#endif
}

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

// The same product with MULX and two carry chains (ADCX for the low halves,
// ADOX for the high ones): about a third faster per product.
__attribute__((always_inline)) inline void mul4_adx(uint64_t* p, const uint64_t* a, const uint64_t* b) {
    uint64_t r0, r1, r2, r3, r4, r5, r6, r7, t, h, z;
    __asm__(
        "movq 0(%[a]), %%rdx\n\t"
        "mulxq 0(%[b]), %[r0], %[r1]\n\t"
        "mulxq 8(%[b]), %[t], %[r2]\n\t"
        "addq %[t], %[r1]\n\t"
        "mulxq 16(%[b]), %[t], %[r3]\n\t"
        "adcq %[t], %[r2]\n\t"
        "mulxq 24(%[b]), %[t], %[r4]\n\t"
        "adcq %[t], %[r3]\n\t"
        "adcq $0, %[r4]\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq 8(%[a]), %%rdx\n\t"
        "mulxq 0(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r1]\n\t"
        "adoxq %[h], %[r2]\n\t"
        "mulxq 8(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r2]\n\t"
        "adoxq %[h], %[r3]\n\t"
        "mulxq 16(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r3]\n\t"
        "adoxq %[h], %[r4]\n\t"
        "mulxq 24(%[b]), %[t], %[r5]\n\t"
        "adcxq %[t], %[r4]\n\t"
        "adoxq %[z], %[r5]\n\t"
        "adcxq %[z], %[r5]\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq 16(%[a]), %%rdx\n\t"
        "mulxq 0(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r2]\n\t"
        "adoxq %[h], %[r3]\n\t"
        "mulxq 8(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r3]\n\t"
        "adoxq %[h], %[r4]\n\t"
        "mulxq 16(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r4]\n\t"
        "adoxq %[h], %[r5]\n\t"
        "mulxq 24(%[b]), %[t], %[r6]\n\t"
        "adcxq %[t], %[r5]\n\t"
        "adoxq %[z], %[r6]\n\t"
        "adcxq %[z], %[r6]\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq 24(%[a]), %%rdx\n\t"
        "mulxq 0(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r3]\n\t"
        "adoxq %[h], %[r4]\n\t"
        "mulxq 8(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r4]\n\t"
        "adoxq %[h], %[r5]\n\t"
        "mulxq 16(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r5]\n\t"
        "adoxq %[h], %[r6]\n\t"
        "mulxq 24(%[b]), %[t], %[r7]\n\t"
        "adcxq %[t], %[r6]\n\t"
        "adoxq %[z], %[r7]\n\t"
        "adcxq %[z], %[r7]\n\t"
        : [r0] "=&r"(r0), [r1] "=&r"(r1), [r2] "=&r"(r2), [r3] "=&r"(r3), [r4] "=&r"(r4), [r5] "=&r"(r5),
          [r6] "=&r"(r6), [r7] "=&r"(r7), [t] "=&r"(t), [h] "=&r"(h), [z] "=&r"(z)
        : [a] "r"(a), [b] "r"(b)
        : "rdx", "cc", "memory");
    p[0] = r0; p[1] = r1; p[2] = r2; p[3] = r3; p[4] = r4; p[5] = r5; p[6] = r6; p[7] = r7;
}

// Limbs 2..7 of a*b less the three products a0*b0, a0*b1 and a1*b0, which
// add less than 2^194: almost always too little to move the rounding.
__attribute__((always_inline)) inline void mul4_hi_adx(uint64_t* p, const uint64_t* a, const uint64_t* b) {
    uint64_t r2, r3, r4, r5, r6, r7, t, h, z;
    __asm__(
        "movq 0(%[a]), %%rdx\n\t"
        "mulxq 16(%[b]), %[r2], %[r3]\n\t"
        "mulxq 24(%[b]), %[t], %[r4]\n\t"
        "addq %[t], %[r3]\n\t"
        "adcq $0, %[r4]\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq 8(%[a]), %%rdx\n\t"
        "mulxq 8(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r2]\n\t"
        "adoxq %[h], %[r3]\n\t"
        "mulxq 16(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r3]\n\t"
        "adoxq %[h], %[r4]\n\t"
        "mulxq 24(%[b]), %[t], %[r5]\n\t"
        "adcxq %[t], %[r4]\n\t"
        "adoxq %[z], %[r5]\n\t"
        "adcxq %[z], %[r5]\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq 16(%[a]), %%rdx\n\t"
        "mulxq 0(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r2]\n\t"
        "adoxq %[h], %[r3]\n\t"
        "mulxq 8(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r3]\n\t"
        "adoxq %[h], %[r4]\n\t"
        "mulxq 16(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r4]\n\t"
        "adoxq %[h], %[r5]\n\t"
        "mulxq 24(%[b]), %[t], %[r6]\n\t"
        "adcxq %[t], %[r5]\n\t"
        "adoxq %[z], %[r6]\n\t"
        "adcxq %[z], %[r6]\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq 24(%[a]), %%rdx\n\t"
        "mulxq 0(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r3]\n\t"
        "adoxq %[h], %[r4]\n\t"
        "mulxq 8(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r4]\n\t"
        "adoxq %[h], %[r5]\n\t"
        "mulxq 16(%[b]), %[t], %[h]\n\t"
        "adcxq %[t], %[r5]\n\t"
        "adoxq %[h], %[r6]\n\t"
        "mulxq 24(%[b]), %[t], %[r7]\n\t"
        "adcxq %[t], %[r6]\n\t"
        "adoxq %[z], %[r7]\n\t"
        "adcxq %[z], %[r7]\n\t"
        : [r2] "=&r"(r2), [r3] "=&r"(r3), [r4] "=&r"(r4), [r5] "=&r"(r5),
          [r6] "=&r"(r6), [r7] "=&r"(r7), [t] "=&r"(t), [h] "=&r"(h), [z] "=&r"(z)
        : [a] "r"(a), [b] "r"(b)
        : "rdx", "cc", "memory");
    p[2] = r2; p[3] = r3; p[4] = r4; p[5] = r5; p[6] = r6; p[7] = r7;
}

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
    acc.w[0] = narrow_adc(acc.w[0], p[4] ^ mask, cy);
    acc.w[1] = narrow_adc(acc.w[1], p[5] ^ mask, cy);
    acc.w[2] = narrow_adc(acc.w[2], p[6] ^ mask, cy);
    acc.w[3] = narrow_adc(acc.w[3], p[7] ^ mask, cy);
    acc.w[4] = narrow_adc(acc.w[4], mask, cy);
}

inline Fp nacc_to_fp(const NAcc& acc) {
    WAcc w;
    for (int i = 0; i <= FRAC_LIMBS; ++i) w.w[i] = acc.w[i];
    const uint64_t ext = (int64_t)acc.w[FRAC_LIMBS] < 0 ? ~0ull : 0ull;
    for (int i = FRAC_LIMBS + 1; i < WLIMB; ++i) w.w[i] = ext;
    return wacc_to_fp(w);
}

}  // namespace zel
