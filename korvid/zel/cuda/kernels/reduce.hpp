// Reduction and scan kernels.  Every sum is exact: terms go into the 640-bit
// accumulator of core/accum.hpp, which saturates once, when it is read back,
// so the result does not depend on the order of the terms, the split into
// threads or the device.
#pragma once
#include "../../core/accum.hpp"
#include "../../core/fixed_point.hpp"
#include "unary.hpp"

namespace zel {

// Sum over k < count of x[k*sx] * y[k*sy], each product rounded, the sum exact.
ZEL_HD Fp fp_dot_strided(const Fp* x, int64_t sx, const Fp* y, int64_t sy, int64_t count) {
    WAcc acc;
    wacc_clear(acc);
    for (int64_t k = 0; k < count; ++k) wacc_add_prod_fp(acc, x[k * sx], y[k * sy]);
    return wacc_to_fp(acc);
}

// ------------------------------------------------------ halving passes
// Element i < n/2 combines elements i and i + n/2 in place; with odd n the
// last element is neither read nor written (the host folds it in).

ZEL_HD Fp fp_max_of(const Fp& x, const Fp& y) { return fp_canon(fp_cmp(x, y) >= 0 ? x : y); }
ZEL_HD Fp fp_min_of(const Fp& x, const Fp& y) { return fp_canon(fp_cmp(x, y) <= 0 ? x : y); }

#define ZEL_HALVING_BODY(name, expr)                               \
    ZEL_HD void name##_body(const ThreadCtx& t, Fp* data, int n) { \
        const int64_t half = (int64_t)n / 2;                       \
        if ((int64_t)t.x >= half) return;                          \
        const Fp x = data[t.x];                                    \
        const Fp y = data[t.x + half];                             \
        data[t.x] = (expr);                                        \
    }

ZEL_HALVING_BODY(fp_sum_reduce_kernel, fp_add(x, y))
ZEL_HALVING_BODY(fp_prod_reduce_kernel, fp_mul(x, y))
ZEL_HALVING_BODY(fp_max_reduce_kernel, fp_max_of(x, y))
ZEL_HALVING_BODY(fp_min_reduce_kernel, fp_min_of(x, y))

// ------------------------------------------------------ exact sums

// What a partial sum adds per element i.
enum SumMode : int {
    SUM_PLAIN = 0,  // a[i]
    SUM_ABS = 1,    // |a[i]|
    SUM_DOT = 2,    // a[i] * b[i], rounded
    SUM_SQDEV = 3,  // (a[i] - b[0])^2, the difference exact, the square rounded
};

ZEL_HD void wacc_add_term(WAcc& acc, const Fp* a, const Fp* b, int64_t i, int mode) {
    switch (mode) {
        case SUM_ABS: wacc_add_abs(acc, a[i]); break;
        case SUM_DOT: wacc_add_prod_fp(acc, a[i], b[i]); break;
        case SUM_SQDEV: {
            const Fp d = fp_sub(a[i], b[0]);
            wacc_add_prod_fp(acc, d, d);
            break;
        }
        default: wacc_add_fp(acc, a[i]); break;
    }
}

// Thread t < nparts sums its share of the n terms into part[2t], part[2t+1].
// The GPU strides through the array (coalesced loads); the CPU takes one
// contiguous chunk per thread (cache lines used once).  Either way the sum is
// exact, so the split does not show in the result.
ZEL_HD void fp_sum_partial_kernel_body(const ThreadCtx& t, const Fp* a, const Fp* b, Fp* part, int n,
                                       int nparts, int mode) {
    if ((int64_t)t.x >= nparts) return;
    WAcc acc;
    wacc_clear(acc);
#if defined(ZEL_DEVICE_PATH)
    for (int64_t i = t.x; i < n; i += nparts) wacc_add_term(acc, a, b, i, mode);
#else
    const int64_t chunk = ((int64_t)n + nparts - 1) / nparts;
    const int64_t begin = (int64_t)t.x * chunk;
    const int64_t end = begin + chunk < n ? begin + chunk : (int64_t)n;
    if (mode == SUM_PLAIN) {
        for (int64_t i = begin; i < end; ++i) wacc_add_fp(acc, a[i]);
    } else if (mode == SUM_DOT) {
        for (int64_t i = begin; i < end; ++i) wacc_add_prod_fp(acc, a[i], b[i]);
    } else {
        for (int64_t i = begin; i < end; ++i) wacc_add_term(acc, a, b, i, mode);
    }
#endif
    wacc_store(acc, part + 2 * (int64_t)t.x);
}

