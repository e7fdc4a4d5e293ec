// Unary kernel operations: one launch over every element, one function per
// entry of the unary list (cuda/kernels/unary_list.hpp).
#include "ops.hpp"

#include "../core/tensor.hpp"
#include "../cuda/kernel_list.hpp"
#include "../registry.hpp"
#include "unary_defs.hpp"

namespace zel {

namespace {

template <auto Body>
nb::object unary(const char* kernel, nb::handle a) {
    TensorView v = tensor_view(a);
    size_t n = v.n();
    DevArray out = new_records(n);
    if (n) {
        int32_t n32 = checked_i32((int64_t)n, "element count");
        launch<Body>(kernel, grid1(n32), block1(), v.a, out, n32);
    }
    return wrap(out, v.shape);
}

}  // namespace

#define ZEL_UNARY_OP(E, fn, py, kernel, expr, doc) \
    nb::object op_##fn(nb::handle a) { return unary<&kernel##_body>(#kernel, a); }
ZEL_UNARY_FUNCTIONS(ZEL_UNARY_OP, _)
#undef ZEL_UNARY_OP

nb::object op_leaky_relu(nb::handle a, nb::handle negative_slope) {
    // The slope goes through a double first, as documented.
    double s = PyFloat_AsDouble(negative_slope.ptr());
    if (s == -1.0 && PyErr_Occurred()) throw nb::python_error();
    TensorView v = tensor_view(a);
    size_t n = v.n();
    DevArray out = new_records(n);
    nb::object slope_t = make_tensor(nb::float_(s));
    TensorView sv = tensor_view(slope_t);
    if (n) {
        int32_t n32 = checked_i32((int64_t)n, "element count");
        launch<&fp_leaky_relu_kernel_body>("fp_leaky_relu_kernel", grid1(n32), block1(), v.a, out, sv.a, n32);
    }
    return wrap(out, v.shape);
}

namespace {

struct UnaryDef {
    const char* name;
    nb::object (*fn)(nb::handle);
    const char* sig;
    const char* doc;
};

#define ZEL_UNARY_DEF(E, fn, py, kernel, expr, doc) {py, &op_##fn, "def " py "(a: Tensor) -> Tensor", doc},
constexpr UnaryDef UNARY_DEFS[] = {ZEL_UNARY_FUNCTIONS(ZEL_UNARY_DEF, _)};
#undef ZEL_UNARY_DEF

}  // namespace

void def_unary(nb::module_& m, UnaryId first, UnaryId last) {
    for (int i = first; i <= last; ++i) {
        const UnaryDef& d = UNARY_DEFS[i];
        m.def(d.name, d.fn, nb::arg("a").none(), nb::sig(d.sig), d.doc);
    }
}

void register_unary(nb::module_& m) {
    def_unary(m, UNARY_neg, UNARY_relu);
    m.def("leaky_relu", &op_leaky_relu, nb::arg("a").none(), nb::arg("negative_slope").none() = 0.01,
          nb::sig("def leaky_relu(a: Tensor, negative_slope: float = 0.01) -> Tensor"), "Leaky ReLU.");
    // The hyperbolic functions follow among the composites.
    def_unary(m, UNARY_sigmoid, UNARY_frac);
}

}  // namespace zel
