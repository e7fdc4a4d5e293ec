// The rational bridge: tensors <-> GMP rationals <-> Python Fractions.
#include <cstring>

#include "exact.hpp"
#include "../core/convert.hpp"
#include "../core/errors.hpp"
#include "../core/tensor.hpp"

namespace zel {

void fp_to_mpq(const Fp& r, mpq_ptr out) {
    mpz_ptr num = mpq_numref(out), den = mpq_denref(out);
    mpz_import(num, NLIMB, -1, sizeof(uint64_t), 0, 0, r.limb);
    mpz_set_ui(den, 1);
    if (mpz_sgn(num) == 0) return;
    mp_bitcnt_t tz = mpz_scan1(num, 0);
    if (tz > 256) tz = 256;
    mpz_fdiv_q_2exp(num, num, tz);
    mpz_mul_2exp(den, den, 256 - tz);
    if (r.sign < 0) mpz_neg(num, num);
}

void clean_record(const Fp& r, mpq_ptr out, uint64_t bound) {
    fp_to_mpq(r, out);
    limit_denominator(mpq_numref(out), mpq_denref(out), bound);
}

Fp ratio_to_fp(mpz_srcptr num, mpz_srcptr den) {
    if (mpz_sgn(den) > 0) return fp_from_ratio(num, den);
    Mpz n, d;
    mpz_neg(n, num);
    mpz_neg(d, den);
    return fp_from_ratio(n, d);
}

namespace {

// Cleans n records into out (parallel for big inputs; no Python inside).
void clean_all(const Fp* recs, size_t n, Mpq* out) {
    int64_t nn = (int64_t)n;
#pragma omp parallel for schedule(static) if (nn >= 65536)
    for (int64_t i = 0; i < nn; ++i) clean_record(recs[i], out[i]);
}

std::vector<Mpq> read_clean(const DevArray& a) {
    HostRecords h = host_records(a);
    std::vector<Mpq> out(h.n);
    nb::gil_scoped_release nogil;
    clean_all(h.ptr, h.n, out.data());
    return out;
}

}  // namespace

RatMatrix tensor_to_rat_matrix(nb::handle A) {
    nb::object shape = A.attr("_shape");
    if (nb::len(shape) != 2) throw nb::value_error("Requires 2D tensor");
    ShapedView v = shaped_view(A);
    RatMatrix M;
    M.rows = v.s[0];
    M.cols = v.s[1];
    // Every exact routine keeps a few words and a Python list per row, even
    // with no columns: refuse row counts the machine cannot hold up front.
    check_host_alloc((size_t)M.rows, 64);
    M.a = read_clean(v.v.a);
    return M;
}

std::vector<Mpq> tensor_to_rat_vector(nb::handle b) {
    nb::object shape = b.attr("_shape");
    if (nb::len(shape) != 1) throw nb::value_error("Requires 1D tensor");
    ShapedView v = shaped_view(b);
    return read_clean(v.v.a);
}

nb::object records_to_tensor(const std::vector<Fp>& recs, nb::handle shape) {
    DevArray out = records_from_host(recs.data(), recs.size());
    return wrap(out, shape);
}

nb::object rat_matrix_to_tensor(const RatMatrix& M) {
    std::vector<Fp> recs(M.a.size());
    for (size_t i = 0; i < recs.size(); ++i) recs[i] = mpq_to_fp(M.a[i]);
    return records_to_tensor(recs, nb::make_tuple(M.rows, M.cols));
}

nb::object rat_vector_to_tensor(const std::vector<Mpq>& v) {
    std::vector<Fp> recs(v.size());
    for (size_t i = 0; i < recs.size(); ++i) recs[i] = mpq_to_fp(v[i]);
    return records_to_tensor(recs, nb::make_tuple((int64_t)v.size()));
}

void fraction_to_mpq(nb::handle f, mpq_ptr out) {
    nb::object num = f.attr("numerator"), den = f.attr("denominator");
    if (!PyLong_Check(num.ptr())) num = to_pyint(num);
    if (!PyLong_Check(den.ptr())) den = to_pyint(den);
    pylong_to_mpz(mpq_numref(out), num);
    pylong_to_mpz(mpq_denref(out), den);
    if (mpz_sgn(mpq_denref(out)) == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, msg::DIVISION_BY_ZERO);
        throw nb::python_error();
    }
    mpq_canonicalize(out);
}

