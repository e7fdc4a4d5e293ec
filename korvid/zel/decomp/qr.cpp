// Householder QR in exact rationals.  The values are those of the step-by-
// step rational algorithm (every operation exact; only the two square roots
// of a step go through doubles, rationalised to denominators of 10^15), but
// they are held without per-operation gcds: R's active block keeps one
// denominator per column and Q's one per row, so a reflection is integer
// multiply-adds plus one scalar ratio.  An entry that no later reflection
// touches is rounded to its double at once and dropped.
#include "decomp.hpp"

#include <algorithm>
#include <cmath>

#include "../core/gmp.hpp"
#include "../exact/exact.hpp"

namespace zel {

double pow_half(double x) {
    // Through a pointer so the compiler cannot substitute sqrt (which differs
    // from pow at -0.0 and -inf).
    static double (*volatile host_pow)(double, double) = &std::pow;
    return host_pow(x, 0.5);
}

namespace {

// Fraction(x).limit_denominator(bound) for a finite double x.
void rationalise(double x, mpz_ptr num, mpz_ptr den, uint64_t bound) {
    Mpq v;
    mpq_set_d(v, x);  // exact, lowest terms
    mpz_swap(num, mpq_numref(v.q));
    mpz_swap(den, mpq_denref(v.q));
    limit_denominator(num, den, bound);
}

// Above this, the exact working numbers of one reflection are refused.
constexpr double QR_BYTE_BUDGET = 2.0 * 1024 * 1024 * 1024;
// ... and so is a run whose estimated work passes a few minutes (a dense
// 10 x 10 matrix took about a minute on a loaded 2-core machine).
constexpr double QR_WORK_BUDGET = 2e11;

struct ExactQr {
    int64_t m, n;
    std::vector<Mpz> Rn, DR;  // R[i][j] = Rn[i*n+j] / DR[j] on the active block
    std::vector<Mpz> Qn, DQ;  // Q[i][j] = Qn[i*m+j] / DQ[i] on the active columns
    std::vector<double>& q;
    std::vector<double>& r;
    double work = 0.0;

    ExactQr(const std::vector<double>& a, int64_t m_, int64_t n_, std::vector<double>& q_,
            std::vector<double>& r_)
        : m(m_),
          n(n_),
          Rn((size_t)(m_ * n_)),
          DR((size_t)n_),
          Qn((size_t)(m_ * m_)),
          DQ((size_t)m_),
          q(q_),
          r(r_) {
        q.assign((size_t)(m * m), 0.0);
        r.assign((size_t)(m * n), 0.0);
        std::vector<Mpz> dens((size_t)(m * n));
        for (int64_t i = 0; i < m * n; ++i)
            rationalise(a[(size_t)i], Rn[(size_t)i], dens[(size_t)i], MAX_DENOMINATOR);
        Mpz t;
        for (int64_t j = 0; j < n; ++j) {
            mpz_set_ui(DR[(size_t)j], 1);
            for (int64_t i = 0; i < m; ++i) mpz_lcm(DR[(size_t)j], DR[(size_t)j], dens[(size_t)(i * n + j)]);
            for (int64_t i = 0; i < m; ++i) {
                mpz_divexact(t, DR[(size_t)j], dens[(size_t)(i * n + j)]);
                mpz_mul(Rn[(size_t)(i * n + j)], Rn[(size_t)(i * n + j)], t);
            }
        }
        for (int64_t i = 0; i < m; ++i) {
            mpz_set_ui(DQ[(size_t)i], 1);
            mpz_set_ui(Qn[(size_t)(i * m + i)], 1);
        }
    }

    void final_r(int64_t i, int64_t j) {
        r[(size_t)(i * n + j)] = ratio_to_double(Rn[(size_t)(i * n + j)], DR[(size_t)j]);
    }
    void final_q(int64_t i, int64_t j) {
        q[(size_t)(i * m + j)] = ratio_to_double(Qn[(size_t)(i * m + j)], DQ[(size_t)i]);
    }

