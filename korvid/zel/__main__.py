"""Demo: python -m korvid.zel"""
import pickle
from fractions import Fraction

import numpy as np

import korvid.zel as zel


def exact(t):
    return zel.to_fractions(t)


def main() -> None:
    print(f"korvid.zel on the {zel.BACKEND} backend (CuPy imported: {zel.HAS_CUPY})")
    print()
    print("Exact conversions")
    print("  Fraction(1, 3) is stored as floor(2^256/3)/2^256:", exact(zel.tensor([Fraction(1, 3)]))[0] ==
          Fraction(2**256 // 3, 2**256))
    print("  2**60 + 1 keeps its low bit:", exact(zel.tensor([2**60 + 1]))[0])
    print("  the double 0.1 and the text '0.1' differ:", exact(zel.tensor([0.1]))[0] != exact(zel.tensor(["0.1"]))[0])

    print()
    print("Arithmetic to the last of 256 fractional bits")
    third = zel.div(zel.tensor([1]), zel.tensor([3]))
    back = zel.mul(third, zel.tensor([3]))
    units = (1 - exact(back)[0]) * 2**256
    print(f"  1 - (1/3) * 3 = {units} * 2^-256 (each step rounds correctly, once)")
    big = zel.tensor([10**70])
    print("  (10^70 + 1) - 10^70 =", exact(zel.sub(zel.add(big, zel.tensor([1])), big))[0])
    t = zel.tensor([[1, 2], [3, 4]])
    print("  a @ a.T =", (t @ t.T).to_list(), "  sum(a) =", t.sum().item())

    if hasattr(zel, "exp"):
        print()
        print("Elementary functions, faithful to 2^-256")
        e = zel.exp(zel.tensor([1]))
        print("  e     =", zel.to_strings(e, 60)[0])
        p = zel.pi()
        print("  pi    =", zel.to_strings(p, 60))  # pi() is zero-dimensional: one string
        s = zel.sin(zel.pi_over(6))
        print("  sin(pi/6) - 1/2 =", float(exact(s)[0] - Fraction(1, 2)), "(within one unit of 2^-256)")
        q = zel.atan2(zel.tensor([1, 0, -1]), zel.tensor([-1, -1, 0]))
        print(f"  atan2 of (1, -1), (0, -1), (-1, 0) = {q:.12f}")

    print()
    print("Reading values back")
    print(f"  1/3 to 30 places: {third:.30f}, as a Fraction: {exact(third)[0].numerator} / 2^256")
    print("  one unit, 2^-256, exactly:", zel.to_strings(zel.tensor([Fraction(1, 2**256)]))[0])
    print("  numpy.asarray(a) =", np.asarray(t).tolist(), "  numpy.array([1., 2.]) + tensor([1, 2]) is a",
          type(np.array([1.0, 2.0]) + zel.tensor([1, 2])).__name__)
    back = pickle.loads(pickle.dumps(third))
    print("  pickle round trip keeps every bit:", exact(back) == exact(third))

    if hasattr(zel, "hilbert_matrix"):
        print()
        print("Exact rational algebra")
        inv_h = exact(zel.inv(zel.hilbert_matrix(8)))
        print("  inv(hilbert_matrix(8)) has integer entries:", all(x.denominator == 1 for r in inv_h for x in r))
        print("    first row:", [int(x) for x in inv_h[0]])
        print("  hilbert_det_exact(8) =", zel.hilbert_det_exact(8), "  bernoulli(20) =", zel.bernoulli(20))

    if hasattr(zel, "cnot"):
        bell_state()
    reproducible_tour()


def bell_state() -> None:
    """A Bell state from H on the first qubit and CNOT, beside complex128."""
    import numpy as np

    print()
    print("A Bell state, (|00> + |11>)/sqrt(2), exact gates against NumPy complex128")
    H = zel.hadamard_gate()
    H1 = zel.ComplexTensor(zel.kron(H.real, zel.eye(2)), zel.kron(H.imag, zel.eye(2)))
    psi = zel.cmv(zel.cnot(), zel.cmv(H1, zel.complex_tensor([1, 0, 0, 0])))
    probs = exact(psi.abs2())
    HH = exact(zel.cmm(H, H).real)
    h = 1 / np.sqrt(2)
    Hn = np.array([[h, h], [h, -h]], dtype=np.complex128)
    CN = np.eye(4, dtype=np.complex128)[[0, 1, 3, 2]]
    psin = CN @ np.kron(Hn, np.eye(2)) @ np.array([1, 0, 0, 0], dtype=np.complex128)
    pn = np.abs(psin) ** 2
    HHn = (Hn @ Hn).real
    units = lambda e: f"{float(e * 2**256):g} * 2^-256"
    print(f"  P(00) - 1/2: zel {units(probs[0] - Fraction(1, 2))}   complex128 {pn[0] - 0.5:.2e}")
    print(f"  P(11) - 1/2: zel {units(probs[3] - Fraction(1, 2))}   complex128 {pn[3] - 0.5:.2e}")
    print(f"  P(01) = {probs[1]}, P(10) = {probs[2]}")
    print(f"  (H H)[0][0] - 1: zel {units(HH[0][0] - 1)}   complex128 {HHn[0, 0] - 1:.2e}")


def reproducible_tour() -> None:
    """Seeded random tensors and their checksums, a sparse product, the NumPy bridge."""
    print()
    print("Reproducible random numbers (integer generator, exact conversion)")
    zel.manual_seed(42)
    a = zel.randn(4, 4)
    zel.manual_seed(42)
    b = zel.randn(4, 4)
    print("  manual_seed(42); randn(4, 4): checksum", zel.checksum(a)[:16], "- again:", zel.checksum(b)[:16],
          "- identical:", zel.checksums_match(a, b))

    print()
    print("Sparse matrices (CSR on the device)")
    sp = zel.SparseTensor.from_dense(zel.tensor([[1, 0, 2], [0, 0, 0], [0, 3, 0]]))
    print(" ", sp, "@ [1, 1, 1] =", zel.sparse_mv(sp, zel.tensor([1, 1, 1])).to_list())

    print()
    print("NumPy bridge")
    print("  np.sum([1e-16, 1, -1]) in floating point:", np.sum([1e-16, 1, -1]))
    zel.patch_numpy()
    try:
        print("  np.sum([1e-16, 1, -1]) after patch_numpy():", np.sum([1e-16, 1, -1]))
    finally:
        zel.unpatch_numpy()


if __name__ == "__main__":
    main()
