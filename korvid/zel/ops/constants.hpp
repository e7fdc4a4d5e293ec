// Exact pi constants, for the composites and other subsystems (the gates).
#pragma once

#include <nanobind/nanobind.h>

#include "../core/fixed_point.hpp"

namespace zel {
namespace nb = nanobind;

// The module's pi_over(n), pi_half(), pi_quarter(): pi/n correctly rounded
// at 2^-256 in a shape-() tensor; each sets the decimal precision to 60.
nb::object op_pi_over(nb::handle n);
nb::object op_pi_half();
nb::object op_pi_quarter();

// A shape-() tensor holding exactly the record r.
nb::object record_scalar(const Fp& r);

}  // namespace zel
