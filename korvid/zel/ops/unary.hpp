// C++ entry points of the unary operations, for other subsystems.
#pragma once

#include <nanobind/nanobind.h>

namespace zel {
namespace nb = nanobind;

nb::object op_neg(nb::handle a);
nb::object op_abs(nb::handle a);
nb::object op_sign(nb::handle a);
nb::object op_relu(nb::handle a);
nb::object op_leaky_relu(nb::handle a, nb::handle negative_slope);
nb::object op_sigmoid(nb::handle a);
nb::object op_tanh(nb::handle a);
nb::object op_gelu(nb::handle a);
nb::object op_silu(nb::handle a);
nb::object op_exp(nb::handle a);
nb::object op_log(nb::handle a);
nb::object op_sin(nb::handle a);
nb::object op_cos(nb::handle a);
nb::object op_sqrt(nb::handle a);
nb::object op_asin(nb::handle a);
nb::object op_acos(nb::handle a);
nb::object op_atan_taylor(nb::handle a);
nb::object op_ceil(nb::handle a);
nb::object op_floor(nb::handle a);
nb::object op_round(nb::handle a);
nb::object op_trunc(nb::handle a);
nb::object op_frac(nb::handle a);
// The hyperbolic composites: their compositions in one launch, with wide
// paths where a step would saturate (elementary.hpp).
nb::object op_sinh(nb::handle a);
nb::object op_cosh(nb::handle a);
nb::object op_asinh(nb::handle a);
nb::object op_acosh(nb::handle a);

}  // namespace zel
