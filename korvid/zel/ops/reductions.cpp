// Reductions, scans and row-wise operations.
#include "ops.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "../core/convert.hpp"
#ifdef _OPENMP
#include <omp.h>
#endif

#include "../core/errors.hpp"
#include "../cuda/kernel_list.hpp"
#include "../registry.hpp"

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
    TensorView v;
    int32_t rows = 0, cols = 0;
};

RowView row_view(nb::handle a) {
    RowView r{tensor_view(a)};
    std::vector<int64_t> s = shape_vec(r.v.shape);
    check_shape_count(s, r.v.n(), r.v.shape);
    int64_t cols = s.empty() ? 1 : s.back();
    int64_t rows = 1;
    for (size_t i = 0; i + 1 < s.size(); ++i) rows *= s[i];
    r.rows = checked_i32(rows, "row count");
    r.cols = checked_i32(cols, "row length");
    return r;
}

// A row-wise operation: fill(rows, element count, out) writes the result of
// every row into out, a new array shaped as a; not called for no elements.
using RowFill = void (*)(const RowView&, int64_t, const DevArray&);

template <RowFill Fill>
nb::object row_op(nb::handle a, nb::handle dim) {
    require_int(dim, "dim");
    RowView r = row_view(a);
    const int64_t n = (int64_t)r.v.n();
    DevArray out = new_records((size_t)n);
    if (n > 0) Fill(r, n, out);
    return wrap(out, r.v.shape);
}

// Chunk length for the row-wise passes; cols means one thread per row.  A
// row is split only where the rows alone leave the device (or the cores)
// idle: on the GPU into chunks of about sqrt(cols), so the carry and tree
// passes are no longer than a chunk, and about 2^16 threads in all; on the
// CPU into a few chunks per core.  The split never shows in the result.
int64_t row_chunk(int64_t rows, int64_t cols, int64_t cpu_min_chunk = 2048) {
    if (on_cuda()) {
        constexpr int64_t threads = 1 << 16;
        if (cols <= 64 || rows >= threads) return cols;
        int64_t c = (int64_t)std::ceil(std::sqrt((double)cols));
        const int64_t fill = (rows * cols + threads - 1) / threads;
        if (c < fill) c = fill;
        return c < 32 ? 32 : c;
    }
#ifdef _OPENMP
    const int64_t cores = omp_get_max_threads();
#else
    const int64_t cores = 1;
#endif
    const int64_t want = 4 * cores;
    if (cores <= 1 || cols < 4 * cpu_min_chunk || rows >= want) return cols;
    const int64_t per_row = (want + rows - 1) / rows;
    const int64_t c = (cols + per_row - 1) / per_row;
    return c < cpu_min_chunk ? cpu_min_chunk : c;
}

// The first index of each row's extreme (want 1: max, -1: min) into out,
// with rows cut into chunks of `chunk` (cols: one thread per row).
void arg_extreme_rows(const RowView& r, int64_t chunk, int want, const DevArray& out) {
    const int64_t n = (int64_t)r.v.n();
    if (chunk >= r.cols) {
        if (want > 0) {
            ZEL_LAUNCH_ITEMS(fp_argmax_kernel, r.rows, n, r.v.a, out, r.rows, r.cols);
        } else {
            ZEL_LAUNCH_ITEMS(fp_argmin_kernel, r.rows, n, r.v.a, out, r.rows, r.cols);
        }
        return;
    }
    // Each chunk's first extreme, then halving passes of a tree down to one
    // candidate per row, the last written to out.
    const int64_t nch = (r.cols + chunk - 1) / chunk;
    const int32_t items = checked_i32((int64_t)r.rows * nch, "chunk count");
    DevArray cand = new_array((size_t)items, ElemKind::I32);
    ZEL_LAUNCH_ITEMS(fp_arg_extreme_partial_kernel, items, n, r.v.a, cand, r.rows, r.cols, (int)chunk, want);
    int64_t left = nch;
    for (; left > 2; left = (left + 1) / 2) {
        const int64_t pairs = (int64_t)r.rows * ((left + 1) / 2);
        ZEL_LAUNCH_ITEMS(fp_arg_extreme_combine_kernel, pairs, pairs, r.v.a, cand, cand, r.rows, r.cols,
                         (int)left, (int)nch, (int)nch, want);
    }
    ZEL_LAUNCH_ITEMS(fp_arg_extreme_combine_kernel, r.rows, r.rows, r.v.a, cand, out, r.rows, r.cols,
                     (int)left, (int)nch, 1, want);
}

