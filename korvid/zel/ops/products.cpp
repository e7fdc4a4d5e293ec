#include "../registry.hpp"

namespace zel {

void register_products(nb::module_& m) { (void)m; }

}  // namespace zel
