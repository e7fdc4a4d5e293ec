// Runs kernel bodies over a fixed battery of records and prints a hash per
// kernel.  Built twice by tools/check_build.py -- as the CPU builds them and
// with ZEL_EMULATE_DEVICE_PATHS (the code the GPU runs: portable carries,
// division, products) -- the two outputs must be identical.
#include <cstdio>
#include <cstring>
#include <vector>

#include "cuda/kernel_list.hpp"
#include "xorshift.hpp"

using namespace zel;

namespace {

constexpr int N = 1536;
std::vector<Fp> A(N), B(N);

XorShift64 rnd{0x9e3779b97f4a7c15ull};

Fp random_record(int i) {
    Fp r = fp_zero();
    switch (i % 6) {
        case 0:  // full-width random
            for (int k = 0; k < NLIMB; ++k) r.limb[k] = rnd();
            break;
        case 1:  // moderate values: |x| < 2^20 with a full fraction
            for (int k = 0; k < FRAC_LIMBS; ++k) r.limb[k] = rnd();
            r.limb[4] = rnd() & 0xfffff;
            break;
        case 2:  // |x| < 1
            for (int k = 0; k < FRAC_LIMBS; ++k) r.limb[k] = rnd();
            break;
        case 3:  // small integers and halves (rounding ties)
            r.limb[4] = rnd() & 15;
            r.limb[3] = (rnd() & 1) << 63;
            break;
        case 4:  // structured: runs of ones, single bits
            r.limb[rnd() % NLIMB] = (rnd() & 1) ? ~0ull : 1ull << (rnd() & 63);
            break;
        default:  // tiny and near-MAX
            if (rnd() & 1)
                r.limb[0] = rnd() & 0xff;
            else
                for (int k = 0; k < NLIMB; ++k) r.limb[k] = ~0ull - (rnd() & 3);
    }
    r.sign = (rnd() & 1) ? -1 : 1;
    return r;
}

uint64_t fnv(const void* p, size_t n, uint64_t h = 1469598103934665603ull) {
    const unsigned char* c = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) h = (h ^ c[i]) * 1099511628211ull;
    return h;
}

template <class T>
void report(const char* name, const std::vector<T>& out) {
    std::printf("%s %016llx\n", name, (unsigned long long)fnv(out.data(), out.size() * sizeof(T)));
}

// Kernels are chosen by signature; the others get dedicated calls below.
void run(const char* name, void (*f)(const ThreadCtx&, const Fp*, Fp*, int)) {
    if (!std::strcmp(name, "fp_trace_kernel")) return;  // reads n*n records
    if (!std::strcmp(name, "fp_sum_finish_kernel"))
        return;  // reads 2n records: run with the partial sums below
    // diff reads one record past its count
    const int n = std::strcmp(name, "fp_diff_kernel") ? N : N - 1;
    std::vector<Fp> out(N);
    for (uint32_t i = 0; i < N; ++i) f(ThreadCtx{i, 0}, A.data(), out.data(), n);
    report(name, out);
}
void run(const char* name, void (*f)(const ThreadCtx&, const Fp*, const Fp*, Fp*, int)) {
    std::vector<Fp> out(N);
    for (uint32_t i = 0; i < N; ++i) f(ThreadCtx{i, 0}, A.data(), B.data(), out.data(), N);
    report(name, out);
}
void run(const char* name, void (*f)(const ThreadCtx&, const Fp*, const Fp*, int32_t*, int)) {
    std::vector<int32_t> out(N);
    for (uint32_t i = 0; i < N; ++i) f(ThreadCtx{i, 0}, A.data(), B.data(), out.data(), N);
    report(name, out);
}
template <class... P>
void run(const char*, void (*)(const ThreadCtx&, P...)) {}

}  // namespace

