// Exactly known numbers: Hilbert matrices and determinants, Bernoulli
// numbers and the zeta values they give.
#include <new>

#include "exact.hpp"
#include "modular.hpp"
#include "../core/convert.hpp"
#include "../core/errors.hpp"
#include "../core/tensor.hpp"

namespace zel {

namespace {

int64_t int_arg(nb::handle n) {
    require_int(n, "n");
    return exact_int_value(n, "n");
}

// Beyond this, a Bernoulli number's tangent-number table could not fit in
// memory anyway; refusing early keeps 2n and n + 1 in range.
constexpr int64_t BERNOULLI_INDEX_LIMIT = int64_t(1) << 40;

void bernoulli_nogil(int64_t n, mpq_ptr out) {
    if (n > BERNOULLI_INDEX_LIMIT && n % 2 == 0) throw std::bad_alloc();
    nb::gil_scoped_release nogil;
    bernoulli_number(n, out);
}

}  // namespace

nb::object op_hilbert_matrix(nb::handle n_obj) {
    int64_t n = int_arg(n_obj);
    if (n <= 0) return make_tensor(nb::list());
    if (n > 3037000499LL) throw std::bad_alloc();  // n * n overflows
    check_exact_memory((double)n * (double)n, 8.0 * sizeof(Fp));
    // Entries depend on i + j only: 2n - 1 distinct records, floor(2^256 / k).
    std::vector<Fp> unit((size_t)(2 * n - 1));
    Mpz one(1), k;
    for (int64_t s = 0; s < 2 * n - 1; ++s) {
        mpz_set_si(k, s + 1);
        unit[(size_t)s] = ratio_to_fp(one, k);
    }
    std::vector<Fp> recs((size_t)(n * n));
    for (int64_t i = 0; i < n; ++i) {
        for (int64_t j = 0; j < n; ++j) recs[(size_t)(i * n + j)] = unit[(size_t)(i + j)];
    }
    return records_to_tensor(recs, nb::make_tuple(n, n));
}

nb::object op_hilbert_det_exact(nb::handle n_obj) {
    int64_t n = int_arg(n_obj);
    // det(H_n) decreases with n and is far below the smallest double from
    // n = 30 on: the decimal quotient then reads back as 0.0.
    if (n > 64) return nb::float_(0.0);
    // det(H_n) = c(n)^4 / c(2n) with c(m) = 1! 2! ... (m-1)!.
    Mpq d;
    mpq_set_ui(d, 1, 1);
    if (n > 0) {
        Mpz fact(1), c_n(1), c_2n(1);
        for (int64_t i = 1; i < 2 * n; ++i) {
            mpz_mul_ui(fact, fact, (unsigned long)i);
            if (i < n) mpz_mul(c_n, c_n, fact);
            mpz_mul(c_2n, c_2n, fact);
        }
        mpz_pow_ui(d.num(), c_n, 4);
        mpz_set(d.den(), c_2n);
        mpq_canonicalize(d);
    }
    // The decimal division in the thread's context, then the nearest double.
    nb::object dec = py_refs().decimal;
    nb::object q =
        nb::steal(PyNumber_TrueDivide(dec(mpz_to_pylong(d.num())).ptr(), dec(mpz_to_pylong(d.den())).ptr()));
    if (!q.is_valid()) throw nb::python_error();
    return nb::float_(q);
}

nb::object op_bernoulli(nb::handle n_obj) {
    int64_t n = int_arg(n_obj);
    if (n < 0) throw nb::value_error("n must be non-negative");
    Mpq b;
    bernoulli_nogil(n, b);
    return mpq_to_fraction(b);
}

nb::object op_zeta_exact(nb::handle n_obj) {
    int64_t n = int_arg(n_obj);
    if (n < 0)
        throw nb::value_error(
            "zeta_exact only works for non-negative integers (giving ζ at negative integers)");
    if (n >= BERNOULLI_INDEX_LIMIT) throw std::bad_alloc();
    Mpq b, k;
    bernoulli_nogil(n + 1, b);
    mpq_set_si(k, -(n + 1), 1);
    mpq_div(b, b, k);
    return mpq_to_fraction(b);
}

nb::object op_zeta_at_even(nb::handle n_obj) {
    int64_t n = int_arg(n_obj);
    if (n <= 0) throw nb::value_error("n must be positive");
    if (n >= BERNOULLI_INDEX_LIMIT) throw std::bad_alloc();
    Mpq b;
    bernoulli_nogil(2 * n, b);
    // zeta(2n) = 2^(2n-1) |B_2n| / (2n)! * pi^(2n)
    Mpq c;
    mpz_abs(c.num(), b.num());
    mpz_mul_2exp(c.num(), c.num(), (mp_bitcnt_t)(2 * n - 1));
    mpz_fac_ui(c.den(), (unsigned long)(2 * n));
    mpz_mul(c.den(), c.den(), b.den());
    mpq_canonicalize(c);
    return nb::make_tuple(mpq_to_fraction(c), 2 * n);
}

}  // namespace zel