nb::object mpq_to_fraction(mpq_srcptr q) {
    return fraction_from_coprime(mpz_to_pylong(mpq_numref(q)), mpz_to_pylong(mpq_denref(q)));
}

nb::object op_clean_fraction(nb::handle f) {
    // Exact Fractions take the C++ path; anything else gets the host's own
    // limit_denominator (or its AttributeError).
    if (Py_TYPE(f.ptr()) != (PyTypeObject*)py_refs().fraction.ptr())
        return f.attr("limit_denominator")(nb::int_(MAX_DENOMINATOR));
    Mpq q;
    fraction_to_mpq(f, q);
    limit_denominator(q.num(), q.den(), MAX_DENOMINATOR);
    return mpq_to_fraction(q);
}

namespace {

// One element of a fraction matrix or vector as a record: floats as the
// device path converts them, ints and Fractions exactly, anything else
// through float() as before.
Fp bridge_element_to_fp(nb::handle x) {
    PyObject* o = x.ptr();
    if (PyFloat_Check(o)) return fp_from_double(PyFloat_AsDouble(o));
    if (PyLong_Check(o)) return fp_from_pylong(x);
    if (PyObject_IsInstance(o, py_refs().fraction.ptr()) == 1) return fraction_like_to_fp(x);
    PyObject* f = PyNumber_Float(o);
    if (!f) throw nb::python_error();
    double d = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return fp_from_double(d);
}

// A private snapshot of any iterable, so element conversions that run
// Python code cannot change what is being read.
nb::object snapshot(nb::handle seq) {
    PyObject* l = PySequence_List(seq.ptr());
    if (!l) throw nb::python_error();
    return nb::steal(l);
}

}  // namespace

nb::object fraction_matrix_to_tensor(nb::handle matrix, nb::handle shape) {
    require_list(matrix, "matrix");
    std::vector<int64_t> s = shape_vec(shape);
    nb::object rows = snapshot(matrix);
    std::vector<Fp> recs;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.ptr()); ++i) {
        nb::object row = snapshot(PyList_GET_ITEM(rows.ptr(), i));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(row.ptr()); ++j)
            recs.push_back(bridge_element_to_fp(PyList_GET_ITEM(row.ptr(), j)));
    }
    // The shape must describe the data: later operations derive sizes from it.
    check_shape_count(s, recs.size(), shape);
    return records_to_tensor(recs, shape_tuple(s));
}

nb::object fraction_vector_to_tensor(nb::handle vec) {
    require_list(vec, "vec");
    nb::object items = snapshot(vec);
    std::vector<Fp> recs;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i)
        recs.push_back(bridge_element_to_fp(PyList_GET_ITEM(items.ptr(), i)));
    return records_to_tensor(recs, nb::make_tuple((int64_t)recs.size()));
}

nb::object rat_list(const std::vector<Mpq>& v, size_t from, size_t count) {
    nb::object l = nb::steal(PyList_New((Py_ssize_t)count));
    if (!l) throw nb::python_error();
    for (size_t i = 0; i < count; ++i)
        PyList_SET_ITEM(l.ptr(), i, mpq_to_fraction(v[from + i]).release().ptr());
    return l;
}

nb::object py_tensor_to_fraction_matrix(nb::handle A) {
    RatMatrix M = tensor_to_rat_matrix(A);
    nb::object out = nb::steal(PyList_New((Py_ssize_t)M.rows));
    if (!out) throw nb::python_error();
    for (int64_t i = 0; i < M.rows; ++i)
        PyList_SET_ITEM(out.ptr(), i, rat_list(M.a, (size_t)(i * M.cols), (size_t)M.cols).release().ptr());
    return out;
}

nb::object py_tensor_to_fraction_vector(nb::handle b) {
    std::vector<Mpq> v = tensor_to_rat_vector(b);
    return rat_list(v, 0, v.size());
}

}  // namespace zel