// argmax (want 1) or argmin (want -1) of each row: first index of the extreme.
nb::object arg_extreme(nb::handle a, nb::handle dim, int want) {
    const char* fn = want > 0 ? "argmax" : "argmin";
    require_int(dim, "dim");
    RowView r = row_view(a);
    if (r.rows > 0 && r.cols == 0)
        throw nb::value_error((std::string(fn) + " of an empty row: shape " + shape_str(r.v.shape)).c_str());
    DevArray out = new_array((size_t)r.rows, ElemKind::I32);
    if (r.rows > 0) arg_extreme_rows(r, row_chunk(r.rows, r.cols), want, out);
    return out.obj;
}

void cumsum_rows(const RowView& r, int64_t n, const DevArray& out) {
    const int64_t chunk = row_chunk(r.rows, r.cols);
    if (chunk >= r.cols) {
        ZEL_LAUNCH_ITEMS(fp_cumsum_kernel, r.rows, n, r.v.a, out, r.rows, r.cols);
        return;
    }
    // Chunk sums, their exclusive prefix per row, then each chunk's running
    // sums from its prefix.
    const int64_t nch = (r.cols + chunk - 1) / chunk;
    const int32_t items = checked_i32((int64_t)r.rows * nch, "chunk count");
    DevArray part = new_records((size_t)items * 2);
    ZEL_LAUNCH_ITEMS(fp_cumsum_partial_kernel, items, n, r.v.a, part, r.rows, r.cols, (int)chunk);
    ZEL_LAUNCH_ITEMS(fp_cumsum_carry_kernel, r.rows, (int64_t)items, part, r.rows, (int)nch);
    ZEL_LAUNCH_ITEMS(fp_cumsum_chunk_kernel, items, n, r.v.a, part, out, r.rows, r.cols, (int)chunk);
}

void cumprod_rows(const RowView& r, int64_t n, const DevArray& out) {
    ZEL_LAUNCH_ITEMS(fp_cumprod_kernel, r.rows, n * 8, r.v.a, out, r.rows, r.cols);
}

// Softmax of each row.  Long rows: the row maximum from the argmax passes,
// then chunks of exponentials with their partial sums, the row sums, and one
// thread per element for the quotients.
void softmax_rows(const RowView& r, int64_t n, const DevArray& out) {
    const int64_t chunk = row_chunk(r.rows, r.cols, 64);
    if (chunk >= r.cols) {
        ZEL_LAUNCH_ITEMS(fp_softmax_kernel, r.rows, n * 1024, r.v.a, out, r.rows, r.cols);
        return;
    }
    DevArray best = new_array((size_t)r.rows, ElemKind::I32);
    arg_extreme_rows(r, chunk, 1, best);
    const int64_t nch = (r.cols + chunk - 1) / chunk;
    const int32_t items = checked_i32((int64_t)r.rows * nch, "chunk count");
    DevArray part = new_records((size_t)items);
    ZEL_LAUNCH_ITEMS(fp_softmax_exp_kernel, items, n * 1024, r.v.a, best, out, part, r.rows, r.cols,
                     (int)chunk);
    ZEL_LAUNCH_ITEMS(fp_softmax_sum_kernel, r.rows, (int64_t)items, part, r.rows, (int)nch);
    checked_i32(n, "element count");
    ZEL_LAUNCH_ITEMS(fp_softmax_div_kernel, n, n * 256, part, out, r.rows, r.cols, (int)nch);
}

