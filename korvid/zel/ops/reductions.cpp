#include "../registry.hpp"

namespace zel {

void register_reductions(nb::module_& m) { (void)m; }

}  // namespace zel
