// Python names of the exact rational path, in definition order.
#include "exact.hpp"
#include "../registry.hpp"

namespace zel {

void register_exact(nb::module_& m) {
    m.attr("_MAX_DENOMINATOR") = nb::int_(MAX_DENOMINATOR);
    m.def("_clean_fraction", &op_clean_fraction, nb::arg("f").none(),
          nb::sig("def _clean_fraction(f: fractions.Fraction) -> fractions.Fraction"),
          "Clean up a Fraction by finding simpler equivalent if possible.\n\n"
          "Returns f.limit_denominator(_MAX_DENOMINATOR): the closest fraction whose\n"
          "denominator is at most 10**12, with that method's tie rule. For example\n"
          "6004799503160661/18014398509481984, the exact value of the double nearest\n"
          "1/3, becomes 1/3.");
    m.def("_tensor_to_fraction_matrix", &py_tensor_to_fraction_matrix, nb::arg("A").none(),
          nb::sig("def _tensor_to_fraction_matrix(A: Tensor) -> list[list[fractions.Fraction]]"),
          "Convert Tensor to 2D list of clean Fractions for exact computation.\n\n"
          "Uses limit_denominator to recover exact rationals from float approximations.");
    m.def("_tensor_to_fraction_vector", &py_tensor_to_fraction_vector, nb::arg("b").none(),
          nb::sig("def _tensor_to_fraction_vector(b: Tensor) -> list[fractions.Fraction]"),
          "Convert 1D Tensor to list of clean Fractions.");
    m.def("_fraction_matrix_to_tensor", &fraction_matrix_to_tensor, nb::arg("matrix").none(),
          nb::arg("shape").none(),
          nb::sig("def _fraction_matrix_to_tensor(matrix: list[list[fractions.Fraction]], "
                  "shape: tuple[int, ...]) -> Tensor"),
          "Convert 2D list of Fractions to Tensor.\n\n"
          "Each value is stored exactly, rounded toward minus infinity at 2^-256\n"
          "(floats as the device converts them, ints exactly).");
    m.def("_fraction_vector_to_tensor", &fraction_vector_to_tensor, nb::arg("vec").none(),
          nb::sig("def _fraction_vector_to_tensor(vec: list[fractions.Fraction]) -> Tensor"),
          "Convert list of Fractions to 1D Tensor (values stored as by _fraction_matrix_to_tensor).");
    m.def("cross", &op_cross, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def cross(a: Tensor, b: Tensor) -> Tensor"),
          "EXACT cross product of two 3D vectors.\n\n"
          "Each component of a and b is read as the exact value of its shortest decimal\n"
          "text (Decimal(str(x))); the products are exact and each result is stored\n"
          "rounded toward minus infinity at 2^-256. Sets the decimal context's\n"
          "precision to 50.");
    m.def("cross_exact", &op_cross_exact, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def cross_exact(a: Tensor, b: Tensor) -> list[fractions.Fraction]"),
          "Cross product returning exact Fractions (not floats).\n\n"
          "Returns:\n    List of 3 Fractions representing the exact cross product.");
    m.def("rref", &op_rref, nb::arg("A").none(), nb::sig("def rref(A: Tensor) -> tuple[Tensor, list[int]]"),
          "Reduced Row Echelon Form with EXACT arithmetic.\n\n"
          "Returns: (rref_matrix, pivot_columns)");
    m.def("rank", &op_rank, nb::arg("A").none(), nb::sig("def rank(A: Tensor) -> int"),
          "Exact matrix rank via RREF.");
    m.def("null_space", &op_null_space, nb::arg("A").none(),
          nb::sig("def null_space(A: Tensor) -> list[Tensor]"),
          "Exact null space basis.\n\nReturns one 1-D Tensor per free column (an empty list for full column "
          "rank).");
    m.def("det", &op_det, nb::arg("A").none(), nb::sig("def det(A: Tensor) -> Tensor"),
          "Exact determinant via Gaussian elimination.\n\n"
          "The exact determinant is stored rounded toward minus infinity at 2^-256; a\n"
          "nonzero determinant of magnitude below 2^-256 returns tensor(1e-60) or\n"
          "tensor(-1e-60) by its sign.");
    m.def("inv", &op_inv, nb::arg("A").none(), nb::sig("def inv(A: Tensor) -> Tensor"),
          "Exact matrix inverse via Gauss-Jordan elimination.\n\n"
          "Each entry is stored rounded toward minus infinity at 2^-256. Raises\n"
          "ValueError('Matrix is singular') for a singular matrix.");
    m.def("solve", &op_solve, nb::arg("A").none(), nb::arg("b").none(),
          nb::sig("def solve(A: Tensor, b: Tensor) -> Tensor"),
          "Solve Ax = b using the EXACT inverse.\n\n"
          "x = mv(inv(A), b), the product taken on the device from the stored inverse.");
    m.def("lu", &op_lu, nb::arg("a").none(),
          nb::sig("def lu(a: Tensor) -> tuple[Tensor, Tensor, numpy.ndarray]"),
          "LU decomposition with partial pivoting and EXACT arithmetic.\n\n"
          "Returns (L, U, perm): row k of L @ U equals row perm[k] of a.");
    m.def("verify_identity", &op_verify_identity, nb::arg("A").none(), nb::arg("tol").none() = 0.0,
          nb::sig("def verify_identity(A: Tensor, tol: float = 0.0) -> bool"),
          "Check whether A is the identity matrix.\n\n"
          "With tol=0.0, checks EXACT equality (no tolerance).");
    m.def(
        "hilbert_matrix", &op_hilbert_matrix, nb::arg("n").none(),
        nb::sig("def hilbert_matrix(n: int) -> Tensor"),
        "Create n×n Hilbert matrix.\n\nH[i,j] = 1/(i+j+1), stored rounded toward minus infinity at 2^-256.");
    m.def("hilbert_det_exact", &op_hilbert_det_exact, nb::arg("n").none(),
          nb::sig("def hilbert_det_exact(n: int) -> float"),
          "Compute Hilbert matrix determinant with EXACT rational arithmetic.\n\n"
          "Returns: float (but computed via exact Fraction arithmetic)");
    m.def("bernoulli", &op_bernoulli, nb::arg("n").none(),
          nb::sig("def bernoulli(n: int) -> fractions.Fraction"),
          "Compute the n-th Bernoulli number B_n EXACTLY as a Fraction.\n\n"
          "B_1 = 1/2 (or -1/2 depending on convention, we use 1/2)\n"
          "All odd B_n = 0 for n >= 3.");
    m.def("zeta_exact", &op_zeta_exact, nb::arg("n").none(),
          nb::sig("def zeta_exact(n: int) -> fractions.Fraction"),
          "Compute zeta(-n) for non-negative integer n EXACTLY as a Fraction.\n\n"
          "Uses the formula: ζ(-n) = -B_{n+1}/(n+1) for n >= 0");
    m.def("zeta_at_even", &op_zeta_at_even, nb::arg("n").none(),
          nb::sig("def zeta_at_even(n: int) -> tuple[fractions.Fraction, int]"),
          "Compute ζ(2n) for positive integer n.\n\n"
          "Returns (coefficient, pi_power) such that:\n    ζ(2n) = coefficient * π^(2n)");
}

}  // namespace zel
