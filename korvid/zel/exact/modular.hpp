// Integer matrices and their multimodular determinant and adjugate.
#pragma once

#include <cstdint>
#include <vector>

#include "../core/gmp.hpp"
#include "matrix.hpp"

namespace zel {

// Dense integer matrix, row-major.
using IntMatrix = DenseMatrix<Mpz>;

// log2 of Hadamard's bound: every minor of B is at most 2^bits in magnitude
// (nonzero integer rows have norm >= 1).  Rounded up with a margin.
double hadamard_bits(const IntMatrix& B);

// Refuses (MemoryError) a computation whose big integers would need more
// than a safe share of the machine's memory.
void check_exact_memory(double entries, double bits_per_entry);

// det(B) exactly, B square.
void det_multimodular(const IntMatrix& B, mpz_ptr det);
// Pivot columns of B's row echelon form modulo the prime_index-th prime
// (first nonzero pivot), and the original rows that became pivot rows:
// B[rows, pivots] is invertible modulo that prime, hence over Q.
void echelon_pivots_mod(const IntMatrix& B, size_t prime_index, std::vector<int64_t>& pivots,
                        std::vector<int64_t>& rows);
// det(B) and adj(B) = det(B) * B^-1 exactly; false (adj untouched) when B is
// singular.
bool adjugate_multimodular(const IntMatrix& B, mpz_ptr det, IntMatrix& adj);

}  // namespace zel
