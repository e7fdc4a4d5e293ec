#include "../registry.hpp"

namespace zel {

void register_unary(nb::module_& m) { (void)m; }

}  // namespace zel