nb::object call(const char* fn, nb::handle a) { return zel_module().attr(fn)(a); }

}  // namespace

// ---------------------------------------------------------- row-wise operations

nb::object op_cumsum(nb::handle a, nb::handle dim) { return row_op<&cumsum_rows>(a, dim); }
nb::object op_cumprod(nb::handle a, nb::handle dim) { return row_op<&cumprod_rows>(a, dim); }
nb::object op_softmax(nb::handle a, nb::handle dim) { return row_op<&softmax_rows>(a, dim); }
nb::object op_argmax(nb::handle a, nb::handle dim) { return arg_extreme(a, dim, 1); }
nb::object op_argmin(nb::handle a, nb::handle dim) { return arg_extreme(a, dim, -1); }

nb::object op_diff(nb::handle a, nb::handle n) {
    require_int(n, "n");
    if (py_compare(n, nb::int_(1), Py_NE)) throw nb::value_error("Only n=1 supported");
    TensorView v = tensor_view(a);
    if (v.n() < 2) return wrap(new_records(0), nb::tuple());
    const int64_t m = (int64_t)v.n() - 1;
    DevArray out = new_records((size_t)m);
    ZEL_LAUNCH_ITEMS(fp_diff_kernel, m, m, v.a, out, checked_i32(m, "element count"));
    return wrap(out, nb::tuple());
}

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
    TensorView v = tensor_view(a);
    if (v.n() == 0) return make_tensor(nb::int_(0));
    // One element too goes through the sum, which writes a canonical record.
    return one_element(exact_sum(v.a, v.a, (int64_t)v.n(), SUM_PLAIN));
}

nb::object op_prod(nb::handle a) {
    TensorView v = tensor_view(a);
    if (v.n() == 0) return make_tensor(nb::int_(1));
    return one_element(halving<&fp_prod_reduce_kernel_body>("fp_prod_reduce_kernel", v.a, Family::Prod));
}

nb::object op_max(nb::handle a) {
    TensorView v = tensor_view(a);
    if (v.n() == 0) return wrap(new_records(0), nb::tuple());
    return one_element(halving<&fp_max_reduce_kernel_body>("fp_max_reduce_kernel", v.a, Family::MaxMin));
}

nb::object op_min(nb::handle a) {
    TensorView v = tensor_view(a);
    if (v.n() == 0) return wrap(new_records(0), nb::tuple());
    return one_element(halving<&fp_min_reduce_kernel_body>("fp_min_reduce_kernel", v.a, Family::MaxMin));
}

