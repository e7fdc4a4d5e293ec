// C++ API of the decompositions: Householder QR in exact rationals with
// double square roots, unshifted QR iteration, SVD through the symmetric
// eigenproblem, and the Pade matrix exponential.
//
// Working matrices are row-major host doubles; a double written to a tensor
// becomes its exact record and an element read is the record correctly
// rounded to a double, so the records these routines produce are those of
// the step-by-step host algorithm.  Files of this folder are compiled without
// floating-point contraction (every product and sum rounds on its own).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>
#include <nanobind/nanobind.h>

namespace zel {
namespace nb = nanobind;

// Denominator bound of the rationalised square roots in qr.
constexpr uint64_t QR_ROOT_DENOMINATOR = 1000000000000000ull;

// Raised (as MemoryError) when the exact numbers of qr would outgrow the
// working budget: each reflection roughly triples their length.
struct QrTooLarge : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// qr of the m x n matrix a (doubles, read from the tensor): Q (m x m) and
// R (m x n) as the nearest doubles of the exact rational results.  Pure
// C++: callers may release the GIL.  Budget overflow throws QrTooLarge.
void qr_doubles(const std::vector<double>& a, int64_t m, int64_t n, std::vector<double>& q,
                std::vector<double>& r);

// The square root of the host's float power x ** 0.5 (the C library's pow).
double pow_half(double x);

// Python-level operations (GIL held).
nb::object op_qr(nb::handle A);
nb::object op_eig(nb::handle A, nb::handle max_iter);
nb::object op_eigh(nb::handle A, nb::handle max_iter);
nb::object op_svd(nb::handle A, nb::handle max_iter);
nb::object op_expm(nb::handle A, nb::handle order);

}  // namespace zel
