// Multimodular determinant and adjugate: eliminate modulo word-size primes
// and recombine by the Chinese remainder theorem.  Every result is certified
// by Hadamard's bound (enough primes that the product exceeds twice it), so
// no step is probabilistic.
#include "modular.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>

namespace zel {

namespace {

using u64 = uint64_t;
using u128 = unsigned __int128;

u64 mulmod(u64 a, u64 b, u64 p) { return (u64)((u128)a * b % p); }

u64 powmod(u64 a, u64 e, u64 p) {
    u64 r = 1;
    a %= p;
    while (e) {
        if (e & 1) r = mulmod(r, a, p);
        a = mulmod(a, a, p);
        e >>= 1;
    }
    return r;
}

// a^-1 mod p for 0 < a < p < 2^63 (extended Euclid on signed words).
u64 invmod(u64 a, u64 p) {
    int64_t t = 0, nt = 1;
    u64 r = p, nr = a;
    while (nr) {
        u64 q = r / nr;
        int64_t tt = t - (int64_t)q * nt;
        t = nt;
        nt = tt;
        u64 rr = r - q * nr;
        r = nr;
        nr = rr;
    }
    return t < 0 ? (u64)(t + (int64_t)p) : (u64)t;
}

// Deterministic Miller-Rabin for 64-bit n (these bases have no liar below 2^64).
bool is_prime_u64(u64 n) {
    if (n < 2) return false;
    for (u64 q : {2ull, 3ull, 5ull, 7ull, 11ull, 13ull, 17ull, 19ull, 23ull, 29ull, 31ull, 37ull}) {
        if (n % q == 0) return n == q;
    }
    u64 d = n - 1;
    int s = 0;
    while ((d & 1) == 0) {
        d >>= 1;
        ++s;
    }
    for (u64 a : {2ull, 325ull, 9375ull, 28178ull, 450775ull, 9780504ull, 1795265022ull}) {
        a %= n;
        if (a == 0) continue;
        u64 x = powmod(a, d, n);
        if (x == 1 || x == n - 1) continue;
        bool comp = true;
        for (int r = 1; r < s && comp; ++r) {
            x = mulmod(x, x, n);
            if (x == n - 1) comp = false;
        }
        if (comp) return false;
    }
    return true;
}

// Primes below 2^62, descending: all lie in (2^61, 2^62), so a residue
// modulo one is below twice any other.
std::vector<u64> primes(size_t count) {
    static std::mutex mu;
    static std::vector<u64> table;
    std::lock_guard<std::mutex> lock(mu);
    u64 c = table.empty() ? (1ull << 62) - 1 : table.back() - 2;
    while (table.size() < count) {
        if (is_prime_u64(c)) table.push_back(c);
        c -= 2;
    }
    return std::vector<u64>(table.begin(), table.begin() + (ptrdiff_t)count);
}

// Shoup multiplication by a fixed w < p < 2^63: w' = floor(w 2^64 / p).
inline u64 shoup_pre(u64 w, u64 p) { return (u64)(((u128)w << 64) / p); }
inline u64 mul_shoup(u64 x, u64 w, u64 wp, u64 p) {
    u64 q = (u64)(((u128)x * wp) >> 64);
    u64 r = x * w - q * p;
    return r >= p ? r - p : r;
}

// dst -= f * src (mod p) over len words.
inline void row_submul(u64* dst, const u64* src, int64_t len, u64 f, u64 p) {
    u64 fp = shoup_pre(f, p);
    for (int64_t j = 0; j < len; ++j) {
        u64 t = mul_shoup(src[j], f, fp, p);
        u64 v = dst[j] - t;
        dst[j] = dst[j] < t ? v + p : v;
    }
}

// B's entries, as machine words when they all fit.
struct Reducer {
    const IntMatrix& B;
    std::vector<int64_t> small;
    bool all_small = true;
    explicit Reducer(const IntMatrix& b) : B(b) {
        small.resize(B.a.size());
        for (size_t i = 0; i < B.a.size() && all_small; ++i) {
            if (!mpz_fits_slong_p(B.a[i]))
                all_small = false;
            else
                small[i] = mpz_get_si(B.a[i]);
        }
        if (!all_small) small.clear();
    }
    void reduce(u64 p, u64* out) const {
        size_t n = B.a.size();
        if (all_small) {
            for (size_t i = 0; i < n; ++i) {
                int64_t r = small[i] % (int64_t)p;
                out[i] = r < 0 ? (u64)(r + (int64_t)p) : (u64)r;
            }
        } else {
            for (size_t i = 0; i < n; ++i) out[i] = mpz_fdiv_ui(B.a[i], p);
        }
    }
};

// det(a) mod p by forward elimination; a (n x n) is destroyed.
u64 det_mod(u64* a, int64_t n, u64 p) {
    u64 det = 1;
    for (int64_t k = 0; k < n; ++k) {
        int64_t r = k;
        while (r < n && a[r * n + k] == 0) ++r;
        if (r == n) return 0;
        if (r != k) {
            std::swap_ranges(a + k * n + k, a + k * n + n, a + r * n + k);
            det = p - det;
        }
        u64 pv = a[k * n + k];
        det = mulmod(det, pv, p);
        u64 pinv = invmod(pv, p), sp = shoup_pre(pinv, p);
        for (int64_t i = k + 1; i < n; ++i) {
            u64 x = a[i * n + k];
            if (!x) continue;
            row_submul(a + i * n + k + 1, a + k * n + k + 1, n - k - 1, mul_shoup(x, pinv, sp, p), p);
        }
    }
    return det;
}

// In-place Gauss-Jordan inverse mod p; det receives det(a) mod p.  False
// when a is singular mod p.
bool inverse_mod(u64* a, int64_t n, u64 p, u64& det, std::vector<int64_t>& piv) {
    det = 1;
    piv.assign((size_t)n, 0);
    for (int64_t k = 0; k < n; ++k) {
        int64_t r = k;
        while (r < n && a[r * n + k] == 0) ++r;
        if (r == n) {
            det = 0;
            return false;
        }
        if (r != k) {
            std::swap_ranges(a + k * n, a + k * n + n, a + r * n);
            det = p - det;
        }
        piv[(size_t)k] = r;
        u64 pv = a[k * n + k];
        det = mulmod(det, pv, p);
        u64 pinv = invmod(pv, p), sp = shoup_pre(pinv, p);
        a[k * n + k] = 1;
        for (int64_t j = 0; j < n; ++j) a[k * n + j] = mul_shoup(a[k * n + j], pinv, sp, p);
        for (int64_t i = 0; i < n; ++i) {
            if (i == k) continue;
            u64 f = a[i * n + k];
            if (!f) continue;
            a[i * n + k] = 0;
            row_submul(a + i * n, a + k * n, n, f, p);
        }
    }
    for (int64_t k = n - 1; k >= 0; --k) {
        int64_t r = piv[(size_t)k];
        if (r == k) continue;
        for (int64_t i = 0; i < n; ++i) std::swap(a[i * n + k], a[i * n + r]);
    }
    return true;
}

// Number of primes (> 2^61 each) whose product exceeds 2^(bits + 1).
size_t primes_for(double bits) { return (size_t)std::ceil((bits + 2.0) / 61.0) + 1; }

// x mod (product of ps) from its residues, into the symmetric range.
void crt_symmetric(const std::vector<u64>& ps, const std::vector<u64>& res, mpz_ptr x) {
    Mpz m;
    mpz_set_ui(x, 0);
    mpz_set_ui(m, 1);
    for (size_t i = 0; i < ps.size(); ++i) {
        u64 p = ps[i];
        u64 xm = mpz_fdiv_ui(x, p), mm = mpz_fdiv_ui(m, p);
        u64 d = res[i] >= xm ? res[i] - xm : res[i] + p - xm;
        u64 t = mulmod(d, invmod(mm, p), p);
        mpz_addmul_ui(x, m, t);
        mpz_mul_ui(m, m, p);
    }
    Mpz twice;
    mpz_mul_2exp(twice, x, 1);
    if (mpz_cmp(twice, m) > 0) mpz_sub(x, x, m);
}

}  // namespace

double hadamard_bits(const IntMatrix& B) {
    double bits = 0;
    Mpz s;
    for (int64_t i = 0; i < B.rows; ++i) {
        mpz_set_ui(s, 0);
        for (int64_t j = 0; j < B.cols; ++j) mpz_addmul(s, B.at(i, j), B.at(i, j));
        if (mpz_sgn(s) == 0) continue;
        long e;
        double d = mpz_get_d_2exp(&e, s);  // truncated: s < (d + 2^-52) 2^e
        bits += 0.5 * ((double)e + std::log2(d + 0x1p-52));
    }
    return bits * (1 + 1e-12) + 1.0;
}

void check_exact_memory(double entries, double bits_per_entry) {
    static const double limit = [] {
        long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
        double total = pages > 0 && page > 0 ? (double)pages * (double)page : 8e9;
        return total / 2;
    }();
    if (entries * (bits_per_entry / 8.0 + 32.0) > limit) throw std::bad_alloc();
}

namespace {

// det(B) from every prime's residue: Hadamard's bound decides how many.
void det_all_primes(const IntMatrix& B, const Reducer& red, double bits, mpz_ptr det) {
    int64_t n = B.rows;
    size_t k = primes_for(bits);
    std::vector<u64> ps = primes(k), res(k);
    bool par = (double)k * (double)n * (double)n * (double)n > 3e7;
#pragma omp parallel if (par)
    {
        std::vector<u64> work((size_t)(n * n));
#pragma omp for schedule(dynamic, 1)
        for (int64_t t = 0; t < (int64_t)k; ++t) {
            red.reduce(ps[(size_t)t], work.data());
            res[(size_t)t] = det_mod(work.data(), n, ps[(size_t)t]);
        }
    }
    crt_symmetric(ps, res, det);
}

// sum of products < 2^124 each, reduced mod p at the end (three-word sum).
struct Acc3 {
    u128 lo = 0;
    u64 hi = 0;
    void add(u64 a, u64 b) {
        u128 t = (u128)a * b;
        lo += t;
        hi += lo < t;
    }
    u64 mod(u64 p, u64 r128) const { return (u64)(((u128)mulmod(hi, r128, p) + lo % p) % p); }
};

// N/D == y (mod m) with |N| <= nb, 0 < D <= db (the unique such fraction
// when 2 nb db < m); false when there is none.
bool rational_reconstruct(mpz_srcptr y, mpz_srcptr m, mpz_srcptr nb, mpz_srcptr db, mpz_ptr num,
                          mpz_ptr den) {
    Mpz r0, r1, t0, t1, q, tmp;
    mpz_set(r0, m);
    mpz_mod(r1, y, m);
    mpz_set_ui(t0, 0);
    mpz_set_ui(t1, 1);
    while (mpz_cmp(r1, nb) > 0) {
        mpz_fdiv_qr(q, tmp, r0, r1);
        mpz_swap(r0, r1);
        mpz_swap(r1, tmp);
        mpz_mul(tmp, q, t1);
        mpz_sub(tmp, t0, tmp);
        mpz_swap(t0, t1);
        mpz_swap(t1, tmp);
    }
    if (mpz_sgn(t1) == 0 || mpz_cmpabs(t1, db) > 0) return false;
    mpz_gcd(tmp, r1, t1);
    if (mpz_cmp_ui(tmp, 1) != 0) return false;
    mpz_set(num, r1);
    mpz_abs(den, t1);
    if (mpz_sgn(t1) < 0) mpz_neg(num, num);
    return true;
}

// det(B) = d * c where d, the common denominator of the solution of B x = b
// (p-adic lifting, Dixon), divides det(B) and is usually nearly all of it;
// the small cofactor c then needs few primes.  False when the route does not
// apply (entries too wide for word arithmetic, or B singular modulo the
// lifting prime); the caller then takes every prime.
bool det_by_divisor(const IntMatrix& B, const Reducer& red, double bits, mpz_ptr det) {
    int64_t n = B.rows;
    if (!red.all_small) return false;
    int64_t maxb = 0;
    for (int64_t v : red.small) maxb = std::max(maxb, v < 0 ? -v : v);
    if (std::log2((double)maxb + 1) + std::log2((double)n) + 64 > 124) return false;
    // LU of B modulo the first prime (first nonzero pivot, row order kept).
    u64 p = primes(1)[0];
    std::vector<u64> a((size_t)(n * n));
    red.reduce(p, a.data());
    std::vector<int64_t> perm((size_t)n);
    for (int64_t i = 0; i < n; ++i) perm[(size_t)i] = i;
    std::vector<u64> dinv((size_t)n);
    u64 detp = 1;
    for (int64_t k = 0; k < n; ++k) {
        int64_t r = k;
        while (r < n && a[(size_t)(r * n + k)] == 0) ++r;
        if (r == n) return false;
        if (r != k) {
            std::swap_ranges(a.begin() + r * n, a.begin() + r * n + n, a.begin() + k * n);
            std::swap(perm[(size_t)r], perm[(size_t)k]);
            detp = p - detp;
        }
        u64 pv = a[(size_t)(k * n + k)];
        detp = mulmod(detp, pv, p);
        u64 pinv = invmod(pv, p), sp = shoup_pre(pinv, p);
        dinv[(size_t)k] = pinv;
        for (int64_t i = k + 1; i < n; ++i) {
            u64 x = a[(size_t)(i * n + k)];
            if (!x) continue;
            u64 f = mul_shoup(x, pinv, sp, p);
            a[(size_t)(i * n + k)] = f;
            row_submul(a.data() + i * n + k + 1, a.data() + k * n + k + 1, n - k - 1, f, p);
        }
    }
    u64 r128 = mulmod((u64)(((u128)1 << 64) % p), (u64)(((u128)1 << 64) % p), p);
    // Lifting: B (y_0 + y_1 p + ...) = b to p^K > 2^(2 bits + 1).
    int64_t K = (int64_t)std::ceil((2.0 * bits + 2.0) / 61.0) + 1;
    std::vector<int64_t> res((size_t)n);
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    for (int64_t i = 0; i < n; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        res[(size_t)i] = (int64_t)((seed >> 33) % 201) - 100;
    }
    std::vector<u64> ys((size_t)(K * n)), z((size_t)n);
    const int64_t* b = red.small.data();
    for (int64_t step = 0; step < K; ++step) {
        for (int64_t i = 0; i < n; ++i) {
            int64_t v = res[(size_t)perm[(size_t)i]] % (int64_t)p;
            Acc3 acc;
            for (int64_t j = 0; j < i; ++j) acc.add(a[(size_t)(i * n + j)], z[(size_t)j]);
            u64 s = acc.mod(p, r128), rv = v < 0 ? (u64)(v + (int64_t)p) : (u64)v;
            z[(size_t)i] = rv >= s ? rv - s : rv + p - s;
        }
        u64* y = ys.data() + step * n;
        for (int64_t i = n - 1; i >= 0; --i) {
            Acc3 acc;
            for (int64_t j = i + 1; j < n; ++j) acc.add(a[(size_t)(i * n + j)], y[j]);
            u64 s = acc.mod(p, r128), t = z[(size_t)i];
            y[i] = mulmod(t >= s ? t - s : t + p - s, dinv[(size_t)i], p);
        }
        // res = (res - B y) / p, exactly
        for (int64_t i = 0; i < n; ++i) {
            __int128 acc = res[(size_t)i];
            for (int64_t j = 0; j < n; ++j) acc -= (__int128)b[i * n + j] * (__int128)y[j];
            if (acc % (__int128)p != 0) return false;  // cannot happen: y solves B y = res mod p
            res[(size_t)i] = (int64_t)(acc / (__int128)p);
        }
    }
    // x_i = sum_k y_k[i] p^k mod p^K; reconstruct their common denominator.
    Mpz m, nb, xi, s, num, den, d(1), twice;
    mpz_ui_pow_ui(m, p, (unsigned long)K);
    mpz_sub_ui(nb, m, 1);
    mpz_fdiv_q_2exp(nb, nb, 1);
    mpz_sqrt(nb, nb);  // 2 nb^2 < m
    for (int64_t i = 0; i < n; ++i) {
        mpz_set_ui(xi, 0);
        for (int64_t k = K - 1; k >= 0; --k) {
            mpz_mul_ui(xi, xi, p);
            mpz_add_ui(xi, xi, ys[(size_t)(k * n + i)]);
        }
        mpz_mul(s, xi, d);
        mpz_mod(s, s, m);
        mpz_mul_2exp(twice, s, 1);
        if (mpz_cmp(twice, m) > 0) mpz_sub(s, s, m);
        if (mpz_cmpabs(s, nb) <= 0) continue;  // d already clears x_i
        if (!rational_reconstruct(xi, m, nb, nb, num, den)) return false;
        mpz_lcm(d, d, den);
        if (mpz_cmp(d, nb) > 0) return false;
    }
    // d divides det(B); the cofactor c = det(B) / d is below 2^bits / d.
    double cbits = bits - (double)mpz_sizeinbase(d, 2) + 1.0;
    size_t need = primes_for(std::max(cbits, 1.0));
    std::vector<u64> ps, cres;
    std::vector<u64> work((size_t)(n * n));
    for (size_t t = 0; ps.size() < need; ++t) {
        u64 q = primes(t + 1).back();
        u64 dm = mpz_fdiv_ui(d, q);
        if (dm == 0) continue;
        u64 dq = detp;
        if (t > 0) {
            red.reduce(q, work.data());
            dq = det_mod(work.data(), n, q);
        }
        ps.push_back(q);
        cres.push_back(mulmod(dq, invmod(dm, q), q));
    }
    crt_symmetric(ps, cres, det);
    mpz_mul(det, det, d);
    return true;
}

}  // namespace

void det_multimodular(const IntMatrix& B, mpz_ptr det) {
    int64_t n = B.rows;
    if (n == 0) {
        mpz_set_ui(det, 1);
        return;
    }
    double bits = hadamard_bits(B);
    Reducer red(B);
    if (n >= 8 && det_by_divisor(B, red, bits, det)) return;
    det_all_primes(B, red, bits, det);
}

void echelon_pivots_mod(const IntMatrix& B, size_t prime_index, std::vector<int64_t>& pivots,
                        std::vector<int64_t>& rows) {
    int64_t m = B.rows, n = B.cols;
    u64 p = primes(prime_index + 1).back();
    std::vector<u64> a(B.a.size());
    Reducer(B).reduce(p, a.data());
    std::vector<int64_t> id((size_t)m);
    for (int64_t i = 0; i < m; ++i) id[(size_t)i] = i;
    pivots.clear();
    rows.clear();
    int64_t pr = 0;
    for (int64_t c = 0; c < n && pr < m; ++c) {
        int64_t r = pr;
        while (r < m && a[(size_t)(r * n + c)] == 0) ++r;
        if (r == m) continue;
        if (r != pr) {
            std::swap_ranges(a.begin() + r * n, a.begin() + r * n + n, a.begin() + pr * n);
            std::swap(id[(size_t)r], id[(size_t)pr]);
        }
        u64 pinv = invmod(a[(size_t)(pr * n + c)], p), sp = shoup_pre(pinv, p);
        for (int64_t i = pr + 1; i < m; ++i) {
            u64 x = a[(size_t)(i * n + c)];
            if (!x) continue;
            row_submul(a.data() + i * n + c + 1, a.data() + pr * n + c + 1, n - c - 1,
                       mul_shoup(x, pinv, sp, p), p);
        }
        pivots.push_back(c);
        rows.push_back(id[(size_t)pr]);
        ++pr;
    }
}

bool adjugate_multimodular(const IntMatrix& B, mpz_ptr det, IntMatrix& adj) {
    int64_t n = B.rows;
    size_t nn = (size_t)(n * n);
    if (n == 0) {
        mpz_set_ui(det, 1);
        adj = IntMatrix(0, 0);
        return true;
    }
    double bits = hadamard_bits(B);
    check_exact_memory((double)nn, bits);
    size_t need = primes_for(bits);
    check_exact_memory((double)nn * (double)need, 0);
    Reducer red(B);
    std::vector<u64> ps, dets;       // every prime tried, det residues
    std::vector<u64> good, gooddet;  // primes where B is invertible
    std::vector<std::vector<u64>> adjres;
    size_t tried = 0;
    while (good.size() < need) {
        size_t want = need - good.size();
        std::vector<u64> batch = primes(tried + want);
        batch.erase(batch.begin(), batch.begin() + (ptrdiff_t)tried);
        tried += want;
        std::vector<std::vector<u64>> bres(want);
        std::vector<u64> bdet(want);
        std::vector<char> ok(want);
        bool par = (double)want * (double)n * (double)n * (double)n > 3e7;
#pragma omp parallel if (par)
        {
            std::vector<int64_t> piv;
#pragma omp for schedule(dynamic, 1)
            for (int64_t t = 0; t < (int64_t)want; ++t) {
                u64 p = batch[(size_t)t];
                std::vector<u64>& a = bres[(size_t)t];
                a.resize(nn);
                red.reduce(p, a.data());
                u64 d = 0;
                ok[(size_t)t] = inverse_mod(a.data(), n, p, d, piv);
                bdet[(size_t)t] = d;
                if (ok[(size_t)t]) {
                    u64 dp = shoup_pre(d, p);
                    for (size_t e = 0; e < nn; ++e) a[e] = mul_shoup(a[e], d, dp, p);
                }
            }
        }
        for (size_t t = 0; t < want; ++t) {
            ps.push_back(batch[t]);
            dets.push_back(bdet[t]);
            if (ok[t]) {
                good.push_back(batch[t]);
                gooddet.push_back(bdet[t]);
                adjres.push_back(std::move(bres[t]));
            }
        }
        if (good.size() < need) {
            // Primes that divide det(B) were skipped; a zero determinant
            // (certified by the primes tried so far) means B is singular.
            crt_symmetric(ps, dets, det);
            if (mpz_sgn(det) == 0) return false;
        }
    }
    crt_symmetric(good, gooddet, det);
    // Garner's mixed-radix recombination of every entry.
    size_t k = good.size();
    std::vector<u64> c(k * k), cp(k * k);
    for (size_t j = 0; j < k; ++j) {
        for (size_t i = 0; i < j; ++i) {
            c[i * k + j] = invmod(good[i] % good[j], good[j]);
            cp[i * k + j] = shoup_pre(c[i * k + j], good[j]);
        }
    }
    Mpz m;
    mpz_set_ui(m, 1);
    for (u64 p : good) mpz_mul_ui(m, m, p);
    adj = IntMatrix(n, n);
#pragma omp parallel if ((double)nn * (double)k * (double)k > 3e7)
    {
        std::vector<u64> v(k);
        Mpz twice;
#pragma omp for schedule(static)
        for (int64_t e = 0; e < (int64_t)nn; ++e) {
            for (size_t j = 0; j < k; ++j) {
                u64 pj = good[j], t = adjres[j][(size_t)e];
                for (size_t i = 0; i < j; ++i) {
                    u64 vi = v[i] >= pj ? v[i] - pj : v[i];
                    t = t >= vi ? t - vi : t + pj - vi;
                    t = mul_shoup(t, c[i * k + j], cp[i * k + j], pj);
                }
                v[j] = t;
            }
            mpz_ptr x = adj.a[(size_t)e];
            mpz_set_ui(x, v[k - 1]);
            for (size_t j = k - 1; j-- > 0;) {
                mpz_mul_ui(x, x, good[j]);
                mpz_add_ui(x, x, v[j]);
            }
            mpz_mul_2exp(twice, x, 1);
            if (mpz_cmp(twice, m) > 0) mpz_sub(x, x, m);
        }
    }
    return true;
}

}  // namespace zel
