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

// Creation.
nb::object op_zeros(const std::vector<int64_t>& shape);
nb::object op_ones(const std::vector<int64_t>& shape);

}  // namespace zel
