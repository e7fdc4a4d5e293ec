// The division paths of core/fixed_point.hpp against each other and against
// exact identities: the word divisions (hardware or portable divlu, the
// reciprocal form divlu_pi, the two-limb div_3by2) against 128-bit
// arithmetic, and mag_divmod's three paths (one-limb divisor, two-limb
// divisor, Knuth's algorithm D) on the same quotients: scaling u and v by
// 2^k leaves the quotient alone and moves v to another path or another
// normalisation shift.  Operands with structure (zero and all-one limbs,
// single bits, Knuth's add-back step) beside random ones; fp_div checked the
// same way on records.  Built by tools/check_build.py as the CPU builds it and
// with ZEL_EMULATE_DEVICE_PATHS; prints a count, exits non-zero on a fault.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "core/fixed_point.hpp"
#include "xorshift.hpp"

using namespace zel;

namespace {

XorShift64 rnd{0x6a09e667f3bcc909ull};
int failures = 0;
long checks = 0;

constexpr int MAXL = 16;  // limbs of the widest dividend formed here

void fail(const char* what, const uint64_t* u, int m, const uint64_t* v, int n) {
    if (++failures > 10) return;
    std::printf("%s: u =", what);
    for (int i = m - 1; i >= 0; --i) std::printf(" %016llx", (unsigned long long)u[i]);
    std::printf(", v =");
    for (int i = n - 1; i >= 0; --i) std::printf(" %016llx", (unsigned long long)v[i]);
    std::printf("\n");
}

// Structured limbs, and random ones of any length (normalisation shifts).
uint64_t structured_limb() { return rnd() % 7 ? structured_limb(rnd) : rnd() >> (rnd() % 64); }

// ------------------------------------------------------------ word level

void check_words(uint64_t u1, uint64_t u0, uint64_t v) {
    if (!(v >> 63) || u1 >= v) return;
    const unsigned __int128 u = ((unsigned __int128)u1 << 64) | u0;
    const uint64_t q = (uint64_t)(u / v), r = (uint64_t)(u % v);
    uint64_t r1, r2;
    const uint64_t q1 = divlu(u1, u0, v, r1);
    const uint64_t q2 = divlu_pi(u1, u0, v, reciprocal_word(v), r2);
    ++checks;
    if (q1 != q || r1 != r || q2 != q || r2 != r) {
        uint64_t uu[2] = {u0, u1};
        fail("divlu/divlu_pi", uu, 2, &v, 1);
    }
}

// (u2:u1:u0) = q (d1:d0) + (r1:r0) with (r1:r0) < (d1:d0), in 128-bit pieces.
void check_3by2(uint64_t u2, uint64_t u1, uint64_t u0, uint64_t d1, uint64_t d0) {
    if (!(d1 >> 63) || u2 > d1 || (u2 == d1 && u1 >= d0)) return;
    uint64_t r1, r0;
    const uint64_t q = div_3by2(u2, u1, u0, d1, d0, reciprocal_3by2(d1, d0), r1, r0);
    const unsigned __int128 lo = (unsigned __int128)q * d0 + r0;
    const unsigned __int128 hi = (unsigned __int128)q * d1 + r1 + (uint64_t)(lo >> 64);
    const bool r_small = r1 < d1 || (r1 == d1 && r0 < d0);
    ++checks;
    if ((uint64_t)lo != u0 || (uint64_t)hi != u1 || (uint64_t)(hi >> 64) != u2 || !r_small) {
        uint64_t uu[3] = {u0, u1, u2}, dd[2] = {d0, d1};
        fail("div_3by2", uu, 3, dd, 2);
    }
}

void words() {
    // clang-format off
    const uint64_t edge[] = {0, 1, 2, 1ull << 63, (1ull << 63) + 1, ~0ull, ~0ull - 1, 0x7fffffffffffffffull,
                             0xffffffff00000000ull, 0x00000000ffffffffull, 0x8000000080000000ull};
    // clang-format on
    for (uint64_t v : edge)
        for (uint64_t a : edge)
            for (uint64_t b : edge) {
                const uint64_t d = v | 1ull << 63;
                check_words(a % d, b, d);
                check_words(d - 1, b, d);
                check_3by2(a % d, b, v, d, a);
                check_3by2(d, a, b, d, ~0ull);  // the quotient's top case: u2 == d1, u1 < d0
            }
    for (int i = 0; i < 200000; ++i) {
        const uint64_t v = structured_limb() | 1ull << 63, d0 = structured_limb();
        const uint64_t u1 = i & 1 ? structured_limb() % v : v - 1 - (rnd() & 3) % v;
        check_words(u1, structured_limb(), v);
        check_3by2(u1, structured_limb(), structured_limb(), v, d0);
    }
}

// ------------------------------------------------------------ magnitudes

struct DivResult {
    uint64_t q[MAXL], r[MAXL];
};

// q and r of u / v for u of m limbs and v of n significant limbs.
DivResult divide(const uint64_t* u, int m, const uint64_t* v, int n) {
    DivResult d = {};
    mag_divmod<MAXL>(u, m, v, n, d.q, d.r);
    return d;
}

// u == q v + r and r < v, with q of m - n + 1 limbs and r of n.
bool identity_holds(const uint64_t* u, int m, const uint64_t* v, int n, const DivResult& d) {
    uint64_t p[2 * MAXL + 1] = {}, rr[2 * MAXL + 1] = {}, s[2 * MAXL + 1] = {};
    mag_mul(p, d.q, m - n + 1, v, n);
    for (int i = 0; i < n; ++i) rr[i] = d.r[i];
    mag_add<2 * MAXL + 1>(s, p, rr);
    for (int i = 0; i < 2 * MAXL + 1; ++i)
        if (s[i] != (i < m ? u[i] : 0)) return false;
    int c = 0;
    for (int i = n - 1; i >= 0 && !c; --i) c = d.r[i] < v[i] ? -1 : d.r[i] > v[i] ? 1 : 0;
    return c < 0;
}

// a << k into out (limbs of a grow by at most one; out has room).
int shifted(uint64_t* out, const uint64_t* a, int len, int k) {
    uint64_t w[MAXL] = {};
    for (int i = 0; i < len; ++i) w[i] = a[i];
    mag_shl<MAXL>(out, w, k);
    int n = MAXL;
    while (n > 0 && out[n - 1] == 0) --n;
    return n;
}

void check_divmod(const uint64_t* u, int m, const uint64_t* v, int n) {
    if (n < 1 || v[n - 1] == 0 || m < n) return;
    const DivResult d = divide(u, m, v, n);
    ++checks;
    if (!identity_holds(u, m, v, n, d)) {
        fail("mag_divmod identity", u, m, v, n);
        return;
    }
    // Scaled by 2^k: the same quotient (another path or normalisation),
    // the remainder scaled.
    for (int k : {1, 63, 64, 65, 128, 130}) {
        if (64 * m + k > 64 * (MAXL - 1)) continue;
        uint64_t us[MAXL], vs[MAXL];
        const int ns = shifted(vs, v, n, k), mu = shifted(us, u, m, k);
        const int ms = mu > ns ? mu : ns;  // zero limbs on top are allowed
        const DivResult e = divide(us, ms, vs, ns);
        uint64_t rs[MAXL];
        shifted(rs, d.r, n, k);
        bool same = true;
        for (int i = 0; i < MAXL; ++i) {
            if (i < ns && e.r[i] != rs[i]) same = false;
            if (i <= ms - ns && e.q[i] != (i <= m - n ? d.q[i] : 0)) same = false;
            if (i > ms - ns && i <= m - n && d.q[i]) same = false;
        }
        ++checks;
        if (!same) fail("mag_divmod paths disagree on a scaled pair", u, m, v, n);
    }
}

// Knuth's add-back step: a quotient digit estimated from the top limbs is one
// too large only through v's low limbs, e.g. v = 2^63 B^(n-1) + 1 and
// u = 2^62 B^n: the estimate 2^62 survives the two-limb test, the true digit
// is 2^62 - 1.
void add_back_cases() {
    for (int n = 3; n <= 8; ++n)
        for (int s = 0; s < 64; s += 9)
            for (int t = 0; t < 40; ++t) {
                uint64_t v[MAXL] = {}, u[MAXL] = {};
                v[n - 1] = (1ull << 63) >> s;
                v[n - 2] = t % 4 == 0 ? rnd() >> 60 : 0;
                for (int i = 0; i < n - 2; ++i) v[i] = t % 3 ? structured_limb() : 0;
                v[0] |= 1;
                const int m = n + 1 + t % 3;
                u[m - 1] = (v[n - 1] >> 1) + (uint64_t)(t % 5);
                u[m - 2] = t % 2 ? 0 : v[n - 2];
                for (int i = 0; i < m - 2; ++i) u[i] = t % 7 == 0 ? structured_limb() : 0;
                check_divmod(u, m, v, n);
            }
}

void magnitudes() {
    add_back_cases();
    for (int i = 0; i < 60000; ++i) {
        const int n = 1 + (int)(rnd() % 8), m = n + (int)(rnd() % (13 - n));
        uint64_t u[MAXL] = {}, v[MAXL] = {};
        const bool structured = i % 2;
        for (int k = 0; k < m; ++k) u[k] = structured ? structured_limb() : rnd();
        for (int k = 0; k < n; ++k) v[k] = structured ? structured_limb() : rnd();
        if (v[n - 1] == 0) v[n - 1] = 1ull << (rnd() % 64);
        if (i % 5 == 0)  // the leading dividend limbs equal to the divisor's: qhat = B - 1
            for (int k = 0; k < n && k < m; ++k) u[m - 1 - k] = v[n - 1 - k];
        check_divmod(u, m, v, n);
    }
}

// ------------------------------------------------------------ records

Fp record(bool structured, int top) {
    Fp r = fp_zero();
    for (int k = 0; k < top; ++k) r.limb[k] = structured ? structured_limb() : rnd();
    r.sign = rnd() & 1 ? -1 : 1;
    return r;
}

bool same_record(const Fp& a, const Fp& b) {
    if (a.sign != b.sign || a.pad != b.pad) return false;
    for (int i = 0; i < NLIMB; ++i)
        if (a.limb[i] != b.limb[i]) return false;
    return true;
}

// q = fp_div(a, b) by its definition: |a| 2^256 / |b| rounded to nearest,
// ties to even, saturated at MAX; x/0 = MAX with the sign of x, 0/0 = 0.
bool correctly_rounded(const Fp& a, const Fp& b, const Fp& q) {
    constexpr int W = 2 * NLIMB + 2;
    const bool a_zero = mag_is_zero<NLIMB>(a.limb), b_zero = mag_is_zero<NLIMB>(b.limb);
    if (a_zero || b_zero) {
        const Fp want = a_zero ? fp_zero() : fp_max_mag(a.sign < 0);
        return !std::memcmp(&q, &want, sizeof q);
    }
    const bool neg = (a.sign < 0) != (b.sign < 0);
    if (q.sign != (neg && !mag_is_zero<NLIMB>(q.limb) ? -1 : 1) || q.pad) return false;
    uint64_t u2[W] = {}, bw[W] = {}, qb[W] = {}, t[W];
    for (int i = 0; i < NLIMB; ++i) {
        u2[FRAC_LIMBS + i] = a.limb[i];
        bw[i] = b.limb[i];
    }
    mag_shl<W>(u2, u2, 1);  // 2 |a| 2^256
    mag_mul(qb, q.limb, NLIMB, b.limb, NLIMB);
    mag_shl<W>(qb, qb, 1);  // 2 q |b|
    // 2 |a| 2^256 lies within |b| of 2 q |b| (at MAX: at or above 2 q |b| - |b|).
    const bool sat = mag_cmp<NLIMB>(q.limb, fp_max_mag(false).limb) == 0;
    if (mag_cmp<W>(u2, qb) >= 0) {
        mag_sub<W>(t, u2, qb);
        const int c = mag_cmp<W>(t, bw);
        return sat || c < 0 || (c == 0 && !(q.limb[0] & 1));
    }
    mag_sub<W>(t, qb, u2);
    const int c = mag_cmp<W>(t, bw);
    return c < 0 || (c == 0 && !(q.limb[0] & 1));
}

// a/b is the quotient of a 2^k and b 2^k: each of fp_div's branches
// (saturation, a below one unit of b, one-, two- and many-limb divisors and
// the rounding of the remainder) against another.
// A quotient exactly halfway between two units: b = c 2^j (c odd, j >= 257)
// and a = (2k + 1) c 2^(j - 257).
void tie(Fp& a, Fp& b) {
    const uint64_t c = (rnd() & 0xffff) | 1, k = rnd() & 0xffffffffull;
    const int j = 257 + (int)(rnd() % 190);
    b = fp_zero();
    a = fp_zero();
    b.limb[0] = c;
    a.limb[0] = c;
    uint64_t odd[NLIMB] = {2 * k + 1}, p[2 * NLIMB];
    mag_mul(p, a.limb, NLIMB, odd, NLIMB);
    mag_shl<NLIMB>(a.limb, p, j - 257);
    mag_shl<NLIMB>(b.limb, b.limb, j);
    a.sign = rnd() & 1 ? -1 : 1;
    b.sign = rnd() & 1 ? -1 : 1;
}

void records() {
    for (int i = 0; i < 60000; ++i) {
        Fp a = record(i % 2, 1 + (int)(rnd() % 7)), b = record(i % 3 == 0, 1 + (int)(rnd() % 7));
        if (i % 10 == 0) tie(a, b);
        const Fp q = fp_div(a, b);
        ++checks;
        if (!correctly_rounded(a, b, q)) fail("fp_div rounding", a.limb, NLIMB, b.limb, NLIMB);
        for (int k : {1, 64, 100}) {
            Fp as = a, bs = b;
            mag_shl<NLIMB>(as.limb, a.limb, k);
            mag_shl<NLIMB>(bs.limb, b.limb, k);
            if (mag_top_bit<NLIMB>(a.limb) + k >= 64 * NLIMB || mag_top_bit<NLIMB>(b.limb) + k >= 64 * NLIMB)
                continue;
            ++checks;
            if (!same_record(fp_div(as, bs), q))
                fail("fp_div of a scaled pair", a.limb, NLIMB, b.limb, NLIMB);
        }
    }
}

}  // namespace

int main() {
    words();
    magnitudes();
    records();
#if defined(ZEL_DEVICE_PATH)
    const char* form = "device";
#else
    const char* form = "host";
#endif
    if (failures) {
        std::printf("division paths (%s form): %d of %ld checks failed\n", form, failures, checks);
        return 1;
    }
    std::printf("division paths (%s form): %ld checks agree\n", form, checks);
    return 0;
}
