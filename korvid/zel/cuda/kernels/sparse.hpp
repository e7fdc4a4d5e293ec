// CSR sparse kernels: the two passes that turn a dense matrix into CSR form
// (count the non-zeros of each row, then extract them into the slots a prefix
// sum reserved) and the sparse matrix-vector product.
//
// A record counts as non-zero when its magnitude is not zero, whatever its
// sign field: negative zero is zero.  Count and extract use the same test, so
// the extract pass fills exactly the slots the count pass reserved.
#pragma once
#include "../../core/fixed_point.hpp"
#include "reduce.hpp"

namespace zel {

// row_counts[r] = non-zeros of row r; one thread per row.
ZEL_HD void fp_dense_to_csr_count_kernel_body(const ThreadCtx& t, const Fp* dense, int32_t* row_counts,
                                              int rows, int cols) {
    if ((int64_t)t.x >= rows) return;
    const Fp* row = dense + (int64_t)t.x * cols;
    int32_t c = 0;
    for (int64_t j = 0; j < cols; ++j) c += fp_is_zero(row[j]) ? 0 : 1;
    row_counts[t.x] = c;
}

// The k-th non-zero of row r goes to slot row_ptrs[r] + k.  Writes stay
// inside [row_ptrs[r], row_ptrs[r+1]) even if the pointers disagree with the
// matrix, so a bad prefix sum cannot push a write past its row.
ZEL_HD void fp_dense_to_csr_extract_kernel_body(const ThreadCtx& t, const Fp* dense, Fp* values,
                                                int32_t* col_indices, const int32_t* row_ptrs, int rows,
                                                int cols) {
    if ((int64_t)t.x >= rows) return;
    const Fp* row = dense + (int64_t)t.x * cols;
    int64_t pos = row_ptrs[t.x];
    const int64_t end = row_ptrs[t.x + 1];
    for (int64_t j = 0; j < cols && pos < end; ++j) {
        if (fp_is_zero(row[j])) continue;
        values[pos] = fp_canon(row[j]);
        col_indices[pos] = (int32_t)j;
        ++pos;
    }
}

// out[r] = sum over the row's stored values of value * x[column]: each
// product rounded as fp_mul rounds it, the sum exact (as fp_mv_kernel), so a
// sparse product equals the dense one record for record.
ZEL_HD void fp_spmv_kernel_body(const ThreadCtx& t, const Fp* values, const int32_t* col_indices,
                                const int32_t* row_ptrs, const Fp* x, Fp* out, int rows) {
    if ((int64_t)t.x >= rows) return;
    WAcc acc;
    wacc_clear(acc);
    const int64_t end = row_ptrs[t.x + 1];
    for (int64_t k = row_ptrs[t.x]; k < end; ++k) wacc_add_prod_fp(acc, values[k], x[col_indices[k]]);
    out[t.x] = wacc_to_fp(acc);
}

// Host check of CSR arrays before anything reads through them: rows + 1
// pointers rising from 0 to nnz, nnz column indices each below cols.  Returns
// nullptr when they are consistent, else what is wrong.
inline const char* csr_arrays_problem(const int32_t* row_ptrs, int64_t n_ptrs, int64_t rows,
                                      const int32_t* col_indices, int64_t n_cols_idx, int64_t nnz,
                                      int64_t cols) {
    if (n_ptrs != rows + 1) return "_row_ptrs must hold rows + 1 entries";
    if (n_cols_idx != nnz) return "_col_indices must hold as many entries as _values";
    if (row_ptrs[0] != 0) return "_row_ptrs must start at 0";
    for (int64_t r = 0; r < rows; ++r)
        if (row_ptrs[r + 1] < row_ptrs[r]) return "_row_ptrs must not decrease";
    if (row_ptrs[rows] != nnz) return "_row_ptrs must end at the number of stored values";
    for (int64_t k = 0; k < nnz; ++k)
        if (col_indices[k] < 0 || col_indices[k] >= cols) return "_col_indices must lie in [0, cols)";
    return nullptr;
}

}  // namespace zel

#define ZEL_KERNELS_SPARSE(X)                                                                           \
    X(fp_dense_to_csr_count_kernel, (const Fp* dense, int32_t* row_counts, int rows, int cols),         \
      (dense, row_counts, rows, cols))                                                                  \
    X(fp_dense_to_csr_extract_kernel,                                                                   \
      (const Fp* dense, Fp* values, int32_t* col_indices, const int32_t* row_ptrs, int rows, int cols), \
      (dense, values, col_indices, row_ptrs, rows, cols))                                               \
    X(fp_spmv_kernel,                                                                                   \
      (const Fp* values, const int32_t* col_indices, const int32_t* row_ptrs, const Fp* x, Fp* out,     \
       int rows),                                                                                       \
      (values, col_indices, row_ptrs, x, out, rows))

// Bounds of raw launches (host only, see bounds.hpp).  Where extract and
// spmv read and write depends on the row pointers' contents, so their rules
// read them: every pointer must lie within the value and column arrays, and
// (spmv) every column index in use within x.
#ifndef __CUDACC__
#include <string>
#include "bounds.hpp"
namespace zel::bounds {

// The rows + 1 pointers at array k_ptrs lie in [0, min(values, columns)];
// returns the largest.
inline int64_t csr_pointers_within(const Launch& L, size_t k_ptrs, size_t k_vals, size_t k_cols,
                                   int64_t rows) {
    const int32_t* p = L.host_i32(k_ptrs, rows + 1);
    const int64_t cap = L.sz[k_vals] < L.sz[k_cols] ? L.sz[k_vals] : L.sz[k_cols];
    int64_t top = 0;
    for (int64_t r = 0; r <= rows; ++r) {
        if (p[r] < 0 || p[r] > cap)
            L.refuse("row pointer " + std::to_string(p[r]) + " outside [0, " + std::to_string(cap) + "]");
        top = p[r] > top ? p[r] : top;
    }
    return top;
}

// (dense, row_counts, rows, cols)
inline void fp_dense_to_csr_count_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(2), L.nonneg({0, 1});
    L.need(0, (I128)iv[0] * iv[1]), L.need(1, iv[0]);
}

// (dense, values, col_indices, row_ptrs, rows, cols)
inline void fp_dense_to_csr_extract_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(2), L.nonneg({0, 1});
    const int64_t rows = iv[0];
    L.need(0, (I128)rows * iv[1]), L.need(3, rows > 0 ? (I128)rows + 1 : 0);
    if (rows > 0) csr_pointers_within(L, 3, 1, 2, rows);
}

// (values, col_indices, row_ptrs, x, out, rows)
inline void fp_spmv_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(1), L.nonneg({0});
    const int64_t rows = iv[0];
    L.need(4, rows), L.need(2, rows > 0 ? (I128)rows + 1 : 0);
    if (rows <= 0) return;
    const int64_t top = csr_pointers_within(L, 2, 0, 1, rows);
    const int32_t* c = L.host_i32(1, top);
    for (int64_t k = 0; k < top; ++k)
        if (c[k] < 0 || c[k] >= L.sz[3])
            L.refuse("column index " + std::to_string(c[k]) + " outside x of " + std::to_string(L.sz[3]) +
                     " elements");
}

}  // namespace zel::bounds
#endif