namespace {

// ---------------------------------------------------------- wide totals
// The statistics add exact wide integers in the kernels (order and thread
// count free) and combine the few totals on the host with GMP, rounding once.

struct WideTotal {
    std::vector<uint64_t> limbs;
};

// Adds the `width`-record parts into one total and reads it back.
WideTotal finish_parts(const DevArray& part, std::vector<Fp>* host_part, int parts, int width) {
    WideTotal t;
    std::vector<Fp> out((size_t)width);
    if (host_part) {
        fp_wide_finish_kernel_body(ThreadCtx{0u, 0u}, host_part->data(), out.data(), parts, width);
    } else {
        DevArray o = new_records((size_t)width);
        ZEL_LAUNCH(fp_wide_finish_kernel, Dim3{1, 1, 1}, Dim3{1, 1, 1}, part, o, parts, width);
        HostRecords h = host_records(o);
        out.assign(h.ptr, h.ptr + h.n);
    }
    for (const Fp& r : out)
        for (int i = 0; i < NLIMB; ++i) t.limbs.push_back(r.limb[i]);
    return t;
}

int gpu_parts(int64_t n) {
    int64_t parts = (n + 63) / 64;
    return (int)(parts < 1 ? 1 : (parts > 8192 ? 8192 : parts));
}

int cpu_parts(int64_t n, int64_t per) {
    int64_t parts = (n + per - 1) / per;
    return (int)(parts < 1 ? 1 : (parts > 1024 ? 1024 : parts));
}

// Exact sum of x (MOMENT_SUM) and/or of the exact x^2 (MOMENT_SQUARES).
WideTotal moments(const DevArray& a, int64_t n, int mode) {
    const int32_t n32 = checked_i32(n, "element count");
    if (on_cuda()) {
        const int parts = gpu_parts(n);
        DevArray part = new_records((size_t)MOMENT_RECORDS * parts);
        ZEL_LAUNCH(fp_moments_partial_kernel, grid1(parts), block1(), a, part, n32, parts, mode);
        return finish_parts(part, nullptr, parts, MOMENT_RECORDS);
    }
    const int parts = cpu_parts(n, mode & MOMENT_SQUARES ? 2048 : 8192);
    std::vector<Fp> part((size_t)MOMENT_RECORDS * parts);
    const Fp* pa = a.rec();
    Fp* pp = part.data();
    cpu_for(parts, parts > 1, [&](int64_t t) {
        fp_moments_partial_kernel_body(ThreadCtx{(uint32_t)t, 0u}, pa, pp, n32, parts, mode);
    });
    return finish_parts(DevArray{}, &part, parts, MOMENT_RECORDS);
}

// sum floor(|x|^p / 2^em) (fp_pnorm_partial_kernel) with mx the largest |x|.
WideTotal pnorm_sum(const DevArray& a, const DevArray& mx, int64_t n, int p) {
    const int32_t n32 = checked_i32(n, "element count");
    if (on_cuda()) {
        const int parts = gpu_parts(n);
        DevArray part = new_records((size_t)2 * parts);
        ZEL_LAUNCH(fp_pnorm_partial_kernel, grid1(parts), block1(), a, mx, part, n32, parts, p);
        return finish_parts(part, nullptr, parts, 2);
    }
    const int parts = cpu_parts(n, 64);
    std::vector<Fp> part((size_t)2 * parts);
    const Fp* pa = a.rec();
    const Fp* pm = mx.rec();
    Fp* pp = part.data();
    cpu_for(parts, parts > 1, [&](int64_t t) {
        fp_pnorm_partial_kernel_body(ThreadCtx{(uint32_t)t, 0u}, pa, pm, pp, n32, parts, p);
    });
    return finish_parts(DevArray{}, &part, parts, 2);
}

// z = limbs [lo, hi) as an unsigned integer, or as two's complement.
void mpz_limbs(mpz_ptr z, const WideTotal& t, int lo, int hi, bool is_signed) {
    mpz_import(z, (size_t)(hi - lo), -1, sizeof(uint64_t), 0, 0, t.limbs.data() + lo);
    if (is_signed && (t.limbs[(size_t)hi - 1] >> 63)) {
        Mpz w;
        mpz_setbit(w, (mp_bitcnt_t)(64 * (hi - lo)));
        mpz_sub(z, z, w);
    }
}

void moment_sums(const WideTotal& t, mpz_ptr s1, mpz_ptr s2) {
    mpz_limbs(s2, t, 0, QLIMB, false);
    mpz_limbs(s1, t, QLIMB, MOMENT_RECORDS * NLIMB, true);
}

// The record of sign * mag (mag in units of 2^-256), saturating.
nb::object record_of(mpz_srcptr mag, bool neg) {
    Fp r;
    if (mpz_sizeinbase(mag, 2) > 64 * NLIMB) {
        r = fp_max_mag(neg);
    } else {
        uint64_t m[NLIMB] = {0};
        mpz_export(m, nullptr, -1, sizeof(uint64_t), 0, 0, mag);
        r = fp_make(m, neg);
    }
    return one_element(records_from_host(&r, 1));
}

// q = num / den rounded to nearest, ties to even (num >= 0, den > 0).
void round_div(mpz_ptr q, mpz_srcptr num, mpz_srcptr den) {
    Mpz r;
    mpz_fdiv_qr(q, r, num, den);
    mpz_mul_2exp(r, r, 1);
    int c = mpz_cmp(r, den);
    if (c > 0 || (c == 0 && mpz_odd_p(q))) mpz_add_ui(q, q, 1);
}

// s = sqrt(num / den) rounded to nearest, ties to even (num >= 0, den > 0).
void round_sqrt(mpz_ptr s, mpz_srcptr num, mpz_srcptr den) {
    Mpz f, lhs, rhs;
    mpz_fdiv_q(f, num, den);
    mpz_sqrt(s, f);  // floor(sqrt(num/den)) = isqrt(floor(num/den))
    // Up when num/den >= (s + 1/2)^2, i.e. 4 num >= (2s + 1)^2 den.
    mpz_mul_2exp(lhs, num, 2);
    mpz_mul_2exp(rhs, s, 1);
    mpz_add_ui(rhs, rhs, 1);
    mpz_mul(rhs, rhs, rhs);
    mpz_mul(rhs, rhs, den);
    int c = mpz_cmp(lhs, rhs);
    if (c > 0 || (c == 0 && mpz_odd_p(s))) mpz_add_ui(s, s, 1);
}

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// m 2^e = v^p for v = V 2^-prec, the mantissa truncated to prec + 64 bits
// after every product (relative error below 2p 2^-(prec+63)).
void pow_trunc(mpz_ptr m, int64_t& e, mpz_srcptr v, long prec, uint32_t p) {
    auto trunc = [&]() {
        long b = (long)mpz_sizeinbase(m, 2);
        if (b > prec + 64) {
            mpz_fdiv_q_2exp(m, m, (mp_bitcnt_t)(b - prec - 64));
            e += b - prec - 64;
        }
    };
    mpz_set(m, v);
    e = -prec;
    for (int i = 30 - __builtin_clz(p); i >= 0; --i) {
        mpz_mul(m, m, m);
        e *= 2;
        trunc();
        if ((p >> i) & 1u) {
            mpz_mul(m, m, v);
            e -= prec;
            trunc();
        }
    }
}

// round((A 2^em)^(1/p) 2^256) for A > 0, p >= 2: Newton steps on v^p = w
// with y = w 2^(p t), w in [1/2, 2^p), v in [0.79, 2) held to 2^-704.
void pnorm_root(mpz_ptr out, mpz_srcptr A, int64_t em, uint32_t p) {
    const long prec = 704;
    const int64_t L = (int64_t)mpz_sizeinbase(A, 2) + em;
    const int64_t t = floor_div(L, p);
    const int64_t we = em - (int64_t)p * t;  // w = A 2^we
    long ex;
    double d = mpz_get_d_2exp(&ex, A);
    double v0 = std::exp2((std::log2(d) + (double)ex + (double)we) / (double)p);
    Mpz v, m, num, rho, delta, one;
    mpz_set_d(v, std::ldexp(v0, 60));
    mpz_mul_2exp(v, v, prec - 60);
    mpz_setbit(one, prec);
    for (int it = 0; it < 16; ++it) {
        int64_t e;
        pow_trunc(m, e, v, prec, p);
        // rho = w / v^p at 2^-prec
        int64_t sh = we - e + prec;
        if (sh >= 0) {
            mpz_mul_2exp(num, A, (mp_bitcnt_t)sh);
        } else {
            mpz_fdiv_q_2exp(num, A, (mp_bitcnt_t)(-sh));
        }
        mpz_tdiv_q(rho, num, m);
        // v += v (rho - 1) / p
        mpz_sub(delta, rho, one);
        mpz_mul(delta, delta, v);
        mpz_tdiv_q_ui(delta, delta, p);
        mpz_tdiv_q_2exp(delta, delta, prec);
        mpz_add(v, v, delta);
        if (mpz_cmpabs_ui(delta, 4) <= 0) break;
    }
    // out = round(v 2^(t + 256 - prec)); t + 256 < prec for every record input
    const int64_t sh = prec - (t + 256);
    if (sh <= 0) {
        mpz_mul_2exp(out, v, (mp_bitcnt_t)(-sh));
        return;
    }
    mpz_set_ui(out, 0);
    mpz_setbit(out, (mp_bitcnt_t)(sh - 1));
    mpz_add(out, out, v);
    mpz_fdiv_q_2exp(out, out, (mp_bitcnt_t)sh);
}

}  // namespace

