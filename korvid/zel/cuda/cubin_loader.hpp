// The kernel loader: kernels by name for both backends.
#pragma once

#include <string>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

namespace zel {
namespace nb = nanobind;

// Creates korvid.zel.cuda.cubin_loader (get_module, get_kernel) and registers
// it in sys.modules.  cuda selects the GPU kernel set at fatbin_path.
nb::module_ loader_create(bool cuda, const std::string& fatbin_path);

// The kernel object get_kernel(name) returns (CuPy RawKernel or host kernel).
nb::object loader_get_kernel(const std::string& name);

}  // namespace zel
