// The device layer: backend choice, device arrays of the active array module
// (NumPy on cpu, CuPy on cuda), transfers and kernel launch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "fixed_point.hpp"
#include "../cuda/host_launch.hpp"

namespace zel {
namespace nb = nanobind;

enum class Backend { Cpu, Cuda };

enum class ElemKind { Record, F64, I32, Bool };

// A 1-D contiguous array of the active backend, with its raw pointer.
struct DevArray {
    nb::object obj;
    void* ptr = nullptr;
    size_t n = 0;

    Fp* rec() const { return static_cast<Fp*>(ptr); }
};

struct Device {
    Backend backend = Backend::Cpu;
    nb::object np;          // numpy
    nb::object cp;          // cupy or None
    nb::object xp;          // the active array module
    nb::object fp_dtype;    // FIXEDPOINT_DTYPE
    nb::object f64, i32, boolean;
    nb::object np_empty;    // numpy.empty
    nb::object np_int32;    // numpy.int32
    nb::object fraction;    // fractions.Fraction
    nb::object decimal;     // decimal.Decimal
};

Device& device();
inline bool on_cuda() { return device().backend == Backend::Cuda; }

// Chooses the backend from ZEL_BACKEND; returns it.  Sets module attributes
// HAS_CUPY, cp, RawModule, BACKEND on m.
void device_init(nb::module_& m, const std::string& fatbin_path);

const char* kind_name(ElemKind k);
size_t kind_size(ElemKind k);

// Physical memory in bytes (0 when unknown).  check_host_alloc raises
// MemoryError, saying how many bytes, for n elements of elem bytes that
// overflow or exceed it: every byte would be written, so it can only fail.
size_t physical_bytes();
void check_host_alloc(size_t n, size_t elem);

// Allocation of uninitialised arrays of the active backend.
DevArray new_array(size_t n, ElemKind k);
inline DevArray new_records(size_t n) { return new_array(n, ElemKind::Record); }

// Validates obj as a 1-D contiguous array of the active backend holding kind
// k; raises TypeError naming `what` otherwise.  0-d arrays are accepted as
// one element when allow_0d.
DevArray view_array(nb::handle obj, ElemKind k, const char* what, bool allow_0d = false);
bool is_device_array(nb::handle obj);

// Transfers.  to_host copies n elements into dst; from_host makes a new
// device array.
void copy_to_host(const DevArray& a, void* dst, size_t bytes);
DevArray records_from_host(const Fp* src, size_t n);
DevArray array_from_host(const void* src, size_t n, ElemKind k);
// Host-readable records of a device array: on cpu the array itself.
struct HostRecords {
    const Fp* ptr = nullptr;
    size_t n = 0;
    std::vector<Fp> storage;
};
HostRecords host_records(const DevArray& a);
DevArray copy_records(const DevArray& a);
DevArray concat_records(const std::vector<DevArray>& parts);

void synchronize();

// Grid size for n threads of BLOCK_SIZE.
constexpr int BLOCK_SIZE = 256;
inline uint32_t grid_for(int64_t n) { return (uint32_t)((n + BLOCK_SIZE - 1) / BLOCK_SIZE); }
inline Dim3 grid1(int64_t n) { return Dim3{grid_for(n), 1, 1}; }
inline Dim3 block1() { return Dim3{BLOCK_SIZE, 1, 1}; }
inline Dim3 grid2(int64_t cols, int64_t rows) { return Dim3{(uint32_t)((cols + 15) / 16), (uint32_t)((rows + 15) / 16), 1}; }
inline Dim3 block2() { return Dim3{16, 16, 1}; }

// Refuses counts that a 32-bit kernel argument cannot carry.
int32_t checked_i32(int64_t v, const char* what);

// The CuPy kernel object for name on the current device (cuda only).
nb::object cuda_kernel(const char* name);
void cuda_launch(nb::handle kernel, Dim3 grid, Dim3 block, nb::handle args);

namespace detail {
struct PtrArg {
    void* p;
    template <class T>
    operator T*() const { return static_cast<T*>(p); }
};
inline PtrArg host_arg(const DevArray& a) { return PtrArg{a.ptr}; }
inline int host_arg(int v) { return v; }
inline nb::object cuda_arg(const DevArray& a) { return a.obj; }
inline nb::object cuda_arg(int v) { return device().np_int32(v); }

template <auto Body, class... P, class... A>
void call_body(void (*)(const ThreadCtx&, P...), Dim3 g, Dim3 b, const A&... a) {
    host_run<Body, P...>(g, b, static_cast<P>(host_arg(a))...);
}
}  // namespace detail

// Launches kernel `name` whose body is Body, on the active backend.  Args are
// DevArrays and ints, in the kernel's parameter order.
template <auto Body, class... A>
void launch(const char* name, Dim3 grid, Dim3 block, const A&... args) {
    if ((uint64_t)grid.x * grid.y * grid.z == 0) return;
    if (on_cuda()) {
        nb::object k = cuda_kernel(name);
        nb::tuple t = nb::make_tuple(detail::cuda_arg(args)...);
        cuda_launch(k, grid, block, t);
    } else {
        detail::call_body<Body>(Body, grid, block, args...);
    }
}

#define ZEL_LAUNCH(name, grid, block, ...) ::zel::launch<&::zel::name##_body>(#name, grid, block, __VA_ARGS__)

}  // namespace zel