// One thread adds the nparts partial sums and saturates once.
ZEL_HD void fp_sum_finish_kernel_body(const ThreadCtx& t, const Fp* part, Fp* out, int nparts) {
    if (t.x != 0) return;
    WAcc acc, p;
    wacc_clear(acc);
    for (int64_t i = 0; i < nparts; ++i) {
        wacc_load(p, part + 2 * i);
        wacc_add_wacc(acc, p);
    }
    out[0] = wacc_to_fp(acc);
}

// ------------------------------------------------------ row-wise scans
// One thread per row, or a long row cut into chunks of `chunk` elements
// (nch = ceil(cols / chunk) per row) handled by passes of independent
// threads: chunk partials, a combine, a fix-up.  Sums are exact and the
// extreme index is a total order, so every split gives the same bits.

ZEL_HD int64_t row_chunks(int64_t cols, int64_t chunk) { return chunk > 0 ? (cols + chunk - 1) / chunk : 0; }

// Thread t = (row, k) of a chunked pass: the element span [begin, end) of
// chunk k, nch chunks per row; false for a surplus thread.
ZEL_HD bool row_chunk_span(const ThreadCtx& t, int rows, int cols, int chunk, int64_t& nch, int64_t& begin,
                           int64_t& end) {
    nch = row_chunks(cols, chunk);
    if (nch <= 0 || (int64_t)t.x >= (int64_t)rows * nch) return false;
    const int64_t row = (int64_t)t.x / nch, k = (int64_t)t.x - row * nch;
    begin = row * cols + k * chunk;
    end = row * cols + (k + 1 < nch ? (k + 1) * chunk : (int64_t)cols);
    return true;
}

// out[j] = acc + a[begin..j] for j in [begin, end).
ZEL_HD void cumsum_span(const Fp* a, Fp* out, int64_t begin, int64_t end, WAcc& acc) {
    for (int64_t j = begin; j < end; ++j) {
        wacc_add_fp(acc, a[j]);
        out[j] = wacc_to_fp(acc);
    }
}

ZEL_HD void fp_cumsum_kernel_body(const ThreadCtx& t, const Fp* a, Fp* out, int rows, int cols) {
    if ((int64_t)t.x >= rows) return;
    const int64_t base = (int64_t)t.x * cols;
    WAcc acc;
    wacc_clear(acc);
    cumsum_span(a, out, base, base + cols, acc);
}

// Thread (row, k) = t.x: the exact sum of chunk k into part[2(row*nch + k)].
ZEL_HD void fp_cumsum_partial_kernel_body(const ThreadCtx& t, const Fp* a, Fp* part, int rows, int cols,
                                          int chunk) {
    int64_t nch, begin, end;
    if (!row_chunk_span(t, rows, cols, chunk, nch, begin, end)) return;
    WAcc acc;
    wacc_clear(acc);
    for (int64_t j = begin; j < end; ++j) wacc_add_fp(acc, a[j]);
    wacc_store(acc, part + 2 * (int64_t)t.x);
}

// One thread per row turns its nch chunk sums into exclusive prefix sums.
ZEL_HD void fp_cumsum_carry_kernel_body(const ThreadCtx& t, Fp* part, int rows, int nch) {
    if ((int64_t)t.x >= rows || nch <= 0) return;
    Fp* p = part + 2 * (int64_t)t.x * nch;
    WAcc run, cur;
    wacc_clear(run);
    for (int64_t k = 0; k < nch; ++k) {
        wacc_load(cur, p + 2 * k);
        wacc_store(run, p + 2 * k);
        wacc_add_wacc(run, cur);
    }
}

// Thread (row, k): the running sums of chunk k, starting from the sum of
// the chunks before it (part as the carry pass left it; unread when nch is 1).
ZEL_HD void fp_cumsum_chunk_kernel_body(const ThreadCtx& t, const Fp* a, const Fp* part, Fp* out, int rows,
                                        int cols, int chunk) {
    int64_t nch, begin, end;
    if (!row_chunk_span(t, rows, cols, chunk, nch, begin, end)) return;
    WAcc acc;
    if (nch > 1) {
        wacc_load(acc, part + 2 * (int64_t)t.x);
    } else {
        wacc_clear(acc);
    }
    cumsum_span(a, out, begin, end, acc);
}

