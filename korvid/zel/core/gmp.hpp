// RAII wrappers of GMP integers and rationals, their Python-int conversions,
// and the best-rational-approximation rule of Fraction.limit_denominator.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <nanobind/nanobind.h>

namespace zel {
namespace nb = nanobind;

static_assert(sizeof(mp_limb_t) == 8, "64-bit GMP limbs expected");
static_assert(sizeof(unsigned long) == 8, "the *_ui GMP calls take 64-bit operands here");

// An mpz_t that can live in containers (moves swap, copies copy).
struct Mpz {
    mpz_t z;
    Mpz() { mpz_init(z); }
    explicit Mpz(long v) { mpz_init_set_si(z, v); }
    ~Mpz() { mpz_clear(z); }
    Mpz(const Mpz& o) { mpz_init_set(z, o.z); }
    Mpz(Mpz&& o) noexcept {
        mpz_init(z);
        mpz_swap(z, o.z);
    }
    Mpz& operator=(const Mpz& o) {
        if (this != &o) mpz_set(z, o.z);
        return *this;
    }
    Mpz& operator=(Mpz&& o) noexcept {
        mpz_swap(z, o.z);
        return *this;
    }
    operator mpz_ptr() { return z; }
    operator mpz_srcptr() const { return z; }
    // GMP's macros (mpz_sgn) dereference their argument.
    __mpz_struct* operator->() { return z; }
    const __mpz_struct* operator->() const { return z; }
};

// An mpq_t; the value is kept canonical by whoever writes num/den directly.
struct Mpq {
    mpq_t q;
    Mpq() { mpq_init(q); }
    ~Mpq() { mpq_clear(q); }
    Mpq(const Mpq& o) {
        mpq_init(q);
        mpq_set(q, o.q);
    }
    Mpq(Mpq&& o) noexcept {
        mpq_init(q);
        mpq_swap(q, o.q);
    }
    Mpq& operator=(const Mpq& o) {
        if (this != &o) mpq_set(q, o.q);
        return *this;
    }
    Mpq& operator=(Mpq&& o) noexcept {
        mpq_swap(q, o.q);
        return *this;
    }
    operator mpq_ptr() { return q; }
    operator mpq_srcptr() const { return q; }
    mpz_ptr num() { return mpq_numref(q); }
    mpz_ptr den() { return mpq_denref(q); }
    mpz_srcptr num() const { return mpq_numref(q); }
    mpz_srcptr den() const { return mpq_denref(q); }
};

// Python int <-> mpz (any size).
void pylong_to_mpz(mpz_ptr out, nb::handle o);
nb::object mpz_to_pylong(mpz_srcptr z);

// Fraction(num, den).limit_denominator(max_den), in place, exactly as the
// standard library computes it (ties included): the closest fraction with a
// denominator of at most max_den; a value whose own denominator is already
// that small is kept.  num/den must be in lowest terms with den > 0;
// 1 <= max_den < 2^62.  The result is in lowest terms.
void limit_denominator(mpz_ptr num, mpz_ptr den, uint64_t max_den);

// float(Fraction(num, den)) for den > 0 (not necessarily in lowest terms):
// the nearest double, ties to even, subnormals included, -0.0 for a negative
// value that underflows.  std::overflow_error (OverflowError) past the double
// range, with the host's message.
double ratio_to_double(mpz_srcptr num, mpz_srcptr den);

}  // namespace zel
