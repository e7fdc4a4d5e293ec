// Unary kernel operations: one launch over every element.
#include "unary.hpp"

#include "../core/tensor.hpp"
#include "../cuda/kernel_list.hpp"
#include "../registry.hpp"

namespace zel {

namespace {

template <auto Body>
nb::object unary(const char* kernel, nb::handle a) {
    TView v = tview(a);
    size_t n = v.n();
    DevArray out = new_records(n);
    if (n) {
        int32_t n32 = checked_i32((int64_t)n, "element count");
        launch<Body>(kernel, grid1(n32), block1(), v.a, out, n32);
    }
    return wrap(out, v.shape);
}

}  // namespace

#define ZEL_UNARY_OP(fn, kernel) \
    nb::object fn(nb::handle a) { return unary<&kernel##_body>(#kernel, a); }

ZEL_UNARY_OP(op_neg, fp_neg_kernel)
ZEL_UNARY_OP(op_abs, fp_abs_kernel)
ZEL_UNARY_OP(op_sign, fp_sign_kernel)
ZEL_UNARY_OP(op_relu, fp_relu_kernel)
ZEL_UNARY_OP(op_sigmoid, fp_sigmoid_kernel)
ZEL_UNARY_OP(op_tanh, fp_tanh_kernel)
ZEL_UNARY_OP(op_gelu, fp_gelu_kernel)
ZEL_UNARY_OP(op_silu, fp_silu_kernel)
ZEL_UNARY_OP(op_exp, fp_exp_kernel)
ZEL_UNARY_OP(op_log, fp_log_kernel)
ZEL_UNARY_OP(op_sin, fp_sin_kernel)
ZEL_UNARY_OP(op_cos, fp_cos_kernel)
ZEL_UNARY_OP(op_sqrt, fp_sqrt_kernel)
ZEL_UNARY_OP(op_asin, fp_asin_kernel)
ZEL_UNARY_OP(op_acos, fp_acos_kernel)
ZEL_UNARY_OP(op_atan_taylor, fp_atan_kernel)
ZEL_UNARY_OP(op_ceil, fp_ceil_kernel)
ZEL_UNARY_OP(op_floor, fp_floor_kernel)
ZEL_UNARY_OP(op_round, fp_round_kernel)
ZEL_UNARY_OP(op_trunc, fp_trunc_kernel)
ZEL_UNARY_OP(op_frac, fp_frac_kernel)
ZEL_UNARY_OP(op_sinh, fp_sinh_kernel)
ZEL_UNARY_OP(op_cosh, fp_cosh_kernel)
ZEL_UNARY_OP(op_asinh, fp_asinh_kernel)
ZEL_UNARY_OP(op_acosh, fp_acosh_kernel)

#undef ZEL_UNARY_OP

nb::object op_leaky_relu(nb::handle a, nb::handle negative_slope) {
    // The slope goes through a double first, as documented.
    double s = PyFloat_AsDouble(negative_slope.ptr());
    if (s == -1.0 && PyErr_Occurred()) throw nb::python_error();
    TView v = tview(a);
    size_t n = v.n();
    DevArray out = new_records(n);
    nb::object slope_t = make_tensor(nb::float_(s));
    TView sv = tview(slope_t);
    if (n) {
        int32_t n32 = checked_i32((int64_t)n, "element count");
        launch<&fp_leaky_relu_kernel_body>("fp_leaky_relu_kernel", grid1(n32), block1(), v.a, out, sv.a, n32);
    }
    return wrap(out, v.shape);
}

void register_unary(nb::module_& m) {
    m.def("neg", &op_neg, nb::arg("a").none(), "Negate.");
    m.def("abs", &op_abs, nb::arg("a").none(), "Absolute value.");
    m.def("relu", &op_relu, nb::arg("a").none(), "ReLU activation.");
    m.def("leaky_relu", &op_leaky_relu, nb::arg("a").none(), nb::arg("negative_slope").none() = 0.01, "Leaky ReLU.");
    m.def("sigmoid", &op_sigmoid, nb::arg("a").none(), "Sigmoid activation.");
    m.def("tanh", &op_tanh, nb::arg("a").none(), "Tanh activation.");
    m.def("gelu", &op_gelu, nb::arg("a").none(), "GELU activation.");
    m.def("silu", &op_silu, nb::arg("a").none(), "SiLU activation.");
    m.def("exp", &op_exp, nb::arg("a").none(), "Exponential.");
    m.def("log", &op_log, nb::arg("a").none(), "Natural logarithm.");
    m.def("sin", &op_sin, nb::arg("a").none(), "Sine.");
    m.def("cos", &op_cos, nb::arg("a").none(), "Cosine.");
    m.def("sqrt", &op_sqrt, nb::arg("a").none(), "Square root.");
    m.def("sign", &op_sign, nb::arg("a").none(), "Sign function.");
    m.def("asin", &op_asin, nb::arg("a").none(), "Arcsine using exact 512-bit Taylor series.");
    m.def("acos", &op_acos, nb::arg("a").none(), "Arccosine using exact 512-bit Taylor series.");
    m.def("_atan_taylor", &op_atan_taylor, nb::arg("a").none(),
          "Raw atan Taylor series kernel - only accurate for |x| < 0.5.");
    m.def("ceil", &op_ceil, nb::arg("a").none(), "Ceiling using exact 512-bit integer extraction.");
    m.def("floor", &op_floor, nb::arg("a").none(), "Floor using exact 512-bit integer extraction.");
    m.def("round", &op_round, nb::arg("a").none(), "Round to nearest integer using exact 512-bit arithmetic.");
    m.def("trunc", &op_trunc, nb::arg("a").none(), "Truncate toward zero using exact 512-bit arithmetic.");
    m.def("frac", &op_frac, nb::arg("a").none(), "Fractional part using exact 512-bit arithmetic.");
}

}  // namespace zel
