#include "gmp.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace zel {

namespace {
int py_as_bytes(PyObject* o, unsigned char* buf, size_t n) {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyLong_AsByteArray((PyLongObject*)o, buf, n, 1, 0, 1);
#else
    return _PyLong_AsByteArray((PyLongObject*)o, buf, n, 1, 0);
#endif
}
}  // namespace

void pylong_to_mpz(mpz_ptr out, nb::handle o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (!overflow) {
        mpz_set_si(out, (long)v);
        return;
    }
    bool neg = overflow < 0;
    nb::object a = neg ? nb::steal(PyNumber_Absolute(o.ptr())) : nb::borrow(o);
    if (!a.is_valid()) throw nb::python_error();
    size_t bits = _PyLong_NumBits(a.ptr());
    size_t nbytes = bits / 8 + 1;
    std::vector<unsigned char> buf(nbytes);
    if (py_as_bytes(a.ptr(), buf.data(), nbytes) < 0) throw nb::python_error();
    mpz_import(out, nbytes, -1, 1, 0, 0, buf.data());
    if (neg) mpz_neg(out, out);
}

nb::object mpz_to_pylong(mpz_srcptr z) {
    if (mpz_fits_slong_p(z)) return nb::steal(PyLong_FromLong(mpz_get_si(z)));
    size_t nbytes = (mpz_sizeinbase(z, 2) + 7) / 8;
    std::vector<unsigned char> buf(nbytes + 1, 0);
    size_t count = 0;
    mpz_export(buf.data(), &count, -1, 1, 0, 0, z);
    nb::object r = nb::steal(_PyLong_FromByteArray(buf.data(), count ? count : 1, 1, 0));
    if (!r.is_valid()) throw nb::python_error();
    if (mpz_sgn(z) < 0) r = nb::steal(PyNumber_Negative(r.ptr()));
    return r;
}

// The continued-fraction walk of Fraction.limit_denominator.  After the
// first partial quotient a0 = floor(num/den), every convergent p/q is
// a0*q + s with 0 <= s <= q <= max_den, so the walk runs on machine words;
// only the remainders n, d stay big.
void limit_denominator(mpz_ptr num, mpz_ptr den, uint64_t max_den) {
    if (mpz_cmp_ui(den, max_den) <= 0) return;
    Mpz a0, n, d, a, r;
    mpz_fdiv_qr(a0, d, num, den);  // d > 0: den > 1 and num/den is reduced
    mpz_set(n, den);
    uint64_t q0 = 0, q1 = 1, s0 = 1, s1 = 0;
    while (mpz_sgn(d) != 0) {
        uint64_t amax = (max_den - q0) / q1;
        mpz_fdiv_qr(a, r, n, d);
        if (mpz_cmp_ui(a, amax) > 0) break;
        uint64_t av = mpz_get_ui(a);
        uint64_t q2 = q0 + av * q1, s2 = s0 + av * s1;
        q0 = q1;
        s0 = s1;
        q1 = q2;
        s1 = s2;
        mpz_swap(n, d);
        mpz_swap(d, r);
    }
    uint64_t k = (max_den - q0) / q1;
    uint64_t bq = q0 + k * q1, bs = s0 + k * s1;
    // p1/q1 when 2*d*(q0 + k*q1) <= den: the closer candidate, ties to p1/q1.
    Mpz t;
    mpz_mul_ui(t, d, bq);
    mpz_mul_2exp(t, t, 1);
    uint64_t q, s;
    if (mpz_cmp(t, den) <= 0) {
        q = q1;
        s = s1;
    } else {
        q = bq;
        s = bs;
    }
    mpz_mul_ui(num, a0, q);
    mpz_add_ui(num, num, s);
    mpz_set_ui(den, q);
}

// The host's true division of ints: a quotient of 54 or 55 bits (fewer in
// the subnormal range) plus a sticky bit, rounded half to even at the
// double's precision, then scaled exactly.
double ratio_to_double(mpz_srcptr num, mpz_srcptr den) {
    const int sgn = mpz_sgn(num);
    if (sgn == 0) return 0.0;
    Mpz a, x, q, r;
    mpz_abs(a, num);
    const long a_bits = (long)mpz_sizeinbase(a, 2), b_bits = (long)mpz_sizeinbase(den, 2);
    const long diff = a_bits - b_bits;
    if (diff > DBL_MAX_EXP) throw std::overflow_error("integer division result too large for a float");
    if (diff < DBL_MIN_EXP - DBL_MANT_DIG - 1) return sgn < 0 ? -0.0 : 0.0;
    const long shift = std::max(diff, (long)DBL_MIN_EXP) - DBL_MANT_DIG - 2;
    bool inexact = false;
    if (shift <= 0) {
        mpz_mul_2exp(x, a, (mp_bitcnt_t)-shift);
    } else {
        mpz_fdiv_q_2exp(x, a, (mp_bitcnt_t)shift);
        inexact = mpz_scan1(a, 0) < (mp_bitcnt_t)shift;
    }
    mpz_fdiv_qr(q, r, x, den);
    if (mpz_sgn(r) != 0) inexact = true;
    const long x_bits = (long)mpz_sizeinbase(q, 2);  // at most 56
    const long extra = std::max(x_bits, (long)DBL_MIN_EXP - shift) - DBL_MANT_DIG;
    const uint64_t mask = 1ull << (extra - 1);
    uint64_t low = mpz_get_ui(q) | (inexact ? 1u : 0u);
    if ((low & mask) && (low & (3 * mask - 1))) low += mask;
    low &= ~(2 * mask - 1);
    const double dx = (double)low;  // exact: at most 54 significant bits
    if (shift + x_bits >= DBL_MAX_EXP && (shift + x_bits > DBL_MAX_EXP || dx == std::ldexp(1.0, (int)x_bits)))
        throw std::overflow_error("integer division result too large for a float");
    const double v = std::ldexp(dx, (int)shift);
    return sgn < 0 ? -v : v;
}

}  // namespace zel
