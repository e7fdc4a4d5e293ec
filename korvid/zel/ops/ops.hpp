// The C++ API of the operations, for every subsystem that composes them:
// each Python-level operation of the module as op_<name> (the module's
// argument checks and messages included), and the record-level helpers
// (exact sums, products into a given array).  Other folders include this
// header and nothing else from ops/.
#pragma once

#include <cstdint>
#include <vector>
#include <nanobind/nanobind.h>

#include "../core/tensor.hpp"
#include "../cuda/kernels/unary_list.hpp"
#include "constants.hpp"  // the pi constants: op_pi_over, op_pi_half, op_pi_quarter

namespace zel {
namespace nb = nanobind;

// ---------------------------------------------------------- broadcasting

std::vector<int64_t> broadcast_shapes(const std::vector<int64_t>& a, const std::vector<int64_t>& b,
                                      nb::handle sa, nb::handle sb);
// A device array of t's data expanded to target (t's shape must broadcast).
DevArray broadcast_data(const TensorView& t, const std::vector<int64_t>& target);
// t itself when its shape is target_shape (a tuple), else a new tensor of
// that shape (ValueError unless t's shape broadcasts to it).
nb::object op_broadcast_to(nb::handle t, nb::handle target_shape);
// (a, b) at their common shape: an operand already of that shape is itself.
nb::object op_broadcast_tensors(nb::handle a, nb::handle b);

// ---------------------------------------------------------- element-wise

// Arithmetic with broadcasting (the module's add, sub, mul, div), and the
// comparisons: a flat int32 mask of len(a._data) flags (1 where the relation
// holds); b holds as many records as a, or one record applied to every
// element; anything else is a ValueError.
#define ZEL_ARITH_OPS(X) X(add) X(sub) X(mul) X(div)
#define ZEL_COMPARE_OPS(X) X(eq) X(ne) X(lt) X(le) X(gt) X(ge)
#define ZEL_DECLARE_BINARY_OP(op) nb::object op_##op(nb::handle a, nb::handle b);
ZEL_ARITH_OPS(ZEL_DECLARE_BINARY_OP)
ZEL_COMPARE_OPS(ZEL_DECLARE_BINARY_OP)
#undef ZEL_DECLARE_BINARY_OP
// atan2(y, x) in (-pi, pi], broadcasting as add does.
nb::object op_atan2(nb::handle y, nb::handle x);

// Floored remainder; b a Tensor (same count or one record) or anything
// tensor() accepts.
nb::object op_mod(nb::handle a, nb::handle b);
// a ** exp; exp must be exactly an int in the int32 range.
nb::object op_pow(nb::handle a, nb::handle exp);
nb::object op_pow_int(nb::handle a, int32_t exp);
// cond: int32 or bool (any integer) 1-D array of len(a._data) flags.
nb::object op_where(nb::handle cond, nb::handle a, nb::handle b);
// min_val, max_val: numbers (through tensor()) or one-record Tensors.
nb::object op_clamp(nb::handle a, nb::handle min_val, nb::handle max_val);
nb::object op_lerp(nb::handle a, nb::handle b, nb::handle weight);
// The backend's logical functions on masks (Tensors are refused).
nb::object op_logical_and(nb::handle a, nb::handle b);
nb::object op_logical_or(nb::handle a, nb::handle b);
nb::object op_logical_not(nb::handle a);
nb::object op_logical_xor(nb::handle a, nb::handle b);

// ---------------------------------------------------------- unary functions

// One kernel launch each (cuda/kernels/unary_list.hpp): op_neg, op_abs, ...,
// op_atan_taylor (only accurate for |x| < 0.5), ..., op_sinh, op_acosh.
#define ZEL_DECLARE_UNARY_OP(E, fn, py, kernel, expr, doc) nb::object op_##fn(nb::handle a);
ZEL_UNARY_FUNCTIONS(ZEL_DECLARE_UNARY_OP, _)
#undef ZEL_DECLARE_UNARY_OP
// The slope goes through a double, as documented.
nb::object op_leaky_relu(nb::handle a, nb::handle negative_slope);

// ---------------------------------------------------------- composites

// Compositions of the operations above, with their roundings.
nb::object op_tan(nb::handle a);
nb::object op_atan(nb::handle a);  // full range, by argument reduction
nb::object op_atanh(nb::handle a);
nb::object op_log2(nb::handle a);
nb::object op_log10(nb::handle a);
nb::object op_reciprocal(nb::handle a);

// ---------------------------------------------------------- creation

// The shape of zeros(*args): separate ints, or one tuple or list; keyword
// arguments are refused with "<fn>() takes no keyword arguments".
std::vector<int64_t> varargs_shape(nb::args args, nb::kwargs kwargs, const char* fn);
nb::object op_zeros(const std::vector<int64_t>& shape);
nb::object op_ones(const std::vector<int64_t>& shape);
nb::object op_eye(int64_t n);
nb::object op_arange(nb::handle start, nb::handle end, nb::handle step);
nb::object op_linspace(nb::handle start, nb::handle end, int64_t steps);

// ---------------------------------------------------------- shapes

// Every result owns a new device array.
nb::object op_reshape(nb::handle a, const std::vector<int64_t>& shape);
nb::object op_squeeze(nb::handle a, nb::handle dim);  // dim None or int
nb::object op_unsqueeze(nb::handle a, int64_t dim);
nb::object op_transpose(nb::handle a);  // 2-D only
nb::object op_cat(const std::vector<nb::handle>& tensors, int64_t dim);
nb::object op_stack(const std::vector<nb::handle>& tensors, int64_t dim);

// ---------------------------------------------------------- reductions

// Over all elements, as 0-d tensors.
nb::object op_sum(nb::handle a);
nb::object op_prod(nb::handle a);
nb::object op_max(nb::handle a);
nb::object op_min(nb::handle a);
// Statistics, correctly rounded from the exact data (dim: None or an int).
nb::object op_mean(nb::handle a);
nb::object op_var(nb::handle a, nb::handle dim, bool unbiased);
nb::object op_std(nb::handle a, nb::handle dim, bool unbiased);
nb::object op_norm(nb::handle a, nb::handle p);  // p an int >= 1
// Along the last dimension (dim: an int); argmax/argmin give int32 arrays.
nb::object op_cumsum(nb::handle a, nb::handle dim);
nb::object op_cumprod(nb::handle a, nb::handle dim);
nb::object op_softmax(nb::handle a, nb::handle dim);
nb::object op_argmax(nb::handle a, nb::handle dim);
nb::object op_argmin(nb::handle a, nb::handle dim);
nb::object op_diff(nb::handle a, nb::handle n);  // n must be 1

// The exact sum of n terms as one record (a new device array of one): plain,
// absolute values, rounded products a[i]*b[i] or rounded squares of
// a[i] - b[0] (SumMode in cuda/kernels/reduce.hpp).  b may equal a.
DevArray exact_sum(const DevArray& a, const DevArray& b, int64_t n, int mode);

// A view of records [off, off + n) of a, sharing its memory.
DevArray slice_records(const DevArray& a, size_t off, size_t n);

// ---------------------------------------------------------- products

nb::object op_dot(nb::handle a, nb::handle b);
nb::object op_mm(nb::handle a, nb::handle b);
nb::object op_mv(nb::handle a, nb::handle x);
nb::object op_matmul(nb::handle a, nb::handle b);
nb::object op_bmm(nb::handle a, nb::handle b);
nb::object op_outer(nb::handle a, nb::handle b);
nb::object op_kron(nb::handle a, nb::handle b);
nb::object op_trace(nb::handle a);
nb::object op_diag(nb::handle a);
nb::object op_conv2d(nb::handle input, nb::handle weight, nb::handle stride, nb::handle padding);

// out (M x N records, allocated) = a (M x K) times b (K x N), as mm.
void mm_records(const DevArray& a, const DevArray& b, const DevArray& out, int64_t M, int64_t N, int64_t K);

// Host products on raw records (cpu backend only).  out = a @ b for
// row-major a (M x K) and b (K x N): each product rounded as fp_mul, each
// sum exact, saturated once (the fp_mm_kernel records).
void mm_host(const Fp* a, const Fp* b, Fp* out, int64_t M, int64_t N, int64_t K);
// re = sat(ar@br) - sat(ai@bi), im = sat(ar@bi) + sat(ai@br), each @ as
// mm_host and each - / + as fp_sub / fp_add: the records of that composition
// in one pass, without the four intermediate matrices.  May release the GIL.
void cmm_host(const Fp* ar, const Fp* ai, const Fp* br, const Fp* bi, Fp* re, Fp* im, int64_t M, int64_t N,
              int64_t K);

}  // namespace zel
