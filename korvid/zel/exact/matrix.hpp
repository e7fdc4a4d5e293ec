// Dense row-major matrix of GMP values: Mpq for the rational path, Mpz for
// the integer (multimodular) one.
#pragma once

#include <cstdint>
#include <vector>

namespace zel {

template <class T>
struct DenseMatrix {
    int64_t rows = 0, cols = 0;
    std::vector<T> a;
    DenseMatrix() = default;
    DenseMatrix(int64_t r, int64_t c) : rows(r), cols(c), a((size_t)(r * c)) {}
    T& at(int64_t i, int64_t j) { return a[(size_t)(i * cols + j)]; }
    const T& at(int64_t i, int64_t j) const { return a[(size_t)(i * cols + j)]; }
};

}  // namespace zel