nb::object op_mean(nb::handle a) {
    TensorView v = tensor_view(a);
    const int64_t n = (int64_t)v.n();
    if (n == 0) return op_div(op_sum(a), make_tensor(nb::int_(0)));
    WideTotal t = moments(v.a, n, MOMENT_SUM);
    Mpz s1, s2, den, q;
    moment_sums(t, s1, s2);
    const bool neg = mpz_sgn(s1) < 0;
    mpz_abs(s1, s1);
    mpz_set_si(den, (long)n);
    round_div(q, s1, den);
    return record_of(q, neg);
}

namespace {

// var = (N sum x^2 - (sum x)^2) / (N D), D = N - 1 (unbiased, N > 1) or N,
// from the exact sums; var rounds that value once, std its square root.
nb::object variance(nb::handle a, nb::handle dim, bool unbiased, bool root) {
    require_dim(dim);
    TensorView v = tensor_view(a);
    const int64_t n = (int64_t)v.n();
    if (n == 0) {
        nb::object z = make_tensor(nb::int_(0));
        return root ? call("sqrt", z) : z;
    }
    WideTotal t = moments(v.a, n, MOMENT_SUM | MOMENT_SQUARES);
    Mpz s1, s2, num, den, r;
    moment_sums(t, s1, s2);
    const int64_t d = unbiased && n > 1 ? n - 1 : n;
    mpz_mul_si(num, s2, (long)n);
    mpz_submul(num, s1, s1);  // units of 2^-512, >= 0
    mpz_set_si(den, (long)n);
    mpz_mul_si(den, den, (long)d);
    if (root) {
        round_sqrt(r, num, den);
    } else {
        mpz_mul_2exp(den, den, 256);
        round_div(r, num, den);
    }
    return record_of(r, false);
}

}  // namespace

