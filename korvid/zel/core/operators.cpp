#include "../registry.hpp"

namespace zel {

void attach_tensor_operators(nb::module_& m) { (void)m; }

}  // namespace zel
