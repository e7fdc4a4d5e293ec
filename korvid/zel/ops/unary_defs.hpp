// Python definitions of the unary list's functions, in list order: unary.cpp
// and composite.cpp each define their runs of it where the module's order
// puts them.
#pragma once

#include <nanobind/nanobind.h>

#include "../cuda/kernels/unary_list.hpp"

namespace zel {
namespace nb = nanobind;

#define ZEL_UNARY_ID(E, fn, py, kernel, expr, doc) UNARY_##fn,
enum UnaryId { ZEL_UNARY_FUNCTIONS(ZEL_UNARY_ID, _) UNARY_COUNT };
#undef ZEL_UNARY_ID

// m.def of the list's entries first..last (inclusive), each with its Python
// name, typed signature and docstring.
void def_unary(nb::module_& m, UnaryId first, UnaryId last);

}  // namespace zel
