// Binary element-wise operations.
#include <string>

#include "../core/errors.hpp"
#include "../cuda/kernel_list.hpp"
#include "../registry.hpp"
#include "ops.hpp"

namespace zel {

namespace {

// Both operands at one common shape.  Equal shapes go straight on.  An
// operand holding a single record is read with step 0 by the *_bcast kernel
// instead of being expanded; any other operand whose shape differs is
// expanded on the host.  Results are the same either way.
struct Pair {
    TensorView a, b;
    nb::object shape;
    size_t n = 0;
    int a_step = 1, b_step = 1;
};

Pair broadcast_pair(nb::handle a, nb::handle b) {
    Pair p{tensor_view(a), tensor_view(b), nb::object()};
    if (py_compare(p.a.shape, p.b.shape, Py_EQ)) {
        if (p.a.n() != p.b.n())
            throw nb::value_error(("operands hold " + std::to_string(p.a.n()) + " and " +
                                   std::to_string(p.b.n()) + " records for the same shape " +
                                   shape_str(p.a.shape))
                                      .c_str());
        p.shape = p.a.shape;
        p.n = p.a.n();
        return p;
    }
    std::vector<int64_t> sa = shape_vec(p.a.shape), sb = shape_vec(p.b.shape);
    std::vector<int64_t> s = broadcast_shapes(sa, sb, p.a.shape, p.b.shape);
    check_shape_count(sa, p.a.n(), p.a.shape);
    check_shape_count(sb, p.b.n(), p.b.shape);
    p.shape = shape_tuple(s);
    p.n = (size_t)shape_numel(s);
    if (sa != s) {
        if (p.a.n() == 1)
            p.a_step = 0;
        else
            p.a.a = broadcast_data(p.a, s);
    }
    if (sb != s) {
        if (p.b.n() == 1)
            p.b_step = 0;
        else
            p.b.a = broadcast_data(p.b, s);
    }
    return p;
}

template <auto Body, auto BcastBody>
nb::object arith(const char* name, const char* bcast_name, nb::handle a, nb::handle b) {
    Pair p = broadcast_pair(a, b);
    int32_t n32 = checked_i32((int64_t)p.n, "element count");
    DevArray out = new_records(p.n);
    if (p.n) {
        if (p.a_step == 1 && p.b_step == 1)
            launch<Body>(name, grid1(n32), block1(), p.a.a, p.b.a, out, n32);
        else
            launch<BcastBody>(bcast_name, grid1(n32), block1(), p.a.a, p.b.a, out, n32, p.a_step, p.b_step);
    }
    return wrap(out, p.shape);
}

// Operations without broadcasting read b element by element when it holds as
// many records as a, or apply its one record to every element; returns the
// step for b.  Anything else would read past b, so it is refused up front.
int second_step(const char* op, size_t n, size_t nb, const char* what = "second operand") {
    if (nb == n) return 1;
    if (nb == 1) return 0;
    throw nb::value_error((std::string(op) + ": the " + what + " holds " + std::to_string(nb) +
                           " records but the first holds " + std::to_string(n) + " (expected " +
                           std::to_string(n) + " or 1)")
                              .c_str());
}

template <auto Body, auto BcastBody>
nb::object compare(const char* op, const char* name, const char* bcast_name, nb::handle a, nb::handle b) {
    TensorView va = tensor_view(a), vb = tensor_view(b);
    size_t n = va.n();
    int step = second_step(op, n, vb.n());
    int32_t n32 = checked_i32((int64_t)n, "element count");
    DevArray out = new_array(n, ElemKind::I32);
    if (n) {
        if (step == 1)
            launch<Body>(name, grid1(n32), block1(), va.a, vb.a, out, n32);
        else
            launch<BcastBody>(bcast_name, grid1(n32), block1(), va.a, vb.a, out, n32, 1, 0);
    }
    return out.obj;
}

// A scalar argument as one record: Tensors are taken as they are, anything
// else through tensor().
TensorView scalar_operand(nb::handle v, const char* op, const char* what) {
    TensorView t = is_tensor(v) ? tensor_view(v) : tensor_view(make_tensor(v));
    if (t.n() != 1)
        throw nb::value_error((std::string(op) + ": " + what + " must be a single value, got " +
                               std::to_string(t.n()) + " records")
                                  .c_str());
    return t;
}

// The condition of where as int32 flags: int32 arrays are used as they are,
// booleans and other integer arrays become 0/1 flags first.
DevArray where_condition(nb::handle cond, size_t n) {
    Device& d = device();
    if (!is_device_array(cond)) {
        std::string mod = on_cuda() ? "cupy" : "numpy";
        throw nb::type_error(("where: cond must be a one-dimensional " + mod +
                              ".ndarray of int32 or bool flags, got " + Py_TYPE(cond.ptr())->tp_name)
                                 .c_str());
    }
    nb::object dt = cond.attr("dtype");
    std::string kind = nb::cast<std::string>(dt.attr("kind"));
    int ndim = nb::cast<int>(cond.attr("ndim"));
    if ((kind != "b" && kind != "i" && kind != "u") || ndim != 1)
        throw nb::type_error(("where: cond must be a one-dimensional array of int32 or bool flags, got " +
                              std::to_string(ndim) + "-d " + nb::cast<std::string>(nb::str(dt)))
                                 .c_str());
    size_t len = nb::cast<size_t>(cond.attr("size"));
    if (len != n)
        throw nb::value_error(("where: cond holds " + std::to_string(len) + " flags but a holds " +
                               std::to_string(n) + " records")
                                  .c_str());
    nb::object c = nb::borrow(cond);
    bool is_i32 = py_compare(dt, d.i32, Py_EQ);
    if (kind == "b")
        c = c.attr("astype")(d.i32);
    else if (!is_i32)
        c = nb::steal(PyObject_RichCompare(c.ptr(), nb::int_(0).ptr(), Py_NE)).attr("astype")(d.i32);
    else if (!nb::cast<bool>(c.attr("flags").attr("c_contiguous")))
        c = d.xp.attr("ascontiguousarray")(c);
    if (!c.is_valid()) throw nb::python_error();
    DevArray flags = view_array(c, ElemKind::I32, "cond");
    // The count read above is an attribute (a subclass may lie): the flags
    // the kernel reads must be as many as the records.
    if (flags.n != n)
        throw nb::value_error(("where: cond holds " + std::to_string(flags.n) + " flags but a holds " +
                               std::to_string(n) + " records")
                                  .c_str());
    return flags;
}

nb::object logical(const char* fn, std::initializer_list<nb::handle> args) {
    for (nb::handle h : args) {
        if (is_tensor(h))
            throw nb::type_error(
                (std::string(fn) + " works on masks (device arrays of flags), not on Tensors").c_str());
    }
    nb::object f = device().xp.attr(fn);
    if (args.size() == 1) return f(*args.begin());
    return f(*args.begin(), *(args.begin() + 1));
}

}  // namespace

// The two-argument arctangent broadcasts as the arithmetic does.
nb::object op_atan2(nb::handle y, nb::handle x) {
    return arith<&fp_atan2_kernel_body, &fp_atan2_bcast_kernel_body>("fp_atan2_kernel",
                                                                     "fp_atan2_bcast_kernel", y, x);
}

#define ZEL_ARITH(op)                                                                                        \
    nb::object op_##op(nb::handle a, nb::handle b) {                                                         \
        return arith<&fp_##op##_kernel_body, &fp_##op##_bcast_kernel_body>("fp_" #op "_kernel",              \
                                                                           "fp_" #op "_bcast_kernel", a, b); \
    }
