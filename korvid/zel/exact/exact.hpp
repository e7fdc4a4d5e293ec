// C++ API of the exact rational path: the bridge between tensors and GMP
// rationals, exact elimination, and the Python-level operations.
//
// Functions taking only C++ data never touch Python objects, so callers may
// run them with the GIL released; those taking nb::handle need the GIL.
#pragma once

#include <cstdint>
#include <vector>
#include <nanobind/nanobind.h>

#include "../core/fixed_point.hpp"
#include "../core/gmp.hpp"
#include "matrix.hpp"

namespace zel {
namespace nb = nanobind;

// The largest denominator the bridge's cleaning produces.
constexpr uint64_t MAX_DENOMINATOR = 1000000000000ull;

// Dense rational matrix, row-major.  Entries may be unreduced (den > 0):
// conversions to records do not need lowest terms.
using RatMatrix = DenseMatrix<Mpq>;

// ---- values ---------------------------------------------------------------
// The exact value of a record, in lowest terms (den a power of two).
void fp_to_mpq(const Fp& r, mpq_ptr out);
// The exact value cleaned to the closest fraction with denominator <= bound
// (Fraction.limit_denominator's rule, ties included).
void clean_record(const Fp& r, mpq_ptr out, uint64_t bound = MAX_DENOMINATOR);
// The record of num/den (den != 0) rounded toward -inf at 2^-256, saturated:
// the host conversion of a Fraction.
Fp ratio_to_fp(mpz_srcptr num, mpz_srcptr den);
inline Fp mpq_to_fp(mpq_srcptr q) { return ratio_to_fp(mpq_numref(q), mpq_denref(q)); }

// ---- bridge (GIL held) ------------------------------------------------------
// A 2-D tensor as a cleaned rational matrix ("Requires 2D tensor" otherwise;
// a shape that disagrees with the data is a ValueError).  Cleaning runs
// with the GIL released.
RatMatrix tensor_to_rat_matrix(nb::handle A);
// A 1-D tensor as cleaned rationals ("Requires 1D tensor" otherwise).
std::vector<Mpq> tensor_to_rat_vector(nb::handle b);
// New tensors of exact values (each rounded toward -inf at 2^-256).
nb::object records_to_tensor(const std::vector<Fp>& recs, nb::handle shape);
nb::object rat_matrix_to_tensor(const RatMatrix& M);
nb::object rat_vector_to_tensor(const std::vector<Mpq>& v);
// Python Fraction <-> mpq (Fraction arguments must have int parts).
void fraction_to_mpq(nb::handle f, mpq_ptr out);
nb::object mpq_to_fraction(mpq_srcptr q);  // q canonical

// ---- elimination (pure C++, no GIL needed) ---------------------------------
// Determinant (canonical).
void rat_det(const RatMatrix& A, mpq_ptr det);
// Inverse as records; false when A is singular.
bool inv_records(const RatMatrix& A, std::vector<Fp>& out);
// Reduced row echelon form as records (rows x cols) and the pivot columns.
std::vector<int64_t> rref_records(const RatMatrix& A, std::vector<Fp>& out);
// Doolittle LU with partial pivoting on exact magnitudes (strictly larger
// wins; zero columns are left in U): records of L and U, and the row order.
void lu_records(const RatMatrix& A, std::vector<Fp>& L, std::vector<Fp>& U, std::vector<int32_t>& perm);
// B_n with B_1 = +1/2 (canonical); n >= 0.
void bernoulli_number(int64_t n, mpq_ptr out);

// ---- operations (GIL held) --------------------------------------------------
nb::object op_clean_fraction(nb::handle f);
nb::object op_rref(nb::handle A);  // (Tensor, pivot list)
nb::object op_rank(nb::handle A);
nb::object op_null_space(nb::handle A);
nb::object op_det(nb::handle A);
nb::object op_inv(nb::handle A);
nb::object op_solve(nb::handle A, nb::handle b);
nb::object op_lu(nb::handle a);
bool op_verify_identity(nb::handle A, nb::handle tol);
nb::object op_cross(nb::handle a, nb::handle b);
nb::object op_cross_exact(nb::handle a, nb::handle b);
// Bridge functions with the Python argument rules (matrix/vec exact lists).
nb::object fraction_matrix_to_tensor(nb::handle matrix, nb::handle shape);
nb::object fraction_vector_to_tensor(nb::handle vec);
nb::object py_tensor_to_fraction_matrix(nb::handle A);
nb::object py_tensor_to_fraction_vector(nb::handle b);
// Special numbers (n an exact int).
nb::object op_hilbert_matrix(nb::handle n);
nb::object op_hilbert_det_exact(nb::handle n);
nb::object op_bernoulli(nb::handle n);
nb::object op_zeta_exact(nb::handle n);
nb::object op_zeta_at_even(nb::handle n);

}  // namespace zel
