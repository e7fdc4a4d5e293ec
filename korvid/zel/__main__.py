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


if __name__ == "__main__":
    main()
