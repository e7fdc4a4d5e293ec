// Composite elementary functions: compositions of the module's operations,
// evaluated innermost first, left to right, one statement per step.
#include <vector>

#include "../core/tensor.hpp"
#include "../cuda/kernels/elementary.hpp"
#include "../registry.hpp"
#include "constants.hpp"
#include "ops.hpp"
#include "unary.hpp"

namespace zel {

namespace {

nb::object scalar(double v) { return make_tensor(nb::float_(v)); }

nb::object ones_of(nb::handle a) { return op_ones(shape_vec(tview(a).shape)); }

// A 1-D tensor of the given records (a gather on the host).
nb::object tensor_of(const std::vector<Fp>& recs) { return wrap_1d(records_from_host(recs.data(), recs.size())); }

std::vector<Fp> records_of(nb::handle t) {
    TView v = tview(t);
    HostRecords h = host_records(v.a);
    return std::vector<Fp>(h.ptr, h.ptr + h.n);
}

nb::object ln_const(const uint64_t* mag) { return record_scalar(fp_make(mag, false)); }

nb::object op_tan(nb::handle a) {
    nb::object s = op_sin(a);
    nb::object c = op_cos(a);
    return op_div(s, c);
}

}  // namespace

// atan by its three identities, each branch run over all of its elements at
// once: the records equal those of the element-by-element composition, and
// the number of launches does not grow with the element count.
nb::object op_atan(nb::handle a) {
    TView v = tview(a);
    size_t n = v.n();
    if (n == 0) return wrap(new_records(0), v.shape);
    std::vector<Fp> x;
    {
        HostRecords h = host_records(v.a);
        x.assign(h.ptr, h.ptr + h.n);
    }
    // Elements are classified by their whole value.
    std::vector<size_t> ia, ib, ic;
    std::vector<Fp> xa, xb, xc;
    std::vector<char> neg(n);
    for (size_t i = 0; i < n; ++i) {
        neg[i] = fp_neg_sign(x[i]) && !fp_is_zero(x[i]);
        Fp xabs = neg[i] ? fp_neg(x[i]) : x[i];
        if (mag_cmp_pow2(x[i].limb, -1) < 0) {
            ia.push_back(i);
            xa.push_back(x[i]);
        } else if (mag_cmp_pow2(x[i].limb, 0) <= 0) {
            ib.push_back(i);
            xb.push_back(xabs);
        } else {
            ic.push_back(i);
            xc.push_back(xabs);
        }
    }
    std::vector<Fp> out(n);
    auto scatter = [&](const std::vector<size_t>& idx, nb::handle pos) {
        bool any_neg = false;
        for (size_t i : idx) any_neg |= neg[i] != 0;
        std::vector<Fp> p = records_of(pos), q;
        if (any_neg) q = records_of(op_neg(pos));
        for (size_t k = 0; k < idx.size(); ++k) out[idx[k]] = neg[idx[k]] ? q[k] : p[k];
    };
    if (!ia.empty()) {
        std::vector<Fp> r = records_of(op_atan_taylor(tensor_of(xa)));
        for (size_t k = 0; k < ia.size(); ++k) out[ia[k]] = r[k];
    }
    if (!ib.empty()) {
        nb::object xt = tensor_of(xb);
        nb::object one = scalar(1.0);
        nb::object num = op_sub(xt, one);
        nb::object den = op_add(xt, one);
        nb::object ratio = op_div(num, den);
        nb::object q = op_pi_quarter();
        nb::object t = op_atan_taylor(ratio);
        scatter(ib, op_add(q, t));
    }
    if (!ic.empty()) {
        nb::object xt = tensor_of(xc);
        nb::object inv = op_div(scalar(1.0), xt);
        nb::object h = op_pi_half();
        nb::object t = op_atan(inv);
        scatter(ic, op_sub(h, t));
    }
    return wrap(records_from_host(out.data(), n), v.shape);
}

void register_composite(nb::module_& m) {
    m.def("tan", &op_tan, nb::arg("a").none(), "Tangent.");
    // sinh, cosh, asinh, acosh: one kernel each that evaluates the
    // composition below record for record (the same roundings), and takes a
    // wide path only where a step saturates although the result fits:
    // sinh/cosh beyond |x| = 177.4 (exp overflows), asinh/acosh from about
    // 2^128 (x^2 overflows).
    //   sinh  = mul(sub(exp(a), exp(neg(a))), 0.5)
    //   cosh  = mul(add(exp(a), exp(neg(a))), 0.5)
    m.def("sinh", &op_sinh, nb::arg("a").none(), "Hyperbolic sine.");
    m.def("cosh", &op_cosh, nb::arg("a").none(), "Hyperbolic cosine.");
    m.def("atan", &op_atan, nb::arg("a").none(),
          "Arctangent with argument reduction for full range accuracy.\n\n"
          "atan(x) = pi/4 + atan((x-1)/(x+1)) for 0.5 <= x <= 1\n"
          "atan(x) = pi/2 - atan(1/x) for x > 1\n"
          "atan(-x) = -atan(x)");
    // One kernel: atan(y/x) alone would lose the quadrant (atan2(1, -1) is
    // 3pi/4, not -pi/4) and round the quotient before the arctangent.
    m.def("atan2", &op_atan2, nb::arg("y").none(), nb::arg("x").none(),
          "Two-argument arctangent with quadrant handling.");
    // asinh and atanh are odd: evaluating them at |x| and restoring the sign
    // (an exact product by -1, 0 or 1) avoids the cancellation of
    // x + sqrt(x^2 + 1) and the steep log of (1+x)/(1-x) < 1 for x < 0.
    //   asinh = mul(sign(a), log(add(abs(a), sqrt(add(mul(a, a), 1)))))
    //   acosh = log(add(a, sqrt(sub(mul(a, a), 1))))
    m.def("asinh", &op_asinh, nb::arg("a").none(), "Inverse hyperbolic sine: asinh(x) = ln(x + sqrt(x^2 + 1)).");
    m.def("acosh", &op_acosh, nb::arg("a").none(), "Inverse hyperbolic cosine: acosh(x) = ln(x + sqrt(x^2 - 1)).");
    m.def(
        "atanh",
        [](nb::handle a) {
            nb::object one = ones_of(a);
            nb::object half = scalar(0.5);
            nb::object x = op_abs(a);
            nb::object num = op_add(one, x);
            nb::object den = op_sub(one, x);
            nb::object l = op_log(op_div(num, den));
            return op_mul(op_sign(a), op_mul(half, l));
        },
        nb::arg("a").none(), "Inverse hyperbolic tangent: atanh(x) = 0.5 * ln((1+x)/(1-x)).");
    // ln 2 and ln 10 correctly rounded at 2^-256, not 15-digit doubles.
    m.def(
        "log2",
        [](nb::handle a) {
            nb::object c = ln_const(ZT_FP_LN2());
            nb::object l = op_log(a);
            return op_div(l, c);
        },
        nb::arg("a").none(), "Log base 2.");
    m.def(
        "log10",
        [](nb::handle a) {
            nb::object c = ln_const(ZT_FP_LN10());
            nb::object l = op_log(a);
            return op_div(l, c);
        },
        nb::arg("a").none(), "Log base 10.");
    m.def(
        "reciprocal",
        [](nb::handle a) {
            nb::object one = ones_of(a);
            return op_div(one, a);
        },
        nb::arg("a").none(), "Reciprocal (1/x).");
}

}  // namespace zel