int main() {
#if defined(ZEL_DEVICE_PATH)
    std::fprintf(stderr, "device code paths (portable carries, division and products)\n");
#else
    std::fprintf(stderr, "host code paths\n");
#endif
    for (int i = 0; i < N; ++i) A[i] = random_record(i);
    for (int i = 0; i < N; ++i) B[i] = random_record(i * 7 + 3);
    // Elementary functions mostly see moderate arguments: feed those too.
    std::vector<Fp> keepA = A;
#define ZEL_RUN(name, params, args) run(#name, &name##_body);
    ZEL_KERNEL_LIST(ZEL_RUN)
    for (int i = 0; i < N; ++i) A[i] = random_record(1 + 6 * (i / 6) + (i % 2));  // |x| < 2^20 and < 1
    std::printf("-- moderate arguments\n");
    ZEL_KERNELS_UNARY(ZEL_RUN)
#undef ZEL_RUN
    A = keepA;

    std::vector<Fp> out(N);
    for (int e : {-3, -1, 0, 2, 5, 31}) {
        for (uint32_t i = 0; i < N; ++i) fp_pow_int_kernel_body(ThreadCtx{i, 0}, A.data(), out.data(), e, N);
        report("fp_pow_int_kernel", out);
    }
    // Exact sums split into parts the way each backend splits them.
    for (int mode = 0; mode < 4; ++mode) {
        const int parts = 7;
        std::vector<Fp> part(2 * parts), sum(1);
        for (uint32_t p = 0; p < parts; ++p)
            fp_sum_partial_kernel_body(ThreadCtx{p, 0}, A.data(), B.data(), part.data(), N, parts, mode);
        fp_sum_finish_kernel_body(ThreadCtx{0, 0}, part.data(), sum.data(), parts);
        report("fp_sum_partial_kernel", sum);
    }
    // Moments and p-norm sums: the same parts, strided or chunked.
    for (int mode = 1; mode < 4; ++mode) {
        const int parts = 7;
        std::vector<Fp> part(MOMENT_RECORDS * parts), tot(MOMENT_RECORDS);
        for (uint32_t p = 0; p < parts; ++p)
            fp_moments_partial_kernel_body(ThreadCtx{p, 0}, A.data(), part.data(), N, parts, mode);
        fp_wide_finish_kernel_body(ThreadCtx{0, 0}, part.data(), tot.data(), parts, MOMENT_RECORDS);
        report("fp_moments_partial_kernel", tot);
    }
    std::vector<Fp> mx(1, fp_abs(A[0]));
    for (int i = 1; i < N; ++i)
        if (fp_cmp(fp_abs(A[i]), mx[0]) > 0) mx[0] = fp_abs(A[i]);
    for (int p : {3, 7, 1000}) {
        const int parts = 7;
        std::vector<Fp> part(2 * parts), tot(2);
        for (uint32_t t = 0; t < parts; ++t)
            fp_pnorm_partial_kernel_body(ThreadCtx{t, 0}, A.data(), mx.data(), part.data(), N, parts, p);
        fp_wide_finish_kernel_body(ThreadCtx{0, 0}, part.data(), tot.data(), parts, 2);
        report("fp_pnorm_partial_kernel", tot);
    }
    const int M = 24, K = 32, C = 16;
    std::vector<Fp> mm(M * C);
    for (uint32_t r = 0; r < M; ++r)
        for (uint32_t c = 0; c < C; ++c)
            fp_mm_kernel_body(ThreadCtx{c, r}, A.data(), B.data(), mm.data(), M, C, K);
    report("fp_mm_kernel", mm);
    std::vector<Fp> rows(N);
    for (uint32_t r = 0; r < N / 64; ++r) {
        fp_softmax_kernel_body(ThreadCtx{r, 0}, A.data(), rows.data(), N / 64, 64);
    }
    report("fp_softmax_kernel", rows);
    for (uint32_t r = 0; r < N / 64; ++r)
        fp_cumprod_kernel_body(ThreadCtx{r, 0}, A.data(), rows.data(), N / 64, 64);
    report("fp_cumprod_kernel", rows);
    // Row-wise passes over chunks of 7 (cumsum: sums, carry, fix-up; argmax
    // and argmin: chunk extremes, then halving passes).
    {
        const int R = N / 64, L = 64, ch = 7, nch = (L + ch - 1) / ch;
        std::vector<Fp> part(2 * R * nch);
        for (uint32_t t = 0; t < (uint32_t)(R * nch); ++t)
            fp_cumsum_partial_kernel_body(ThreadCtx{t, 0}, A.data(), part.data(), R, L, ch);
        for (uint32_t r = 0; r < (uint32_t)R; ++r)
            fp_cumsum_carry_kernel_body(ThreadCtx{r, 0}, part.data(), R, nch);
        for (uint32_t t = 0; t < (uint32_t)(R * nch); ++t)
            fp_cumsum_chunk_kernel_body(ThreadCtx{t, 0}, A.data(), part.data(), rows.data(), R, L, ch);
        report("fp_cumsum_chunk_kernel", rows);
        for (int want : {1, -1}) {
            std::vector<int32_t> cand(R * nch), best(R);
            for (uint32_t t = 0; t < (uint32_t)(R * nch); ++t)
                fp_arg_extreme_partial_kernel_body(ThreadCtx{t, 0}, A.data(), cand.data(), R, L, ch, want);
            int left = nch;
            for (; left > 2; left = (left + 1) / 2)
                for (uint32_t t = 0; t < (uint32_t)(R * ((left + 1) / 2)); ++t)
                    fp_arg_extreme_combine_kernel_body(ThreadCtx{t, 0}, A.data(), cand.data(), cand.data(), R,
                                                       L, left, nch, nch, want);
            for (uint32_t r = 0; r < (uint32_t)R; ++r)
                fp_arg_extreme_combine_kernel_body(ThreadCtx{r, 0}, A.data(), cand.data(), best.data(), R, L,
                                                   left, nch, 1, want);
            report("fp_arg_extreme_combine_kernel", best);
        }
    }
    std::vector<double> d(N);
    for (uint32_t i = 0; i < N; ++i) fp_to_double_kernel_body(ThreadCtx{i, 0}, A.data(), d.data(), N);
    report("fp_to_double_kernel", d);
    return 0;
}
