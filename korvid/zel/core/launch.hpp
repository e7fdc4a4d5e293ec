// The launch layer: grids, the CPU launcher, cpu_for and the launch macros.
//
// A kernel body is `ZEL_HD void <name>_body(const ThreadCtx&, params...)`
// (ThreadCtx and ZEL_HD come from fixed_point.hpp, the only header kernel
// bodies need).  On cuda a launch fetches the CuPy kernel by name and calls
// it with the CuPy arrays; on cpu it calls the body directly, for every
// thread index of the grid, with raw pointers: no boxing through Python.
//
// core/ sits below the kernel set (cuda/): what it needs from above is
// declared here and defined there (loader_get_kernel, launch_fp_to_double,
// launch_fp_from_double).
#pragma once

#include <cstdint>
#include <string>
#include <nanobind/nanobind.h>

#include "device.hpp"
#include "fixed_point.hpp"
#include "pyrefs.hpp"

namespace zel {
namespace nb = nanobind;

// ------------------------------------------------------------------ grids

struct Dim3 {
    uint32_t x = 1, y = 1, z = 1;
};

// Threads per block of the 1-D launches; grid_for(n) blocks cover n threads.
constexpr int BLOCK_SIZE = 256;
inline uint32_t grid_for(int64_t n) { return (uint32_t)((n + BLOCK_SIZE - 1) / BLOCK_SIZE); }
inline Dim3 grid1(int64_t n) { return Dim3{grid_for(n), 1, 1}; }
inline Dim3 block1() { return Dim3{BLOCK_SIZE, 1, 1}; }
// 16 x 16 blocks over a cols x rows plane: x is the column, y the row.
inline Dim3 grid2(int64_t cols, int64_t rows) {
    return Dim3{(uint32_t)((cols + 15) / 16), (uint32_t)((rows + 15) / 16), 1};
}
inline Dim3 block2() { return Dim3{16, 16, 1}; }

// ------------------------------------------------------------ CPU launcher

// Below this many threads the loop runs serially on the calling thread:
// a parallel region costs a few microseconds.
constexpr uint64_t HOST_PARALLEL_THRESHOLD = 512;

// Runs Body for every global thread index of grid x block (x fastest; z folds
// into y), in parallel with OpenMP and without the GIL above the threshold.
// Body is a template argument, so the per-thread call inlines.
template <auto Body, class... P>
void host_run(Dim3 grid, Dim3 block, P... params) {
    const int64_t gx = (int64_t)grid.x * block.x;
    const int64_t gy = (int64_t)grid.y * block.y * grid.z * block.z;
    const int64_t total = gx * gy;
    if (total <= 0) return;
    if ((uint64_t)total < HOST_PARALLEL_THRESHOLD) {
        for (int64_t y = 0; y < gy; ++y)
            for (int64_t x = 0; x < gx; ++x) Body(ThreadCtx{(uint32_t)x, (uint32_t)y}, params...);
        return;
    }
    nb::gil_scoped_release nogil;
    if (gy == 1) {
#pragma omp parallel for schedule(static)
        for (int64_t x = 0; x < gx; ++x) Body(ThreadCtx{(uint32_t)x, 0u}, params...);
    } else {
#pragma omp parallel for collapse(2) schedule(static)
        for (int64_t y = 0; y < gy; ++y)
            for (int64_t x = 0; x < gx; ++x) Body(ThreadCtx{(uint32_t)x, (uint32_t)y}, params...);
    }
}

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

// ------------------------------------------------------- defined above core

// The kernel object the launch macros call: the CuPy RawKernel of the
// current device on cuda, the CPU build otherwise (cuda/cubin_loader.cpp).
nb::object loader_get_kernel(const std::string& name);
// The kernel Python's _get_kernel(name) returns: on cuda the RawKernel behind
// the argument checks and bounds rule of its CPU build, the CPU build otherwise.
nb::object loader_checked_kernel(const std::string& name);

// The conversion kernels core launches (cuda/core_launches.cpp): n records
// to doubles, correctly rounded, and n doubles to records, exactly.
void launch_fp_to_double(const DevArray& in, const DevArray& out, int32_t n);
void launch_fp_from_double(const DevArray& in, const DevArray& out, int32_t n);

// Calls a CuPy kernel as kernel(grid, block, args), dims as short tuples.
void cuda_launch(nb::handle kernel, Dim3 grid, Dim3 block, nb::handle args);

// --------------------------------------------------------------- launching

namespace detail {
struct PtrArg {
    void* p;
    template <class T>
    operator T*() const {
        return static_cast<T*>(p);
    }
};
inline PtrArg host_arg(const DevArray& a) { return PtrArg{a.ptr}; }
inline int host_arg(int v) { return v; }
inline nb::object cuda_arg(const DevArray& a) { return a.obj; }
inline nb::object cuda_arg(int v) { return py_refs().np_int32(v); }

template <auto Body, class... P, class... A>
void call_body(void (*)(const ThreadCtx&, P...), Dim3 g, Dim3 b, const A&... a) {
    host_run<Body, P...>(g, b, static_cast<P>(host_arg(a))...);
}

template <auto Body, class... P, class... A>
inline void body_at(void (*)(const ThreadCtx&, P...), ThreadCtx t, const A&... a) {
    Body(t, static_cast<P>(host_arg(a))...);
}
}  // namespace detail

// Launches kernel `name` whose body is Body, on the active backend.  Args are
// DevArrays and ints, in the kernel's parameter order.  A grid without blocks
// launches nothing.
template <auto Body, class... A>
void launch(const char* name, Dim3 grid, Dim3 block, const A&... args) {
    if ((uint64_t)grid.x * grid.y * grid.z == 0) return;
    if (on_cuda()) {
        nb::object k = loader_get_kernel(name);
        nb::tuple t = nb::make_tuple(detail::cuda_arg(args)...);
        cuda_launch(k, grid, block, t);
    } else {
        detail::call_body<Body>(Body, grid, block, args...);
    }
}

// A one-thread-per-item kernel over `items` items.  On the CPU the items are
// spread over the cores whatever their count (host_run keeps grids below
// HOST_PARALLEL_THRESHOLD threads serial), when `work` says the loop is worth it.
template <auto Body, class... A>
void launch_items(const char* name, int64_t items, int64_t work, const A&... args) {
    if (items <= 0) return;
    if (on_cuda()) {
        launch<Body>(name, grid1(items), block1(), args...);
        return;
    }
    cpu_for(items, work >= CPU_PARALLEL_WORK, [&](int64_t i) {
        detail::body_at<Body>(Body, ThreadCtx{(uint32_t)i, 0u}, args...);
    });
}

#define ZEL_LAUNCH(name, grid, block, ...) ::zel::launch<&::zel::name##_body>(#name, grid, block, __VA_ARGS__)
#define ZEL_LAUNCH_ITEMS(name, items, work, ...) \
    ::zel::launch_items<&::zel::name##_body>(#name, items, work, __VA_ARGS__)

}  // namespace zel
