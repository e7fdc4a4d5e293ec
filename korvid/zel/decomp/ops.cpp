// The Python-level decompositions: argument checks, one bulk read of each
// tensor, the host loops (GIL released) and the device products.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "decomp.hpp"
#include "../core/errors.hpp"
#include "../core/gmp.hpp"
#include "../core/tensor.hpp"
#include "../exact/exact.hpp"
#include "../ops/ops.hpp"

namespace zel {

namespace {

// max_iter / order: an exact int; values past int64 behave as the nearest
// int64 would (a loop that long never ends anyway).
int64_t count_arg(nb::handle h, const char* name) {
    require_int(h, name);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0) return INT64_MAX;
    if (overflow < 0) return INT64_MIN;
    return v;
}

// The shape tuple's length (AttributeError for objects without _shape).
size_t ndim(nb::handle A) {
    nb::object s = A.attr("_shape");
    return (size_t)nb::len(s);
}

// Records of doubles: each the exact value of its double.
std::vector<Fp> to_records(const std::vector<double>& v) {
    std::vector<Fp> r(v.size());
    for (size_t i = 0; i < v.size(); ++i) r[i] = fp_from_double(v[i]);
    return r;
}

nb::object doubles_tensor(const std::vector<double>& v, nb::handle shape) {
    return records_to_tensor(to_records(v), shape);
}

DevArray device_records(const std::vector<Fp>& r) { return records_from_host(r.data(), r.size()); }

// a (M x K) times b (K x N) on the device, read back as doubles.
std::vector<double> mm_doubles(const DevArray& a, const DevArray& b, int64_t M, int64_t N, int64_t K) {
    DevArray out = new_records((size_t)(M * N));
    mm_records(a, b, out, M, N, K);
    return records_to_doubles(out);
}

// qr_doubles with the GIL released; its failures as Python exceptions.
void run_qr(const std::vector<double>& a, int64_t m, int64_t n, std::vector<double>& q,
            std::vector<double>& r) {
    try {
        nb::gil_scoped_release nogil;
        qr_doubles(a, m, n, q, r);
    } catch (const QrTooLarge& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
        throw nb::python_error();
    }
}

// Unshifted QR iteration on T (n x n doubles, replaced by the last iterate);
// V receives the accumulated transformation.
void eig_iterate(std::vector<double>& T, int64_t n, int64_t max_iter, std::vector<double>& V) {
    V.assign((size_t)(n * n), 0.0);
    for (int64_t i = 0; i < n; ++i) V[(size_t)(i * n + i)] = 1.0;
    std::vector<double> q, r;
    for (int64_t it = 0; it < max_iter; ++it) {
        // A huge max_iter on a matrix that never converges runs that long: let Ctrl-C end it.
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        run_qr(T, n, n, q, r);
        DevArray Qd = device_records(to_records(q));
        T = mm_doubles(device_records(to_records(r)), Qd, n, n, n);
        V = mm_doubles(device_records(to_records(V)), Qd, n, n, n);
        double off = 0.0;
        for (int64_t i = 0; i < n; ++i)
            for (int64_t j = 0; j < i; ++j) off += std::fabs(T[(size_t)(i * n + j)]);
        if (off < 1e-12) break;
    }
}

// The stable descending order of the values' indices.
std::vector<int64_t> descending_order(const std::vector<double>& v) {
    std::vector<int64_t> idx(v.size());
    for (size_t i = 0; i < idx.size(); ++i) idx[i] = (int64_t)i;
    std::stable_sort(idx.begin(), idx.end(),
                     [&](int64_t a, int64_t b) { return v[(size_t)a] > v[(size_t)b]; });
    return idx;
}

// c = a . b for n x n doubles, each entry summed left to right in l.
void host_mm(const std::vector<double>& a, const std::vector<double>& b, std::vector<double>& c, int64_t n) {
    c.assign((size_t)(n * n), 0.0);
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (int64_t l = 0; l < n; ++l) s += a[(size_t)(i * n + l)] * b[(size_t)(l * n + j)];
            c[(size_t)(i * n + j)] = s;
        }
}

