// Matrix and tensor product kernels.  Every product is rounded like fp_mul;
// every sum of products is exact (reduce.hpp's wide accumulator) and
// saturates once, so no result depends on the order of its terms.
#pragma once
#include "../../core/fixed_point.hpp"
#include "reduce.hpp"

namespace zel {

// out[i] = a[i] * b[i]
ZEL_HD void fp_dot_kernel_body(const ThreadCtx& t, const Fp* a, const Fp* b, Fp* out, int n) {
    if ((int64_t)t.x >= n) return;
    out[t.x] = fp_mul(a[t.x], b[t.x]);
}

// x over the N output columns, y over the M output rows.
ZEL_HD void fp_mm_kernel_body(const ThreadCtx& t, const Fp* a, const Fp* b, Fp* out, int M, int N, int K) {
    if ((int64_t)t.x >= N || (int64_t)t.y >= M) return;
    out[(int64_t)t.y * N + t.x] = fp_dot_strided(a + (int64_t)t.y * K, 1, b + t.x, N, K);
}

ZEL_HD void fp_mv_kernel_body(const ThreadCtx& t, const Fp* a, const Fp* x, Fp* out, int M, int N) {
    if ((int64_t)t.x >= M) return;
    out[t.x] = fp_dot_strided(a + (int64_t)t.x * N, 1, x, 1, N);
}

ZEL_HD void fp_outer_kernel_body(const ThreadCtx& t, const Fp* a, const Fp* b, Fp* out, int M, int N) {
    if ((int64_t)t.x >= N || (int64_t)t.y >= M) return;
    out[(int64_t)t.y * N + t.x] = fp_mul(a[t.y], b[t.x]);
}

// One thread per element of the (m*p) x (n*q) result.
ZEL_HD void fp_kron_kernel_body(const ThreadCtx& t, const Fp* a, const Fp* b, Fp* out, int m, int n, int p,
                                int q) {
    const int64_t cols = (int64_t)n * q;
    const int64_t total = (int64_t)m * p * cols;
    const int64_t idx = t.x;
    if (idx >= total) return;
    const int64_t row = idx / cols, col = idx % cols;
    const int64_t i = row / p, k = row % p, j = col / q, l = col % q;
    out[idx] = fp_mul(a[i * n + j], b[k * q + l]);
}

ZEL_HD void fp_trace_kernel_body(const ThreadCtx& t, const Fp* a, Fp* out, int n) {
    if (t.x != 0) return;
    WAcc acc;
    wacc_clear(acc);
    for (int64_t i = 0; i < n; ++i) wacc_add_fp(acc, a[i * n + i]);
    out[0] = wacc_to_fp(acc);
}

// out[i] = a[i*cols + i] for i < n = min(rows, cols).
ZEL_HD void fp_diag_kernel_body(const ThreadCtx& t, const Fp* a, Fp* out, int n, int cols) {
    if ((int64_t)t.x >= n) return;
    out[t.x] = fp_canon(a[(int64_t)t.x * cols + t.x]);
}

// Cross-correlation without bias, zero padding, one thread per output element
// (n, co, oh, ow).  The kernel window is clipped to the input once, so the
// inner loops carry no bounds tests.
ZEL_HD void fp_conv2d_kernel_body(const ThreadCtx& t, const Fp* in, const Fp* w, Fp* out, int N, int C_in,
                                  int H, int W, int C_out, int kH, int kW, int stride, int padding, int H_out,
                                  int W_out) {
    const int64_t total = (int64_t)N * C_out * H_out * W_out;
    const int64_t idx = t.x;
    if (idx >= total) return;
    const int64_t ow = idx % W_out;
    const int64_t oh = (idx / W_out) % H_out;
    const int64_t co = (idx / ((int64_t)W_out * H_out)) % C_out;
    const int64_t nn = idx / ((int64_t)W_out * H_out * C_out);
    const int64_t r0 = oh * stride - padding, c0 = ow * stride - padding;
    const int64_t kh0 = r0 < 0 ? -r0 : 0, kw0 = c0 < 0 ? -c0 : 0;
    const int64_t kh1 = r0 + kH > H ? H - r0 : kH, kw1 = c0 + kW > W ? W - c0 : kW;
    WAcc acc;
    wacc_clear(acc);
    for (int64_t ci = 0; ci < C_in; ++ci) {
        const int64_t plane = (nn * C_in + ci) * H;
        const int64_t ker = (co * C_in + ci) * kH;
        for (int64_t kh = kh0; kh < kh1; ++kh) {
            const Fp* irow = in + (plane + r0 + kh) * W;
            const Fp* krow = w + (ker + kh) * kW;
            for (int64_t kw = kw0; kw < kw1; ++kw) wacc_add_prod_fp(acc, irow[c0 + kw], krow[kw]);
        }
    }
    out[idx] = wacc_to_fp(acc);
}

}  // namespace zel