nb::object op_var(nb::handle a, nb::handle dim, bool unbiased) { return variance(a, dim, unbiased, false); }
nb::object op_std(nb::handle a, nb::handle dim, bool unbiased) { return variance(a, dim, unbiased, true); }

nb::object op_norm(nb::handle a, nb::handle p) {
    require_int(p, "p");
    if (py_compare(p, nb::int_(0), Py_LE))
        throw nb::value_error(("norm requires p >= 1, got " + nb::cast<std::string>(nb::str(p))).c_str());
    TensorView v = tensor_view(a);
    const int64_t n = (int64_t)v.n();
    if (py_compare(p, nb::int_(1), Py_EQ)) {
        if (n == 0) return make_tensor(nb::int_(0));
        return one_element(exact_sum(v.a, v.a, n, SUM_ABS));
    }
    if (py_compare(p, nb::int_(2), Py_EQ)) {
        if (n == 0) return call("sqrt", make_tensor(nb::int_(0)));
        // sqrt of the exact sum of exact squares, rounded once.
        WideTotal t = moments(v.a, n, MOMENT_SQUARES);
        Mpz s1, s2, one, r;
        moment_sums(t, s1, s2);
        mpz_set_ui(one, 1);
        round_sqrt(r, s2, one);
        return record_of(r, false);
    }
    if (py_compare(p, nb::int_(0x7fffffff), Py_GT))
        throw nb::value_error(("norm requires p < 2**31, got " + nb::cast<std::string>(nb::str(p))).c_str());
    const uint32_t pi = (uint32_t)nb::cast<int64_t>(p);
    // p >= 3: (sum |x|^p)^(1/p) from a wide sum of powers scaled by the
    // largest one, the root taken on the host; faithful.
    if (n == 0) return make_tensor(nb::int_(0));
    nb::object big = op_max(call("abs", a));
    DevArray bigrec = tensor_view(big).a;
    if (fp_is_zero(host_records(bigrec).ptr[0])) return big;
    WideTotal t = pnorm_sum(v.a, bigrec, n, (int)pi);
    bool inexact = false;
    const int64_t em = xf_pow(xf_from_mag(host_records(bigrec).ptr[0].limb), pi, inexact).e;
    Mpz A, r;
    mpz_limbs(A, t, 0, 2 * NLIMB, false);
    pnorm_root(r, A, em, pi);
    return record_of(r, false);
}

