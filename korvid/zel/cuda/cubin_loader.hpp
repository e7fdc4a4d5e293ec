// The kernel loader: kernels by name for both backends.
#pragma once

#include <string>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "../core/launch.hpp"

namespace zel {
namespace nb = nanobind;

// Creates korvid.zel.cuda.cubin_loader (get_module, get_kernel) and registers
// it in sys.modules.  cuda selects the GPU kernel set at fatbin_path.
nb::module_ loader_create(bool cuda, const std::string& fatbin_path);

// loader_get_kernel(name), what get_kernel(name) returns, is declared in
// core/launch.hpp (core launches through it) and defined in cubin_loader.cpp.

}  // namespace zel
