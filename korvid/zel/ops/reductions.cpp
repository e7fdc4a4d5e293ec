// Reductions, scans and row-wise operations.
#include "reductions.hpp"

#include <string>
#include <vector>

#include "../core/errors.hpp"
#include "../cuda/kernel_list.hpp"
#include "../registry.hpp"
#include "ops.hpp"

namespace zel {

DevArray slice_records(const DevArray& a, size_t off, size_t n) {
    nb::object s = nb::steal(PySlice_New(nb::int_(off).ptr(), nb::int_(off + n).ptr(), nullptr));
    if (!s.is_valid()) throw nb::python_error();
    nb::object v = nb::steal(PyObject_GetItem(a.obj.ptr(), s.ptr()));
    if (!v.is_valid()) throw nb::python_error();
    return view_array(v, ElemKind::Record, "slice");
}

namespace {

// data[dst] = data[src] within one device array.
void copy_record(const DevArray& d, size_t dst, size_t src) {
    if (!on_cuda()) {
        d.rec()[dst] = d.rec()[src];
        return;
    }
    nb::object base = d.obj.attr("data");
    nb::object to = base.attr("__add__")(dst * sizeof(Fp));
    nb::object from = base.attr("__add__")(src * sizeof(Fp));
    to.attr("copy_from_device")(from, sizeof(Fp));
}

nb::object one_element(const DevArray& rec) { return wrap(rec, nb::tuple()); }

DevArray first_record(const DevArray& a) {
    DevArray out = new_records(1);
    if (!on_cuda()) {
        out.rec()[0] = a.rec()[0];
        return out;
    }
    out.obj.attr("data").attr("copy_from_device")(a.obj.attr("data"), sizeof(Fp));
    return out;
}

enum class Family { Prod, MaxMin };

// The halving reduction: passes of the in-place kernel over a private copy;
// an odd leftover is multiplied into element 0 (prod) or carried into the
// next pass (max, min).  prod keeps this pairing because each product rounds.
template <auto Body>
DevArray halving(const char* name, const DevArray& src, Family fam) {
    size_t n = src.n;
    checked_i32((int64_t)n, "element count");
    DevArray data = copy_records(src);
    while (n > 1) {
        size_t half = n / 2;
        launch<Body>(name, grid1((int64_t)half), block1(), data, (int)n);
        synchronize();
        if (n & 1) {
            if (fam == Family::Prod) {
                if (!on_cuda()) {
                    data.rec()[0] = fp_mul(data.rec()[0], data.rec()[n - 1]);
                } else {
                    DevArray tmp = new_records(1);
                    ZEL_LAUNCH(fp_mul_kernel, Dim3{1, 1, 1}, Dim3{1, 1, 1}, slice_records(data, 0, 1),
                               slice_records(data, n - 1, 1), tmp, 1);
                    data.obj.attr("data").attr("copy_from_device")(tmp.obj.attr("data"), sizeof(Fp));
                }
            } else if (half > 0) {
                copy_record(data, half, n - 1);
                ++half;
            }
        }
        n = half;
    }
    return first_record(data);
}

// ---------------------------------------------------------- arguments

void require_dim(nb::handle dim) {
    if (!dim.is_none() && !is_exact_int(dim)) raise_arg_type("dim", "int", dim);
}

// Row geometry of the row-wise operations: the last axis is the row, every
// leading axis multiplies the row count; a 0-d tensor is one row of one.
struct RowView {
    TView v;
    int32_t rows = 0, cols = 0;
};

RowView row_view(nb::handle a) {
    RowView r{tview(a)};
    std::vector<int64_t> s = shape_vec(r.v.shape);
    check_shape_count(s, r.v.n(), r.v.shape);
    int64_t cols = s.empty() ? 1 : s.back();
    int64_t rows = 1;
    for (size_t i = 0; i + 1 < s.size(); ++i) rows *= s[i];
    r.rows = checked_i32(rows, "row count");
    r.cols = checked_i32(cols, "row length");
    return r;
}

template <auto Body>
nb::object row_records(const char* name, nb::handle a, nb::handle dim, int64_t cost) {
    require_int(dim, "dim");
    RowView r = row_view(a);
    DevArray out = new_records(r.v.n());
    if (r.v.n() > 0) launch_items<Body>(name, r.rows, (int64_t)r.v.n() * cost, r.v.a, out, r.rows, r.cols);
    return wrap(out, r.v.shape);
}

template <auto Body>
nb::object row_index(const char* name, const char* fn, nb::handle a, nb::handle dim) {
    require_int(dim, "dim");
    RowView r = row_view(a);
    if (r.rows > 0 && r.cols == 0)
        throw nb::value_error((std::string(fn) + " of an empty row: shape " + shape_str(r.v.shape)).c_str());
    DevArray out = new_array((size_t)r.rows, ElemKind::I32);
    launch_items<Body>(name, r.rows, (int64_t)r.v.n(), r.v.a, out, r.rows, r.cols);
    return out.obj;
}

nb::object call(const char* fn, nb::handle a) { return zel_module().attr(fn)(a); }

}  // namespace

// ---------------------------------------------------------- exact sums

DevArray exact_sum(const DevArray& a, const DevArray& b, int64_t n, int mode) {
    const int32_t n32 = checked_i32(n, "element count");
    DevArray out = new_records(1);
    if (on_cuda()) {
        // Enough threads to stream the array; one thread then adds the parts.
        int64_t parts = (n + 63) / 64;
        parts = parts < 1 ? 1 : (parts > 8192 ? 8192 : parts);
        DevArray part = new_records((size_t)(2 * parts));
        ZEL_LAUNCH(fp_sum_partial_kernel, grid1(parts), block1(), a, b, part, n32, (int)parts, mode);
        ZEL_LAUNCH(fp_sum_finish_kernel, Dim3{1, 1, 1}, Dim3{1, 1, 1}, part, out, (int)parts);
        return out;
    }
    // Contiguous chunks of a few thousand terms, spread over the cores.
    const int64_t per = mode == SUM_PLAIN || mode == SUM_ABS ? 8192 : 1024;
    int64_t parts = (n + per - 1) / per;
    parts = parts < 1 ? 1 : (parts > 1024 ? 1024 : parts);
    std::vector<Fp> part((size_t)(2 * parts));
    const Fp* pa = a.rec();
    const Fp* pb = b.rec();
    Fp* pp = part.data();
    cpu_for(parts, parts > 1, [&](int64_t t) {
        fp_sum_partial_kernel_body(ThreadCtx{(uint32_t)t, 0u}, pa, pb, pp, n32, (int)parts, mode);
    });
    fp_sum_finish_kernel_body(ThreadCtx{0u, 0u}, pp, out.rec(), (int)parts);
    return out;
}

nb::object op_sum(nb::handle a) {
    TView v = tview(a);
    if (v.n() == 0) return make_tensor(nb::int_(0));
    if (v.n() == 1) return one_element(copy_records(v.a));
    return one_element(exact_sum(v.a, v.a, (int64_t)v.n(), SUM_PLAIN));
}

nb::object op_prod(nb::handle a) {
    TView v = tview(a);
    if (v.n() == 0) return make_tensor(nb::int_(1));
    return one_element(halving<&fp_prod_reduce_kernel_body>("fp_prod_reduce_kernel", v.a, Family::Prod));
}

nb::object op_max(nb::handle a) {
    TView v = tview(a);
    if (v.n() == 0) return wrap(new_records(0), nb::tuple());
    return one_element(halving<&fp_max_reduce_kernel_body>("fp_max_reduce_kernel", v.a, Family::MaxMin));
}

nb::object op_min(nb::handle a) {
    TView v = tview(a);
    if (v.n() == 0) return wrap(new_records(0), nb::tuple());
    return one_element(halving<&fp_min_reduce_kernel_body>("fp_min_reduce_kernel", v.a, Family::MaxMin));
}

nb::object op_mean(nb::handle a) {
    TView v = tview(a);
    nb::object s = op_sum(a);
    return op_div(s, make_tensor(nb::int_(v.n())));
}

namespace {

// The exact sum of squared deviations from the correctly rounded mean,
// divided once (by N - 1 when unbiased and N > 1, else by N).
nb::object variance(nb::handle a, nb::handle dim, bool unbiased) {
    require_dim(dim);
    TView v = tview(a);
    const int64_t n = (int64_t)v.n();
    if (n == 0) return make_tensor(nb::int_(0));
    nb::object m = op_mean(a);
    DevArray s = exact_sum(v.a, tview(m).a, n, SUM_SQDEV);
    const int64_t div = unbiased && n > 1 ? n - 1 : n;
    return op_div(one_element(s), make_tensor(nb::int_(div)));
}

nb::object norm(nb::handle a, nb::handle p) {
    require_int(p, "p");
    if (PyObject_RichCompareBool(p.ptr(), nb::int_(0).ptr(), Py_LE) == 1)
        throw nb::value_error(("norm requires p >= 1, got " + nb::cast<std::string>(nb::str(p))).c_str());
    TView v = tview(a);
    const int64_t n = (int64_t)v.n();
    if (PyObject_RichCompareBool(p.ptr(), nb::int_(1).ptr(), Py_EQ) == 1) {
        if (n == 0) return make_tensor(nb::int_(0));
        return one_element(exact_sum(v.a, v.a, n, SUM_ABS));
    }
    if (PyObject_RichCompareBool(p.ptr(), nb::int_(2).ptr(), Py_EQ) == 1) {
        nb::object ss = n == 0 ? make_tensor(nb::int_(0)) : one_element(exact_sum(v.a, v.a, n, SUM_DOT));
        return call("sqrt", ss);
    }
    // p >= 3: scale by the largest magnitude so no power saturates, then
    // M * exp(log(sum (|x|/M)^p) / p).
    if (n == 0) return make_tensor(nb::int_(0));
    nb::object absa = call("abs", a);
    nb::object big = op_max(absa);
    DevArray bigrec = tview(big).a;
    HostRecords h = host_records(bigrec);
    if (fp_is_zero(h.ptr[0])) return big;
    nb::object powers = zel_module().attr("pow")(op_div(absa, big), p);
    nb::object s = op_sum(powers);
    nb::object root = call("exp", op_div(call("log", s), make_tensor(p)));
    return op_mul(big, root);
}

}  // namespace

void register_reductions(nb::module_& m) {
    m.def("sum", &op_sum, nb::arg("a").none(), "Sum all elements.");
    m.def("prod", &op_prod, nb::arg("a").none(), "Product of all elements.");
    m.def("max", &op_max, nb::arg("a").none(), "Maximum element.");
    m.def("min", &op_min, nb::arg("a").none(), "Minimum element.");
    m.def("mean", &op_mean, nb::arg("a").none(), "Mean of all elements.");
    m.def(
        "softmax",
        [](nb::handle a, nb::handle dim) {
            return row_records<&fp_softmax_kernel_body>("fp_softmax_kernel", a, dim, 1024);
        },
        nb::arg("a").none(), nb::arg("dim").none() = -1, "Softmax.");
    m.def(
        "cumsum",
        [](nb::handle a, nb::handle dim) { return row_records<&fp_cumsum_kernel_body>("fp_cumsum_kernel", a, dim, 1); },
        nb::arg("a").none(), nb::arg("dim").none() = -1, "Cumulative sum.");
    m.def(
        "cumprod",
        [](nb::handle a, nb::handle dim) {
            return row_records<&fp_cumprod_kernel_body>("fp_cumprod_kernel", a, dim, 8);
        },
        nb::arg("a").none(), nb::arg("dim").none() = -1, "Cumulative product.");
    m.def(
        "argmax",
        [](nb::handle a, nb::handle dim) {
            return row_index<&fp_argmax_kernel_body>("fp_argmax_kernel", "argmax", a, dim);
        },
        nb::arg("a").none(), nb::arg("dim").none() = -1, "Argmax.");
    m.def(
        "argmin",
        [](nb::handle a, nb::handle dim) {
            return row_index<&fp_argmin_kernel_body>("fp_argmin_kernel", "argmin", a, dim);
        },
        nb::arg("a").none(), nb::arg("dim").none() = -1, "Argmin.");
    m.def("norm", &norm, nb::arg("a").none(), nb::arg("p").none() = 2, "Vector norm.");
    m.def(
        "var", [](nb::handle a, nb::handle dim, nb::handle unbiased) {
            return variance(a, dim, PyObject_IsTrue(unbiased.ptr()) == 1);
        },
        nb::arg("a").none(), nb::arg("dim").none() = nb::none(), nb::arg("unbiased").none() = true, "Variance.");
    m.def(
        "std",
        [](nb::handle a, nb::handle dim, nb::handle unbiased) {
            return call("sqrt", variance(a, dim, PyObject_IsTrue(unbiased.ptr()) == 1));
        },
        nb::arg("a").none(), nb::arg("dim").none() = nb::none(), nb::arg("unbiased").none() = true, "Standard deviation.");
    m.def(
        "diff",
        [](nb::handle a, nb::handle n) {
            require_int(n, "n");
            if (PyObject_RichCompareBool(n.ptr(), nb::int_(1).ptr(), Py_NE) == 1)
                throw nb::value_error("Only n=1 supported");
            TView v = tview(a);
            if (v.n() < 2) return wrap(new_records(0), nb::tuple());
            const int64_t m = (int64_t)v.n() - 1;
            DevArray out = new_records((size_t)m);
            ZEL_LAUNCH_ITEMS(fp_diff_kernel, m, m, v.a, out, checked_i32(m, "element count"));
            return wrap(out, nb::tuple());
        },
        nb::arg("a").none(), nb::arg("n").none() = 1, "Difference along last dim.");
}

}  // namespace zel
