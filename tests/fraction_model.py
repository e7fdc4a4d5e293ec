"""The documented exact algorithms in plain Fractions (elimination for det,
rref and inv; Bernoulli numbers by Akiyama-Tanigawa) and random rational
matrices: the model of tests/test_exact.py and the Fraction baseline of
benchmarks/bench_exact.py."""
from fractions import Fraction as F


def rand_matrix(rng, m, n, qmax=9, rank=None):
    """m x n entries p/q (|p| <= 99, 1 <= q <= qmax); rank: a product of
    random m x rank and rank x n factors."""
    def entry():
        return F(rng.randint(-99, 99), rng.randint(1, qmax))
    if rank is None:
        return [[entry() for _ in range(n)] for _ in range(m)]
    x = [[entry() for _ in range(rank)] for _ in range(m)]
    y = [[entry() for _ in range(n)] for _ in range(rank)]
    return [[sum((x[i][k] * y[k][j] for k in range(rank)), F(0)) for j in range(n)] for i in range(m)]


def model_rref(M):
    M = [r[:] for r in M]
    m, n = len(M), len(M[0]) if M else 0
    piv, pr = [], 0
    for c in range(n):
        if pr >= m:
            break
        r = next((i for i in range(pr, m) if M[i][c] != 0), None)
        if r is None:
            continue
        M[r], M[pr] = M[pr], M[r]
        p = M[pr][c]
        M[pr] = [x / p for x in M[pr]]
        for i in range(m):
            if i != pr and M[i][c] != 0:
                f = M[i][c]
                M[i] = [a - f * b for a, b in zip(M[i], M[pr])]
        piv.append(c)
        pr += 1
    return M, piv


def model_det(M):
    M = [r[:] for r in M]
    n, d = len(M), F(1)
    for c in range(n):
        r = next((i for i in range(c, n) if M[i][c] != 0), None)
        if r is None:
            return F(0)
        if r != c:
            M[r], M[c] = M[c], M[r]
            d = -d
        d *= M[c][c]
        for i in range(c + 1, n):
            if M[i][c] != 0:
                f = M[i][c] / M[c][c]
                M[i] = M[i][:c] + [a - f * b for a, b in zip(M[i][c:], M[c][c:])]
    return d


def model_inv(M):
    """The inverse, or None for a singular M."""
    n = len(M)
    R, piv = model_rref([M[i] + [F(int(i == j)) for j in range(n)] for i in range(n)])
    if piv[:n] != list(range(n)):
        return None
    return [r[n:] for r in R]


def model_bernoulli(n):
    """B_n (B_1 = +1/2) by the Akiyama-Tanigawa recurrence."""
    A = [F(0)] * (n + 1)
    for m in range(n + 1):
        A[m] = F(1, m + 1)
        for j in range(m, 0, -1):
            A[j - 1] = j * (A[j - 1] - A[j])
    return A[0]