#define ZEL_COMPARE(op)                                                       \
    nb::object op_##op(nb::handle a, nb::handle b) {                          \
        return compare<&fp_##op##_kernel_body, &fp_##op##_bcast_kernel_body>( \
            #op, "fp_" #op "_kernel", "fp_" #op "_bcast_kernel", a, b);       \
    }
ZEL_ARITH_OPS(ZEL_ARITH)
ZEL_COMPARE_OPS(ZEL_COMPARE)
#undef ZEL_ARITH
#undef ZEL_COMPARE

nb::object op_mod(nb::handle a, nb::handle b) {
    TensorView va = tensor_view(a);
    nb::object bt = is_tensor(b) ? nb::borrow(b) : make_tensor(b);
    TensorView vb = tensor_view(bt);
    size_t n = va.n();
    int step = second_step("mod", n, vb.n(), "divisor");
    int32_t n32 = checked_i32((int64_t)n, "element count");
    DevArray out = new_records(n);
    if (n) {
        if (step == 1)
            ZEL_LAUNCH(fp_mod_kernel, grid1(n32), block1(), va.a, vb.a, out, n32);
        else
            ZEL_LAUNCH(fp_mod_bcast_kernel, grid1(n32), block1(), va.a, vb.a, out, n32, 1, 0);
    }
    return wrap(out, va.shape);
}

nb::object op_pow_int(nb::handle a, int32_t exp) {
    TensorView va = tensor_view(a);
    size_t n = va.n();
    int32_t n32 = checked_i32((int64_t)n, "element count");
    DevArray out = new_records(n);
    if (n) ZEL_LAUNCH(fp_pow_int_kernel, grid1(n32), block1(), va.a, out, (int)exp, n32);
    return wrap(out, va.shape);
}

nb::object op_pow(nb::handle a, nb::handle exp) {
    require_int(exp, "exp");
    int overflow = 0;
    long long e = PyLong_AsLongLongAndOverflow(exp.ptr(), &overflow);
    if (overflow || e < INT32_MIN || e > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "Python integer %S out of bounds for int32", exp.ptr());
        throw nb::python_error();
    }
    return op_pow_int(a, (int32_t)e);
}

nb::object op_where(nb::handle cond, nb::handle a, nb::handle b) {
    TensorView va = tensor_view(a), vb = tensor_view(b);
    size_t n = va.n();
    DevArray c = where_condition(cond, n);
    int step = second_step("where", n, vb.n(), "second operand b");
    int32_t n32 = checked_i32((int64_t)n, "element count");
    DevArray out = new_records(n);
    if (n) {
        if (step == 1)
            ZEL_LAUNCH(fp_where_kernel, grid1(n32), block1(), c, va.a, vb.a, out, n32);
        else
            ZEL_LAUNCH(fp_where_bcast_kernel, grid1(n32), block1(), c, va.a, vb.a, out, n32, 0);
    }
    return wrap(out, va.shape);
}

