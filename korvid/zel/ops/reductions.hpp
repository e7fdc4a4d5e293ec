// C++ entry points of the reductions and products, and the launch helpers
// the two files share.
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

// Below this many record operations a CPU loop stays serial: a parallel
// region and a GIL release cost a few microseconds.
constexpr int64_t CPU_PARALLEL_WORK = 4096;

// f(i) for i < n on the CPU; in parallel, without the GIL, when parallel.
// f must not touch Python objects.
template <class F>
void cpu_for(int64_t n, bool parallel, F&& f) {
    if (n <= 0) return;
    if (!parallel || n == 1) {
        for (int64_t i = 0; i < n; ++i) f(i);
        return;
    }
    nb::gil_scoped_release nogil;
#pragma omp parallel for schedule(guided)
    for (int64_t i = 0; i < n; ++i) f(i);
}

namespace detail {
template <auto Body, class... P, class... A>
inline void body_at(void (*)(const ThreadCtx&, P...), ThreadCtx t, const A&... a) {
    Body(t, static_cast<P>(host_arg(a))...);
}
}  // namespace detail

// A one-thread-per-item kernel over `items` items.  On the CPU the items are
// spread over the cores whatever their count (the generic launcher keeps
// grids of one block serial), when `work` says the loop is worth it.
template <auto Body, class... A>
void launch_items(const char* name, int64_t items, int64_t work, const A&... args) {
    if (items <= 0) return;
    if (on_cuda()) {
        launch<Body>(name, grid1(items), block1(), args...);
        return;
    }
    cpu_for(items, work >= CPU_PARALLEL_WORK,
            [&](int64_t i) { detail::body_at<Body>(Body, ThreadCtx{(uint32_t)i, 0u}, args...); });
}

#define ZEL_LAUNCH_ITEMS(name, items, work, ...) \
    ::zel::launch_items<&::zel::name##_body>(#name, items, work, __VA_ARGS__)

}  // namespace zel
