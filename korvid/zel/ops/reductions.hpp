// C++ entry points of the reductions and products.
#pragma once

#include <cstdint>
#include <nanobind/nanobind.h>

#include "../core/tensor.hpp"

namespace zel {
namespace nb = nanobind;

// Module operations (the Python functions of the same names).
nb::object op_sum(nb::handle a);
nb::object op_prod(nb::handle a);
nb::object op_max(nb::handle a);
nb::object op_min(nb::handle a);
nb::object op_mean(nb::handle a);
nb::object op_dot(nb::handle a, nb::handle b);
nb::object op_mm(nb::handle a, nb::handle b);
nb::object op_mv(nb::handle a, nb::handle x);
nb::object op_matmul(nb::handle a, nb::handle b);

// The exact sum of n terms as one record (a new device array of one): plain,
// absolute values, rounded products a[i]*b[i] or rounded squares of
// a[i] - b[0] (SumMode in cuda/kernels/reduce.hpp).  b may equal a.
DevArray exact_sum(const DevArray& a, const DevArray& b, int64_t n, int mode);

// A view of records [off, off + n) of a, sharing its memory.
DevArray slice_records(const DevArray& a, size_t off, size_t n);

}  // namespace zel
