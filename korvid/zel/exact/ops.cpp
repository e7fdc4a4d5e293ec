// The Python-level exact operations: argument checks, the bridge in and out,
// and the elimination with the GIL released.
#include <algorithm>
#include <cmath>
#include <string>

#include "exact.hpp"
#include "../core/convert.hpp"
#include "../core/errors.hpp"
#include "../core/tensor.hpp"

namespace zel {

namespace {

nb::object shape_of(nb::handle A) { return A.attr("_shape"); }

void require_2d(nb::handle A, const char* msg) {
    if (nb::len(shape_of(A)) != 2) throw nb::value_error(msg);
}

bool py_ne(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

void require_square(nb::handle A, const char* msg) {
    nb::object s = shape_of(A);
    if (py_ne(s[0], s[1])) throw nb::value_error(msg);
}

nb::object pylist_of(const std::vector<int64_t>& v) {
    nb::list l;
    for (int64_t x : v) l.append(x);
    return l;
}

// A zero-dimensional result holding one record, as tensor(x) gives.
nb::object scalar_tensor(const Fp& r) {
    DevArray out = records_from_host(&r, 1);
    return nb::cast(Tensor{out.obj, nb::tuple()});
}

struct RrefResult {
    RatMatrix M;
    std::vector<Fp> recs;
    std::vector<int64_t> pivots;
};

RrefResult rref_of(nb::handle A) {
    RrefResult r;
    r.M = tensor_to_rat_matrix(A);
    nb::gil_scoped_release nogil;
    r.pivots = rref_records(r.M, r.recs);
    return r;
}

// Decimal(str(x)).as_integer_ratio() as an exact rational: the value of the
// shortest decimal text of x.
void decimal_text_to_mpq(nb::handle x, mpq_ptr out) {
    nb::object text = nb::str(x);
    nb::object ratio = py_refs().decimal(text).attr("as_integer_ratio")();
    pylong_to_mpz(mpq_numref(out), ratio[0]);
    pylong_to_mpz(mpq_denref(out), ratio[1]);
    mpq_canonicalize(out);
}

void read_three(nb::handle list, Mpq* v) {
    nb::object items = nb::steal(PySequence_List(list.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n && i < 3; ++i) decimal_text_to_mpq(PyList_GET_ITEM(items.ptr(), i), v[i]);
    if (n != 3) {
        std::string msg = n < 3 ? "not enough values to unpack (expected 3, got " + std::to_string(n) + ")"
                                : "too many values to unpack (expected 3)";
        throw nb::value_error(msg.c_str());
    }
}

// The exact cross product of the decimal readings of a and b.
void cross_parts(nb::handle a, nb::handle b, Mpq* c) {
    nb::object na = a.attr("numel"), nb_ = b.attr("numel");
    nb::object three = nb::int_(3);
    if (py_ne(na, three) || py_ne(nb_, three)) {
        std::string msg = "cross product requires 3D vectors, got " + nb::cast<std::string>(nb::str(na)) +
                          " and " + nb::cast<std::string>(nb::str(nb_));
        throw nb::value_error(msg.c_str());
    }
    nb::object a_list = a.attr("to_list")(), b_list = b.attr("to_list")();
    set_decimal_precision(50);
    Mpq x[3], y[3], t;
    read_three(a_list, x);
    read_three(b_list, y);
    for (int i = 0; i < 3; ++i) {
        int j = (i + 1) % 3, k = (i + 2) % 3;
        mpq_mul(c[i], x[j], y[k]);
        mpq_mul(t, x[k], y[j]);
        mpq_sub(c[i], c[i], t);
    }
}

}  // namespace

nb::object op_rref(nb::handle A) {
    require_2d(A, "rref requires 2D tensor");
    RrefResult r = rref_of(A);
    nb::object t = records_to_tensor(r.recs, nb::make_tuple(r.M.rows, r.M.cols));
    return nb::make_tuple(t, pylist_of(r.pivots));
}

nb::object op_rank(nb::handle A) {
    require_2d(A, "rref requires 2D tensor");
    return nb::int_((int64_t)rref_of(A).pivots.size());
}

nb::object op_null_space(nb::handle A) {
    require_2d(A, "null_space requires 2D tensor");
    RrefResult r = rref_of(A);
    int64_t n = r.M.cols;
    std::vector<char> is_pivot((size_t)n, 0);
    for (int64_t p : r.pivots) is_pivot[(size_t)p] = 1;
    nb::list basis;
    Mpq q;
    for (int64_t f = 0; f < n; ++f) {
        if (is_pivot[(size_t)f]) continue;
        // The echelon form is read back as stored, and cleaned.
        std::vector<Fp> v((size_t)n, fp_zero());
        v[(size_t)f] = fp_from_int(1);
        for (size_t i = 0; i < r.pivots.size(); ++i) {
            clean_record(r.recs[(size_t)((int64_t)i * n + f)], q);
            mpq_neg(q, q);
            v[(size_t)r.pivots[i]] = mpq_to_fp(q);
        }
        basis.append(records_to_tensor(v, nb::make_tuple(n)));
    }
    return basis;
}

nb::object op_det(nb::handle A) {
    require_2d(A, "det requires 2D tensor");
    require_square(A, "det requires square matrix");
    RatMatrix M = tensor_to_rat_matrix(A);
    Mpq d;
    {
        nb::gil_scoped_release nogil;
        rat_det(M, d);
    }
    int sgn = mpz_sgn(d.num());
    if (sgn == 0) return scalar_tensor(fp_zero());
    // A nonzero determinant below the format's resolution keeps its sign.
    Mpz scaled;
    mpz_abs(scaled, d.num());
    mpz_mul_2exp(scaled, scaled, 256);
    if (mpz_cmp(scaled, d.den()) < 0) return make_tensor(nb::float_(sgn > 0 ? 1e-60 : -1e-60));
    return scalar_tensor(mpq_to_fp(d));
}

nb::object op_inv(nb::handle A) {
    require_2d(A, "inv requires 2D tensor");
    require_square(A, "inv requires square matrix");
    RatMatrix M = tensor_to_rat_matrix(A);
    std::vector<Fp> recs;
    bool ok;
    {
        nb::gil_scoped_release nogil;
        ok = inv_records(M, recs);
    }
    if (!ok) throw nb::value_error(msg::MATRIX_SINGULAR);
    return records_to_tensor(recs, nb::make_tuple(M.rows, M.cols));
}

nb::object op_solve(nb::handle A, nb::handle b) {
    nb::object a_inv = op_inv(A);
    nb::module_& m = zel_module();
    nb::object shape = shape_of(b);
    if (nb::len(shape) == 2 && !py_ne(shape[1], nb::int_(1))) {
        nb::object tensor_type = m.attr("Tensor");
        nb::object col =
            tensor_type(nb::arg("_raw") = b.attr("_data"), nb::arg("shape") = nb::make_tuple(shape[0]));
        nb::object x = m.attr("mv")(a_inv, col);
        return tensor_type(nb::arg("_raw") = x.attr("_data"),
                           nb::arg("shape") = nb::make_tuple(x.attr("_shape")[0], 1));
    }
    return m.attr("mv")(a_inv, b);
}

nb::object op_lu(nb::handle a) {
    nb::object s = shape_of(a);
    if (nb::len(s) != 2 || py_ne(s[0], s[1])) throw nb::value_error("LU requires square matrix");
    RatMatrix M = tensor_to_rat_matrix(a);
    std::vector<Fp> L, U;
    std::vector<int32_t> perm;
    {
        nb::gil_scoped_release nogil;
        lu_records(M, L, U, perm);
    }
    nb::object shape = nb::make_tuple(M.rows, M.rows);
    nb::list pl;
    for (int32_t p : perm) pl.append(p);
    nb::object np = py_refs().numpy;
    return nb::make_tuple(records_to_tensor(L, shape), records_to_tensor(U, shape),
                          np.attr("array")(pl, nb::arg("dtype") = np.attr("int32")));
}

bool op_verify_identity(nb::handle A, nb::handle tol_obj) {
    double tol = PyFloat_AsDouble(tol_obj.ptr());
    if (tol == -1.0 && PyErr_Occurred()) throw nb::python_error();
    nb::object s = shape_of(A);
    if (nb::len(s) != 2 || py_ne(s[0], s[1])) return false;
    ShapedView v = shaped_view(A);
    int64_t n = v.s[0];
    HostRecords h = host_records(v.v.a);
    Fp one = fp_from_int(1);
    for (int64_t i = 0; i < n; ++i) {
        for (int64_t j = 0; j < n; ++j) {
            const Fp& r = h.ptr[i * n + j];
            if (tol == 0.0) {
                bool equal =
                    i == j ? (r.sign >= 0 && std::equal(r.limb, r.limb + NLIMB, one.limb)) : fp_is_zero(r);
                if (!equal) return false;
            } else if (std::fabs(fp_to_double(r) - (i == j ? 1.0 : 0.0)) > tol) {
                return false;
            }
        }
    }
    return true;
}

nb::object op_cross(nb::handle a, nb::handle b) {
    Mpq c[3];
    cross_parts(a, b, c);
    std::vector<Fp> recs{mpq_to_fp(c[0]), mpq_to_fp(c[1]), mpq_to_fp(c[2])};
    return records_to_tensor(recs, nb::make_tuple(3));
}

nb::object op_cross_exact(nb::handle a, nb::handle b) {
    Mpq c[3];
    cross_parts(a, b, c);
    nb::list out;
    for (auto& x : c) out.append(mpq_to_fraction(x));
    return out;
}

}  // namespace zel
