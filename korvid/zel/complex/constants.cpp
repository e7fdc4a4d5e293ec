#include "../registry.hpp"

namespace zel {

void register_constants(nb::module_& m) { (void)m; }

}  // namespace zel