ZEL_HD void fp_cumprod_kernel_body(const ThreadCtx& t, const Fp* a, Fp* out, int rows, int cols) {
    if ((int64_t)t.x >= rows || cols <= 0) return;
    const int64_t base = (int64_t)t.x * cols;
    Fp p = fp_canon(a[base]);
    out[base] = p;
    for (int64_t j = 1; j < cols; ++j) {
        p = fp_mul(p, a[base + j]);
        out[base + j] = p;
    }
}

// First index of the extreme element in row[begin, end); -1 when empty.
ZEL_HD int row_arg_extreme_in(const Fp* row, int64_t begin, int64_t end, int want) {
    if (end <= begin) return -1;
    int64_t best = begin;
    for (int64_t j = begin + 1; j < end; ++j) {
        if (fp_cmp(row[j], row[best]) == want) best = j;
    }
    return (int)best;
}

ZEL_HD int row_arg_extreme(const Fp* row, int64_t cols, int want) {
    return row_arg_extreme_in(row, 0, cols, want);
}

ZEL_HD void fp_argmax_kernel_body(const ThreadCtx& t, const Fp* a, int32_t* out, int rows, int cols) {
    if ((int64_t)t.x >= rows) return;
    out[t.x] = row_arg_extreme(a + (int64_t)t.x * cols, cols, 1);
}

ZEL_HD void fp_argmin_kernel_body(const ThreadCtx& t, const Fp* a, int32_t* out, int rows, int cols) {
    if ((int64_t)t.x >= rows) return;
    out[t.x] = row_arg_extreme(a + (int64_t)t.x * cols, cols, -1);
}

// Thread (row, k): the first index of the extreme (want = 1 max, -1 min) of
// chunk k, into cand[row*nch + k].
ZEL_HD void fp_arg_extreme_partial_kernel_body(const ThreadCtx& t, const Fp* a, int32_t* cand, int rows,
                                               int cols, int chunk, int want) {
    const int64_t nch = row_chunks(cols, chunk);
    if (nch <= 0 || (int64_t)t.x >= (int64_t)rows * nch) return;
    const int64_t row = (int64_t)t.x / nch, k = (int64_t)t.x - row * nch;
    const int64_t end = k + 1 < nch ? (k + 1) * chunk : (int64_t)cols;
    cand[t.x] = row_arg_extreme_in(a + row * cols, k * chunk, end, want);
}

// The better of two candidate indices of one row: the more extreme value,
// the smaller index on a tie; an index outside the row never wins.  This is
// a total order, so the tree's pairing does not show in the result.
ZEL_HD int32_t arg_better(const Fp* row, int cols, int32_t i, int32_t j, int want) {
    const bool iok = i >= 0 && i < cols, jok = j >= 0 && j < cols;
    if (!jok) return iok ? i : -1;
    if (!iok) return j;
    const int c = fp_cmp(row[j], row[i]);
    return (c == want || (c == 0 && j < i)) ? j : i;
}

// One halving pass over n candidates per row: with h = ceil(n/2), thread
// (row, i < h) combines cin[row*in_step + i] and cin[row*in_step + i + h] into
// cout[row*out_step + i].  In place (cin == cout, equal steps) no thread reads
// what another writes.
ZEL_HD void fp_arg_extreme_combine_kernel_body(const ThreadCtx& t, const Fp* a, const int32_t* cin,
                                               int32_t* cout, int rows, int cols, int n, int in_step,
                                               int out_step, int want) {
    const int64_t h = ((int64_t)n + 1) / 2;
    if (h <= 0 || (int64_t)t.x >= (int64_t)rows * h) return;
    const int64_t row = (int64_t)t.x / h, i = (int64_t)t.x - row * h;
    const Fp* r = a + row * cols;
    const int32_t* c = cin + row * in_step;
    int32_t best = arg_better(r, cols, -1, c[i], want);
    if (i + h < n) best = arg_better(r, cols, best, c[i + h], want);
    cout[row * out_step + i] = best;
}

// exp(x - max) over the row in the Q63.320 working format, their sum exact
// in that format, one rounding per quotient: faithful for any row length
// (each exponential is within ~2^-310 of the truth, the sum within cols
// times that, and the sum is at least 1).  The working exponentials wait in
// the output records between the passes.
ZEL_HD W5 softmax_exp(const Fp& d) {
    const int64_t ip = mag_int_small(d.limb);
    if (ip < 0 || ip > 400) return wf_int<5>(0);  // d <= 0; e^d < 2^-320
    return wf_exp_nonpos(wf_neg(wf_from_mag<5>(d.limb)));
}

