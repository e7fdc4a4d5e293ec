// Binary element-wise operations.
#include <string>

#include "../core/errors.hpp"
#include "../cuda/kernel_list.hpp"
#include "../registry.hpp"
#include "ops.hpp"

namespace zel {

namespace {

// Both operands at one common shape: equal shapes go straight on, others
// are expanded on the host (only the operand whose shape differs).
struct Pair {
    TView a, b;
    nb::object shape;
};

Pair broadcast_pair(nb::handle a, nb::handle b) {
    Pair p{tview(a), tview(b), nb::object()};
    if (PyObject_RichCompareBool(p.a.shape.ptr(), p.b.shape.ptr(), Py_EQ) == 1) {
        if (p.a.n() != p.b.n())
            throw nb::value_error(("operands hold " + std::to_string(p.a.n()) + " and " + std::to_string(p.b.n()) +
                                   " records for the same shape " + shape_str(p.a.shape))
                                      .c_str());
        p.shape = p.a.shape;
        return p;
    }
    std::vector<int64_t> sa = shape_vec(p.a.shape), sb = shape_vec(p.b.shape);
    std::vector<int64_t> s = broadcast_shapes(sa, sb, p.a.shape, p.b.shape);
    p.shape = shape_tuple(s);
    if (sa != s) p.a.a = broadcast_data(p.a, s);
    else check_shape_count(sa, p.a.n(), p.a.shape);
    if (sb != s) p.b.a = broadcast_data(p.b, s);
    else check_shape_count(sb, p.b.n(), p.b.shape);
    return p;
}

template <auto Body>
nb::object arith(const char* name, nb::handle a, nb::handle b) {
    Pair p = broadcast_pair(a, b);
    size_t n = p.a.n();
    DevArray out = new_records(n);
    if (n) {
        int32_t n32 = checked_i32((int64_t)n, "element count");
        launch<Body>(name, grid1(n32), block1(), p.a.a, p.b.a, out, n32);
    }
    return wrap(out, p.shape);
}

}  // namespace

nb::object op_add(nb::handle a, nb::handle b) { return arith<&fp_add_kernel_body>("fp_add_kernel", a, b); }
nb::object op_sub(nb::handle a, nb::handle b) { return arith<&fp_sub_kernel_body>("fp_sub_kernel", a, b); }
nb::object op_mul(nb::handle a, nb::handle b) { return arith<&fp_mul_kernel_body>("fp_mul_kernel", a, b); }
nb::object op_div(nb::handle a, nb::handle b) { return arith<&fp_div_kernel_body>("fp_div_kernel", a, b); }

void register_elementwise(nb::module_& m) {
    m.def("add", &op_add, nb::arg("a").none(), nb::arg("b").none(), "Element-wise add with NumPy-style broadcasting.");
    m.def("sub", &op_sub, nb::arg("a").none(), nb::arg("b").none(), "Element-wise subtract with NumPy-style broadcasting.");
    m.def("mul", &op_mul, nb::arg("a").none(), nb::arg("b").none(), "Element-wise multiply with NumPy-style broadcasting.");
    m.def("div", &op_div, nb::arg("a").none(), nb::arg("b").none(), "Element-wise divide with NumPy-style broadcasting.");
}

}  // namespace zel
