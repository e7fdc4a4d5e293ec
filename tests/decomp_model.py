"""Step-by-step Python models of qr, eig/eigh, svd and expm: Fractions and
floats on the host, element reads through from_gpu, device work through the
module's tensor, mm, transpose and solve."""
import math
from fractions import Fraction

import korvid.zel as zel


def lsum(terms):
    """Left to right, one rounding per addition, as the module's host loops add
    (Python 3.12's sum() of floats compensates, which would change the bits)."""
    total = 0
    for t in terms:
        total = total + t
    return total


def read(T, idx):
    return float(zel.from_gpu(T._data[idx:idx + 1])[0])


def rewrap(t, shape):
    return zel.Tensor(_raw=t._data, shape=shape)


def qr(A):
    m, n = A._shape
    A_data = [[read(A, i * n + j) for j in range(n)] for i in range(m)]
    Q = [[Fraction(1) if i == j else Fraction(0) for j in range(m)] for i in range(m)]
    R = [[Fraction(A_data[i][j]).limit_denominator(10**12) for j in range(n)] for i in range(m)]
    for k in range(min(m - 1, n)):
        x = [R[i][k] for i in range(k, m)]
        nsq = lsum(xi * xi for xi in x)
        if nsq == 0:
            continue
        alpha = Fraction(float(nsq) ** 0.5).limit_denominator(10**15)
        sign = 1 if x[0] >= 0 else -1
        x[0] = x[0] + sign * alpha
        ln = lsum(xi * xi for xi in x)
        if ln == 0:
            continue
        root = Fraction(float(ln) ** 0.5).limit_denominator(10**15)
        if root == 0:  # too short to rationalise: left alone (no division by zero)
            continue
        v = [xi / root for xi in x]
        d = [lsum(v[i - k] * R[i][j] for i in range(k, m)) for j in range(k, n)]
        for i in range(k, m):
            for j in range(k, n):
                R[i][j] -= 2 * v[i - k] * d[j - k]
        e = [lsum(Q[i][j] * v[j - k] for j in range(k, m)) for i in range(m)]
        for i in range(m):
            for j in range(k, m):
                Q[i][j] -= 2 * e[i] * v[j - k]
    Qt = rewrap(zel.tensor([float(Q[i][j]) for i in range(m) for j in range(m)]), (m, m))
    Rt = rewrap(zel.tensor([float(R[i][j]) for i in range(m) for j in range(n)]), (m, n))
    return Qt, Rt


def eig(A, max_iter=100):
    n = A._shape[0]
    A_data = [[read(A, i * n + j) for j in range(n)] for i in range(n)]
    it = [row[:] for row in A_data]
    V = [[1.0 if i == j else 0.0 for j in range(n)] for i in range(n)]
    for _ in range(max_iter):
        T = rewrap(zel.tensor([it[i][j] for i in range(n) for j in range(n)]), (n, n))
        Q, R = qr(T)
        nxt = zel.mm(R, Q)
        Vt = rewrap(zel.tensor([V[i][j] for i in range(n) for j in range(n)]), (n, n))
        Vn = zel.mm(Vt, Q)
        for i in range(n):
            for j in range(n):
                it[i][j] = read(nxt, i * n + j)
                V[i][j] = read(Vn, i * n + j)
        off = lsum(abs(it[i][j]) for i in range(n) for j in range(i))
        if off < 1e-12:
            break
    vals = zel.tensor([it[i][i] for i in range(n)])
    vecs = rewrap(zel.tensor([V[i][j] for i in range(n) for j in range(n)]), (n, n))
    return vals, vecs


def svd(A, max_iter=100):
    m, n = A._shape
    ATA = zel.mm(zel.transpose(A, 0, 1), A)
    ev, V = eig(ATA, max_iter)
    evl = [read(ev, i) for i in range(n)]
    order = sorted(range(n), key=lambda i: evl[i], reverse=True)
    S = [evl[i] ** 0.5 if evl[i] > 0 else 0.0 for i in order]
    Vd = [[read(V, i * n + j) for j in range(n)] for i in range(n)]
    Vsorted = [[Vd[i][order[j]] for j in range(n)] for i in range(n)]
    Vs = rewrap(zel.tensor([Vsorted[i][j] for i in range(n) for j in range(n)]), (n, n))
    AV = zel.mm(A, Vs)
    U = [[0.0] * n for _ in range(m)]
    for j in range(n):
        if S[j] > 1e-14:
            for i in range(m):
                U[i][j] = read(AV, i * n + j) / S[j]
    Ut = rewrap(zel.tensor([U[i][j] for i in range(m) for j in range(n)]), (m, n))
    return Ut, zel.tensor(S), zel.transpose(Vs, 0, 1)


def _matmul(X, Y, n):
    return [[lsum(X[i][l] * Y[l][j] for l in range(n)) for j in range(n)] for i in range(n)]


def expm(A, order=6):
    n = A._shape[0]
    A_data = [[read(A, i * n + j) for j in range(n)] for i in range(n)]
    norm_A = max(lsum(abs(A_data[i][j]) for j in range(n)) for i in range(n))
    s = max(0, int(math.ceil(math.log2(norm_A + 1))))
    scale = 2 ** s
    As = [[A_data[i][j] / scale for j in range(n)] for i in range(n)]
    c = [1.0]
    for k in range(1, order + 1):
        c.append(c[-1] * (order - k + 1) / (k * (2 * order - k + 1)))
    eye = [[1.0 if i == j else 0.0 for j in range(n)] for i in range(n)]
    powers, Ak = [eye], eye
    for k in range(1, order + 1):
        Ak = _matmul(Ak, As, n)
        powers.append(Ak)
    N = [[0.0] * n for _ in range(n)]
    D = [[0.0] * n for _ in range(n)]
    for k in range(order + 1):
        for i in range(n):
            for j in range(n):
                N[i][j] += c[k] * powers[k][i][j]
    for k in range(order + 1):
        for i in range(n):
            for j in range(n):
                D[i][j] += (-1) ** k * c[k] * powers[k][i][j]
    Dt = rewrap(zel.tensor([D[i][j] for i in range(n) for j in range(n)]), (n, n))
    E = [[0.0] * n for _ in range(n)]
    for j in range(n):
        x = zel.solve(Dt, zel.tensor([N[i][j] for i in range(n)]))
        for i in range(n):
            E[i][j] = read(x, i)
    for _ in range(s):
        E = _matmul(E, E, n)
    return rewrap(zel.tensor([E[i][j] for i in range(n) for j in range(n)]), (n, n))