ZEL_HD void fp_softmax_kernel_body(const ThreadCtx& t, const Fp* a, Fp* out, int rows, int cols) {
    if ((int64_t)t.x >= rows || cols <= 0) return;
    const int64_t base = (int64_t)t.x * cols;
    Fp m = a[base];
    for (int64_t j = 1; j < cols; ++j) {
        if (fp_cmp(a[base + j], m) > 0) m = a[base + j];
    }
    W5 s = wf_int<5>(0);
    for (int64_t j = 0; j < cols; ++j) {
        const W5 e = softmax_exp(fp_sub(a[base + j], m));
        Fp& o = out[base + j];
        for (int i = 0; i < NLIMB; ++i) o.limb[i] = i <= 5 ? e.l[i] : 0;
        s = wf_add(s, e);
    }
    for (int64_t j = 0; j < cols; ++j) {
        W5 e;
        for (int i = 0; i <= 5; ++i) e.l[i] = out[base + j].limb[i];
        out[base + j] = wf_to_fp(wf_div(e, s));
    }
}

// Long rows of softmax, after the argmax passes left each row's first
// maximum index in best[row]: thread (row, k) stashes the working
// exponentials of chunk k in out and their sum in part[row*nch + k]; one
// thread per row adds the nch sums (exact: Q63.320 additions are integer
// additions) into part[row*nch]; one thread per element divides.  The same
// exponentials, the same sum, the same quotients as one thread per row.
ZEL_HD void softmax_stash(Fp& o, const W5& e) {
    for (int i = 0; i < NLIMB; ++i) o.limb[i] = i <= 5 ? e.l[i] : 0;
}

ZEL_HD W5 softmax_unstash(const Fp& o) {
    W5 e;
    for (int i = 0; i <= 5; ++i) e.l[i] = o.limb[i];
    return e;
}

ZEL_HD void fp_softmax_exp_kernel_body(const ThreadCtx& t, const Fp* a, const int32_t* best, Fp* out,
                                       Fp* part, int rows, int cols, int chunk) {
    const int64_t nch = row_chunks(cols, chunk);
    if (nch <= 0 || (int64_t)t.x >= (int64_t)rows * nch) return;
    const int64_t row = (int64_t)t.x / nch, k = (int64_t)t.x - row * nch;
    const int64_t base = row * cols;
    const int32_t b = best[row];
    const Fp m = a[base + (b >= 0 && b < cols ? b : 0)];
    const int64_t end = base + (k + 1 < nch ? (k + 1) * chunk : (int64_t)cols);
    W5 s = wf_int<5>(0);
    for (int64_t j = base + k * chunk; j < end; ++j) {
        const W5 e = softmax_exp(fp_sub(a[j], m));
        softmax_stash(out[j], e);
        s = wf_add(s, e);
    }
    softmax_stash(part[t.x], s);
}

ZEL_HD void fp_softmax_sum_kernel_body(const ThreadCtx& t, Fp* part, int rows, int nch) {
    if ((int64_t)t.x >= rows || nch <= 0) return;
    Fp* p = part + (int64_t)t.x * nch;
    W5 s = softmax_unstash(p[0]);
    for (int64_t k = 1; k < nch; ++k) s = wf_add(s, softmax_unstash(p[k]));
    softmax_stash(p[0], s);
}

ZEL_HD void fp_softmax_div_kernel_body(const ThreadCtx& t, const Fp* part, Fp* out, int rows, int cols,
                                       int nch) {
    if ((int64_t)t.x >= (int64_t)rows * cols) return;
    const int64_t row = (int64_t)t.x / cols;
    out[t.x] = wf_to_fp(wf_div(softmax_unstash(out[t.x]), softmax_unstash(part[row * nch])));
}

// ------------------------------------------------------ moments, p-norms
// Exact sums of x and of the exact squares x^2 (a square needs 1024 bits,
// 2^31 of them 1055) travel as one 2048-bit two's-complement integer of four
// records: the square sum in limbs 0..16, the plain sum (sign-extended) from
// limb 17 up.  Adding two such integers adds both sums, so the parts add
// like any wide integer, in any order.

constexpr int QLIMB = 17;
constexpr int MOMENT_RECORDS = 4;
enum MomentMode : int { MOMENT_SUM = 1, MOMENT_SQUARES = 2 };

