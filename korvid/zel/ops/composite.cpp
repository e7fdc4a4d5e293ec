// Composite elementary functions: compositions of the module's operations,
// evaluated innermost first, left to right, one statement per step.
#include <vector>

#include "../core/tensor.hpp"
#include "../cuda/kernels/elementary.hpp"
#include "../registry.hpp"
#include "constants.hpp"
#include "ops.hpp"
#include "unary_defs.hpp"

namespace zel {

namespace {

nb::object scalar(double v) { return make_tensor(nb::float_(v)); }

nb::object ones_of(nb::handle a) { return op_ones(shape_vec(tensor_view(a).shape)); }

// A 1-D tensor of the given records (a gather on the host).
nb::object tensor_of(const std::vector<Fp>& recs) {
    return wrap_1d(records_from_host(recs.data(), recs.size()));
}

std::vector<Fp> records_of_view(const TensorView& v) {
    HostRecords h = host_records(v.a);
    return std::vector<Fp>(h.ptr, h.ptr + h.n);
}

std::vector<Fp> records_of(nb::handle t) { return records_of_view(tensor_view(t)); }

nb::object ln_const(const uint64_t* mag) { return record_scalar(fp_make(mag, false)); }

// log(a) / ln(base), ln(base) correctly rounded at 2^-256.
nb::object log_base(nb::handle a, const uint64_t* ln_base) {
    nb::object c = ln_const(ln_base);
    nb::object l = op_log(a);
    return op_div(l, c);
}

// ---------------------------------------------------------- atan

// The elements one identity of atan applies to: their indices and the
// values it is evaluated at.
struct AtanBranch {
    std::vector<size_t> idx;
    std::vector<Fp> x;
    void add(size_t i, const Fp& v) {
        idx.push_back(i);
        x.push_back(v);
    }
};

// Elements are classified by their whole value: |x| < 1/2 takes the series
// at x itself; 1/2 <= |x| <= 1 and |x| > 1 take their identities at |x|,
// the sign restored afterwards (neg).
struct AtanSplit {
    AtanBranch series, mid, large;
    std::vector<char> neg;
};

AtanSplit split_atan(const std::vector<Fp>& x) {
    AtanSplit s;
    s.neg.resize(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        s.neg[i] = fp_neg_sign(x[i]) && !fp_is_zero(x[i]);
        Fp xabs = s.neg[i] ? fp_neg(x[i]) : x[i];
        if (mag_cmp_pow2(x[i].limb, -1) < 0)
            s.series.add(i, x[i]);
        else if (mag_cmp_pow2(x[i].limb, 0) <= 0)
            s.mid.add(i, xabs);
        else
            s.large.add(i, xabs);
    }
    return s;
}

// atan(x) = pi/4 + atan((x-1)/(x+1)) for 1/2 <= x <= 1.
nb::object atan_mid(const std::vector<Fp>& x) {
    nb::object xt = tensor_of(x);
    nb::object one = scalar(1.0);
    nb::object num = op_sub(xt, one);
    nb::object den = op_add(xt, one);
    nb::object ratio = op_div(num, den);
    nb::object q = op_pi_quarter();
    nb::object t = op_atan_taylor(ratio);
    return op_add(q, t);
}

// atan(x) = pi/2 - atan(1/x) for x > 1.
nb::object atan_large(const std::vector<Fp>& x) {
    nb::object xt = tensor_of(x);
    nb::object inv = op_div(scalar(1.0), xt);
    nb::object h = op_pi_half();
    nb::object t = op_atan(inv);
    return op_sub(h, t);
}

// Writes a branch's results at |x| into out, negated (one more launch, only
// when the branch holds a negative element) where x < 0.
void scatter_signed(std::vector<Fp>& out, const AtanBranch& b, const std::vector<char>& neg, nb::handle pos) {
    bool any_neg = false;
    for (size_t i : b.idx) any_neg |= neg[i] != 0;
    std::vector<Fp> p = records_of(pos), q;
    if (any_neg) q = records_of(op_neg(pos));
    for (size_t k = 0; k < b.idx.size(); ++k) out[b.idx[k]] = neg[b.idx[k]] ? q[k] : p[k];
}

}  // namespace

nb::object op_tan(nb::handle a) {
    nb::object s = op_sin(a);
    nb::object c = op_cos(a);
    return op_div(s, c);
}

// atan by its three identities, each branch run over all of its elements at
// once: the records equal those of the element-by-element composition, and
// the number of launches does not grow with the element count.
nb::object op_atan(nb::handle a) {
    TensorView v = tensor_view(a);
    size_t n = v.n();
    if (n == 0) return wrap(new_records(0), v.shape);
    AtanSplit s = split_atan(records_of_view(v));
    std::vector<Fp> out(n);
    if (!s.series.idx.empty()) {
        std::vector<Fp> r = records_of(op_atan_taylor(tensor_of(s.series.x)));
        for (size_t k = 0; k < s.series.idx.size(); ++k) out[s.series.idx[k]] = r[k];
    }
    if (!s.mid.idx.empty()) scatter_signed(out, s.mid, s.neg, atan_mid(s.mid.x));
    if (!s.large.idx.empty()) scatter_signed(out, s.large, s.neg, atan_large(s.large.x));
    return wrap(records_from_host(out.data(), n), v.shape);
}

// asinh and atanh are odd: evaluating them at |x| and restoring the sign
// (an exact product by -1, 0 or 1) avoids the cancellation of
// x + sqrt(x^2 + 1) and the steep log of (1+x)/(1-x) < 1 for x < 0.
nb::object op_atanh(nb::handle a) {
    nb::object one = ones_of(a);
    nb::object half = scalar(0.5);
    nb::object x = op_abs(a);
    nb::object num = op_add(one, x);
    nb::object den = op_sub(one, x);
    nb::object l = op_log(op_div(num, den));
    return op_mul(op_sign(a), op_mul(half, l));
}

nb::object op_log2(nb::handle a) { return log_base(a, ZT_FP_LN2()); }
nb::object op_log10(nb::handle a) { return log_base(a, ZT_FP_LN10()); }

nb::object op_reciprocal(nb::handle a) {
    nb::object one = ones_of(a);
    return op_div(one, a);
}

void register_composite(nb::module_& m) {
    m.def("tan", &op_tan, nb::arg("a").none(), nb::sig("def tan(a: Tensor) -> Tensor"), "Tangent.");
    // sinh, cosh, asinh, acosh (the unary list): one kernel each that
    // evaluates the composition below record for record (the same
    // roundings), and takes a wide path only where a step saturates although
    // the result fits: sinh/cosh beyond |x| = 177.4 (exp overflows),
    // asinh/acosh from about 2^128 (x^2 overflows).
    //   sinh  = mul(sub(exp(a), exp(neg(a))), 0.5)
    //   cosh  = mul(add(exp(a), exp(neg(a))), 0.5)
    def_unary(m, UNARY_sinh, UNARY_cosh);
    m.def("atan", &op_atan, nb::arg("a").none(), nb::sig("def atan(a: Tensor) -> Tensor"),
          "Arctangent with argument reduction for full range accuracy.\n\n"
          "atan(x) = pi/4 + atan((x-1)/(x+1)) for 0.5 <= x <= 1\n"
          "atan(x) = pi/2 - atan(1/x) for x > 1\n"
          "atan(-x) = -atan(x)");
    // One kernel: atan(y/x) alone would lose the quadrant (atan2(1, -1) is
    // 3pi/4, not -pi/4) and round the quotient before the arctangent.
    m.def("atan2", &op_atan2, nb::arg("y").none(), nb::arg("x").none(),
          nb::sig("def atan2(y: Tensor, x: Tensor) -> Tensor"),
          "Two-argument arctangent with quadrant handling.");
    //   asinh = mul(sign(a), log(add(abs(a), sqrt(add(mul(a, a), 1)))))
    //   acosh = log(add(a, sqrt(sub(mul(a, a), 1))))
    def_unary(m, UNARY_asinh, UNARY_acosh);
    m.def("atanh", &op_atanh, nb::arg("a").none(), nb::sig("def atanh(a: Tensor) -> Tensor"),
          "Inverse hyperbolic tangent: atanh(x) = 0.5 * ln((1+x)/(1-x)).");
    // ln 2 and ln 10 correctly rounded at 2^-256, not 15-digit doubles.
    m.def("log2", &op_log2, nb::arg("a").none(), nb::sig("def log2(a: Tensor) -> Tensor"), "Log base 2.");
    m.def("log10", &op_log10, nb::arg("a").none(), nb::sig("def log10(a: Tensor) -> Tensor"), "Log base 10.");
    m.def("reciprocal", &op_reciprocal, nb::arg("a").none(), nb::sig("def reciprocal(a: Tensor) -> Tensor"),
          "Reciprocal (1/x).");
}

}  // namespace zel
