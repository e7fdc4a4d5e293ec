// Bernoulli numbers.  Small indices: Brent and Harvey's tangent-number
// recurrence (exact integers).  Large ones: B_n = (-1)^(n/2+1) 2 n! zeta(n) /
// (2 pi)^n, evaluated to enough bits that the integer numerator N = |B_n| D
// (D the von Staudt-Clausen denominator) is the nearest integer to the
// approximation, with a proven error below 1/4.
#include <cmath>

#include "exact.hpp"
#include "modular.hpp"

namespace zel {

namespace {

void bernoulli_tangent(int64_t n, mpq_ptr out) {
    // T_1..T_N, then B_2N = (-1)^(N-1) 2N T_N / (2^2N (2^2N - 1)).
    int64_t N = n / 2;
    std::vector<Mpz> T((size_t)N + 1);
    mpz_set_ui(T[1], 1);
    for (int64_t k = 2; k <= N; ++k) mpz_mul_ui(T[(size_t)k], T[(size_t)k - 1], (unsigned long)(k - 1));
    for (int64_t k = 2; k <= N; ++k) {
        for (int64_t j = k; j <= N; ++j) {
            mpz_mul_ui(T[(size_t)j], T[(size_t)j], (unsigned long)(j - k + 2));
            mpz_addmul_ui(T[(size_t)j], T[(size_t)j - 1], (unsigned long)(j - k));
        }
    }
    mpz_ptr num = mpq_numref(out), den = mpq_denref(out);
    mpz_mul_ui(num, T[(size_t)N], (unsigned long)(2 * N));
    if (N % 2 == 0) mpz_neg(num, num);
    mpz_set_ui(den, 1);
    mpz_mul_2exp(den, den, (mp_bitcnt_t)(2 * N));
    mpz_sub_ui(den, den, 1);
    mpz_mul_2exp(den, den, (mp_bitcnt_t)(2 * N));
    mpq_canonicalize(out);
}

struct Mpf {
    mpf_t f;
    explicit Mpf(mp_bitcnt_t prec) { mpf_init2(f, prec); }
    ~Mpf() { mpf_clear(f); }
    Mpf(const Mpf&) = delete;
    Mpf& operator=(const Mpf&) = delete;
    operator mpf_ptr() { return f; }
    operator mpf_srcptr() const { return f; }
};

bool is_prime_small(int64_t v) {
    if (v < 2) return false;
    for (int64_t q = 2; q * q <= v; ++q) {
        if (v % q == 0) return false;
    }
    return true;
}

// pi 2^w within 8w units (Machin: 16 atan(1/5) - 4 atan(1/239); every
// truncated term is off by under 2 units, and there are under w/4 of them).
void pi_fixed(mp_bitcnt_t w, mpz_ptr out) {
    auto atan_inv = [w](unsigned long x, mpz_ptr sum) {
        Mpz t, term;
        mpz_set_ui(t, 1);
        mpz_mul_2exp(t, t, w);
        mpz_tdiv_q_ui(t, t, x);
        mpz_set_ui(sum, 0);
        for (unsigned long k = 0; mpz_sgn(t) != 0; ++k) {
            mpz_tdiv_q_ui(term, t, 2 * k + 1);
            if (k % 2)
                mpz_sub(sum, sum, term);
            else
                mpz_add(sum, sum, term);
            mpz_tdiv_q_ui(t, t, x * x);
        }
    };
    Mpz a, b;
    atan_inv(5, a);
    atan_inv(239, b);
    mpz_mul_ui(out, a, 16);
    mpz_submul_ui(out, b, 4);
}

void bernoulli_zeta(int64_t n, mpq_ptr out) {
    // D = product of the primes p with (p - 1) | n.
    Mpz D(1);
    for (int64_t d = 1; d * d <= n; ++d) {
        if (n % d) continue;
        if (is_prime_small(d + 1)) mpz_mul_ui(D, D, (unsigned long)(d + 1));
        int64_t e = n / d;
        if (e != d && is_prime_small(e + 1)) mpz_mul_ui(D, D, (unsigned long)(e + 1));
    }
    // A = 2 n! D; N = A zeta(n) / (2 pi)^n.
    Mpz A;
    mpz_fac_ui(A, (unsigned long)n);
    mpz_mul(A, A, D);
    mpz_mul_2exp(A, A, 1);
    double log2N = (double)mpz_sizeinbase(A, 2) - (double)n * std::log2(2 * M_PI) + 2;
    mp_bitcnt_t prec = (mp_bitcnt_t)(log2N > 0 ? log2N : 0) + 96;
    // Every step below is a truncation with relative error under 2^(1-prec);
    // some 2 log2(n) + 16 of them, and pi's relative error (under 8w 2^-w)
    // times n, keep the relative error below 2^(40-prec), so
    // |approx - N| < 2^-50 and rounding gives N.
    mp_bitcnt_t w = prec + 64;
    Mpz pz;
    pi_fixed(w, pz);
    Mpf two_pi(prec), p(prec), z(prec), t(prec), r(prec), a(prec);
    mpf_set_z(two_pi, pz);
    mpf_div_2exp(two_pi, two_pi, w - 1);
    mpf_pow_ui(p, two_pi, (unsigned long)n);
    // zeta(n): terms k^-n to the precision they contribute, until below 2^-prec-64.
    mpf_set_ui(z, 1);
    for (unsigned long k = 2;; ++k) {
        double tb = (double)n * std::log2((double)k);
        if (tb > (double)prec + 64) break;
        Mpf term((mp_bitcnt_t)((double)prec + 64 - tb) + 64);
        mpf_set_ui(term, k);
        mpf_pow_ui(term, term, (unsigned long)n);
        mpf_ui_div(term, 1, term);
        mpf_add(z, z, term);
    }
    mpf_set_z(a, A);
    mpf_mul(r, a, z);
    mpf_div(r, r, p);
    mpf_set_d(t, 0.5);
    mpf_add(r, r, t);
    mpz_ptr num = mpq_numref(out), den = mpq_denref(out);
    mpz_set_f(num, r);  // floor(approx + 1/2) == N
    if ((n / 2) % 2 == 0) mpz_neg(num, num);
    mpz_set(den, D);
    mpq_canonicalize(out);
}

}  // namespace

void bernoulli_number(int64_t n, mpq_ptr out) {
    if (n == 0 || n == 1) {
        mpq_set_ui(out, 1, (unsigned long)(n + 1));
        return;
    }
    if (n % 2) {
        mpq_set_ui(out, 0, 1);
        return;
    }
    check_exact_memory(4.0, (double)n * std::log2((double)n) + 64);
    if (n <= 100) {
        bernoulli_tangent(n, out);
        return;
    }
    bernoulli_zeta(n, out);
}

}  // namespace zel