#if !defined(ZEL_DEVICE_PATH)
// r[0..2N) = a^2 on the host, column by column (each cross product once,
// added twice, and the limb squares) in a three-word accumulator; N fixed so
// the compiler unrolls it.
template <int N>
inline void mag_sqr_fixed(uint64_t* r, const uint64_t* a) {
    uint64_t c0 = 0, c1 = 0, c2 = 0;
#pragma GCC unroll 16
    for (int k = 0; k < 2 * N - 1; ++k) {
#pragma GCC unroll 8
        for (int i = (k < N ? 0 : k - N + 1); 2 * i <= k; ++i) {
            const unsigned __int128 p = (unsigned __int128)a[i] * a[k - i];
            const int times = 2 * i == k ? 1 : 2;
            for (int t = 0; t < times; ++t) {
                const unsigned __int128 lo = (unsigned __int128)c0 + (uint64_t)p;
                c0 = (uint64_t)lo;
                const unsigned __int128 hi =
                    (unsigned __int128)c1 + (uint64_t)(p >> 64) + (uint64_t)(lo >> 64);
                c1 = (uint64_t)hi;
                c2 += (uint64_t)(hi >> 64);
            }
        }
        r[k] = c0;
        c0 = c1, c1 = c2, c2 = 0;
    }
    r[2 * N - 1] = c0;
}

inline void mag_sqr_host(uint64_t* r, const uint64_t* a, int n) {
    switch (n) {
        case 1: return mag_sqr_fixed<1>(r, a);
        case 2: return mag_sqr_fixed<2>(r, a);
        case 3: return mag_sqr_fixed<3>(r, a);
        case 4: return mag_sqr_fixed<4>(r, a);
        case 5: return mag_sqr_fixed<5>(r, a);
        case 6: return mag_sqr_fixed<6>(r, a);
        case 7: return mag_sqr_fixed<7>(r, a);
        default: return mag_sqr_fixed<8>(r, a);
    }
}
#endif

// q[0..QLIMB) += M^2, exactly.
ZEL_HD void qacc_add_sq(uint64_t* q, const uint64_t* m) {
    int lo, hi;
    mag_range(m, lo, hi);
    if (lo >= hi) return;
    const int len = hi - lo;
    uint64_t p[2 * NLIMB];
#if !defined(ZEL_DEVICE_PATH)
    mag_sqr_host(p, m + lo, len);
#else
    mag_mul(p, m + lo, len, m + lo, len);
#endif
    unsigned char c = 0;
    int k = 2 * lo;
    for (int i = 0; i < 2 * len; ++i, ++k) q[k] = wadc(q[k], p[i], c);
    for (; c && k < QLIMB; ++k) q[k] = wadc(q[k], 0, c);
}

ZEL_HD void moments_store(const WAcc& s, const uint64_t* q, Fp* four) {
    const uint64_t ext = (s.w[WLIMB - 1] >> 63) ? ~0ull : 0ull;
    for (int r = 0; r < MOMENT_RECORDS; ++r) {
        four[r].sign = 1;
        four[r].pad = 0;
        for (int i = 0; i < NLIMB; ++i) {
            const int k = r * NLIMB + i;
            four[r].limb[i] = k < QLIMB ? q[k] : (k < QLIMB + WLIMB ? s.w[k - QLIMB] : ext);
        }
    }
}

// The share of n elements that thread x < nparts of a partial-sum pass
// takes: a stride on the GPU (coalesced loads), one contiguous chunk on the
// CPU (cache lines used once).  Sums are exact, so the split never shows.
struct PartRange {
    int64_t begin, end, step;
};
ZEL_HD PartRange part_range(int64_t x, int64_t n, int64_t nparts) {
#if defined(ZEL_DEVICE_PATH)
    return PartRange{x, n, nparts};
#else
    const int64_t chunk = (n + nparts - 1) / nparts;
    const int64_t begin = x * chunk;
    return PartRange{begin, begin + chunk < n ? begin + chunk : n, 1};
#endif
}

// Thread t < nparts sums its share of the n elements (mode: MOMENT_SUM
// and/or MOMENT_SQUARES) into part[4t .. 4t+3].
ZEL_HD void fp_moments_partial_kernel_body(const ThreadCtx& t, const Fp* a, Fp* part, int n, int nparts,
                                           int mode) {
    if ((int64_t)t.x >= nparts) return;
    WAcc s;
    wacc_clear(s);
    uint64_t q[QLIMB];
    for (int i = 0; i < QLIMB; ++i) q[i] = 0;
    const bool sum = (mode & MOMENT_SUM) != 0, sq = (mode & MOMENT_SQUARES) != 0;
    const PartRange r = part_range(t.x, n, nparts);
    for (int64_t i = r.begin; i < r.end; i += r.step) {
        if (sum) wacc_add_fp(s, a[i]);
        if (sq) qacc_add_sq(q, a[i].limb);
    }
    moments_store(s, q, part + MOMENT_RECORDS * (int64_t)t.x);
}

