// Creation and shape operations.
#include <string>

#include "../core/errors.hpp"
#include "../cuda/kernel_list.hpp"
#include "../registry.hpp"
#include "ops.hpp"

namespace zel {

namespace {

template <auto Body>
nb::object fill(const char* name, const std::vector<int64_t>& shape) {
    int64_t n = shape_numel(shape);
    DevArray out = new_records((size_t)n);
    if (n) {
        int32_t n32 = checked_i32(n, "element count");
        launch<Body>(name, grid1(n32), block1(), out, n32);
    }
    return wrap(out, shape_tuple(shape));
}

// zeros(2, 3), zeros((2, 3)) and zeros([2, 3]) name the same shape.
std::vector<int64_t> varargs_shape(nb::args args, nb::kwargs kwargs, const char* fn) {
    if (nb::len(kwargs) > 0)
        throw nb::type_error((std::string(fn) + "() takes no keyword arguments").c_str());
    if (nb::len(args) == 1 && (PyTuple_Check(args[0].ptr()) || PyList_Check(args[0].ptr())))
        return shape_vec(args[0]);
    return shape_vec(args);
}

}  // namespace

nb::object op_zeros(const std::vector<int64_t>& shape) { return fill<&fp_zeros_kernel_body>("fp_zeros_kernel", shape); }
nb::object op_ones(const std::vector<int64_t>& shape) { return fill<&fp_ones_kernel_body>("fp_ones_kernel", shape); }

void register_creation(nb::module_& m) {
    m.def("tensor", &make_tensor, nb::arg("data").none(), "Create tensor.");
    m.def(
        "zeros", [](nb::args args, nb::kwargs kw) { return op_zeros(varargs_shape(args, kw, "zeros")); },
        "Create zeros tensor.");
    m.def(
        "ones", [](nb::args args, nb::kwargs kw) { return op_ones(varargs_shape(args, kw, "ones")); },
        "Create ones tensor.");
}

}  // namespace zel