// float(p) * float(q) of ints, each rounded to the nearest double.
double int_to_double(__int128 v) { return (double)v; }

// Refuses (MemoryError) an n x n result that an empty m x n input can ask for
// (qr's Q of an m x 0 matrix, svd's V of a 0 x n one) when n * n overflows or
// its records exceed memory; square inputs hold n * n records already.
void check_square_result(int64_t n, const char* fn, const char* what) {
    size_t count;
    if (__builtin_mul_overflow((size_t)n, (size_t)n, &count) || count > (size_t)INT64_MAX) {
        std::string d = std::to_string(n);
        PyErr_SetString(PyExc_MemoryError, (std::string(fn) + ": the " + what + " of " + d + " x " + d +
                                            " entries is more than the address space")
                                               .c_str());
        throw nb::python_error();
    }
    // The records, and beside them the host's doubles and exact numerators.
    check_host_alloc(count, sizeof(Fp) + sizeof(double) + sizeof(Mpz));
}

// A's view; ValueError "<fn> requires square matrix" unless A is n x n.
ShapedView square_matrix(nb::handle A, const char* fn) {
    nb::object shape = A.attr("_shape");
    if (nb::len(shape) != 2) throw nb::value_error((std::string(fn) + " requires square matrix").c_str());
    ShapedView sv = shaped_view(A);
    if (sv.s[0] != sv.s[1]) throw nb::value_error((std::string(fn) + " requires square matrix").c_str());
    return sv;
}

}  // namespace

nb::object op_qr(nb::handle A) {
    if (ndim(A) != 2) throw nb::value_error("qr requires 2D matrix");
    ShapedView sv = shaped_view(A);
    const int64_t m = sv.s[0], n = sv.s[1];
    check_square_result(m, "qr", "Q");
    std::vector<double> a = records_to_doubles(sv.v.a), q, r;
    run_qr(a, m, n, q, r);
    return nb::make_tuple(doubles_tensor(q, nb::make_tuple(m, m)), doubles_tensor(r, nb::make_tuple(m, n)));
}

nb::object op_eig(nb::handle A, nb::handle max_iter) {
    const int64_t iters = count_arg(max_iter, "max_iter");
    ShapedView sv = square_matrix(A, "eig");
    const int64_t n = sv.s[0];
    std::vector<double> T = records_to_doubles(sv.v.a), V;
    eig_iterate(T, n, iters, V);
    std::vector<double> ev((size_t)n);
    for (int64_t i = 0; i < n; ++i) ev[(size_t)i] = T[(size_t)(i * n + i)];
    return nb::make_tuple(doubles_tensor(ev, nb::make_tuple(n)), doubles_tensor(V, nb::make_tuple(n, n)));
}

nb::object op_eigh(nb::handle A, nb::handle max_iter) { return op_eig(A, max_iter); }

nb::object op_svd(nb::handle A, nb::handle max_iter) {
    const int64_t iters = count_arg(max_iter, "max_iter");
    if (ndim(A) != 2) throw nb::value_error("svd requires 2D matrix");
    ShapedView sv = shaped_view(A);
    const int64_t m = sv.s[0], n = sv.s[1];
    check_square_result(n, "svd", "V");
    std::vector<Fp> at((size_t)(m * n));
    {
        HostRecords h = host_records(sv.v.a);
        for (int64_t i = 0; i < m; ++i)
            for (int64_t j = 0; j < n; ++j) at[(size_t)(j * m + i)] = h.ptr[i * n + j];
    }
    // A^T A on the device; its eigendecomposition on the host.
    std::vector<double> T = mm_doubles(device_records(at), sv.v.a, n, n, m), V;
    eig_iterate(T, n, iters, V);
    std::vector<double> ev((size_t)n), S((size_t)n), Vs((size_t)(n * n));
    for (int64_t i = 0; i < n; ++i) ev[(size_t)i] = T[(size_t)(i * n + i)];
    std::vector<int64_t> order = descending_order(ev);
    for (int64_t j = 0; j < n; ++j) {
        const double e = ev[(size_t)order[(size_t)j]];
        S[(size_t)j] = e > 0 ? pow_half(e) : 0.0;
        for (int64_t i = 0; i < n; ++i) Vs[(size_t)(i * n + j)] = V[(size_t)(i * n + order[(size_t)j])];
    }
    std::vector<Fp> vs = to_records(Vs), vt((size_t)(n * n));
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < n; ++j) vt[(size_t)(j * n + i)] = vs[(size_t)(i * n + j)];
    std::vector<double> AV = mm_doubles(sv.v.a, device_records(vs), m, n, n), U((size_t)(m * n), 0.0);
    for (int64_t j = 0; j < n; ++j) {
        if (!(S[(size_t)j] > 1e-14)) continue;
        for (int64_t i = 0; i < m; ++i) U[(size_t)(i * n + j)] = AV[(size_t)(i * n + j)] / S[(size_t)j];
    }
    return nb::make_tuple(doubles_tensor(U, nb::make_tuple(m, n)), doubles_tensor(S, nb::make_tuple(n)),
                          records_to_tensor(vt, nb::make_tuple(n, n)));
}