#define ZEL_KERNELS_PRODUCTS(X)                                                                      \
    X(fp_dot_kernel, (const Fp* a, const Fp* b, Fp* out, int n), (a, b, out, n))                     \
    X(fp_mm_kernel, (const Fp* a, const Fp* b, Fp* out, int M, int N, int K), (a, b, out, M, N, K))  \
    X(fp_mv_kernel, (const Fp* a, const Fp* x, Fp* out, int M, int N), (a, x, out, M, N))            \
    X(fp_outer_kernel, (const Fp* a, const Fp* b, Fp* out, int M, int N), (a, b, out, M, N))         \
    X(fp_kron_kernel, (const Fp* a, const Fp* b, Fp* out, int m, int n, int p, int q),               \
      (a, b, out, m, n, p, q))                                                                       \
    X(fp_trace_kernel, (const Fp* a, Fp* out, int n), (a, out, n))                                   \
    X(fp_diag_kernel, (const Fp* a, Fp* out, int n, int cols), (a, out, n, cols))                    \
    X(fp_conv2d_kernel,                                                                              \
      (const Fp* in, const Fp* w, Fp* out, int N, int C_in, int H, int W, int C_out, int kH, int kW, \
       int stride, int padding, int H_out, int W_out),                                               \
      (in, w, out, N, C_in, H, W, C_out, kH, kW, stride, padding, H_out, W_out))

// Bounds of raw launches (host only, see bounds.hpp).
#ifndef __CUDACC__
#include "bounds.hpp"
namespace zel::bounds {

inline constexpr Rule fp_dot_kernel_bounds = holds_n;

// (a, b, out, M, N, K): a is M x K, b K x N, out M x N.
inline void fp_mm_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(3), L.nonneg({0, 1, 2});
    L.need(0, (I128)iv[0] * iv[2]), L.need(1, (I128)iv[2] * iv[1]), L.need(2, (I128)iv[0] * iv[1]);
}

// (a, x, out, M, N)
inline void fp_mv_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(2), L.nonneg({0, 1});
    L.need(0, (I128)iv[0] * iv[1]), L.need(1, iv[0] > 0 ? iv[1] : 0), L.need(2, iv[0]);
}

// (a, b, out, M, N)
inline void fp_outer_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(2), L.nonneg({0, 1});
    L.need(0, iv[1] > 0 ? iv[0] : 0), L.need(1, iv[0] > 0 ? iv[1] : 0), L.need(2, (I128)iv[0] * iv[1]);
}

// (a, b, out, m, n, p, q): a is m x n, b p x q.
inline void fp_kron_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(4), L.nonneg({0, 1, 2, 3});
    const I128 ab = (I128)iv[0] * iv[1], pq = (I128)iv[2] * iv[3];
    L.need(0, pq > 0 ? ab : 0), L.need(1, ab > 0 ? pq : 0), L.need(2, ab * pq);
}

// (a, out, n): a is n x n.
inline void fp_trace_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(1), L.nonneg({0});
    L.need(0, (I128)iv[0] * iv[0]), L.need(1, 1);
}

// (a, out, n, cols): a has rows of cols records, n = min(rows, cols).
inline void fp_diag_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(2), L.nonneg({0, 1});
    if (iv[0] > 0 && iv[1] < iv[0]) L.refuse("cols must be at least n");
    L.need(0, iv[0] > 0 ? (I128)(iv[0] - 1) * iv[1] + iv[0] : 0), L.need(1, iv[0]);
}

// (in, w, out, N, C_in, H, W, C_out, kH, kW, stride, padding, H_out, W_out)
inline void fp_conv2d_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(11), L.nonneg({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    if (iv[7] < 1) L.refuse("stride must be at least 1");
    const I128 outs = (I128)iv[0] * iv[4] * iv[9] * iv[10];
    L.need(0, outs > 0 ? (I128)iv[0] * iv[1] * iv[2] * iv[3] : 0);
    L.need(1, outs > 0 ? (I128)iv[4] * iv[1] * iv[5] * iv[6] : 0), L.need(2, outs);
}

}  // namespace zel::bounds
#endif
