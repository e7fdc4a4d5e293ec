// pi and its fractions as tensors, correctly rounded at 2^-256.
#include "constants.hpp"

#include "../core/errors.hpp"
#include "../core/tensor.hpp"
#include "../cuda/kernels/elementary_tables.hpp"
#include "../registry.hpp"

namespace zel {

namespace {

const char* const PI_STR = "3.14159265358979323846264338327950288419716939937510";

nb::object py_int(long long v) { return nb::steal(PyLong_FromLongLong(v)); }

// floor(pi 2^2048): pi/n rounded at 2^-256 from it is exact unless pi 2^256/n
// lies within 2^-1792 of a rounding tie.
nb::object pi_2048() {
    static nb::object* big = nullptr;
    if (!big) big = new nb::object(nb::steal(PyLong_FromString(ZT_PI_HEX_2048, nullptr, 16)));
    return *big;
}

nb::object binop(PyObject* r) {
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// Record of the scaled integer m (|m| < 2^512).
Fp record_of_scaled(nb::handle m) {
    bool neg = PyObject_RichCompareBool(m.ptr(), py_int(0).ptr(), Py_LT) == 1;
    nb::object mag = binop(PyNumber_Absolute(m.ptr()));
    nb::object mask = binop(
        PyNumber_Subtract(binop(PyNumber_Lshift(py_int(1).ptr(), py_int(64).ptr())).ptr(), py_int(1).ptr()));
    uint64_t limbs[NLIMB];
    for (int i = 0; i < NLIMB; ++i) {
        nb::object part =
            binop(PyNumber_And(binop(PyNumber_Rshift(mag.ptr(), py_int(64 * i).ptr())).ptr(), mask.ptr()));
        limbs[i] = PyLong_AsUnsignedLongLong(part.ptr());
    }
    return fp_make(limbs, neg);
}

// round(pi 2^256 / n), ties to even.
Fp pi_over_record(nb::handle n) {
    nb::object den = binop(PyNumber_Lshift(binop(PyNumber_Absolute(n.ptr())).ptr(), py_int(1792).ptr()));
    nb::object qr = binop(PyNumber_Divmod(pi_2048().ptr(), den.ptr()));
    nb::object q = qr[0], r = qr[1];
    nb::object r2 = binop(PyNumber_Lshift(r.ptr(), py_int(1).ptr()));
    int c = PyObject_RichCompareBool(r2.ptr(), den.ptr(), Py_GT);
    int tie = PyObject_RichCompareBool(r2.ptr(), den.ptr(), Py_EQ);
    bool odd = PyObject_IsTrue(binop(PyNumber_And(q.ptr(), py_int(1).ptr())).ptr()) == 1;
    if (c == 1 || (tie == 1 && odd)) q = binop(PyNumber_Add(q.ptr(), py_int(1).ptr()));
    if (PyObject_RichCompareBool(n.ptr(), py_int(0).ptr(), Py_LT) == 1) q = binop(PyNumber_Negative(q.ptr()));
    return record_of_scaled(q);
}

}  // namespace

nb::object record_scalar(const Fp& r) {
    DevArray out = records_from_host(&r, 1);
    return nb::cast(Tensor{out.obj, nb::tuple()});
}

nb::object op_pi_over(nb::handle n) {
    require_int(n, "n");
    set_decimal_precision(60);  // the documented decimal side effect
    nb::object dec = py_refs().decimal;
    // The 60-digit decimal quotient is kept for its errors (n = 0 raises
    // decimal's division by zero); the record comes from the exact pi.
    binop(PyNumber_TrueDivide(dec(PI_STR).ptr(), dec(n).ptr()));
    return record_scalar(pi_over_record(n));
}

nb::object op_pi_half() { return op_pi_over(py_int(2)); }
nb::object op_pi_quarter() { return op_pi_over(py_int(4)); }

void register_constants(nb::module_& m) {
    m.attr("PI_STR") = PI_STR;
    m.def(
        "pi",
        []() {
            set_decimal_precision(60);  // the documented decimal side effect
            return record_scalar(fp_make(ZT_FP_PI(), false));
        },
        nb::sig("def pi() -> Tensor"),
        "Return pi as exact ZEL tensor (50 decimal digits).\n\nUses Fraction for exact representation, not "
        "FP64.");
    m.def("pi_over", &op_pi_over, nb::arg("n").none(), nb::sig("def pi_over(n: int) -> Tensor"),
          "Return pi/n as exact ZEL tensor.");
    m.def("pi_half", &op_pi_half, nb::sig("def pi_half() -> Tensor"), "Return pi/2.");
    m.def("pi_quarter", &op_pi_quarter, nb::sig("def pi_quarter() -> Tensor"), "Return pi/4.");
}

}  // namespace zel
