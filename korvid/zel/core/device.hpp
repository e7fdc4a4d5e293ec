// The device layer: backend choice, device arrays of the active array module
// (NumPy on cpu, CuPy on cuda) and transfers.  Launching is in launch.hpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "fixed_point.hpp"

namespace zel {
namespace nb = nanobind;

enum class Backend { Cpu, Cuda };

enum class ElemKind { Record, F64, I32, Bool };

// A 1-D contiguous array of the active backend: the array object, its raw
// pointer and its element count.
struct DevArray {
    nb::object obj;
    void* ptr = nullptr;
    size_t n = 0;

    Fp* rec() const { return static_cast<Fp*>(ptr); }
};

// The active backend and its array module.  NumPy, Fraction and Decimal
// themselves are in pyrefs.hpp.
struct Device {
    Backend backend = Backend::Cpu;
    nb::object cp;                 // cupy or None
    nb::object xp;                 // the active array module (numpy or cupy)
    nb::object fp_dtype;           // FIXEDPOINT_DTYPE
    nb::object f64, i32, boolean;  // NumPy dtypes (CuPy takes them too)
};

Device& device();
inline bool on_cuda() { return device().backend == Backend::Cuda; }

// Chooses the backend from ZEL_BACKEND (auto | cpu | cuda; cuda needs CuPy
// and the kernel set at fatbin_path, auto takes it when a GPU is visible).
// Sets HAS_CUPY, cp, RawModule and BACKEND on m and defines _HostBlock there.
// Needs py_refs_init first.
void device_init(nb::module_& m, const std::string& fatbin_path);

// The element type's name in messages (FIXEDPOINT_DTYPE, float64, ...) and
// its size in bytes.
const char* kind_name(ElemKind k);
size_t kind_size(ElemKind k);

// Physical memory in bytes (0 when unknown).  check_host_alloc raises
// MemoryError, saying how many bytes, for n elements of elem bytes that
// overflow or exceed it: every byte would be written, so it can only fail.
size_t physical_bytes();
void check_host_alloc(size_t n, size_t elem);

// Allocation of uninitialised arrays of the active backend (MemoryError for
// sizes past the address space or, on cpu, physical memory).
DevArray new_array(size_t n, ElemKind k);
inline DevArray new_records(size_t n) { return new_array(n, ElemKind::Record); }

// Validates obj as a 1-D contiguous array of the active backend holding kind
// k (on cpu also writable); raises TypeError naming `what` otherwise (saying
// so for a read-only one) and ValueError for data not aligned to min(itemsize, 8)
// bytes.  0-d arrays are accepted as one element when allow_0d.
DevArray view_array(nb::handle obj, ElemKind k, const char* what, bool allow_0d = false);
bool is_device_array(nb::handle obj);

// Transfers.  copy_to_host copies the first `bytes` bytes of a into dst;
// records_from_host and array_from_host copy n host elements into a new array.
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
// New arrays: a copy of a, and the parts one after another.
DevArray copy_records(const DevArray& a);
DevArray concat_records(const std::vector<DevArray>& parts);

// Waits for the current CuPy device (nothing to wait for on cpu).
void synchronize();

// Refuses counts that a 32-bit kernel argument cannot carry (ValueError).
int32_t checked_i32(int64_t v, const char* what);

}  // namespace zel