    // Reflection k on rows k.. of R and columns k.. of Q (or nothing, when
    // the column or the Householder vector is exactly zero).
    void step(int64_t k) {
        const int64_t len = m - k;
        bool zero = true;
        for (int64_t i = k; i < m && zero; ++i) zero = mpz_sgn(Rn[(size_t)(i * n + k)]) == 0;
        if (zero) return;
        Mpz s, t, d2, an, ad, rn, rd, cn, cd;
        // alpha: the double root of the double nearest the squared norm.
        for (int64_t i = k; i < m; ++i) mpz_addmul(s, Rn[(size_t)(i * n + k)], Rn[(size_t)(i * n + k)]);
        mpz_mul(d2, DR[(size_t)k], DR[(size_t)k]);
        rationalise(pow_half(ratio_to_double(s, d2)), an, ad, QR_ROOT_DENOMINATOR);
        // x over the common denominator Dx = DR[k] * ad; x[0] moves away from 0.
        std::vector<Mpz> X((size_t)len);
        for (int64_t i = 0; i < len; ++i) mpz_mul(X[(size_t)i], Rn[(size_t)((k + i) * n + k)], ad);
        mpz_mul(t, an, DR[(size_t)k]);
        if (mpz_sgn(Rn[(size_t)(k * n + k)]) >= 0)
            mpz_add(X[0], X[0], t);
        else
            mpz_sub(X[0], X[0], t);
        Mpz dx;
        mpz_mul(dx, DR[(size_t)k], ad);
        mpz_set_ui(s, 0);
        for (int64_t i = 0; i < len; ++i) mpz_addmul(s, X[(size_t)i], X[(size_t)i]);
        if (mpz_sgn(s) == 0) return;
        mpz_mul(d2, dx, dx);
        rationalise(pow_half(ratio_to_double(s, d2)), rn, rd, QR_ROOT_DENOMINATOR);
        // A vector shorter than about 5e-16 rationalises to length 0 (so does
        // alpha): dividing by it would fail, so the column is left as it is,
        // as an exactly zero one is.
        if (mpz_sgn(rn) == 0) return;
        // H = I - c x x^T with c = 2 rd^2 / (Dx^2 rn^2) = cn / cd.
        mpz_mul(cn, rd, rd);
        mpz_mul_2exp(cn, cn, 1);
        mpz_mul(cd, rn, rn);
        mpz_mul(cd, cd, d2);
        mpz_gcd(t, cn, cd);
        mpz_divexact(cn, cn, t);
        mpz_divexact(cd, cd, t);
        check_budget(k, cd);

        const int64_t cols = n - k;
        const bool par = (int64_t)mpz_sizeinbase(cd, 2) * (cols + m) * len > (int64_t)1 << 22;
#pragma omp parallel for schedule(dynamic) if (par)
        for (int64_t jj = 0; jj < cols + m; ++jj) {
            Mpz w;
            if (jj < cols) {  // column j of R: R' = R - c x (x^T R)
                const int64_t j = k + jj;
                for (int64_t i = 0; i < len; ++i) mpz_addmul(w, X[(size_t)i], Rn[(size_t)((k + i) * n + j)]);
                mpz_mul(w, w, cn);
                for (int64_t i = 0; i < len; ++i) {
                    Mpz& e = Rn[(size_t)((k + i) * n + j)];
                    mpz_mul(e, e, cd);
                    mpz_submul(e, X[(size_t)i], w);
                }
                mpz_mul(DR[(size_t)j], DR[(size_t)j], cd);
                reduce(&Rn[(size_t)(k * n + j)], n, len, DR[(size_t)j], w);
            } else {  // row i of Q: Q' = Q - c (Q x) x^T
                const int64_t i = jj - cols;
                for (int64_t j = 0; j < len; ++j) mpz_addmul(w, Qn[(size_t)(i * m + k + j)], X[(size_t)j]);
                mpz_mul(w, w, cn);
                for (int64_t j = 0; j < len; ++j) {
                    Mpz& e = Qn[(size_t)(i * m + k + j)];
                    mpz_mul(e, e, cd);
                    mpz_submul(e, w, X[(size_t)j]);
                }
                mpz_mul(DQ[(size_t)i], DQ[(size_t)i], cd);
                reduce(&Qn[(size_t)(i * m + k)], 1, len, DQ[(size_t)i], w);
            }
        }
    }

    // Divides count entries (stride apart) and their denominator by their
    // common factor.  Structured matrices (diagonal, zero blocks, exact
    // reflections) keep short numbers this way, as lowest terms would; for
    // dense ones the first gcd is usually 1 and ends the search.
    static void reduce(Mpz* e, int64_t stride, int64_t count, Mpz& den, Mpz& g) {
        mpz_set(g, den);
        for (int64_t i = 0; i < count && mpz_cmp_ui(g, 1) != 0; ++i) mpz_gcd(g, g, e[i * stride]);
        if (mpz_cmp_ui(g, 1) == 0) return;
        for (int64_t i = 0; i < count; ++i) mpz_divexact(e[i * stride], e[i * stride], g);
        mpz_divexact(den, den, g);
    }

    void check_budget(int64_t k, mpz_srcptr cd) {
        size_t big = 0;
        for (int64_t j = k; j < n; ++j) big = std::max(big, mpz_sizeinbase(DR[(size_t)j], 2));
        for (int64_t i = 0; i < m; ++i) big = std::max(big, mpz_sizeinbase(DQ[(size_t)i], 2));
        const double bits = (double)big + (double)mpz_sizeinbase(cd, 2) + 320.0;
        const double entries = (double)((m - k) * (n - k) + m * (m - k));
        // Products of this step (about 3 per entry and vector element), each
        // costing roughly bits * log2(bits) bit operations.
        work += entries * (double)(m - k) * 3.0 * bits * std::log2(bits);
        if (bits / 8.0 * entries * 2.0 > QR_BYTE_BUDGET || work > QR_WORK_BUDGET)
            throw QrTooLarge(
                "qr: the exact intermediate values grow beyond the working budget of 2 GiB or a few minutes "
                "(each reflection roughly triples their length)");
    }

    void run() {
        const int64_t kend = std::min(m - 1, n);
        int64_t k = 0;
        for (; k < kend; ++k) {
            step(k);
            // Row k of R, column k of R below it and column k of Q are final.
            for (int64_t j = k; j < n; ++j) final_r(k, j);
            for (int64_t i = k + 1; i < m; ++i) final_r(i, k);
            for (int64_t i = 0; i < m; ++i) final_q(i, k);
        }
        for (int64_t i = k; i < m; ++i)
            for (int64_t j = k; j < n; ++j) final_r(i, j);
        for (int64_t i = 0; i < m; ++i)
            for (int64_t j = k; j < m; ++j) final_q(i, j);
    }
};

}  // namespace

void qr_doubles(const std::vector<double>& a, int64_t m, int64_t n, std::vector<double>& q,
                std::vector<double>& r) {
    ExactQr w(a, m, n, q, r);
    w.run();
}

}  // namespace zel
