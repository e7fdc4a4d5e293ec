// The working types of exact sums and products, beside the record type of
// fixed_point.hpp (the storage type): the 640-bit accumulator WAcc with its
// load/store between records, and the packed operand of the host matrix
// products.  ZEL_HD: the kernels and the host paths share them.
//
// Sums are exact: terms go into a 640-bit two's-complement accumulator (room
// for 2^127 terms below 2^512) that saturates once, when it is read back.
// Products that feed a sum are each rounded like fp_mul (to nearest, ties to
// even, saturating) before they are added.
#pragma once
#include "fixed_point.hpp"

namespace zel {

constexpr int WLIMB = 10;

struct WAcc {
    uint64_t w[WLIMB];
};

// a + b + c with carry out; the host gets the adc instruction.
ZEL_HD uint64_t wadc(uint64_t a, uint64_t b, unsigned char& c) {
#if defined(ZEL_X86_CARRY)
    unsigned long long r;
    c = _addcarry_u64(c, a, b, &r);
    return r;
#else
    uint64_t s = a + b;
    uint64_t c1 = s < a;
    uint64_t r = s + c;
    uint64_t c2 = r < s;
    c = (unsigned char)(c1 | c2);
    return r;
#endif
}

ZEL_HD void wacc_clear(WAcc& acc) {
    for (int i = 0; i < WLIMB; ++i) acc.w[i] = 0;
}

// acc += (neg ? -(m + inc) : m + inc) for a 512-bit m and inc in {0, 1}.
// Branch-free: a negative term is added as its complement with a carry in.
ZEL_HD void wacc_add_mag(WAcc& acc, const uint64_t* m, bool neg, uint64_t inc = 0) {
    const uint64_t mask = neg ? ~0ull : 0ull;
    unsigned char c = (unsigned char)((inc ^ (neg ? 1u : 0u)) & 1u);
    for (int i = 0; i < NLIMB; ++i) acc.w[i] = wadc(acc.w[i], m[i] ^ mask, c);
    acc.w[8] = wadc(acc.w[8], mask, c);
    acc.w[9] = wadc(acc.w[9], mask, c);
}

ZEL_HD void wacc_add_fp(WAcc& acc, const Fp& x) { wacc_add_mag(acc, x.limb, x.sign < 0); }

ZEL_HD void wacc_add_abs(WAcc& acc, const Fp& x) { wacc_add_mag(acc, x.limb, false); }

ZEL_HD void wacc_add_wacc(WAcc& acc, const WAcc& b) {
    unsigned char c = 0;
    for (int i = 0; i < WLIMB; ++i) acc.w[i] = wadc(acc.w[i], b.w[i], c);
}

// The accumulated value as a record, saturated to MAX with its sign.
ZEL_HD Fp wacc_to_fp(const WAcc& acc) {
    bool neg = (acc.w[WLIMB - 1] >> 63) != 0;
    uint64_t m[WLIMB];
    if (neg) {
        unsigned char c = 1;
        for (int i = 0; i < WLIMB; ++i) m[i] = wadc(~acc.w[i], 0, c);
    } else {
        for (int i = 0; i < WLIMB; ++i) m[i] = acc.w[i];
    }
    if (m[8] | m[9]) return fp_max_mag(neg);
    return fp_make(m, neg);
}

// A partial sum travels between kernels as two records: limbs 0..7 in the
// first, limbs 8..9 in the second.
ZEL_HD void wacc_store(const WAcc& acc, Fp* two) {
    two[0].sign = 1;
    two[0].pad = 0;
    two[1].sign = 1;
    two[1].pad = 0;
    for (int i = 0; i < NLIMB; ++i) two[0].limb[i] = acc.w[i];
    two[1].limb[0] = acc.w[8];
    two[1].limb[1] = acc.w[9];
    for (int i = 2; i < NLIMB; ++i) two[1].limb[i] = 0;
}

ZEL_HD void wacc_load(WAcc& acc, const Fp* two) {
    for (int i = 0; i < NLIMB; ++i) acc.w[i] = two[0].limb[i];
    acc.w[8] = two[1].limb[0];
    acc.w[9] = two[1].limb[1];
}

// Non-zero limbs of a magnitude lie in [lo, hi); lo == hi for zero.
ZEL_HD void mag_range(const uint64_t* m, int& lo, int& hi) {
    hi = NLIMB;
    while (hi > 0 && m[hi - 1] == 0) --hi;
    lo = 0;
    while (lo < hi && m[lo] == 0) ++lo;
}

// acc += a*b rounded to 2^-256 (ties to even) and saturated, exactly as
// fp_mul rounds it; a and b are magnitudes with non-zero limbs in [alo, ahi)
// and [blo, bhi).  Only those limbs are multiplied.
ZEL_HD void wacc_add_prod(WAcc& acc, const uint64_t* a, int alo, int ahi, const uint64_t* b, int blo, int bhi,
                          bool neg) {
    if (alo >= ahi || blo >= bhi) return;
    uint64_t p[2 * NLIMB];
    // Only the non-zero limbs are multiplied; mag_mul writes p[alo+blo ..
    // ahi+bhi) (the host's multiply-accumulate path or the device's portable
    // one), the rest is zero.
    for (int k = 0; k < alo + blo; ++k) p[k] = 0;
    for (int k = ahi + bhi; k < 2 * NLIMB; ++k) p[k] = 0;
    mag_mul(p + alo + blo, a + alo, ahi - alo, b + blo, bhi - blo);
    // Round at bit 256: half is bit 255, sticky the bits below it.
    const uint64_t half = p[3] >> 63;
    const uint64_t sticky = (p[3] << 1) | p[2] | p[1] | p[0];
    uint64_t inc = half & (uint64_t)((sticky != 0) | (p[4] & 1));
    bool ovf = (p[12] | p[13] | p[14] | p[15]) != 0;
    if (!ovf && inc && p[11] == ~0ull) {  // rounding up can only carry out of all-one limbs
        uint64_t all = ~0ull;
        for (int i = 4; i < 12; ++i) all &= p[i];
        ovf = all == ~0ull;
    }
    if (ovf) {
        for (int i = 4; i < 12; ++i) p[i] = ~0ull;
        inc = 0;
    }
    wacc_add_mag(acc, p + 4, neg, inc);
}

ZEL_HD void wacc_add_prod_fp(WAcc& acc, const Fp& x, const Fp& y) {
    int alo, ahi, blo, bhi;
    mag_range(x.limb, alo, ahi);
    mag_range(y.limb, blo, bhi);
    wacc_add_prod(acc, x.limb, alo, ahi, y.limb, blo, bhi, (x.sign < 0) != (y.sign < 0));
}

// An operand element packed once for many products: its limbs, the range of
// its non-zero limbs (mag_range) and its sign.
struct Packed {
    uint64_t limb[NLIMB];
    int32_t lo, hi;
    int32_t neg;
};

ZEL_HD void pack_operand(Packed& p, const Fp& x) {
    for (int i = 0; i < NLIMB; ++i) p.limb[i] = x.limb[i];
    mag_range(x.limb, p.lo, p.hi);
    p.neg = x.sign < 0;
}

// acc += x*y, rounded as fp_mul rounds it.
ZEL_HD void wacc_add_packed(WAcc& acc, const Packed& x, const Packed& y) {
    wacc_add_prod(acc, x.limb, x.lo, x.hi, y.limb, y.lo, y.hi, x.neg != y.neg);
}

}  // namespace zel
