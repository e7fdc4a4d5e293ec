// C++ entry points of the operations, for use by other subsystems (calls go
// down or sideways through here, never into another file's helpers).
#pragma once

#include <vector>
#include <nanobind/nanobind.h>

#include "../core/tensor.hpp"

namespace zel {
namespace nb = nanobind;

// Broadcasting.
std::vector<int64_t> broadcast_shapes(const std::vector<int64_t>& a, const std::vector<int64_t>& b,
                                      nb::handle sa, nb::handle sb);
// A device array of t's data expanded to target (t's shape must broadcast).
DevArray broadcast_data(const TView& t, const std::vector<int64_t>& target);

// Arithmetic with broadcasting (the module's add, sub, mul, div).
nb::object op_add(nb::handle a, nb::handle b);
nb::object op_sub(nb::handle a, nb::handle b);
nb::object op_mul(nb::handle a, nb::handle b);
nb::object op_div(nb::handle a, nb::handle b);
// atan2(y, x) in (-pi, pi] with the same broadcasting.
nb::object op_atan2(nb::handle y, nb::handle x);

// Comparisons: a flat int32 mask of len(a._data) flags (1 where the relation
// holds).  b holds as many records as a, or one record applied to every
// element; anything else is a ValueError.
nb::object op_eq(nb::handle a, nb::handle b);
nb::object op_ne(nb::handle a, nb::handle b);
nb::object op_lt(nb::handle a, nb::handle b);
nb::object op_le(nb::handle a, nb::handle b);
nb::object op_gt(nb::handle a, nb::handle b);
nb::object op_ge(nb::handle a, nb::handle b);

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

// Creation.
// The shape of zeros(*args): separate ints, or one tuple or list; keyword
// arguments are refused with "<fn>() takes no keyword arguments".
std::vector<int64_t> varargs_shape(nb::args args, nb::kwargs kwargs, const char* fn);
nb::object op_zeros(const std::vector<int64_t>& shape);
nb::object op_ones(const std::vector<int64_t>& shape);
nb::object op_eye(int64_t n);
nb::object op_arange(nb::handle start, nb::handle end, nb::handle step);
nb::object op_linspace(nb::handle start, nb::handle end, int64_t steps);

// Shapes: every result owns a new device array.
nb::object op_reshape(nb::handle a, const std::vector<int64_t>& shape);
nb::object op_squeeze(nb::handle a, nb::handle dim);  // dim None or int
nb::object op_unsqueeze(nb::handle a, int64_t dim);
nb::object op_transpose(nb::handle a);  // 2-D only
nb::object op_cat(const std::vector<nb::handle>& tensors, int64_t dim);
nb::object op_stack(const std::vector<nb::handle>& tensors, int64_t dim);

// Products: out (M x N records, allocated) = a (M x K) times b (K x N), as mm.
void mm_records(const DevArray& a, const DevArray& b, const DevArray& out, int64_t M, int64_t N, int64_t K);

}  // namespace zel
