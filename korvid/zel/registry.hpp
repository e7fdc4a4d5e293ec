// Registration functions of the subsystems, called from the definition-order
// table in zel.cpp.  Each lives in its subsystem's binding file.
#pragma once

#include <nanobind/nanobind.h>

namespace zel {
namespace nb = nanobind;

void register_core(nb::module_& m);            // core/bind_core.cpp
void register_readout(nb::module_& m);         // core/readout.cpp
void register_creation(nb::module_& m);        // ops/creation.cpp
void register_broadcast(nb::module_& m);       // ops/broadcast.cpp
void register_elementwise(nb::module_& m);     // ops/elementwise.cpp
void register_unary(nb::module_& m);           // ops/unary.cpp
void register_composite(nb::module_& m);       // ops/composite.cpp
void register_reductions(nb::module_& m);      // ops/reductions.cpp
void register_products(nb::module_& m);        // ops/products.cpp
void register_exact(nb::module_& m);           // exact/bind_exact.cpp
void register_decomp(nb::module_& m);          // decomp/bind_decomp.cpp
void register_complex(nb::module_& m);         // complex/complex_tensor.cpp
void register_constants(nb::module_& m);       // ops/constants.cpp
void register_gates(nb::module_& m);           // complex/gates.cpp
void attach_tensor_operators(nb::module_& m);  // core/operators.cpp
void register_sparse(nb::module_& m);          // sparse/sparse.cpp
void register_repro(nb::module_& m);           // repro/repro.cpp
void register_numpy_bridge(nb::module_& m);    // numpy_bridge/numpy_bridge.cpp

}  // namespace zel
