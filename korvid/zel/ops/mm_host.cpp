// Host matrix products (mm, bmm and the complex cmm on the cpu backend).
//
// Every output element is an exact sum of rounded products, so any pass that
// forms the same rounded products and sums them exactly gives the same
// record.  Two forms of each operand element are packed once:
//  - the general one (all eight limbs, the non-zero limb range), for
//    wacc_add_prod and the 640-bit accumulator, exactly as fp_mm_kernel;
//  - for elements below 1 in magnitude (integer limbs zero, as values are
//    after most operations), the four fraction limbs and a sign mask.  A
//    product of two of those is below 2^512 units, so its rounding never
//    saturates, and a sum of K such terms stays within K * 2^256: a 320-bit
//    accumulator holds it exactly, with an unrolled 4x4 limb product
//    (MULX/ADCX/ADOX where the processor has them, chosen at load time).
// A row of the left operand and a column of the right one take the narrow
// path when every element of both is below 1; otherwise the general one.
#include "ops.hpp"

#include <vector>

#include "../core/accum.hpp"
#include "../core/launch.hpp"
#include "narrow_product.hpp"

namespace zel {

namespace {

const bool g_adx = cpu_has_mulx_adx();

// The general form (Packed, wacc_add_packed) is in core/accum.hpp.

template <bool ADX>
Fp narrow_dot(const Frac* x, const Frac* y, int64_t K) {
    NAcc acc = {};
    for (int64_t k = 0; k < K; ++k) nacc_add_prod<ADX>(acc, x[k].l, y[k].l, x[k].neg ^ y[k].neg);
    return nacc_to_fp(acc);
}

// Sum of xr*yr - xi*yi and of xr*yi + xi*yr, each product rounded.
template <bool ADX>
void narrow_cdot(const Frac* xr, const Frac* xi, const Frac* yr, const Frac* yi, int64_t K, Fp& re, Fp& im) {
    NAcc sr = {}, si = {};
    for (int64_t k = 0; k < K; ++k) {
        nacc_add_prod<ADX>(sr, xr[k].l, yr[k].l, xr[k].neg ^ yr[k].neg);
        nacc_add_prod<ADX>(sr, xi[k].l, yi[k].l, ~(xi[k].neg ^ yi[k].neg));
        nacc_add_prod<ADX>(si, xr[k].l, yi[k].l, xr[k].neg ^ yi[k].neg);
        nacc_add_prod<ADX>(si, xi[k].l, yr[k].l, xi[k].neg ^ yr[k].neg);
    }
    re = nacc_to_fp(sr);
    im = nacc_to_fp(si);
}

// ---------------------------------------------------------- packing

// One operand of a product, packed by output row (left) or output column
// (right, transposed): element k of line r at r * K + k.
struct Lines {
    std::vector<Frac> frac;
    std::vector<Packed> full;  // only when some line is not all below 1
    std::vector<char> small;   // per line: every element below 1
    bool all_small = true;
};

// Element k of line r of src is src[r * rs + k * ks].
void pack_lines(Lines& L, const Fp* src, int64_t lines, int64_t K, int64_t rs, int64_t ks) {
    L.frac.resize((size_t)(lines * K));
    L.small.assign((size_t)lines, 1);
    for (int64_t r = 0; r < lines; ++r) {
        bool s = true;
        for (int64_t k = 0; k < K; ++k) {
            const Fp& x = src[r * rs + k * ks];
            s = s && below_one(x);
            pack_frac(L.frac[(size_t)(r * K + k)], x);
        }
        L.small[(size_t)r] = s;
        L.all_small = L.all_small && s;
    }
}

void pack_full(Lines& L, const Fp* src, int64_t lines, int64_t K, int64_t rs, int64_t ks) {
    L.full.resize((size_t)(lines * K));
    for (int64_t r = 0; r < lines; ++r)
        for (int64_t k = 0; k < K; ++k) pack_operand(L.full[(size_t)(r * K + k)], src[r * rs + k * ks]);
}

// f(i, j) over the output in tiles of a few rows by a few columns (both
// operands' lines stay in cache), tiles handed out one at a time so that a
// thread the system has paused holds up no more than one tile.
template <class F>
void for_tiles(int64_t M, int64_t N, bool parallel, F&& f) {
    const int64_t TI = 4, TJ = 8;
    const int64_t ti = (M + TI - 1) / TI, tj = (N + TJ - 1) / TJ, tiles = ti * tj;
    auto tile = [&](int64_t t) {
        const int64_t i0 = (t / tj) * TI, j0 = (t % tj) * TJ;
        const int64_t i1 = i0 + TI < M ? i0 + TI : M, j1 = j0 + TJ < N ? j0 + TJ : N;
        for (int64_t i = i0; i < i1; ++i)
            for (int64_t j = j0; j < j1; ++j) f(i, j);
    };
    if (!parallel || tiles == 1) {
        for (int64_t t = 0; t < tiles; ++t) tile(t);
        return;
    }
    nb::gil_scoped_release nogil;
    // Every thread the runtime offers takes part (no sizing by the load
    // average, which on a briefly busy machine ran whole products on one
    // thread); tiles handed out one at a time bound what a paused thread holds.
#pragma omp parallel for schedule(dynamic, 1)
    for (int64_t t = 0; t < tiles; ++t) tile(t);
}

}  // namespace

void mm_host(const Fp* a, const Fp* b, Fp* out, int64_t M, int64_t N, int64_t K) {
    if (M <= 0 || N <= 0) return;
    Lines A, B;
    pack_lines(A, a, M, K, K, 1);
    pack_lines(B, b, N, K, 1, N);
    const bool general = !(A.all_small && B.all_small);
    if (general) {
        pack_full(A, a, M, K, K, 1);
        pack_full(B, b, N, K, 1, N);
    }
    for_tiles(M, N, M * N * K >= CPU_PARALLEL_WORK, [&](int64_t i, int64_t j) {
        if (A.small[(size_t)i] && B.small[(size_t)j]) {
            const Frac* x = A.frac.data() + i * K;
            const Frac* y = B.frac.data() + j * K;
            out[i * N + j] = g_adx ? narrow_dot<true>(x, y, K) : narrow_dot<false>(x, y, K);
            return;
        }
        const Packed* x = A.full.data() + i * K;
        const Packed* y = B.full.data() + j * K;
        WAcc acc;
        wacc_clear(acc);
        for (int64_t k = 0; k < K; ++k) wacc_add_packed(acc, x[k], y[k]);
        out[i * N + j] = wacc_to_fp(acc);
    });
}

void cmm_host(const Fp* ar, const Fp* ai, const Fp* br, const Fp* bi, Fp* re, Fp* im, int64_t M, int64_t N,
              int64_t K) {
    if (M <= 0 || N <= 0) return;
    Lines Ar, Ai, Br, Bi;
    pack_lines(Ar, ar, M, K, K, 1);
    pack_lines(Ai, ai, M, K, K, 1);
    pack_lines(Br, br, N, K, 1, N);
    pack_lines(Bi, bi, N, K, 1, N);
    const bool general = !(Ar.all_small && Ai.all_small && Br.all_small && Bi.all_small);
    if (general) {
        pack_full(Ar, ar, M, K, K, 1);
        pack_full(Ai, ai, M, K, K, 1);
        pack_full(Br, br, N, K, 1, N);
        pack_full(Bi, bi, N, K, 1, N);
    }
    for_tiles(M, N, 4 * M * N * K >= CPU_PARALLEL_WORK, [&](int64_t i, int64_t j) {
        const size_t ri = (size_t)i, cj = (size_t)j;
        if (Ar.small[ri] && Ai.small[ri] && Br.small[cj] && Bi.small[cj]) {
            // No sum can saturate, so sat(S1) - sat(S2) is S1 - S2 saturated
            // once: one accumulator for each of the real and imaginary parts.
            const Frac *xr = Ar.frac.data() + i * K, *xi = Ai.frac.data() + i * K;
            const Frac *yr = Br.frac.data() + j * K, *yi = Bi.frac.data() + j * K;
            if (g_adx)
                narrow_cdot<true>(xr, xi, yr, yi, K, re[i * N + j], im[i * N + j]);
            else
                narrow_cdot<false>(xr, xi, yr, yi, K, re[i * N + j], im[i * N + j]);
            return;
        }
        // Four sums, each saturated, then the exact saturating - and +.
        const Packed *xr = Ar.full.data() + i * K, *xi = Ai.full.data() + i * K;
        const Packed *yr = Br.full.data() + j * K, *yi = Bi.full.data() + j * K;
        WAcc rr, ii, rim, irm;
        wacc_clear(rr);
        wacc_clear(ii);
        wacc_clear(rim);
        wacc_clear(irm);
        for (int64_t k = 0; k < K; ++k) {
            wacc_add_packed(rr, xr[k], yr[k]);
            wacc_add_packed(ii, xi[k], yi[k]);
            wacc_add_packed(rim, xr[k], yi[k]);
            wacc_add_packed(irm, xi[k], yr[k]);
        }
        re[i * N + j] = fp_sub(wacc_to_fp(rr), wacc_to_fp(ii));
        im[i * N + j] = fp_add(wacc_to_fp(rim), wacc_to_fp(irm));
    });
}

}  // namespace zel