// sum_i floor(|a_i|^p / 2^em) with |a_i|^p in the wide floating form and
// 2^em the scale at which the largest power (of mx[0]) lies in [2^639,
// 2^640): every term keeps 2^-639 relative to the sum, whatever the range.
// Thread t < nparts writes an 11-limb unsigned sum into part[2t], part[2t+1].
ZEL_HD void fp_pnorm_partial_kernel_body(const ThreadCtx& t, const Fp* a, const Fp* mx, Fp* part, int n,
                                         int nparts, int p) {
    if ((int64_t)t.x >= nparts) return;
    uint64_t acc[2 * NLIMB];
    for (int i = 0; i < 2 * NLIMB; ++i) acc[i] = 0;
    if (p >= 1 && !fp_is_zero(mx[0])) {
        bool inexact = false;
        const int64_t em = xf_pow(xf_from_mag(mx[0].limb), (uint32_t)p, inexact).e;
        const PartRange r = part_range(t.x, n, nparts);
        for (int64_t i = r.begin; i < r.end; i += r.step) {
            if (fp_is_zero(a[i])) continue;
            const Xf y = xf_pow(xf_from_mag(a[i].limb), (uint32_t)p, inexact);
            int64_t d = em - y.e;
            if (d < 0) d = 0;  // only a max that is not the largest |a_i|
            if (d >= 64 * XLIMB) continue;
            uint64_t ts[XLIMB];
            mag_shr<XLIMB>(ts, y.m, (int)d);
            unsigned char c = 0;
            for (int k = 0; k < XLIMB; ++k) acc[k] = wadc(acc[k], ts[k], c);
            acc[XLIMB] += c;
        }
    }
    Fp* two = part + 2 * (int64_t)t.x;
    for (int r = 0; r < 2; ++r) {
        two[r].sign = 1;
        two[r].pad = 0;
        for (int i = 0; i < NLIMB; ++i) two[r].limb[i] = acc[r * NLIMB + i];
    }
}

// One thread adds nparts wide integers of `width` records each (limb strings
// of 8 width limbs, modulo 2^(512 width)) into out[0 .. width).
ZEL_HD void fp_wide_finish_kernel_body(const ThreadCtx& t, const Fp* part, Fp* out, int nparts, int width) {
    if (t.x != 0 || width < 1 || width > MOMENT_RECORDS) return;
    uint64_t acc[MOMENT_RECORDS * NLIMB];
    const int nl = width * NLIMB;
    for (int i = 0; i < nl; ++i) acc[i] = 0;
    for (int64_t k = 0; k < nparts; ++k) {
        const Fp* p = part + (int64_t)width * k;
        unsigned char c = 0;
        for (int i = 0; i < nl; ++i) acc[i] = wadc(acc[i], p[i / NLIMB].limb[i % NLIMB], c);
    }
    for (int r = 0; r < width; ++r) {
        out[r].sign = 1;
        out[r].pad = 0;
        for (int i = 0; i < NLIMB; ++i) out[r].limb[i] = acc[r * NLIMB + i];
    }
}

// out[i] = a[i+1] - a[i], exact, for i < n.
ZEL_HD void fp_diff_kernel_body(const ThreadCtx& t, const Fp* a, Fp* out, int n) {
    if ((int64_t)t.x >= n) return;
    out[t.x] = fp_sub(a[t.x + 1], a[t.x]);
}

}  // namespace zel

#define ZEL_REDUCE_ROW_ENTRY(X, name, outtype) \
    X(name, (const Fp* a, outtype* out, int rows, int cols), (a, out, rows, cols))

