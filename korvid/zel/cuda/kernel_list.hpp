// The one list of kernels.  Each entry is X(name, (parameters), (arguments));
// the per-thread body is zel::<name>_body(const ThreadCtx&, parameters...).
// kernel_set.cu turns the list into CUDA entry points, cubin_loader.cpp into
// the CPU table that _get_kernel launches from Python (each entry with the
// bounds rule zel::bounds::<name>_bounds stated beside the kernel), so a
// kernel's arithmetic is written exactly once.
#pragma once

#include "kernels/convert.hpp"
#include "kernels/elementwise.hpp"
#include "kernels/unary.hpp"
#include "kernels/reduce.hpp"
#include "kernels/products.hpp"
#include "kernels/shape.hpp"
#include "kernels/sparse.hpp"

#define ZEL_KERNEL_LIST(X)     \
    ZEL_KERNELS_CONVERT(X)     \
    ZEL_KERNELS_ELEMENTWISE(X) \
    ZEL_KERNELS_UNARY(X)       \
    ZEL_KERNELS_REDUCE(X)      \
    ZEL_KERNELS_PRODUCTS(X)    \
    ZEL_KERNELS_SHAPE(X)       \
    ZEL_KERNELS_SPARSE(X)

#define ZEL_UNPAREN(...) __VA_ARGS__
