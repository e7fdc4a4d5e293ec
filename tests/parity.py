"""Backend-parity battery: hashes the records of many results.

Run it under each backend (and thread count) and compare the printed JSON:
    ZEL_BACKEND=cpu  python -P tests/parity.py > cpu.json
    ZEL_BACKEND=cuda python -P tests/parity.py > cuda.json
    python -P tests/parity.py --records mm_full,qr   # those cases' values
Functions the module does not have are skipped, so the battery grows with it.
"""
import hashlib
import json
import os
import sys
from fractions import Fraction

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import korvid.zel as zel  # noqa: E402
from zelmodel import from_scaled, hard_scaled, S  # noqa: E402
import decomp_model  # noqa: E402


def digest(x) -> str:
    h = hashlib.sha256()
    if isinstance(x, tuple):
        for e in x:
            h.update(digest(e).encode())
        return h.hexdigest()
    if isinstance(x, zel.Tensor):
        h.update(repr(tuple(x.shape)).encode())
        x = x._data
    if hasattr(x, "get"):
        x = x.get()
    h.update(np.ascontiguousarray(x).tobytes())
    return h.hexdigest()


def main(records_of=()) -> None:
    out = {"backend": zel.BACKEND}
    hard = hard_scaled()
    pa = [a for a in hard for _ in hard]
    pb = [b for _ in hard for b in hard]
    A, B = from_scaled(pa), from_scaled(pb)
    rng = np.random.default_rng(7)
    floats = rng.normal(scale=100.0, size=4096)
    X = zel.Tensor(floats)
    small = zel.Tensor(rng.uniform(-3, 3, size=4096))
    unit = zel.Tensor(rng.uniform(-1, 1, size=4096))
    pos = zel.Tensor(rng.uniform(1e-6, 1e6, size=4096))
    M = zel.Tensor(rng.normal(size=(24, 24)))
    N = zel.Tensor(rng.normal(size=(24, 16)))
    v24 = zel.Tensor(rng.normal(size=24))

    cases = {
        "from_numpy": lambda: X,
        "from_list": lambda: zel.tensor(floats.tolist()),
        "from_fractions": lambda: zel.tensor([Fraction(int(i), 7) for i in range(-600, 600)]),
        "to_double": lambda: np.array(zel.from_gpu(A._data)),
    }
    for name in ("add", "sub", "mul", "div", "eq", "lt", "le", "gt", "ge", "ne", "mod", "atan2"):
        cases[f"{name}_hard"] = (lambda n: lambda: getattr(zel, n)(A, B))(name)
    for name in ("neg", "abs", "sign", "relu", "ceil", "floor", "round", "trunc", "frac", "sqrt"):
        cases[f"{name}_hard"] = (lambda n: lambda: getattr(zel, n)(A))(name)
    for name in ("exp", "sin", "cos", "tanh", "sigmoid", "gelu", "silu", "atan", "_atan_taylor", "sinh", "cosh",
                 "tan", "asinh"):
        cases[f"{name}_small"] = (lambda n: lambda: getattr(zel, n)(small))(name)
    for name in ("asin", "acos", "atanh"):
        cases[f"{name}_unit"] = (lambda n: lambda: getattr(zel, n)(unit))(name)
    for name in ("log", "log2", "log10", "sqrt", "reciprocal", "acosh"):
        cases[f"{name}_pos"] = (lambda n: lambda: getattr(zel, n)(pos))(name)
    cases.update({
        "pow3": lambda: zel.pow(small, 3),
        "pow_neg": lambda: zel.pow(small, -2),
        "clamp": lambda: zel.clamp(X, -1, 1),
        "leaky_relu": lambda: zel.leaky_relu(X),
        "sum": lambda: zel.sum(X), "prod": lambda: zel.prod(small), "max": lambda: zel.max(X),
        "min": lambda: zel.min(X), "mean": lambda: zel.mean(X), "var": lambda: zel.var(X),
        "std": lambda: zel.std(X), "norm": lambda: zel.norm(X),
        "cumsum": lambda: zel.cumsum(zel.reshape(X, (64, 64))),
        "cumprod": lambda: zel.cumprod(zel.reshape(small, (64, 64))),
        "softmax": lambda: zel.softmax(zel.reshape(small, (64, 64))),
        "argmax": lambda: zel.argmax(zel.reshape(X, (64, 64))),
        "dot": lambda: zel.dot(X, small),
        "mm": lambda: zel.mm(M, N), "mv": lambda: zel.mv(M, v24),
        "outer": lambda: zel.outer(v24, v24), "kron": lambda: zel.kron(M, N),
        "transpose": lambda: zel.transpose(N, 0, 1),
        "conv2d": lambda: zel.conv2d(zel.reshape(X, (1, 4, 32, 32)),
                                      zel.reshape(zel.Tensor(floats[:144]), (4, 4, 3, 3)), 1, 1),
        "broadcast": lambda: zel.add(M, v24),
        "eye": lambda: zel.eye(33),
        "pi": lambda: zel.pi_over(3),
        "rand": lambda: (zel.manual_seed(5), zel.rand(4099))[1],
        "randn": lambda: (zel.manual_seed(6), zel.randn(64, 65))[1],
        "checksum": lambda: zel.checksum(X),
        "sparse": lambda: (lambda sp: (sp._values, sp._col_indices, sp._row_ptrs, zel.sparse_mv(sp, v24)))(
            zel.SparseTensor.from_dense(zel.relu(M))),
    })
    # Row-wise kernels at lengths around a warp and beyond the chunked split;
    # small integers make ties for argmax/argmin.
    for c in (1, 2, 31, 32, 33, 1000, 10**5):
        r = 3 if c < 10**5 else 1
        full = zel.Tensor(rng.normal(scale=100.0, size=(r, c))) / 3
        ties = zel.Tensor(rng.integers(-2, 3, size=(r, c)).astype(float))
        near1 = zel.Tensor(rng.uniform(0.999, 1.001, size=(r, c)))
        cases.update({
            f"cumsum_row{c}": (lambda t: lambda: zel.cumsum(t))(full),
            f"cumprod_row{c}": (lambda t: lambda: zel.cumprod(t))(near1),
            f"argmax_row{c}": (lambda t: lambda: (zel.argmax(t), zel.argmin(t)))(ties),
            f"argext_full_row{c}": (lambda t: lambda: (zel.argmax(t), zel.argmin(t)))(full),
            f"softmax_row{c}": (lambda t: lambda: zel.softmax(t))(full),
        })
    cube = zel.reshape(X, (16, 16, 16))
    slab = zel.Tensor(rng.uniform(-1, 1, size=(16, 16, 3)))
    cases.update({
        "cat_dim1": lambda: zel.cat([cube, zel.reshape(small, (16, 16, 16))], 1),
        "cat_dim2": lambda: zel.cat([cube, slab, cube], -1),
    })
    if hasattr(zel, "ComplexTensor"):
        ZA, ZB = zel.ComplexTensor(A, B), zel.ComplexTensor(B, A)
        CM = zel.ComplexTensor(M, zel.neg(M))
        cparts = lambda z: (z.real, z.imag)
        cases.update({
            "cmul_hard": lambda: cparts(ZA * ZB), "cdiv_hard": lambda: cparts(ZA / ZB),
            "cadd_hard": lambda: cparts(ZA + ZB), "cabs_hard": lambda: abs(ZA),
            "cmm": lambda: cparts(zel.cmm(CM, zel.ComplexTensor(N, N))),
            "gates": lambda: tuple(cparts(g) for g in (zel.rotation_x(0.7), zel.rotation_z(zel.pi_over(5)),
                                                       zel.hadamard_gate(), zel.t_gate())),
        })
    # Wide statistics, p-norms, negative powers and the far hyperbolic paths
    # over the whole range (parts split over threads and GPU strides).
    wide = from_scaled([(-1) ** i * ((i * 0x9E3779B97F4A7C15) % (1 << (i % 512 + 1))) for i in range(6000)])
    cases.update({
        "mean_wide": lambda: zel.mean(wide), "var_wide": lambda: zel.var(wide),
        "std_wide": lambda: zel.std(wide), "norm_wide": lambda: zel.norm(wide),
        "norm3_wide": lambda: zel.norm(wide, 3), "norm7": lambda: zel.norm(X, 7),
        "pow_neg_wide": lambda: zel.pow(wide, -3),
        "softmax_long": lambda: zel.softmax(zel.reshape(X, (2, 2048))),
        "sinh_far": lambda: zel.sinh(zel.Tensor(np.linspace(-179, 179, 301))),
        "cosh_far": lambda: zel.cosh(zel.Tensor(np.linspace(-179, 179, 301))),
        "asinh_far": lambda: zel.asinh(wide), "acosh_far": lambda: zel.acosh(wide),
    })
    # Full 256-bit fractions through the products, and the decompositions
    # (host doubles around device products).
    Mf, Nf, vf = M / 3, N / 7, v24 / 11
    a = 1 + 2.0**-30
    C3 = zel.tensor([[a, 1 - 2.0**-29, 0.0], [a * 3, 0.1, 1 / 3], [1e-3, -a, 0.7]])
    sq = zel.Tensor(rng.normal(size=(5, 5)))
    cases.update({
        "mm_full": lambda: zel.mm(Mf, Nf), "mv_full": lambda: zel.mv(Mf, vf),
        "dot_full": lambda: zel.dot(X / 3, small / 7), "mm_mixed": lambda: zel.mm(Mf, N),
        "mm_hard": lambda: zel.mm(zel.reshape(A, (len(hard), len(hard))), zel.reshape(B, (len(hard), len(hard)))),
        "qr": lambda: zel.qr(sq), "eig": lambda: zel.eig(sq + zel.transpose(sq, 0, 1), 50),
        "svd": lambda: zel.svd(zel.Tensor(rng.normal(size=(5, 3))), 50),
        "expm": lambda: zel.expm(sq), "expm3": lambda: (zel.expm(C3), zel.expm(C3, 13)),
        "inv": lambda: zel.inv(sq), "solve": lambda: zel.solve(sq, zel.Tensor(rng.normal(size=5))),
        "det": lambda: zel.det(sq),
        "expm3_model": lambda: decomp_model.expm(C3),
        "to_double_full": lambda: np.array(zel.from_gpu((Mf / 7)._data)),
        "solve_full": lambda: zel.solve(sq / 3, zel.Tensor(np.linspace(-2, 2, 5)) / 11),
    })
    if records_of:
        show = {}
        for name in records_of:
            r = cases[name]()
            parts = r if isinstance(r, tuple) else (r,)
            show[name] = [[str(v) for v in zel.from_gpu((p._data if isinstance(p, zel.Tensor) else p), as_float=False)]
                          for p in parts if isinstance(p, zel.Tensor)]
        json.dump(show, sys.stdout, indent=0, sort_keys=True)
        print()
        return
    for name, fn in cases.items():
        try:
            out[name] = digest(fn())
        except AttributeError as e:
            if "has no attribute" in str(e):
                continue
            out[name] = f"error {type(e).__name__}: {e}"
        except Exception as e:  # a failure must differ between backends only if they differ
            out[name] = f"error {type(e).__name__}: {e}"
    json.dump(out, sys.stdout, indent=1, sort_keys=True)
    print()


if __name__ == "__main__":
    # --records a,b: the named cases' records as exact values, to find where backends differ.
    main(sys.argv[sys.argv.index("--records") + 1].split(",") if "--records" in sys.argv else ())
