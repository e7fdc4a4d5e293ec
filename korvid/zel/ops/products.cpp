// Matrix and tensor products.
#include <string>
#include <vector>

#include "../core/errors.hpp"
#include "../cuda/kernel_list.hpp"
#include "../registry.hpp"
#include "ops.hpp"

namespace zel {

namespace {

size_t rank_of(nb::handle t) { return (size_t)nb::len(tensor_view(t).shape); }

[[noreturn]] void mismatch(const ShapedView& a, const ShapedView& b) {
    throw nb::value_error(("Shape mismatch: " + shape_str(a.v.shape) + " @ " + shape_str(b.v.shape)).c_str());
}

void mm_into(const DevArray& a, const DevArray& b, const DevArray& out, int64_t M, int64_t N, int64_t K) {
    if (M == 0 || N == 0) return;
    if (!on_cuda()) {
        mm_host(a.rec(), b.rec(), out.rec(), M, N, K);
        return;
    }
    ZEL_LAUNCH(fp_mm_kernel, grid2(N, M), block2(), a, b, out, checked_i32(M, "M"), checked_i32(N, "N"),
               checked_i32(K, "K"));
}

}  // namespace

nb::object op_outer(nb::handle a, nb::handle b) {
    ShapedView x = shaped_view(a), y = shaped_view(b);
    const int64_t M = (int64_t)x.v.n(), N = (int64_t)y.v.n();
    const int64_t total = shape_numel({M, N});
    DevArray out = new_records((size_t)total);
    if (M && N)
        ZEL_LAUNCH(fp_outer_kernel, grid2(N, M), block2(), x.v.a, y.v.a, out, checked_i32(M, "M"),
                   checked_i32(N, "N"));
    return wrap(out, nb::make_tuple(M, N));
}

nb::object op_kron(nb::handle a, nb::handle b) {
    if (rank_of(a) != 2 || rank_of(b) != 2) throw nb::value_error("kron requires 2D tensors");
    ShapedView x = shaped_view(a), y = shaped_view(b);
    const int64_t m = x.s[0], n = x.s[1], p = y.s[0], q = y.s[1];
    const int64_t rows = checked_dim_mul(m, p, "kron"), cols = checked_dim_mul(n, q, "kron");
    const int64_t total = shape_numel({rows, cols});
    DevArray out = new_records((size_t)total);
    if (total)
        ZEL_LAUNCH_ITEMS(fp_kron_kernel, checked_i32(total, "element count"), total, x.v.a, y.v.a, out,
                         checked_i32(m, "m"), checked_i32(n, "n"), checked_i32(p, "p"), checked_i32(q, "q"));
    return wrap(out, nb::make_tuple(rows, cols));
}

nb::object op_trace(nb::handle a) {
    if (rank_of(a) != 2) throw nb::value_error("trace requires square matrix");
    ShapedView x = shaped_view(a);
    if (x.s[0] != x.s[1]) throw nb::value_error("trace requires square matrix");
    DevArray out = new_records(1);
    ZEL_LAUNCH(fp_trace_kernel, Dim3{1, 1, 1}, Dim3{1, 1, 1}, x.v.a, out, checked_i32(x.s[0], "n"));
    return wrap(out, nb::tuple());
}

nb::object op_diag(nb::handle a) {
    if (rank_of(a) != 2) throw nb::value_error("diag requires 2D tensor");
    ShapedView x = shaped_view(a);
    const int64_t n = x.s[0] < x.s[1] ? x.s[0] : x.s[1];
    DevArray out = new_records((size_t)n);
    if (n)
        ZEL_LAUNCH_ITEMS(fp_diag_kernel, n, n, x.v.a, out, checked_i32(n, "n"), checked_i32(x.s[1], "cols"));
    return wrap(out, nb::make_tuple(n));
}

nb::object op_bmm(nb::handle a, nb::handle b) {
    if (rank_of(a) != 3 || rank_of(b) != 3) throw nb::value_error("bmm requires 3D tensors");
    ShapedView x = shaped_view(a), y = shaped_view(b);
    const int64_t B = x.s[0], M = x.s[1], K = x.s[2], N = y.s[2];
    if (y.s[0] != B || y.s[1] != K) mismatch(x, y);
    const int64_t total = shape_numel({B, M, N});
    DevArray out = new_records((size_t)total);
    for (int64_t i = 0; i < B && total > 0; ++i) {
        if (!on_cuda()) {
            // Pointers into the operands; the host product needs no views.
            mm_host(x.v.a.rec() + i * M * K, y.v.a.rec() + i * K * N, out.rec() + i * M * N, M, N, K);
            continue;
        }
        mm_into(slice_records(x.v.a, (size_t)(i * M * K), (size_t)(M * K)),
                slice_records(y.v.a, (size_t)(i * K * N), (size_t)(K * N)),
                slice_records(out, (size_t)(i * M * N), (size_t)(M * N)), M, N, K);
    }
    return wrap(out, nb::make_tuple(B, M, N));
}

nb::object op_conv2d(nb::handle input, nb::handle weight, nb::handle stride_h, nb::handle padding_h) {
    require_int(stride_h, "stride");
    require_int(padding_h, "padding");
    if (rank_of(input) != 4 || rank_of(weight) != 4)
        throw nb::value_error(("conv2d requires 4D input and weight, got shapes " +
                               shape_str(tensor_view(input).shape) + " and " +
                               shape_str(tensor_view(weight).shape))
                                  .c_str());
    ShapedView x = shaped_view(input), w = shaped_view(weight);
    const int64_t N = x.s[0], C_in = x.s[1], H = x.s[2], W = x.s[3];
    const int64_t C_out = w.s[0], kH = w.s[2], kW = w.s[3];
    if (C_in != w.s[1]) throw nb::value_error("Channel mismatch");
    const long long stride = exact_int_value(stride_h, "stride");
    const long long padding = exact_int_value(padding_h, "padding");
    if (stride < 1)
        throw nb::value_error(("conv2d: stride must be at least 1, got " + std::to_string(stride)).c_str());
    if (padding < 0)
        throw nb::value_error(
            ("conv2d: padding must be non-negative, got " + std::to_string(padding)).c_str());
    checked_i32(padding, "padding");
    checked_i32(stride, "stride");
    // H, W < 2^63 and padding < 2^31: 128-bit spans, checked below.
    const __int128 hspan = (__int128)H + 2 * (__int128)padding - kH,
                   wspan = (__int128)W + 2 * (__int128)padding - kW;
    // Floor division, as Python's //, before the +1.
    auto fdiv = [](__int128 p, __int128 q) -> __int128 { return p >= 0 ? p / q : -((-p + q - 1) / q); };
    const __int128 h_out = fdiv(hspan, stride) + 1, w_out = fdiv(wspan, stride) + 1;
    if (h_out > INT64_MAX || w_out > INT64_MAX)
        throw nb::value_error(
            ("conv2d: output size does not fit 64 bits for input " + shape_str(x.v.shape)).c_str());
    const int64_t H_out = (int64_t)h_out, W_out = (int64_t)w_out;
    if (H_out < 1 || W_out < 1)
        throw nb::value_error(("conv2d: output size (" + std::to_string(H_out) + ", " +
                               std::to_string(W_out) + ") is not positive for input " + shape_str(x.v.shape) +
                               ", weight " + shape_str(w.v.shape) + ", stride " + std::to_string(stride) +
                               ", padding " + std::to_string(padding))
                                  .c_str());
    const int64_t total = shape_numel({N, C_out, H_out, W_out});
    DevArray out = new_records((size_t)total);
    // Work estimate for the parallel split (saturates).
    int64_t work = total;
    for (int64_t f : {C_in, kH, kW})
        if (__builtin_mul_overflow(work, f, &work)) work = INT64_MAX;
    if (total)
        ZEL_LAUNCH_ITEMS(fp_conv2d_kernel, checked_i32(total, "element count"), work, x.v.a, w.v.a, out,
                         checked_i32(N, "N"), checked_i32(C_in, "C_in"), checked_i32(H, "H"),
                         checked_i32(W, "W"), checked_i32(C_out, "C_out"), checked_i32(kH, "kH"),
                         checked_i32(kW, "kW"), (int)stride, (int)padding, checked_i32(H_out, "H_out"),
                         checked_i32(W_out, "W_out"));
    return wrap(out, nb::make_tuple(N, C_out, H_out, W_out));
}

nb::object op_dot(nb::handle a, nb::handle b) {
    ShapedView x = shaped_view(a), y = shaped_view(b);
    if (x.v.n() != y.v.n()) mismatch(x, y);
    const int64_t n = (int64_t)x.v.n();
    if (n == 0) return make_tensor(nb::int_(0));
    return wrap(exact_sum(x.v.a, y.v.a, n, SUM_DOT), nb::tuple());
}

nb::object op_mm(nb::handle a, nb::handle b) {
    if (rank_of(a) != 2 || rank_of(b) != 2) throw nb::value_error("mm requires 2D tensors");
    ShapedView x = shaped_view(a), y = shaped_view(b);
    const int64_t M = x.s[0], K = x.s[1], N = y.s[1];
    if (y.s[0] != K) mismatch(x, y);
    DevArray out = new_records((size_t)shape_numel({M, N}));
    mm_into(x.v.a, y.v.a, out, M, N, K);
    return wrap(out, nb::make_tuple(M, N));
}

nb::object op_mv(nb::handle a, nb::handle xv) {
    if (rank_of(a) != 2)
        throw nb::value_error(
            ("mv requires a 2D matrix, got shape " + shape_str(tensor_view(a).shape)).c_str());
    ShapedView m = shaped_view(a), x = shaped_view(xv);
    const int64_t M = m.s[0], N = m.s[1];
    if ((int64_t)x.v.n() != N) mismatch(m, x);
    DevArray out = new_records((size_t)M);
    if (M)
        ZEL_LAUNCH_ITEMS(fp_mv_kernel, M, M * N, m.v.a, x.v.a, out, checked_i32(M, "M"), checked_i32(N, "N"));
    return wrap(out, nb::make_tuple(M));
}

nb::object op_matmul(nb::handle a, nb::handle b) {
    const size_t ra = rank_of(a), rb = rank_of(b);
    if (ra == 1 && rb == 1) return op_dot(a, b);
    if (ra == 2 && rb == 1) return op_mv(a, b);
    if (ra == 2 && rb == 2) return op_mm(a, b);
    throw nb::value_error(("matmul: unsupported shapes " + shape_str(tensor_view(a).shape) + " @ " +
                           shape_str(tensor_view(b).shape))
                              .c_str());
}

void register_products(nb::module_& m) {
    m.def("dot", &op_dot, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def dot(a: Tensor, b: Tensor) -> Tensor"), "Dot product.");
    m.def("mm", &op_mm, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def mm(a: Tensor, b: Tensor) -> Tensor"), "Matrix multiply.");
    m.def("mv", &op_mv, nb::arg("a").none(), nb::arg("x").none(),
          nb::sig("def mv(a: Tensor, x: Tensor) -> Tensor"), "Matrix-vector multiply.");
    m.def("matmul", &op_matmul, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def matmul(a: Tensor, b: Tensor) -> Tensor"), "General matrix multiply.");
    m.def("bmm", &op_bmm, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def bmm(a: Tensor, b: Tensor) -> Tensor"), "Batched matrix multiply.");
    m.def("outer", &op_outer, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def outer(a: Tensor, b: Tensor) -> Tensor"), "Outer product.");
    m.def("kron", &op_kron, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def kron(a: Tensor, b: Tensor) -> Tensor"), "Kronecker product: C = A \u2297 B.");
    m.def("trace", &op_trace, nb::arg("a").none(), nb::sig("def trace(a: Tensor) -> Tensor"),
          "Matrix trace.");
    m.def("diag", &op_diag, nb::arg("a").none(), nb::sig("def diag(a: Tensor) -> Tensor"),
          "Extract diagonal.");
    m.def("conv2d", &op_conv2d, nb::arg("input").none(), nb::arg("weight").none(),
          nb::arg("stride").none() = 1, nb::arg("padding").none() = 0,
          nb::sig("def conv2d(input: Tensor, weight: Tensor, stride: int = 1, padding: int = 0) -> Tensor"),
          "2D Convolution.");
}

void mm_records(const DevArray& a, const DevArray& b, const DevArray& out, int64_t M, int64_t N, int64_t K) {
    mm_into(a, b, out, M, N, K);
}

}  // namespace zel
