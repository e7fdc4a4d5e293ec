// Exact elimination on GMP.  Rows are cleared of their denominators first
// (B = D A with D = diag(row lcms)), so the work runs on integers:
// determinant, inverse and rref multimodularly (unique results), lu by
// fraction-free (Bareiss) elimination, whose entries are minors of B and
// whose divisions are exact (lu's pivots depend on exact magnitudes).
#include <cmath>

#include "exact.hpp"
#include "modular.hpp"

namespace zel {

namespace {

// B = D A with d_i the lcm of row i's denominators.
void clear_rows(const RatMatrix& A, IntMatrix& B, std::vector<Mpz>& d) {
    B = IntMatrix(A.rows, A.cols);
    d.assign((size_t)A.rows, Mpz());
    int64_t rows = A.rows;
#pragma omp parallel for schedule(static) if (A.a.size() >= 65536)
    for (int64_t i = 0; i < rows; ++i) {
        Mpz& di = d[(size_t)i];
        mpz_set_ui(di, 1);
        for (int64_t j = 0; j < A.cols; ++j) mpz_lcm(di, di, A.at(i, j).den());
        Mpz t;
        for (int64_t j = 0; j < A.cols; ++j) {
            const Mpq& q = A.at(i, j);
            mpz_divexact(t, di, q.den());
            mpz_mul(B.at(i, j), q.num(), t);
        }
    }
}

// Row swap of an integer matrix (columns from..cols-1).
void swap_rows(IntMatrix& B, int64_t r, int64_t s, int64_t from = 0) {
    if (r == s) return;
    for (int64_t j = from; j < B.cols; ++j) mpz_swap(B.at(r, j), B.at(s, j));
}

}  // namespace

void rat_det(const RatMatrix& A, mpq_ptr det) {
    IntMatrix B;
    std::vector<Mpz> d;
    clear_rows(A, B, d);
    det_multimodular(B, mpq_numref(det));
    mpz_set_ui(mpq_denref(det), 1);
    for (const Mpz& di : d) mpz_mul(mpq_denref(det), mpq_denref(det), di);
    mpq_canonicalize(det);
}

bool inv_records(const RatMatrix& A, std::vector<Fp>& out) {
    IntMatrix B, adj;
    std::vector<Mpz> d;
    clear_rows(A, B, d);
    Mpz det;
    if (!adjugate_multimodular(B, det, adj)) return false;
    // A^-1 = B^-1 D: entry (i, j) is adj_ij d_j / det(B).
    int64_t n = A.rows;
    out.assign((size_t)(n * n), Fp());
#pragma omp parallel if (n * n >= 65536)
    {
        Mpz t;
#pragma omp for schedule(static)
        for (int64_t e = 0; e < n * n; ++e) {
            mpz_mul(t, adj.a[(size_t)e], d[(size_t)(e % n)]);
            out[(size_t)e] = ratio_to_fp(t, det);
        }
    }
    return true;
}

namespace {

// rref from a pivot set found modulo one prime: with C = B[S, T] (S the
// pivot rows, T the pivot columns) the candidate is R_S = C^-1 B[S, :], its
// free columns adj(C) B[S, free] / det(C).  C is invertible over Q, so rank
// >= |T|; the candidate is the rref when it is in echelon form (zeros left
// of each pivot) and every other row of B lies in its row space.  False
// when the prime was unlucky.
bool rref_modular(const IntMatrix& B, size_t prime_index, std::vector<int64_t>& pivots,
                  std::vector<Fp>& out) {
    int64_t m = B.rows, n = B.cols;
    std::vector<int64_t> rows;
    echelon_pivots_mod(B, prime_index, pivots, rows);
    int64_t r = (int64_t)pivots.size();
    out.assign((size_t)(m * n), fp_zero());
    Fp one = fp_from_int(1);
    for (int64_t t = 0; t < r; ++t) out[(size_t)(t * n + pivots[(size_t)t])] = one;
    if (r == n) return true;  // full column rank: the identity on top
    if (r == 0) {
        for (const Mpz& x : B.a) {
            if (mpz_sgn(x) != 0) return false;
        }
        return true;
    }
    std::vector<int64_t> free_cols;
    std::vector<char> is_pivot((size_t)n, 0);
    for (int64_t c : pivots) is_pivot[(size_t)c] = 1;
    for (int64_t c = 0; c < n; ++c) {
        if (!is_pivot[(size_t)c]) free_cols.push_back(c);
    }
    int64_t f = (int64_t)free_cols.size();
    IntMatrix C(r, r), adj;
    for (int64_t s = 0; s < r; ++s) {
        for (int64_t t = 0; t < r; ++t) C.at(s, t) = B.at(rows[(size_t)s], pivots[(size_t)t]);
    }
    check_exact_memory((double)(r * f), hadamard_bits(C) + 64.0 * (double)r);
    Mpz det;
    if (!adjugate_multimodular(C, det, adj)) return false;
    IntMatrix Y(r, f);
#pragma omp parallel for schedule(static) if (r * r * f >= 1000000)
    for (int64_t t = 0; t < r; ++t) {
        for (int64_t j = 0; j < f; ++j) {
            mpz_ptr y = Y.at(t, j);
            for (int64_t s = 0; s < r; ++s)
                mpz_addmul(y, adj.at(t, s), B.at(rows[(size_t)s], free_cols[(size_t)j]));
        }
    }
    // Echelon form: nothing left of a pivot.
    for (int64_t t = 0; t < r; ++t) {
        for (int64_t j = 0; j < f && free_cols[(size_t)j] < pivots[(size_t)t]; ++j) {
            if (mpz_sgn(Y.at(t, j)) != 0) return false;
        }
    }
    // Every other row is the combination of the candidate's rows given by
    // its pivot entries: det * B[i, free] == B[i, T] Y.
    std::vector<char> in_s((size_t)m, 0);
    for (int64_t i : rows) in_s[(size_t)i] = 1;
    Mpz lhs, rhs;
    for (int64_t i = 0; i < m; ++i) {
        if (in_s[(size_t)i]) continue;
        for (int64_t j = 0; j < f; ++j) {
            mpz_mul(lhs, det, B.at(i, free_cols[(size_t)j]));
            mpz_set_ui(rhs, 0);
            for (int64_t t = 0; t < r; ++t) mpz_addmul(rhs, B.at(i, pivots[(size_t)t]), Y.at(t, j));
            if (mpz_cmp(lhs, rhs) != 0) return false;
        }
    }
    for (int64_t t = 0; t < r; ++t) {
        for (int64_t j = 0; j < f; ++j)
            out[(size_t)(t * n + free_cols[(size_t)j])] = ratio_to_fp(Y.at(t, j), det);
    }
    return true;
}

}  // namespace

std::vector<int64_t> rref_records(const RatMatrix& A, std::vector<Fp>& out) {
    IntMatrix B;
    std::vector<Mpz> d;
    clear_rows(A, B, d);
    check_exact_memory((double)B.a.size(), 64.0);
    // An unlucky prime divides one of finitely many nonzero minors: some
    // next prime succeeds.
    std::vector<int64_t> pivots;
    for (size_t attempt = 0;; ++attempt) {
        if (rref_modular(B, attempt, pivots, out)) return pivots;
    }
}

void lu_records(const RatMatrix& A, std::vector<Fp>& L, std::vector<Fp>& U, std::vector<int32_t>& perm) {
    IntMatrix B;
    std::vector<Mpz> d;
    clear_rows(A, B, d);
    check_exact_memory((double)B.a.size(), hadamard_bits(B));
    int64_t n = B.rows;
    Fp one = fp_from_int(1);
    L.assign((size_t)(n * n), fp_zero());
    U.assign((size_t)(n * n), fp_zero());
    for (int64_t i = 0; i < n; ++i) L[(size_t)(i * n + i)] = one;
    perm.resize((size_t)n);
    for (int64_t i = 0; i < n; ++i) perm[(size_t)i] = (int32_t)i;
    // The exact elimination value A_ij at step k is B_ij / (d_i * prev),
    // prev common to all rows: pivot magnitudes compare as |B_ik| / d_i.
    Mpz prev(1), t1, t2, den;
    for (int64_t k = 0; k < n; ++k) {
        int64_t mr = k;
        for (int64_t i = k + 1; i < n; ++i) {
            mpz_mul(t1, B.at(i, k), d[(size_t)mr]);
            mpz_mul(t2, B.at(mr, k), d[(size_t)i]);
            if (mpz_cmpabs(t1, t2) > 0) mr = i;
        }
        if (mr != k) {
            swap_rows(B, k, mr);
            mpz_swap(d[(size_t)k], d[(size_t)mr]);
            std::swap(perm[(size_t)k], perm[(size_t)mr]);
            for (int64_t j = 0; j < k; ++j) std::swap(L[(size_t)(k * n + j)], L[(size_t)(mr * n + j)]);
        }
        mpz_mul(den, d[(size_t)k], prev);
        for (int64_t j = k; j < n; ++j) U[(size_t)(k * n + j)] = ratio_to_fp(B.at(k, j), den);
        const Mpz& piv = B.at(k, k);
        if (mpz_sgn(piv) == 0) continue;
        bool unit_prev = mpz_cmp_ui(prev, 1) == 0;
#pragma omp parallel for schedule(dynamic, 4) if ((n - k) * (n - k) >= 256)
        for (int64_t i = k + 1; i < n; ++i) {
            Mpz num, q, t;
            // L_ik = A_ik / A_kk = B_ik d_k / (B_kk d_i)
            mpz_mul(num, B.at(i, k), d[(size_t)k]);
            mpz_mul(q, piv, d[(size_t)i]);
            L[(size_t)(i * n + k)] = ratio_to_fp(num, q);
            const Mpz a = B.at(i, k);
            bool a_zero = mpz_sgn(a) == 0;
            for (int64_t j = k + 1; j < n; ++j) {
                mpz_ptr x = B.at(i, j);
                const Mpz& y = B.at(k, j);
                if (a_zero || mpz_sgn(y) == 0) {
                    if (mpz_sgn(x) == 0) continue;
                    mpz_mul(x, x, piv);
                } else {
                    mpz_mul(t, x, piv);
                    mpz_submul(t, a, y);
                    mpz_swap(x, t);
                }
                if (!unit_prev) mpz_divexact(x, x, prev);
            }
            mpz_set_ui(B.at(i, k), 0);
        }
        prev = piv;
    }
}

}  // namespace zel