void register_reductions(nb::module_& m) {
    m.def("sum", &op_sum, nb::arg("a").none(), nb::sig("def sum(a: Tensor) -> Tensor"), "Sum all elements.");
    m.def("prod", &op_prod, nb::arg("a").none(), nb::sig("def prod(a: Tensor) -> Tensor"),
          "Product of all elements.");
    m.def("max", &op_max, nb::arg("a").none(), nb::sig("def max(a: Tensor) -> Tensor"), "Maximum element.");
    m.def("min", &op_min, nb::arg("a").none(), nb::sig("def min(a: Tensor) -> Tensor"), "Minimum element.");
    m.def("mean", &op_mean, nb::arg("a").none(), nb::sig("def mean(a: Tensor) -> Tensor"),
          "Mean of all elements.");
    m.def("softmax", &op_softmax, nb::arg("a").none(), nb::arg("dim").none() = -1,
          nb::sig("def softmax(a: Tensor, dim: int = -1) -> Tensor"), "Softmax.");
    m.def("cumsum", &op_cumsum, nb::arg("a").none(), nb::arg("dim").none() = -1,
          nb::sig("def cumsum(a: Tensor, dim: int = -1) -> Tensor"), "Cumulative sum.");
    m.def("cumprod", &op_cumprod, nb::arg("a").none(), nb::arg("dim").none() = -1,
          nb::sig("def cumprod(a: Tensor, dim: int = -1) -> Tensor"), "Cumulative product.");
    // The indices are an int32 array of the backend (numpy or cupy).
    m.def("argmax", &op_argmax, nb::arg("a").none(), nb::arg("dim").none() = -1,
          nb::sig("def argmax(a: Tensor, dim: int = -1) -> typing.Any"), "Argmax.");
    m.def("argmin", &op_argmin, nb::arg("a").none(), nb::arg("dim").none() = -1,
          nb::sig("def argmin(a: Tensor, dim: int = -1) -> typing.Any"), "Argmin.");
    m.def("norm", &op_norm, nb::arg("a").none(), nb::arg("p").none() = 2,
          nb::sig("def norm(a: Tensor, p: int = 2) -> Tensor"), "Vector norm.");
    m.def(
        "var",
        [](nb::handle a, nb::handle dim, nb::handle unbiased) { return op_var(a, dim, py_truthy(unbiased)); },
        nb::arg("a").none(), nb::arg("dim").none() = nb::none(), nb::arg("unbiased").none() = true,
        nb::sig("def var(a: Tensor, dim: int | None = None, unbiased: bool = True) -> Tensor"), "Variance.");
    m.def(
        "std",
        [](nb::handle a, nb::handle dim, nb::handle unbiased) { return op_std(a, dim, py_truthy(unbiased)); },
        nb::arg("a").none(), nb::arg("dim").none() = nb::none(), nb::arg("unbiased").none() = true,
        nb::sig("def std(a: Tensor, dim: int | None = None, unbiased: bool = True) -> Tensor"),
        "Standard deviation.");
    m.def("diff", &op_diff, nb::arg("a").none(), nb::arg("n").none() = 1,
          nb::sig("def diff(a: Tensor, n: int = 1) -> Tensor"), "Difference along last dim.");
}

}  // namespace zel
