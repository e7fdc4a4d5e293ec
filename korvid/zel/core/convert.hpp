// Exact host conversions between Python values and records (GMP backed).
#pragma once

#include <nanobind/nanobind.h>

#include "fixed_point.hpp"
#include "gmp.hpp"

namespace zel {
namespace nb = nanobind;

void conversions_init();

// Record of the integer z (exact; saturates past the format's range).
Fp fp_from_integer(mpz_srcptr z);
Fp fp_from_pylong(nb::handle o);
// floor(num * 2^256 / den) as a record (den > 0); saturates.
Fp fp_from_ratio(mpz_srcptr num, mpz_srcptr den);
// The record of any value the host conversion accepts (int, float, Decimal,
// str, Fraction, anything Fraction() takes).  Exact; floats go through
// Fraction(val).limit_denominator(10**15).
Fp value_to_fp(nb::handle val);
// dec.adjusted() of a Decimal (the exponent of its leading digit), clamped
// to the int64 range when it is past it.
long long decimal_adjusted(nb::handle dec);
// The record of a fractions.Fraction (or anything with numerator and
// denominator): floor(q * 2^256), saturated.
Fp fraction_like_to_fp(nb::handle q);
// The record of a list element on the bulk path: floats exactly as doubles,
// ints exactly, other exact types through value_to_fp.
Fp bulk_element_to_fp(nb::handle v);

// Magnitude as a Python int, and the exact value as a Fraction.
nb::object mag_to_pylong(const Fp& a);
nb::object fp_to_fraction(const Fp& a);
// A Fraction of the coprime ints num/den (den > 0), built without a gcd.
nb::object fraction_from_coprime(nb::handle num, nb::handle den);
// Reads a record from a structured scalar or anything indexable by the
// field names.
Fp fp_from_record_like(nb::handle arr);

// Host records -> new NumPy structured array (staging/host copies).
nb::object host_record_array(const Fp* src, size_t n);

}  // namespace zel
