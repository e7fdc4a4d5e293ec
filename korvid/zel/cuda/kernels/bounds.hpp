// Bounds rules of raw kernel launches (host only).
//
// _get_kernel(name) hands Python the kernels themselves.  On the cpu backend
// a launch runs the body over host memory, so before it runs, the launcher
// (cuda/cubin_loader.cpp) applies the kernel's rule to the converted arguments:
// which int values are refused, and how many elements each array must hold
// given the ints.  Bodies ignore surplus threads, so no rule depends on the
// grid.  Operations launch through ZEL_LAUNCH and check their own sizes; the
// rules guard only launches from Python.
//
// Each kernel header here states the rule of every kernel in its list beside
// the kernels, as zel::bounds::<kernel>_bounds: a function of the Launch, or one
// of the shared rules (holds_n).  The launcher's table names the rule of each
// list entry, so a kernel without a rule does not compile.
//
// None of this is device code: every rule section is inside
// #ifndef __CUDACC__, so nvcc never sees it.
#pragma once
#ifndef __CUDACC__

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace zel::bounds {

using I128 = __int128;

// The converted arguments of one launch.  Each check refuses with the
// launcher's own messages (cuda/bounds.cpp), prefixed with the kernel's name.
struct Launch {
    explicit Launch(const char* kernel_name) : kernel(kernel_name) {}

    const char* kernel;
    std::vector<int64_t> sz;       // element count of each array argument, in order
    std::vector<int64_t> iv;       // the int arguments, in order
    std::vector<size_t> pos;       // argument index of each array
    std::vector<const void*> ptr;  // each array's data, exactly as the launch gets it
    // Set by the GPU launcher, whose ptr are device addresses: copies `bytes`
    // of array k's data to `host`.  Null where ptr is host memory.
    void (*fetch)(const Launch&, size_t k, void* host, size_t bytes) = nullptr;

    // The first `count` elements of int32 array k, readable here (a copy of
    // device data); count is within what need() has checked.
    const int32_t* host_i32(size_t k, int64_t count) const;

    // Exactly `count` int arguments (TypeError otherwise).
    void ints(size_t count) const;
    // The ints at these positions are not negative.
    void nonneg(std::initializer_list<size_t> ks) const;
    // The ints at these positions are broadcast steps: 0 or 1.
    void steps(std::initializer_list<size_t> ks) const;
    // Array k holds at least n elements.
    void need(size_t k, I128 n) const {
        if (k < sz.size() && (I128)sz[k] < n) too_small(k, n);
    }
    // ValueError "<kernel>: <what>".
    [[noreturn]] void refuse(const std::string& what) const;

private:
    [[noreturn]] void too_small(size_t k, I128 n) const;
    mutable std::vector<std::vector<int32_t>> copies_;
};

using Rule = void (*)(const Launch&);

// (arrays..., n): every array holds n elements.  The rule of most kernels.
inline void holds_n(const Launch& L) {
    L.ints(1), L.nonneg({0});
    for (size_t k = 0; k < L.sz.size(); ++k) L.need(k, L.iv[0]);
}

// (a, out, rows, cols): both arrays hold rows x cols elements (row scans,
// transposes).
inline void rows_by_cols(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(2), L.nonneg({0, 1});
    L.need(0, (I128)iv[0] * iv[1]), L.need(1, (I128)iv[0] * iv[1]);
}

// Elements a 0-or-1 step walks over n elements.
inline I128 step_span(int64_t n, int64_t step) { return n > 0 ? (I128)(n - 1) * step + 1 : 0; }

// ceil(cols / chunk): the chunks of a row, chunk >= 1.
inline I128 chunks_per_row(int64_t cols, int64_t chunk) { return ((I128)cols + chunk - 1) / chunk; }

}  // namespace zel::bounds

#endif  // __CUDACC__