nb::object op_clamp(nb::handle a, nb::handle min_val, nb::handle max_val) {
    TensorView va = tensor_view(a);
    TensorView lo = scalar_operand(min_val, "clamp", "min_val");
    TensorView hi = scalar_operand(max_val, "clamp", "max_val");
    size_t n = va.n();
    int32_t n32 = checked_i32((int64_t)n, "element count");
    DevArray out = new_records(n);
    if (n) ZEL_LAUNCH(fp_clamp_kernel, grid1(n32), block1(), va.a, out, lo.a, hi.a, n32);
    return wrap(out, va.shape);
}

// The weight is a double by contract; 1 - weight is then formed exactly in
// fixed point from the converted weight, not in double precision.
nb::object op_lerp(nb::handle a, nb::handle b, nb::handle weight) {
    double wd = PyFloat_AsDouble(weight.ptr());
    if (wd == -1.0 && PyErr_Occurred()) throw nb::python_error();
    nb::object w = make_tensor(nb::float_(wd));
    nb::object one_minus_w = op_sub(make_tensor(nb::int_(1)), w);
    return op_add(op_mul(a, one_minus_w), op_mul(b, w));
}

nb::object op_logical_and(nb::handle a, nb::handle b) { return logical("logical_and", {a, b}); }
nb::object op_logical_or(nb::handle a, nb::handle b) { return logical("logical_or", {a, b}); }
nb::object op_logical_not(nb::handle a) { return logical("logical_not", {a}); }
nb::object op_logical_xor(nb::handle a, nb::handle b) { return logical("logical_xor", {a, b}); }

// Masks are the backend's arrays (numpy or cupy), typed Any.
void register_elementwise(nb::module_& m) {
    m.def("add", &op_add, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def add(a: Tensor, b: Tensor) -> Tensor"),
          "Element-wise add with NumPy-style broadcasting.");
    m.def("sub", &op_sub, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def sub(a: Tensor, b: Tensor) -> Tensor"),
          "Element-wise subtract with NumPy-style broadcasting.");
    m.def("mul", &op_mul, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def mul(a: Tensor, b: Tensor) -> Tensor"),
          "Element-wise multiply with NumPy-style broadcasting.");
    m.def("div", &op_div, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def div(a: Tensor, b: Tensor) -> Tensor"),
          "Element-wise divide with NumPy-style broadcasting.");
    m.def("pow", &op_pow, nb::arg("a").none(), nb::arg("exp").none(),
          nb::sig("def pow(a: Tensor, exp: int) -> Tensor"), "Integer power.");
    m.def("mod", &op_mod, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def mod(a: Tensor, b: object) -> Tensor"), "Modulo using exact 512-bit arithmetic.");
    m.def("eq", &op_eq, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def eq(a: Tensor, b: Tensor) -> typing.Any"), "Element-wise equality.");
    m.def("lt", &op_lt, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def lt(a: Tensor, b: Tensor) -> typing.Any"));
    m.def("gt", &op_gt, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def gt(a: Tensor, b: Tensor) -> typing.Any"));
    m.def("le", &op_le, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def le(a: Tensor, b: Tensor) -> typing.Any"));
    m.def("ge", &op_ge, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def ge(a: Tensor, b: Tensor) -> typing.Any"));
    m.def("ne", &op_ne, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def ne(a: Tensor, b: Tensor) -> typing.Any"));
    m.def("clamp", &op_clamp, nb::arg("a").none(), nb::arg("min_val").none(), nb::arg("max_val").none(),
          nb::sig("def clamp(a: Tensor, min_val: object, max_val: object) "
                  "-> Tensor"),
          "Clamp values.");
    m.def("where", &op_where, nb::arg("cond").none(), nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def where(cond: typing.Any, a: Tensor, b: Tensor) -> Tensor"), "Conditional select.");
    m.def("lerp", &op_lerp, nb::arg("a").none(), nb::arg("b").none(), nb::arg("weight").none(),
          nb::sig("def lerp(a: Tensor, b: Tensor, weight: float) -> Tensor"), "Linear interpolation.");
    m.def("logical_and", &op_logical_and, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def logical_and(a: typing.Any, b: typing.Any) -> typing.Any"),
          "Element-wise logical AND.");
    m.def("logical_or", &op_logical_or, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def logical_or(a: typing.Any, b: typing.Any) -> typing.Any"), "Element-wise logical OR.");
    m.def("logical_not", &op_logical_not, nb::arg("a").none(),
          nb::sig("def logical_not(a: typing.Any) -> typing.Any"), "Element-wise logical NOT.");
    m.def("logical_xor", &op_logical_xor, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def logical_xor(a: typing.Any, b: typing.Any) -> typing.Any"),
          "Element-wise logical XOR.");
}

}  // namespace zel
