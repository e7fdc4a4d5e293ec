#include "../registry.hpp"

namespace zel {

void register_composite(nb::module_& m) { (void)m; }

}  // namespace zel