#define ZEL_KERNELS_REDUCE(X)                                                                                \
    X(fp_sum_reduce_kernel, (Fp * data, int n), (data, n))                                                   \
    X(fp_prod_reduce_kernel, (Fp * data, int n), (data, n))                                                  \
    X(fp_max_reduce_kernel, (Fp * data, int n), (data, n))                                                   \
    X(fp_min_reduce_kernel, (Fp * data, int n), (data, n))                                                   \
    X(fp_sum_partial_kernel, (const Fp* a, const Fp* b, Fp* part, int n, int nparts, int mode),              \
      (a, b, part, n, nparts, mode))                                                                         \
    X(fp_sum_finish_kernel, (const Fp* part, Fp* out, int nparts), (part, out, nparts))                      \
    X(fp_moments_partial_kernel, (const Fp* a, Fp* part, int n, int nparts, int mode),                       \
      (a, part, n, nparts, mode))                                                                            \
    X(fp_pnorm_partial_kernel, (const Fp* a, const Fp* mx, Fp* part, int n, int nparts, int p),              \
      (a, mx, part, n, nparts, p))                                                                           \
    X(fp_wide_finish_kernel, (const Fp* part, Fp* out, int nparts, int width), (part, out, nparts, width))   \
    ZEL_REDUCE_ROW_ENTRY(X, fp_cumsum_kernel, Fp)                                                            \
    ZEL_REDUCE_ROW_ENTRY(X, fp_cumprod_kernel, Fp)                                                           \
    ZEL_REDUCE_ROW_ENTRY(X, fp_argmax_kernel, int32_t)                                                       \
    ZEL_REDUCE_ROW_ENTRY(X, fp_argmin_kernel, int32_t)                                                       \
    ZEL_REDUCE_ROW_ENTRY(X, fp_softmax_kernel, Fp)                                                           \
    X(fp_softmax_exp_kernel,                                                                                 \
      (const Fp* a, const int32_t* best, Fp* out, Fp* part, int rows, int cols, int chunk),                  \
      (a, best, out, part, rows, cols, chunk))                                                               \
    X(fp_softmax_sum_kernel, (Fp * part, int rows, int nch), (part, rows, nch))                              \
    X(fp_softmax_div_kernel, (const Fp* part, Fp* out, int rows, int cols, int nch),                         \
      (part, out, rows, cols, nch))                                                                          \
    X(fp_cumsum_partial_kernel, (const Fp* a, Fp* part, int rows, int cols, int chunk),                      \
      (a, part, rows, cols, chunk))                                                                          \
    X(fp_cumsum_carry_kernel, (Fp * part, int rows, int nch), (part, rows, nch))                             \
    X(fp_cumsum_chunk_kernel, (const Fp* a, const Fp* part, Fp* out, int rows, int cols, int chunk),         \
      (a, part, out, rows, cols, chunk))                                                                     \
    X(fp_arg_extreme_partial_kernel, (const Fp* a, int32_t* cand, int rows, int cols, int chunk, int want),  \
      (a, cand, rows, cols, chunk, want))                                                                    \
    X(fp_arg_extreme_combine_kernel,                                                                         \
      (const Fp* a, const int32_t* cin, int32_t* cout, int rows, int cols, int n, int in_step, int out_step, \
       int want),                                                                                            \
      (a, cin, cout, rows, cols, n, in_step, out_step, want))                                                \
    X(fp_diff_kernel, (const Fp* a, Fp* out, int n), (a, out, n))

// Bounds of raw launches (host only, see bounds.hpp).
#ifndef __CUDACC__
#include "bounds.hpp"
namespace zel::bounds {

// In place over the n records of data.
inline constexpr Rule fp_sum_reduce_kernel_bounds = holds_n, fp_prod_reduce_kernel_bounds = holds_n;
inline constexpr Rule fp_max_reduce_kernel_bounds = holds_n, fp_min_reduce_kernel_bounds = holds_n;

// (a, b, part, n, nparts, mode): b is read per element in mode 2, once in
// mode 3; part holds two records per part.
inline void fp_sum_partial_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(3), L.nonneg({0, 1});
    if (iv[2] < 0 || iv[2] > 3) L.refuse("mode must be 0 to 3");
    L.need(0, iv[0]), L.need(1, iv[2] == 2 ? iv[0] : (iv[2] == 3 ? (iv[0] > 0) : 0));
    L.need(2, (I128)2 * iv[1]);
}

// (part, out, nparts)
inline void fp_sum_finish_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(1), L.nonneg({0});
    L.need(0, (I128)2 * iv[0]), L.need(1, 1);
}

// (a, part, n, nparts, mode)
inline void fp_moments_partial_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(3), L.nonneg({0, 1});
    L.need(0, iv[0]), L.need(1, (I128)MOMENT_RECORDS * iv[1]);
}

// (a, mx, part, n, nparts, p): mx is the one record max|a|.
inline void fp_pnorm_partial_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(3), L.nonneg({0, 1});
    L.need(0, iv[0]), L.need(1, iv[1] > 0), L.need(2, (I128)2 * iv[1]);
}

// (part, out, nparts, width): width records per part.
inline void fp_wide_finish_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(2), L.nonneg({0});
    if (iv[1] < 1 || iv[1] > MOMENT_RECORDS) L.refuse("width must be 1 to 4");
    L.need(0, (I128)iv[1] * iv[0]), L.need(1, iv[1]);
}

