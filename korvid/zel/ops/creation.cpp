// Creation and shape operations.
#include <cstring>
#include <string>

#include "../core/convert.hpp"
#include "../core/errors.hpp"
#include "../cuda/kernel_list.hpp"
#include "../registry.hpp"
#include "ops.hpp"

namespace zel {

namespace {

template <auto Body>
nb::object fill(const char* name, const std::vector<int64_t>& shape) {
    int64_t n = shape_numel(shape);
    int32_t n32 = checked_i32(n, "element count");
    DevArray out = new_records((size_t)n);
    if (n) launch<Body>(name, grid1(n32), block1(), out, n32);
    return wrap(out, shape_tuple(shape));
}

std::string count_str(size_t n) { return std::to_string(n); }

// Python's tuple index error for a dimension outside the shape.
[[noreturn]] void dim_out_of_range(int64_t dim, size_t nd) {
    throw nb::index_error(("dimension " + std::to_string(dim) + " is out of range for a tensor of " +
                           std::to_string(nd) + " dimensions")
                              .c_str());
}

size_t norm_dim(int64_t dim, size_t nd) {
    int64_t d = dim < 0 ? dim + (int64_t)nd : dim;
    if (d < 0 || d >= (int64_t)nd) dim_out_of_range(dim, nd);
    return (size_t)d;
}

// s[:dim] + (1,) + s[dim:] with Python slice semantics (after the -1 rule).
std::vector<int64_t> unsqueezed(const std::vector<int64_t>& s, int64_t dim) {
    int64_t nd = (int64_t)s.size();
    if (nd >= MAX_DIMS)
        throw nb::value_error(("a tensor of " + std::to_string(nd) + " dimensions cannot gain one (at most " +
                               std::to_string(MAX_DIMS) + ")")
                                  .c_str());
    if (dim < 0) dim = nd + dim + 1;
    int64_t pos = dim < 0 ? dim + nd : dim;
    if (pos < 0) pos = 0;
    if (pos > nd) pos = nd;
    std::vector<int64_t> r(s.begin(), s.begin() + pos);
    r.push_back(1);
    r.insert(r.end(), s.begin() + pos, s.end());
    return r;
}

// The geometry of a concatenation along d: the output is `outer` groups,
// group g holding the g-th chunk of every operand in list order; operand k's
// chunk is shapes[k][d] * inner records.
struct CatLayout {
    size_t d = 0;
    std::vector<int64_t> out_shape;
    int64_t total = 0, outer = 1, inner = 1;
    int64_t chunk(const std::vector<int64_t>& s) const { return s[d] * inner; }
};

// Checks that the shapes agree outside dim and that the result fits.
CatLayout cat_layout(const std::vector<std::vector<int64_t>>& shapes, int64_t dim) {
    const std::vector<int64_t>& s0 = shapes[0];
    size_t nd = s0.size();
    for (size_t k = 1; k < shapes.size(); ++k) {
        if (shapes[k].size() != nd)
            throw nb::value_error(("cat: tensor " + std::to_string(k) + " has shape " +
                                   shape_str(shape_tuple(shapes[k])) + " but tensor 0 has shape " +
                                   shape_str(shape_tuple(s0)) + " (ranks differ)")
                                      .c_str());
    }
    CatLayout c;
    c.d = norm_dim(dim, nd);
    const size_t d = c.d;
    c.out_shape = s0;
    int64_t total_d = 0;
    for (size_t k = 0; k < shapes.size(); ++k) {
        for (size_t i = 0; i < nd; ++i) {
            if (i != d && shapes[k][i] != s0[i])
                throw nb::value_error(("cat: tensor " + std::to_string(k) + " has shape " +
                                       shape_str(shape_tuple(shapes[k])) + " but tensor 0 has shape " +
                                       shape_str(shape_tuple(s0)) + "; they must agree outside dimension " +
                                       std::to_string(d))
                                          .c_str());
        }
        if (__builtin_add_overflow(total_d, shapes[k][d], &total_d))
            throw nb::value_error(("cat: the joined dimension " + std::to_string(d) +
                                   " does not fit 64 bits (tensor 0 has shape " + shape_str(shape_tuple(s0)) +
                                   ")")
                                      .c_str());
    }
    c.out_shape[d] = total_d;
    c.total = shape_numel(c.out_shape);
    checked_i32(c.total, "element count");
    for (size_t i = 0; i < d; ++i) c.outer *= s0[i];
    for (size_t i = d + 1; i < nd; ++i) c.inner *= s0[i];
    return c;
}

// On the GPU: one strided copy per operand, straight into the output.
DevArray cat_groups_device(const std::vector<TensorView>& views,
                           const std::vector<std::vector<int64_t>>& shapes, const CatLayout& c) {
    DevArray out = new_records((size_t)c.total);
    const int64_t out_row = c.out_shape[c.d] * c.inner;
    int64_t offset = 0;
    for (size_t k = 0; k < views.size(); ++k) {
        const int64_t chunk = c.chunk(shapes[k]);
        if (chunk)
            ZEL_LAUNCH(fp_cat_part_kernel, grid1(c.outer * chunk), block1(), views[k].a, out, (int)c.outer,
                       (int)chunk, (int)out_row, (int)offset);
        offset += chunk;
    }
    return out;
}

// On the CPU: the groups copied in output order.
DevArray cat_groups_host(const std::vector<TensorView>& views,
                         const std::vector<std::vector<int64_t>>& shapes, const CatLayout& c) {
    std::vector<HostRecords> src;
    for (const TensorView& v : views) src.push_back(host_records(v.a));
    DevArray out = new_records((size_t)c.total);
    Fp* dst = out.rec();
    size_t off = 0;
    for (int64_t g = 0; g < c.outer; ++g) {
        for (size_t k = 0; k < views.size(); ++k) {
            size_t chunk = (size_t)c.chunk(shapes[k]);
            if (chunk) std::memcpy(dst + off, src[k].ptr + (size_t)g * chunk, chunk * sizeof(Fp));
            off += chunk;
        }
    }
    return out;
}

// Concatenation along dim of operands whose shapes are given separately
// (stack passes unsqueezed shapes without copying the data).
nb::object cat_shaped(const std::vector<TensorView>& views, const std::vector<std::vector<int64_t>>& shapes,
                      int64_t dim) {
    const CatLayout c = cat_layout(shapes, dim);
    nb::object st = shape_tuple(c.out_shape);
    if (c.outer == 1 || c.total == 0) {
        std::vector<DevArray> parts;
        for (const TensorView& v : views) parts.push_back(v.a);
        return wrap(c.total == 0 ? new_records(0) : concat_records(parts), st);
    }
    return wrap(on_cuda() ? cat_groups_device(views, shapes, c) : cat_groups_host(views, shapes, c), st);
}

// The list's items, held: reading an operand's attributes may run Python
// code that changes the list.
std::vector<nb::object> tensor_list(nb::handle tensors) {
    require_list(tensors, "tensors");
    std::vector<nb::object> r;
    Py_ssize_t n = PyList_GET_SIZE(tensors.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) r.push_back(nb::borrow(PyList_GET_ITEM(tensors.ptr(), i)));
    return r;
}

bool exact_kind(nb::handle v) {
    const PyRefs& py = py_refs();
    return PyLong_Check(v.ptr()) || py_isinstance(v.ptr(), py.fraction.ptr()) ||
           py_isinstance(v.ptr(), py.decimal.ptr()) || py_isinstance(v.ptr(), py.np_integer.ptr());
}

// Decimal endpoints of linspace's exact path: powers of ten past this are
// refused rather than expanded (10^(10^9) alone would take minutes).
constexpr long long LINSPACE_DEC_EXP_MAX = 100000;

// value = num / den with den > 0, from anything Fraction() takes exactly.
void as_ratio(nb::handle v, Mpz& num, Mpz& den) {
    if (py_isinstance(v.ptr(), py_refs().decimal.ptr()) && nb::cast<bool>(v.attr("is_finite")())) {
        const long long e = decimal_adjusted(v);
        if (e > LINSPACE_DEC_EXP_MAX || e < -LINSPACE_DEC_EXP_MAX)
            throw nb::value_error(("linspace: the Decimal endpoint " + nb::cast<std::string>(nb::str(v)) +
                                   " is beyond 10^" + std::to_string(LINSPACE_DEC_EXP_MAX) + " or 10^-" +
                                   std::to_string(LINSPACE_DEC_EXP_MAX) +
                                   "; convert it with tensor() first, which rounds it at once")
                                      .c_str());
    }
    nb::object f = py_refs().fraction(v);
    pylong_to_mpz(num, f.attr("numerator"));
    pylong_to_mpz(den, f.attr("denominator"));
}

nb::object checked(PyObject* o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

}  // namespace

// zeros(2, 3), zeros((2, 3)) and zeros([2, 3]) name the same shape.
std::vector<int64_t> varargs_shape(nb::args args, nb::kwargs kwargs, const char* fn) {
    if (nb::len(kwargs) > 0)
        throw nb::type_error((std::string(fn) + "() takes no keyword arguments").c_str());
    if (nb::len(args) == 1 && (PyTuple_Check(args[0].ptr()) || PyList_Check(args[0].ptr())))
        return shape_vec(args[0]);
    return shape_vec(args);
}

nb::object op_zeros(const std::vector<int64_t>& shape) {
    return fill<&fp_zeros_kernel_body>("fp_zeros_kernel", shape);
}
nb::object op_ones(const std::vector<int64_t>& shape) {
    return fill<&fp_ones_kernel_body>("fp_ones_kernel", shape);
}

nb::object op_eye(int64_t n) {
    if (n < 0) throw nb::value_error(("eye: n must be non-negative, got " + std::to_string(n)).c_str());
    if (n > 46340)
        throw nb::value_error(("eye: " + std::to_string(n) + " x " + std::to_string(n) +
                               " records do not fit a 32-bit kernel argument")
                                  .c_str());
    int32_t n32 = (int32_t)n;
    DevArray out = new_records((size_t)(n * n));
    if (n) ZEL_LAUNCH(fp_eye_kernel, grid1(n * n), block1(), out, n32);
    return wrap(out, nb::make_tuple(n, n));
}

nb::object op_arange(nb::handle start, nb::handle end, nb::handle step) {
    nb::object r = end.is_none()
                       ? checked(PyObject_CallFunctionObjArgs((PyObject*)&PyRange_Type, nb::int_(0).ptr(),
                                                              start.ptr(), step.ptr(), nullptr))
                       : checked(PyObject_CallFunctionObjArgs((PyObject*)&PyRange_Type, start.ptr(),
                                                              end.ptr(), step.ptr(), nullptr));
    Py_ssize_t len = PyObject_Size(r.ptr());
    if (len < 0) throw nb::python_error();
    checked_i32(len, "element count");
    int o1 = 0, o2 = 0;
    long long s0 = PyLong_AsLongLongAndOverflow(r.attr("start").ptr(), &o1);
    long long st = PyLong_AsLongLongAndOverflow(r.attr("step").ptr(), &o2);
    // Values of 2^64 and more (the last one is the largest in magnitude, or
    // the first): the general list path converts them exactly.
    const __int128 last = len > 0 ? (__int128)s0 + (__int128)st * (len - 1) : 0;
    const __int128 lim = (__int128)UINT64_MAX;
    if (o1 || o2 || PyErr_Occurred() || last > lim || last < -lim) {
        PyErr_Clear();
        // Values past 64 bits: the general list path converts them exactly.
        nb::object l = checked(PySequence_List(r.ptr()));
        return make_tensor(l);
    }
    std::vector<Fp> host((size_t)len);
    for (Py_ssize_t i = 0; i < len; ++i) {
        __int128 v = (__int128)s0 + (__int128)st * i;  // lies between start and stop
        uint64_t m = v < 0 ? (uint64_t)(-v) : (uint64_t)v;
        host[(size_t)i] = fp_from_u64(m, v < 0);
    }
    return wrap(records_from_host(host.data(), host.size()), nb::make_tuple((int64_t)len));
}

// Exact arguments (ints, Fractions, Decimals) give exact values: start +
// i * (end - start) / (steps - 1) as one rational each, stored like a
// Fraction (rounded toward -inf at 2^-256).  Float arguments keep the host's
// float arithmetic, value by value.
nb::object op_linspace(nb::handle start, nb::handle end, int64_t steps) {
    if (steps < 0)
        throw nb::value_error(("linspace: steps must be non-negative, got " + std::to_string(steps)).c_str());
    if (steps == 1) {
        nb::list l;
        l.append(start);
        return make_tensor(l);
    }
    checked_i32(steps, "steps");
    if (steps == 0) return wrap(new_records(0), nb::make_tuple(0));
    if (exact_kind(start) && exact_kind(end)) {
        Mpz p0, q0, p1, q1;
        as_ratio(start, p0, q0);
        as_ratio(end, p1, q1);
        // value_i = (p0*q1*(steps-1) + i*(p1*q0 - p0*q1)) / (q0*q1*(steps-1))
        Mpz base, diff, den, num, t;
        mpz_mul(base, p0, q1);
        mpz_mul(diff, p1, q0);
        mpz_sub(diff, diff, base);
        mpz_mul_ui(base, base, (unsigned long)(steps - 1));
        mpz_mul(den, q0, q1);
        mpz_mul_ui(den, den, (unsigned long)(steps - 1));
        std::vector<Fp> host((size_t)steps);
        for (int64_t i = 0; i < steps; ++i) {
            mpz_mul_ui(t, diff, (unsigned long)i);
            mpz_add(num, base, t);
            host[(size_t)i] = fp_from_ratio(num, den);
        }
        return wrap(records_from_host(host.data(), host.size()), nb::make_tuple(steps));
    }
    nb::object span = checked(PyNumber_Subtract(end.ptr(), start.ptr()));
    nb::object step = checked(PyNumber_TrueDivide(span.ptr(), nb::int_(steps - 1).ptr()));
    nb::object l = checked(PyList_New((Py_ssize_t)steps));
    for (int64_t i = 0; i < steps; ++i) {
        nb::object off = checked(PyNumber_Multiply(nb::int_(i).ptr(), step.ptr()));
        nb::object v = checked(PyNumber_Add(start.ptr(), off.ptr()));
        PyList_SET_ITEM(l.ptr(), (Py_ssize_t)i, v.release().ptr());
    }
    return make_tensor(l);
}

nb::object op_reshape(nb::handle a, const std::vector<int64_t>& shape) {
    TensorView v = tensor_view(a);
    nb::object st = shape_tuple(shape);
    int64_t want = shape_numel(shape);
    if ((uint64_t)want != v.n())
        throw nb::value_error(("reshape: shape " + shape_str(st) + " holds " + std::to_string(want) +
                               " elements but the tensor holds " + count_str(v.n()))
                                  .c_str());
    return wrap(copy_records(v.a), st);
}

nb::object op_squeeze(nb::handle a, nb::handle dim) {
    TensorView v = tensor_view(a);
    std::vector<int64_t> s = shape_vec(v.shape);
    std::vector<int64_t> r;
    if (dim.is_none()) {
        for (int64_t e : s)
            if (e != 1) r.push_back(e);
    } else {
        long long dv = exact_int_value(dim, "dim");
        size_t d = norm_dim(dv, s.size());
        if (s[d] != 1) return wrap(copy_records(v.a), v.shape);
        r = s;
        r.erase(r.begin() + (std::ptrdiff_t)d);
    }
    return wrap(copy_records(v.a), shape_tuple(r));
}

nb::object op_unsqueeze(nb::handle a, int64_t dim) {
    TensorView v = tensor_view(a);
    return wrap(copy_records(v.a), shape_tuple(unsqueezed(shape_vec(v.shape), dim)));
}

nb::object op_transpose(nb::handle a) {
    TensorView v = tensor_view(a);
    std::vector<int64_t> s = shape_vec(v.shape);
    if (s.size() != 2) throw nb::value_error("transpose requires 2D tensor");
    check_shape_count(s, v.n(), v.shape);
    int64_t rows = s[0], cols = s[1];
    int32_t n32 = checked_i32(rows * cols, "element count");
    DevArray out = new_records(v.n());
    if (n32) {
        // A single row or column keeps its order: launch it as one row so
        // the grid's y extent (at most 65535 blocks on the GPU) never limits it.
        if (rows == 1 || cols == 1) {
            ZEL_LAUNCH(fp_transpose_kernel, grid2(n32, 1), block2(), v.a, out, 1, n32);
        } else {
            if ((rows + 15) / 16 > 65535)
                throw nb::value_error(
                    ("transpose: " + std::to_string(rows) + " rows exceed the 1048560 a launch covers")
                        .c_str());
            ZEL_LAUNCH(fp_transpose_kernel, grid2(cols, rows), block2(), v.a, out, (int)rows, (int)cols);
        }
    }
    return wrap(out, nb::make_tuple(cols, rows));
}

nb::object op_cat(const std::vector<nb::handle>& tensors, int64_t dim) {
    if (tensors.empty()) throw nb::value_error("cat requires at least one tensor");
    if (tensors.size() == 1) {
        TensorView v = tensor_view(tensors[0]);
        return wrap(copy_records(v.a), v.shape);
    }
    std::vector<TensorView> views;
    std::vector<std::vector<int64_t>> shapes;
    for (nb::handle t : tensors) {
        ShapedView s = shaped_view(t);
        views.push_back(s.v);
        shapes.push_back(s.s);
    }
    return cat_shaped(views, shapes, dim);
}

nb::object op_stack(const std::vector<nb::handle>& tensors, int64_t dim) {
    if (tensors.empty()) throw nb::value_error("cat requires at least one tensor");
    std::vector<TensorView> views;
    std::vector<std::vector<int64_t>> shapes;
    for (nb::handle t : tensors) {
        ShapedView s = shaped_view(t);
        views.push_back(s.v);
        shapes.push_back(unsqueezed(s.s, dim));
    }
    if (views.size() == 1) return wrap(copy_records(views[0].a), shape_tuple(shapes[0]));
    return cat_shaped(views, shapes, dim);
}

namespace {

// cat and stack from Python: a list of tensors, held while they are read.
template <nb::object (*Op)(const std::vector<nb::handle>&, int64_t)>
nb::object tensor_list_op(nb::handle tensors, nb::handle dim) {
    std::vector<nb::object> held = tensor_list(tensors);
    long long d = exact_int_value(dim, "dim");
    return Op(std::vector<nb::handle>(held.begin(), held.end()), d);
}

}  // namespace

void register_creation(nb::module_& m) {
    m.def("tensor", &make_tensor, nb::arg("data").none(), nb::sig("def tensor(data: object) -> Tensor"),
          "Create tensor.");
    m.def(
        "zeros", [](nb::args args, nb::kwargs kw) { return op_zeros(varargs_shape(args, kw, "zeros")); },
        nb::sig("def zeros(*args: int | tuple[int, ...] | list[int]) -> Tensor"), "Create zeros tensor.");
    m.def(
        "ones", [](nb::args args, nb::kwargs kw) { return op_ones(varargs_shape(args, kw, "ones")); },
        nb::sig("def ones(*args: int | tuple[int, ...] | list[int]) -> Tensor"), "Create ones tensor.");
    m.def(
        "eye", [](nb::handle n) { return op_eye(exact_int_value(n, "n")); }, nb::arg("n").none(),
        nb::sig("def eye(n: int) -> Tensor"), "Create identity matrix.");
    m.def("arange", &op_arange, nb::arg("start").none(), nb::arg("end").none() = nb::none(),
          nb::arg("step").none() = 1,
          nb::sig("def arange(start: int, end: int | None = None, step: int = 1) -> Tensor"),
          "Create range tensor.");
    m.def(
        "linspace",
        [](nb::handle start, nb::handle end, nb::handle steps) {
            return op_linspace(start, end, exact_int_value(steps, "steps"));
        },
        nb::arg("start").none(), nb::arg("end").none(), nb::arg("steps").none(),
        nb::sig("def linspace(start: object, end: object, steps: int) -> Tensor"),
        "Create linearly spaced tensor.");
    m.def(
        "reshape",
        [](nb::handle a, nb::handle shape) {
            // A bare int names a 1-D shape, as in NumPy.
            if (is_exact_int(shape)) return op_reshape(a, shape_vec(nb::make_tuple(shape)));
            return op_reshape(a, shape_vec(shape));
        },
        nb::arg("a").none(), nb::arg("shape").none(),
        nb::sig("def reshape(a: Tensor, shape: int | tuple[int, ...] | list[int]) -> Tensor"),
        "Reshape tensor.");
    m.def(
        "squeeze",
        [](nb::handle a, nb::handle dim) {
            if (!dim.is_none()) require_int(dim, "dim");
            return op_squeeze(a, dim);
        },
        nb::arg("a").none(), nb::arg("dim").none() = nb::none(),
        nb::sig("def squeeze(a: Tensor, dim: int | None = None) -> Tensor"), "Remove size-1 dimensions.");
    m.def(
        "unsqueeze",
        [](nb::handle a, nb::handle dim) { return op_unsqueeze(a, exact_int_value(dim, "dim")); },
        nb::arg("a").none(), nb::arg("dim").none(), nb::sig("def unsqueeze(a: Tensor, dim: int) -> Tensor"),
        "Add size-1 dimension.");
    m.def(
        "transpose",
        [](nb::handle a, nb::handle dim0, nb::handle dim1) {
            require_int(dim0, "dim0");
            require_int(dim1, "dim1");
            return op_transpose(a);
        },
        nb::arg("a").none(), nb::arg("dim0").none(), nb::arg("dim1").none(),
        nb::sig("def transpose(a: Tensor, dim0: int, dim1: int) -> Tensor"), "Transpose dimensions.");
    m.def("cat", &tensor_list_op<&op_cat>, nb::arg("tensors").none(), nb::arg("dim").none() = 0,
          nb::sig("def cat(tensors: list[Tensor], dim: int = 0) -> Tensor"), "Concatenate tensors.");
    m.def("stack", &tensor_list_op<&op_stack>, nb::arg("tensors").none(), nb::arg("dim").none() = 0,
          nb::sig("def stack(tensors: list[Tensor], dim: int = 0) -> Tensor"),
          "Stack tensors along new dimension.");
}

}  // namespace zel
