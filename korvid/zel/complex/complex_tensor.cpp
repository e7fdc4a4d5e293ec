// ComplexTensor and the complex module functions.
//
// Each operation is the documented composition of add, sub, mul, div, neg,
// sqrt, sum, mm, mv and transpose.  On the cpu backend, when both operands
// are Tensor pairs of one shape and one record count, the element-wise
// compositions run as one host pass over the same record functions the
// kernels call (fp_add, fp_sub, fp_mul, fp_div): the same records, without
// six allocations and six wrapper objects for a one-element product.
#include "complex_tensor.hpp"

#include <string>
#include <vector>

#include "../core/errors.hpp"
#include "../core/tensor.hpp"
#include "../ops/ops.hpp"
#include "../registry.hpp"

namespace zel {

namespace {

nb::handle g_complex_type;

nb::object as_real(nb::handle v) { return is_tensor(v) ? nb::borrow(v) : make_tensor(v); }

// Zeros of exactly this shape; () gives a zero-dimensional tensor.
nb::object zeros_of_shape(nb::handle shape) {
    std::vector<int64_t> s = shape_vec(shape);
    nb::object z = op_zeros(s);
    if (s.empty()) nb::cast<Tensor&>(z).shape = nb::tuple();
    return z;
}

// The pair (re, im) after the constructor's shape check.
nb::object pair(nb::object re, nb::object im) {
    nb::object sr = re.attr("shape"), si = im.attr("shape");
    int eq = PyObject_RichCompareBool(sr.ptr(), si.ptr(), Py_EQ);
    if (eq < 0) throw nb::python_error();
    if (!eq)
        throw nb::value_error(("Real shape " + shape_str(sr) + " != imag shape " + shape_str(si)).c_str());
    return nb::cast(ComplexTensor{std::move(re), std::move(im)});
}

ComplexTensor& self_of(nb::handle h) { return nb::cast<ComplexTensor&>(h); }

// ---------------------------------------------------------- one host pass

bool same_shape(nb::handle a, nb::handle b) {
    if (a.ptr() == b.ptr()) return true;
    int eq = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (eq < 0) throw nb::python_error();
    return eq == 1;
}

// Views of the given parts when they can run as one host pass: cpu backend,
// every part a Tensor, all of one shape and one record count.  Anything
// else takes the composition, which raises the real operations' errors.
template <size_t N>
bool fusable(const nb::handle (&parts)[N], TensorView (&views)[N]) {
    if (on_cuda()) return false;
    for (size_t i = 0; i < N; ++i)
        if (!is_tensor(parts[i])) return false;
    for (size_t i = 0; i < N; ++i) views[i] = tensor_view(parts[i]);
    for (size_t i = 1; i < N; ++i) {
        if (views[i].n() != views[0].n()) return false;
        if (!same_shape(views[i].shape, views[0].shape)) return false;
    }
    checked_i32((int64_t)views[0].n(), "element count");
    return true;
}

// Records [off, off + n) of a freshly allocated host array, as a view.
DevArray half_of(const DevArray& a, size_t off, size_t n) {
    nb::object s = nb::steal(PySlice_New(nb::int_(off).ptr(), nb::int_(off + n).ptr(), nullptr));
    if (!s.is_valid()) throw nb::python_error();
    DevArray v;
    v.obj = nb::steal(PyObject_GetItem(a.obj.ptr(), s.ptr()));
    if (!v.obj.is_valid()) throw nb::python_error();
    v.ptr = a.rec() + off;
    v.n = n;
    return v;
}

// out_re[i], out_im[i] = f(parts[...][i]) over every element, as a pair of
// the first part's shape (wrapped as every element-wise result is).
template <size_t N, class F>
nb::object host_pass(const TensorView (&views)[N], int outputs, F&& f) {
    const size_t n = views[0].n();
    DevArray re, im;
    if (outputs == 2) {
        // One allocation split in two: a structured-type array costs about
        // a microsecond to create, a slice a fifth of that.
        DevArray both = new_records(2 * n);
        re = half_of(both, 0, n);
        im = half_of(both, n, n);
    } else {
        re = new_records(n);
    }
    const Fp* in[N];
    for (size_t i = 0; i < N; ++i) in[i] = views[i].rec();
    Fp* pr = re.rec();
    Fp* pi = outputs == 2 ? im.rec() : nullptr;
    cpu_for((int64_t)n, (int64_t)n * 8 >= CPU_PARALLEL_WORK, [&](int64_t i) { f(in, (size_t)i, pr, pi); });
    if (outputs == 1) return wrap(re, views[0].shape);
    return nb::cast(ComplexTensor{wrap(re, views[0].shape), wrap(im, views[0].shape)});
}

// ---------------------------------------------------------- arithmetic

// The right operand: a ComplexTensor, or a real Tensor (numbers and lists
// through tensor()).
struct OperandParts {
    nb::object re, im;  // im invalid for a real operand
    bool complex() const { return im.is_valid(); }
};

OperandParts operand_parts(nb::handle o) {
    if (is_complex_tensor(o)) {
        ComplexTensor& c = self_of(o);
        return {c.real, c.imag};
    }
    return {as_real(o), nb::object()};
}

// z (op) o: real(z, o) for a real operand o; else fused, one host pass
// writing both parts, where fusable allows, or split(z, w) on the parts.
template <class Real, class Fused, class Split>
nb::object complex_binary(nb::handle s, nb::handle o, Real real, Fused fused, Split split) {
    ComplexTensor& z = self_of(s);
    OperandParts w = operand_parts(o);
    if (!w.complex()) return real(z, w.re);
    nb::handle parts[4] = {z.real, z.imag, w.re, w.im};
    TensorView v[4];
    if (fusable(parts, v)) return host_pass(v, 2, fused);
    return split(z, w);
}

// z + o and z - o part by part (Op: the record operation, RealOp: the
// module's operation on tensors).
template <Fp (*Op)(const Fp&, const Fp&), nb::object (*RealOp)(nb::handle, nb::handle)>
nb::object c_add_sub(nb::handle s, nb::handle o) {
    return complex_binary(
        s, o, [](const ComplexTensor& z, nb::handle re) { return pair(RealOp(z.real, re), z.imag); },
        [](const Fp* const* in, size_t i, Fp* re, Fp* im) {
            re[i] = Op(in[0][i], in[2][i]);
            im[i] = Op(in[1][i], in[3][i]);
        },
        [](const ComplexTensor& z, const OperandParts& w) {
            return pair(RealOp(z.real, w.re), RealOp(z.imag, w.im));
        });
}

nb::object c_add(nb::handle s, nb::handle o) { return c_add_sub<&fp_add, &op_add>(s, o); }
nb::object c_sub(nb::handle s, nb::handle o) { return c_add_sub<&fp_sub, &op_sub>(s, o); }

// other - z: a complex other subtracts with its own -.
nb::object c_rsub(nb::handle s, nb::handle o) {
    if (is_complex_tensor(o)) return c_sub(o, s);
    ComplexTensor& z = self_of(s);
    nb::object t = as_real(o);
    return pair(op_sub(t, z.real), op_neg(z.imag));
}

// (a+bi)(c+di) = (ac - bd) + (ad + bc)i
nb::object c_mul(nb::handle s, nb::handle o) {
    return complex_binary(
        s, o,
        [](const ComplexTensor& z, nb::handle re) { return pair(op_mul(z.real, re), op_mul(z.imag, re)); },
        [](const Fp* const* in, size_t i, Fp* re, Fp* im) {
            const Fp &a = in[0][i], &b = in[1][i], &c = in[2][i], &d = in[3][i];
            re[i] = fp_sub(fp_mul(a, c), fp_mul(b, d));
            im[i] = fp_add(fp_mul(a, d), fp_mul(b, c));
        },
        [](const ComplexTensor& z, const OperandParts& w) {
            nb::object re = op_sub(op_mul(z.real, w.re), op_mul(z.imag, w.im));
            nb::object im = op_add(op_mul(z.real, w.im), op_mul(z.imag, w.re));
            return pair(re, im);
        });
}

// (a+bi)/(c+di) = (ac + bd)/(c² + d²) + (bc - ad)/(c² + d²) i
nb::object c_div(nb::handle s, nb::handle o) {
    return complex_binary(
        s, o,
        [](const ComplexTensor& z, nb::handle re) { return pair(op_div(z.real, re), op_div(z.imag, re)); },
        [](const Fp* const* in, size_t i, Fp* re, Fp* im) {
            const Fp &a = in[0][i], &b = in[1][i], &c = in[2][i], &d = in[3][i];
            const Fp denom = fp_add(fp_mul(c, c), fp_mul(d, d));
            re[i] = fp_div(fp_add(fp_mul(a, c), fp_mul(b, d)), denom);
            im[i] = fp_div(fp_sub(fp_mul(b, c), fp_mul(a, d)), denom);
        },
        [](const ComplexTensor& z, const OperandParts& w) {
            nb::object denom = op_add(op_mul(w.re, w.re), op_mul(w.im, w.im));
            nb::object real_num = op_add(op_mul(z.real, w.re), op_mul(z.imag, w.im));
            nb::object imag_num = op_sub(op_mul(z.imag, w.re), op_mul(z.real, w.im));
            return pair(op_div(real_num, denom), op_div(imag_num, denom));
        });
}

// a² + b², a real Tensor.
nb::object c_abs2(nb::handle s) {
    ComplexTensor& z = self_of(s);
    nb::handle parts[2] = {z.real, z.imag};
    TensorView v[2];
    if (fusable(parts, v))
        return host_pass(v, 1, [](const Fp* const* in, size_t i, Fp* re, Fp*) {
            re[i] = fp_add(fp_mul(in[0][i], in[0][i]), fp_mul(in[1][i], in[1][i]));
        });
    return op_add(op_mul(z.real, z.real), op_mul(z.imag, z.imag));
}

nb::object c_abs(nb::handle s) { return op_sqrt(c_abs2(s)); }

nb::object c_conj(nb::handle s) {
    ComplexTensor& z = self_of(s);
    return pair(z.real, op_neg(z.imag));
}

nb::object c_neg(nb::handle s) {
    ComplexTensor& z = self_of(s);
    return pair(op_neg(z.real), op_neg(z.imag));
}

nb::object c_T(nb::handle s) {
    ComplexTensor& z = self_of(s);
    if (nb::len(nb::object(z.real.attr("shape"))) != 2) throw nb::value_error("Transpose only for 2D");
    return pair(op_transpose(z.real), op_transpose(z.imag));
}

nb::object c_H(nb::handle s) { return c_conj(c_T(s)); }

// ---------------------------------------------------------- host values

// complex(r, i) for scalars; lists paired element by element (the shorter
// list ends the pairing), nested lists recursively.
nb::object zip_complex(nb::handle re, nb::handle im) {
    if (PyList_Check(re.ptr()) && PyList_Check(im.ptr())) {
        Py_ssize_t n = PyList_GET_SIZE(re.ptr()), m = PyList_GET_SIZE(im.ptr());
        if (m < n) n = m;
        nb::object out = nb::steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            nb::object e = zip_complex(PyList_GET_ITEM(re.ptr(), i), PyList_GET_ITEM(im.ptr(), i));
            PyList_SET_ITEM(out.ptr(), i, e.release().ptr());
        }
        return out;
    }
    if (PyFloat_CheckExact(re.ptr()) && PyFloat_CheckExact(im.ptr()))
        return nb::steal(PyComplex_FromDoubles(PyFloat_AS_DOUBLE(re.ptr()), PyFloat_AS_DOUBLE(im.ptr())));
    PyObject* r = PyObject_CallFunctionObjArgs((PyObject*)&PyComplex_Type, re.ptr(), im.ptr(), nullptr);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object c_to_list(nb::handle s) {
    ComplexTensor& z = self_of(s);
    nb::object re = z.real.attr("to_list")(), im = z.imag.attr("to_list")();
    return zip_complex(re, im);
}

std::string c_str(nb::handle s) {
    ComplexTensor& z = self_of(s);
    nb::object re = z.real.attr("to_list")(), im = z.imag.attr("to_list")();
    if (PyList_Check(re.ptr()) && PyList_GET_SIZE(re.ptr()) > 10)
        return "ComplexTensor(" + shape_str(z.real.attr("shape")) + ")";
    return "ComplexTensor(" + shape_str(re) + " + " + shape_str(im) + "j)";
}

std::string c_repr(nb::handle s) {
    return "ComplexTensor(shape=" + shape_str(self_of(s).real.attr("shape")) + ")";
}

// ---------------------------------------------------------- module functions

nb::object promote(nb::handle x) {
    return is_complex_tensor(x) ? nb::borrow(x) : make_complex(x, nb::none());
}

// cmm on the cpu backend as one host pass (ops/mm_host.cpp: the records of
// the composition below) when the four parts are 2-D Tensors that fit
// (A parts M x K, B parts K x N, non-empty); otherwise an invalid object, and
// the composition raises mm's errors.
nb::object cmm_one_pass(ComplexTensor& p, ComplexTensor& q) {
    if (on_cuda()) return nb::object();
    nb::handle parts[4] = {p.real, p.imag, q.real, q.imag};
    for (nb::handle h : parts)
        if (!is_tensor(h)) return nb::object();
    ShapedView v[4];
    try {
        for (int i = 0; i < 4; ++i) v[i] = shaped_view(parts[i]);
    } catch (const std::exception&) {
        return nb::object();
    }
    for (const ShapedView& s : v)
        if (s.s.size() != 2) return nb::object();
    if (v[0].s != v[1].s || v[2].s != v[3].s || v[0].s[1] != v[2].s[0]) return nb::object();
    const int64_t M = v[0].s[0], K = v[0].s[1], N = v[2].s[1];
    if (M == 0 || N == 0) return nb::object();
    const size_t n = (size_t)(M * N);
    DevArray both = new_records(2 * n);
    DevArray re = half_of(both, 0, n), im = half_of(both, n, n);
    cmm_host(v[0].v.rec(), v[1].v.rec(), v[2].v.rec(), v[3].v.rec(), re.rec(), im.rec(), M, N, K);
    nb::object shape = nb::make_tuple(M, N);
    return nb::cast(ComplexTensor{wrap(re, shape), wrap(im, shape)});
}

// (A + Bi)(C + Di) = (AC - BD) + (AD + BC)i with prod = mm or mv.
template <nb::object (*Prod)(nb::handle, nb::handle)>
nb::object complex_product(nb::handle a, nb::handle b) {
    nb::object x = promote(a), y = promote(b);
    ComplexTensor &p = self_of(x), &q = self_of(y);
    if (Prod == &op_mm) {  // not constexpr: sanitizer builds cannot fold it
        nb::object r = cmm_one_pass(p, q);
        if (r.is_valid()) return r;
    }
    nb::object ac = Prod(p.real, q.real);
    nb::object bd = Prod(p.imag, q.imag);
    nb::object ad = Prod(p.real, q.imag);
    nb::object bc = Prod(p.imag, q.real);
    return pair(op_sub(ac, bd), op_add(ad, bc));
}

nb::object csum(nb::handle c) { return pair(op_sum(c.attr("_real")), op_sum(c.attr("_imag"))); }

// The magnitude of a complex tensor; anything else takes the real abs.
nb::object cabs(nb::handle c) { return is_complex_tensor(c) ? c_abs(c) : op_abs(c); }

nb::object conj(nb::handle c) { return is_complex_tensor(c) ? c_conj(c) : c.attr("conj")(); }

// Binary members take any operand a complex tensor can be made of.
template <class F>
void binary(nb::class_<ComplexTensor>& cls, const char* name, F f, const char* doc = nullptr) {
    std::string sig = std::string("def ") + name + "(self, other: object) -> ComplexTensor";
    if (doc)
        cls.def(name, f, nb::arg("other").none(), nb::sig(sig.c_str()), doc);
    else
        cls.def(name, f, nb::arg("other").none(), nb::sig(sig.c_str()));
}

}  // namespace

bool is_complex_tensor(nb::handle h) {
    return Py_TYPE(h.ptr()) == (PyTypeObject*)g_complex_type.ptr() ||
           PyObject_IsInstance(h.ptr(), g_complex_type.ptr()) == 1;
}

nb::object make_complex(nb::handle real, nb::handle imag) {
    nb::object re = as_real(real);
    nb::object im = imag.is_none() ? zeros_of_shape(re.attr("shape")) : as_real(imag);
    return pair(re, im);
}

void register_complex(nb::module_& m) {
    nb::class_<ComplexTensor> cls(m, "ComplexTensor",
                                  "Complex tensor using exact ZEL arithmetic.\n\n"
                                  "Stores real and imaginary parts as separate ZEL Tensors.\n"
                                  "All operations use exact arithmetic - no floating-point error.");
    g_complex_type = cls;
    cls.def(
           "__init__",
           [](ComplexTensor* self, nb::handle real, nb::handle imag) {
               nb::object c = make_complex(real, imag);
               new (self) ComplexTensor(self_of(c));
           },
           nb::arg("real").none(), nb::arg("imag").none() = nb::none(),
           nb::sig("def __init__(self, real: object, imag: object = None) -> None"), "Create complex tensor.")
        .def_rw("_real", &ComplexTensor::real, nb::for_getter(nb::sig("def _real(self) -> Tensor")),
                nb::for_setter(nb::sig("def _real(self, value: Tensor, /) -> None")),
                "Tensor of the real parts.")
        .def_rw("_imag", &ComplexTensor::imag, nb::for_getter(nb::sig("def _imag(self) -> Tensor")),
                nb::for_setter(nb::sig("def _imag(self, value: Tensor, /) -> None")),
                "Tensor of the imaginary parts.")
        .def_prop_ro(
            "real", [](const ComplexTensor& c) { return c.real; }, nb::sig("def real(self) -> Tensor"),
            "Get real part.")
        .def_prop_ro(
            "imag", [](const ComplexTensor& c) { return c.imag; }, nb::sig("def imag(self) -> Tensor"),
            "Get imaginary part.")
        .def_prop_ro(
            "shape", [](const ComplexTensor& c) { return c.real.attr("shape"); },
            nb::sig("def shape(self) -> tuple[int, ...]"), "Get shape.")
        .def("conj", &c_conj, nb::sig("def conj(self) -> ComplexTensor"),
             "Complex conjugate: a + bi -> a - bi.")
        .def("__neg__", &c_neg, nb::sig("def __neg__(self) -> ComplexTensor"),
             "Negate: -(a + bi) = -a - bi.");
    binary(cls, "__add__", &c_add, "Add: (a+bi) + (c+di) = (a+c) + (b+d)i.");
    binary(cls, "__radd__", &c_add);
    binary(cls, "__sub__", &c_sub, "Subtract: (a+bi) - (c+di) = (a-c) + (b-d)i.");
    binary(cls, "__rsub__", &c_rsub);
    binary(cls, "__mul__", &c_mul, "Multiply: (a+bi)(c+di) = (ac-bd) + (ad+bc)i.");
    binary(cls, "__rmul__", &c_mul);
    binary(cls, "__truediv__", &c_div,
           "Divide: (a+bi)/(c+di) = (ac+bd)/(c\u00b2+d\u00b2) + (bc-ad)/(c\u00b2+d\u00b2)i.");
    cls.def("__abs__", &c_abs, nb::sig("def __abs__(self) -> Tensor"),
            "Magnitude: |a+bi| = sqrt(a\u00b2 + b\u00b2).")
        .def("abs2", &c_abs2, nb::sig("def abs2(self) -> Tensor"),
             "Squared magnitude: |a+bi|\u00b2 = a\u00b2 + b\u00b2 (exact, no sqrt).")
        .def("__repr__", &c_repr, nb::sig("def __repr__(self) -> str"))
        .def("__str__", &c_str, nb::sig("def __str__(self) -> str"))
        .def("to_list", &c_to_list, nb::sig("def to_list(self) -> list | complex"),
             "Convert to list of Python complex numbers.")
        .def("T", &c_T, nb::sig("def T(self) -> ComplexTensor"), "Transpose (for 2D matrices).")
        .def("H", &c_H, nb::sig("def H(self) -> ComplexTensor"),
             "Hermitian transpose (conjugate transpose): A\u2020 = conj(A.T).");

    m.def("complex_tensor", &make_complex, nb::arg("real").none(), nb::arg("imag").none() = nb::none(),
          nb::sig("def complex_tensor(real: object, imag: object = None) -> ComplexTensor"),
          "Create a complex tensor.");
    m.def(
        "cmm", &complex_product<&op_mm>, nb::arg("a").none(), nb::arg("b").none(),
        nb::sig("def cmm(a: ComplexTensor | Tensor, b: ComplexTensor | Tensor) -> ComplexTensor"),
        "Complex matrix multiplication with exact arithmetic.\n\n(A + Bi)(C + Di) = (AC - BD) + (AD + BC)i");
    m.def("cmv", &complex_product<&op_mv>, nb::arg("A").none(), nb::arg("x").none(),
          nb::sig("def cmv(A: ComplexTensor | Tensor, x: ComplexTensor | Tensor) -> ComplexTensor"),
          "Complex matrix-vector multiplication.");
    m.def("csum", &csum, nb::arg("c").none(), nb::sig("def csum(c: ComplexTensor) -> ComplexTensor"),
          "Sum of complex tensor elements.");
    m.def("cabs", &cabs, nb::arg("c").none(), nb::sig("def cabs(c: ComplexTensor | Tensor) -> Tensor"),
          "Complex absolute value (magnitude).");
    m.def("conj", &conj, nb::arg("c").none(), nb::sig("def conj(c: ComplexTensor) -> ComplexTensor"),
          "Complex conjugate.");
    m.def(
        "complex_eye",
        [](nb::handle n) {
            long long k = exact_int_value(n, "n");
            nb::object re = op_eye(k);
            return pair(re, op_zeros({k, k}));
        },
        nb::arg("n").none(), nb::sig("def complex_eye(n: int) -> ComplexTensor"), "Complex identity matrix.");
    m.def(
        "complex_zeros",
        [](nb::args args, nb::kwargs kw) {
            std::vector<int64_t> s = varargs_shape(args, kw, "complex_zeros");
            return pair(op_zeros(s), op_zeros(s));
        },
        nb::sig("def complex_zeros(*args: int | tuple[int, ...] | list[int]) -> ComplexTensor"),
        "Complex zero tensor.");
    m.def(
        "complex_ones",
        [](nb::args args, nb::kwargs kw) {
            std::vector<int64_t> s = varargs_shape(args, kw, "complex_ones");
            return pair(op_ones(s), op_zeros(s));
        },
        nb::sig("def complex_ones(*args: int | tuple[int, ...] | list[int]) -> ComplexTensor"),
        "Complex tensor of ones (real part only).");
}

}  // namespace zel
