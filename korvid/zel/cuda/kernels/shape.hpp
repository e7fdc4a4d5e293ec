// Fill and shape kernels.
#pragma once
#include "../../core/fixed_point.hpp"

namespace zel {

ZEL_HD void fp_zeros_kernel_body(const ThreadCtx& t, Fp* out, int n) {
    if ((long long)t.x >= n) return;
    out[t.x] = fp_zero();
}

ZEL_HD void fp_ones_kernel_body(const ThreadCtx& t, Fp* out, int n) {
    if ((long long)t.x >= n) return;
    out[t.x] = fp_from_int(1);
}

// n x n identity; the launch covers n * n threads (n is the side, not the
// record count).
ZEL_HD void fp_eye_kernel_body(const ThreadCtx& t, Fp* out, int n) {
    long long side = n;
    if ((long long)t.x >= side * side) return;
    long long row = t.x / side, col = t.x - row * side;
    out[t.x] = fp_from_int(row == col ? 1 : 0);
}

// out (cols x rows) = a (rows x cols) transposed; x is the column, y the row.
ZEL_HD void fp_transpose_kernel_body(const ThreadCtx& t, const Fp* a, Fp* out, int rows, int cols) {
    if ((long long)t.x >= cols || (long long)t.y >= rows) return;
    out[(size_t)t.x * (size_t)rows + t.y] = fp_canon(a[(size_t)t.y * (size_t)cols + t.x]);
}

// One operand of a concatenation: `outer` blocks of `chunk` records of a go
// to out[g*out_row + offset ...], records copied as they are.
ZEL_HD void fp_cat_part_kernel_body(const ThreadCtx& t, const Fp* a, Fp* out, int outer, int chunk,
                                    int out_row, int offset) {
    if (chunk <= 0 || (long long)t.x >= (long long)outer * chunk) return;
    const long long g = t.x / chunk, j = t.x - g * chunk;
    out[g * out_row + offset + j] = a[t.x];
}

}  // namespace zel

#define ZEL_KERNELS_SHAPE(X)                                                                     \
    X(fp_zeros_kernel, (Fp * out, int n), (out, n))                                              \
    X(fp_ones_kernel, (Fp * out, int n), (out, n))                                               \
    X(fp_eye_kernel, (Fp * out, int n), (out, n))                                                \
    X(fp_transpose_kernel, (const Fp* a, Fp* out, int rows, int cols), (a, out, rows, cols))     \
    X(fp_cat_part_kernel, (const Fp* a, Fp* out, int outer, int chunk, int out_row, int offset), \
      (a, out, outer, chunk, out_row, offset))

// Bounds of raw launches (host only, see bounds.hpp).
#ifndef __CUDACC__
#include "bounds.hpp"
namespace zel::bounds {

inline constexpr Rule fp_zeros_kernel_bounds = holds_n, fp_ones_kernel_bounds = holds_n;

// (out, n): n x n records.
inline void fp_eye_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(1), L.nonneg({0});
    L.need(0, (I128)iv[0] * iv[0]);
}

// (a, out, rows, cols)
inline constexpr Rule fp_transpose_kernel_bounds = rows_by_cols;

// (a, out, outer, chunk, out_row, offset)
inline void fp_cat_part_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(4), L.nonneg({0, 1, 2, 3});
    if ((I128)iv[3] + iv[1] > iv[2]) L.refuse("offset + chunk exceeds out_row");
    const bool any = iv[0] > 0 && iv[1] > 0;
    L.need(0, any ? (I128)iv[0] * iv[1] : 0), L.need(1, any ? (I128)(iv[0] - 1) * iv[2] + iv[3] + iv[1] : 0);
}

}  // namespace zel::bounds
#endif