// (a, out, rows, cols): out holds a row scan of a, or (argmax/argmin) one
// index per row.
inline constexpr Rule row_scan = rows_by_cols;
inline void row_index(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(2), L.nonneg({0, 1});
    L.need(0, (I128)iv[0] * iv[1]), L.need(1, iv[0]);
}
inline constexpr Rule fp_cumsum_kernel_bounds = row_scan, fp_cumprod_kernel_bounds = row_scan;
inline constexpr Rule fp_softmax_kernel_bounds = row_scan;
inline constexpr Rule fp_argmax_kernel_bounds = row_index, fp_argmin_kernel_bounds = row_index;

// The chunked row passes: (arrays..., rows, cols, chunk[, want]), each row cut
// into ceil(cols / chunk) chunks.
inline void chunk_at_least_1(const Launch& L) {
    if (L.iv[2] < 1) L.refuse("chunk must be at least 1");
}
inline void want_is_a_sign(const Launch& L, size_t k) {
    if (L.iv[k] != 1 && L.iv[k] != -1) L.refuse("want must be 1 or -1");
}

// (a, part, rows, cols, chunk): two records per chunk.
inline void fp_cumsum_partial_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(3), L.nonneg({0, 1}), chunk_at_least_1(L);
    L.need(0, (I128)iv[0] * iv[1]), L.need(1, 2 * (I128)iv[0] * chunks_per_row(iv[1], iv[2]));
}

// (a, part, out, rows, cols, chunk): part unread when a row is one chunk.
inline void fp_cumsum_chunk_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(3), L.nonneg({0, 1}), chunk_at_least_1(L);
    const I128 per_row = chunks_per_row(iv[1], iv[2]), cells = (I128)iv[0] * iv[1];
    L.need(0, cells), L.need(1, per_row > 1 ? 2 * (I128)iv[0] * per_row : 0), L.need(2, cells);
}

// (a, cand, rows, cols, chunk, want): one index per chunk.
inline void fp_arg_extreme_partial_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(4), L.nonneg({0, 1}), chunk_at_least_1(L), want_is_a_sign(L, 3);
    L.need(0, (I128)iv[0] * iv[1]), L.need(1, (I128)iv[0] * chunks_per_row(iv[1], iv[2]));
}

// (a, best, out, part, rows, cols, chunk): best one index per row, part one
// record per chunk.
inline void fp_softmax_exp_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(3), L.nonneg({0, 1}), chunk_at_least_1(L);
    const I128 cells = (I128)iv[0] * iv[1];
    L.need(0, cells), L.need(1, cells > 0 ? iv[0] : 0), L.need(2, cells);
    L.need(3, (I128)iv[0] * chunks_per_row(iv[1], iv[2]));
}

// (part, rows, nch)
inline void fp_softmax_sum_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(2), L.nonneg({0, 1});
    L.need(0, (I128)iv[0] * iv[1]);
}

// (part, out, rows, cols, nch): a row's sum in part[row * nch].
inline void fp_softmax_div_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(3), L.nonneg({0, 1, 2});
    const I128 cells = (I128)iv[0] * iv[1];
    L.need(0, cells > 0 ? (I128)(iv[0] - 1) * iv[2] + 1 : 0), L.need(1, cells);
}

// (part, rows, nch): two records per chunk.
inline void fp_cumsum_carry_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(2), L.nonneg({0, 1});
    L.need(0, (I128)2 * iv[0] * iv[1]);
}

// (a, cin, cout, rows, cols, n, in_step, out_step, want): row r's n
// candidates at cin[r * in_step], its ceil(n / 2) results at cout[r * out_step].
inline void fp_arg_extreme_combine_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(6), L.nonneg({0, 1, 2, 3, 4}), want_is_a_sign(L, 5);
    const I128 rows = iv[0], n = iv[2], h = (n + 1) / 2;
    const bool any = rows > 0 && n > 0;
    L.need(0, any ? (I128)rows * iv[1] : 0);
    L.need(1, any ? (I128)(rows - 1) * iv[3] + n : 0), L.need(2, any ? (I128)(rows - 1) * iv[4] + h : 0);
}

// (a, out, n): reads n + 1 records.
inline void fp_diff_kernel_bounds(const Launch& L) {
    const auto& iv = L.iv;
    L.ints(1), L.nonneg({0});
    L.need(0, iv[0] > 0 ? (I128)iv[0] + 1 : 0), L.need(1, iv[0]);
}

}  // namespace zel::bounds
#endif
