// The narrow products of the host matrix products (ops/narrow_product.hpp),
// in both forms (portable and, where the processor has them, MULX/ADCX/ADOX
// with the three low limb products left out), against wacc_add_prod on
// random and structured fractions: ties, runs of one bits, powers of two,
// zeros.  Built and run by tools/check_build.py; prints the count and exits
// non-zero on the first difference.
#include <cstdio>

#include "ops/narrow_product.hpp"
#include "xorshift.hpp"

using namespace zel;

namespace {

XorShift64 rnd{0x2545f4914f6cdd1dull};

uint64_t structured_limb() { return structured_limb(rnd); }

void operand(uint64_t* x, int kind) {
    for (int i = 0; i < FRAC_LIMBS; ++i) x[i] = kind == 0 ? rnd() : structured_limb();
    if (kind == 2) x[0] = x[1] = 0;  // products that land on or next to a tie
}

void mul_mod(uint64_t* r, const uint64_t* x, const uint64_t* y) {  // x*y mod 2^256
    uint64_t p[2 * FRAC_LIMBS];
    mag_mul(p, x, FRAC_LIMBS, y, FRAC_LIMBS);
    for (int i = 0; i < FRAC_LIMBS; ++i) r[i] = p[i];
}

// b with a*b = s (mod 2^256) for odd a and a small s: the product sits just
// above a multiple of 2^256, where the low limb products carry into bit 256.
void just_above(uint64_t* a, uint64_t* b) {
    a[0] |= 1;
    uint64_t x[FRAC_LIMBS], t[FRAC_LIMBS];
    for (int i = 0; i < FRAC_LIMBS; ++i) x[i] = a[i];  // a*a = 1 (mod 8)
    for (int it = 0; it < 7; ++it) {                   // Newton: bits double
        mul_mod(t, a, x);
        unsigned char c = 0;
        uint64_t two_minus[FRAC_LIMBS];
        for (int i = 0; i < FRAC_LIMBS; ++i) two_minus[i] = wadc(~t[i], i == 0 ? 3 : 0, c);
        mul_mod(t, x, two_minus);
        for (int i = 0; i < FRAC_LIMBS; ++i) x[i] = t[i];
    }
    uint64_t s[FRAC_LIMBS] = {rnd(), rnd(), rnd() >> (rnd() % 64), 0};
    mul_mod(b, s, x);
}

bool same(const NAcc& n, const WAcc& w) {
    WAcc e;
    for (int i = 0; i <= FRAC_LIMBS; ++i) e.w[i] = n.w[i];
    for (int i = FRAC_LIMBS + 1; i < WLIMB; ++i) e.w[i] = (int64_t)n.w[FRAC_LIMBS] < 0 ? ~0ull : 0ull;
    for (int i = 0; i < WLIMB; ++i)
        if (e.w[i] != w.w[i]) return false;
    return true;
}

}  // namespace

int main() {
    const bool adx = cpu_has_mulx_adx();
    const int rounds = 400000;
    for (int r = 0; r < rounds; ++r) {
        // a running sum of three terms, so carries between terms count too
        WAcc want;
        wacc_clear(want);
        NAcc got = {}, got_adx = {};
        for (int t = 0; t < 3; ++t) {
            uint64_t a[NLIMB] = {}, b[NLIMB] = {};
            operand(a, (r + t) % 3);
            operand(b, (r / 3 + t) % 3);
            if (r % 4 == 3) just_above(a, b);
            const bool neg = rnd() & 1;
            const uint64_t mask = neg ? ~0ull : 0ull;
            int alo, ahi, blo, bhi;
            mag_range(a, alo, ahi);
            mag_range(b, blo, bhi);
            wacc_add_prod(want, a, alo, ahi, b, blo, bhi, neg);
            nacc_add_prod<false>(got, a, b, mask);
#if defined(ZEL_MULX)
            if (adx) nacc_add_prod<true>(got_adx, a, b, mask);
#endif
        }
        if (!same(got, want) || (adx && !same(got_adx, want))) {
            std::printf("narrow product differs at round %d\n", r);
            return 1;
        }
    }
    std::printf("narrow products: %d sums agree (MULX/ADX form %s)\n", rounds,
                adx ? "checked" : "not available");
    return 0;
}
