"""Demo: python -m korvid.zel"""
from fractions import Fraction

import korvid.zel as zel


def main() -> None:
    print(f"korvid.zel on the {zel.BACKEND} backend (CuPy imported: {zel.HAS_CUPY})")
    third = zel.tensor([Fraction(1, 3)])
    print("1/3 stored exactly to 2^-256:", zel.from_gpu(third._data, as_float=False)[0])
    big = zel.tensor([2**60 + 1])
    print("2**60 + 1 survives the conversion:", zel.from_gpu(big._data, as_float=False)[0])
    print("0.1 as a double vs the text '0.1':",
          zel.from_gpu(zel.tensor([0.1])._data, as_float=False)[0] != zel.from_gpu(zel.tensor(["0.1"])._data, as_float=False)[0])
    t = zel.tensor([[1, 2, 3], [4, 5, 6]])
    print("tensor:", t, "shape", t.shape)


if __name__ == "__main__":
    main()