nb::object op_expm(nb::handle A, nb::handle order_obj) {
    const int64_t order = count_arg(order_obj, "order");
    ShapedView sv = square_matrix(A, "expm");
    const int64_t n = sv.s[0];
    if (n == 0) return doubles_tensor({}, nb::make_tuple(0, 0));
    if (order == INT64_MAX || order == INT64_MIN) throw std::overflow_error("order is out of range");
    std::vector<double> a = records_to_doubles(sv.v.a), N((size_t)(n * n), 0.0), D((size_t)(n * n), 0.0);
    int64_t s = 0;
    RatMatrix Dq(n, n);
    {
        nb::gil_scoped_release nogil;
        double norm = 0.0;
        for (int64_t i = 0; i < n; ++i) {
            double row = 0.0;
            for (int64_t j = 0; j < n; ++j) row += std::fabs(a[(size_t)(i * n + j)]);
            if (i == 0 || row > norm) norm = row;
        }
        s = std::max<int64_t>(0, (int64_t)std::ceil(std::log2(norm + 1)));
        const double scale = std::ldexp(1.0, (int)s);
        for (double& x : a) x = x / scale;
        // N = sum c_k A^k, D = sum (-1)^k c_k A^k, with c_k by the recurrence.
        std::vector<double> P((size_t)(n * n), 0.0), next;
        for (int64_t i = 0; i < n; ++i) P[(size_t)(i * n + i)] = 1.0;
        double c = 1.0;
        for (int64_t k = 0; k <= order; ++k) {
            if (k > 0) {
                c = c * int_to_double((__int128)order - k + 1) /
                    int_to_double((__int128)k * ((__int128)2 * order - k + 1));
                // From here on every coefficient is 0.0 and the powers stay
                // below 1 (the scaled matrix has norm below 1): the remaining
                // terms add zeros, so a huge order ends after ~200 terms.
                if (c == 0.0) break;
                host_mm(P, a, next, n);
                P.swap(next);
            }
            for (size_t e = 0; e < P.size(); ++e) {
                const double t = c * P[e];
                N[e] += t;
                D[e] += (k & 1) ? -t : t;
            }
        }
        for (int64_t e = 0; e < n * n; ++e) clean_record(fp_from_double(D[(size_t)e]), Dq.a[(size_t)e]);
    }
    // D E = N through the exact inverse of D as stored, as solve computes it
    // column by column.
    std::vector<Fp> inv;
    bool ok;
    {
        nb::gil_scoped_release nogil;
        ok = inv_records(Dq, inv);
    }
    if (!ok) throw nb::value_error(msg::MATRIX_SINGULAR);
    std::vector<double> E = mm_doubles(device_records(inv), device_records(to_records(N)), n, n, n), E2;
    {
        nb::gil_scoped_release nogil;
        for (int64_t t = 0; t < s; ++t) {
            host_mm(E, E, E2, n);
            E.swap(E2);
        }
    }
    return doubles_tensor(E, nb::make_tuple(n, n));
}

}  // namespace zel
