// The kernel launches core/ makes.  core sits below the kernel set, so it
// declares them (core/launch.hpp) and this file, above both, defines them.
#include "kernels/convert.hpp"
#include "../core/launch.hpp"

namespace zel {

void launch_fp_to_double(const DevArray& in, const DevArray& out, int32_t n) {
    ZEL_LAUNCH(fp_to_double_kernel, grid1(n), block1(), in, out, n);
}

void launch_fp_from_double(const DevArray& in, const DevArray& out, int32_t n) {
    ZEL_LAUNCH(fp_from_double_kernel, grid1(n), block1(), in, out, n);
}

}  // namespace zel
