// The CPU launcher: runs a kernel body for every thread index of a CUDA-style
// grid x block, in parallel with OpenMP above a size threshold.  Bodies are
// template arguments, so the per-thread call inlines.
#pragma once

#include <cstdint>
#include <nanobind/nanobind.h>
#include "../core/fixed_point.hpp"

namespace zel {

struct Dim3 {
    uint32_t x = 1, y = 1, z = 1;
};

// Below this many threads the loop runs serially on the calling thread:
// a parallel region costs a few microseconds.
constexpr uint64_t HOST_PARALLEL_THRESHOLD = 512;

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
    nanobind::gil_scoped_release nogil;
    if (gy == 1) {
#pragma omp parallel for schedule(static)
        for (int64_t x = 0; x < gx; ++x) Body(ThreadCtx{(uint32_t)x, 0u}, params...);
    } else {
#pragma omp parallel for collapse(2) schedule(static)
        for (int64_t y = 0; y < gy; ++y)
            for (int64_t x = 0; x < gx; ++x) Body(ThreadCtx{(uint32_t)x, (uint32_t)y}, params...);
    }
}

}  // namespace zel
