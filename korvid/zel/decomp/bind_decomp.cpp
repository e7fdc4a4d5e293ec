// Python names of the decompositions, in definition order.
#include "decomp.hpp"
#include "../core/errors.hpp"
#include "../registry.hpp"

#include <vector>

namespace zel {

void register_decomp(nb::module_& m) {
    m.def(
        "_pow_half",
        [](nb::handle values) {
            // The items are read from a held tuple copy: their __float__ may
            // run code that changes the list under us.
            if (!PyList_Check(values.ptr()) && !PyTuple_Check(values.ptr()))
                raise_arg_type("values", "list", values);
            nb::object held = nb::steal(PySequence_Tuple(values.ptr()));
            if (!held.is_valid()) throw nb::python_error();
            const Py_ssize_t n = PyTuple_GET_SIZE(held.ptr());
            nb::list out;
            for (Py_ssize_t i = 0; i < n; ++i) {
                const double x = PyFloat_AsDouble(PyTuple_GET_ITEM(held.ptr(), i));
                if (x == -1.0 && PyErr_Occurred()) throw nb::python_error();
                out.append(pow_half(x));
            }
            return out;
        },
        nb::arg("values").none(), nb::sig("def _pow_half(values: list[float]) -> list[float]"),
        "The square roots the decompositions take: x ** 0.5 of each float, as the host\n"
        "computes it (the C library's pow).");
    m.def("qr", &op_qr, nb::arg("A").none(), nb::sig("def qr(A: Tensor) -> tuple[Tensor, Tensor]"),
          "QR decomposition using Householder reflections.\n\n"
          "Returns (Q, R): Q (m x m) orthogonal and R (m x n) upper triangular with\n"
          "A = QR, up to the rounding described here. The reflections run in exact\n"
          "rationals from the entries read as doubles (each cleaned to a denominator\n"
          "of at most 10**12); the norms are double square roots turned back into\n"
          "fractions with denominators of at most 10**15, so entries below the\n"
          "diagonal are small but not forced to zero. Every result entry is the\n"
          "double nearest its exact rational value. The exact numbers roughly triple\n"
          "in length at each reflection, so the cost grows steeply with the size:\n"
          "inputs whose numbers would pass 2 GiB, or whose estimated work passes a\n"
          "few minutes, raise MemoryError; dense matrices of about 10 x 10 are the\n"
          "practical limit.");
    m.def("eig", &op_eig, nb::arg("A").none(), nb::arg("max_iter").none() = 100,
          nb::sig("def eig(A: Tensor, max_iter: int = 100) -> tuple[Tensor, Tensor]"),
          "Eigendecomposition using QR iteration.\n\n"
          "Unshifted QR steps A <- RQ (qr, then mm), V <- VQ, at most max_iter\n"
          "times, stopping once the absolute sum of the strictly lower triangle is\n"
          "below 1e-12. Returns (eigenvalues, eigenvectors): the diagonal of the last\n"
          "iterate in index order (no sorting) and the n x n matrix whose columns are\n"
          "the eigenvectors. Non-convergence is silent; max_iter <= 0 returns the\n"
          "input's diagonal and the identity.");
    m.def("eigh", &op_eigh, nb::arg("A").none(), nb::arg("max_iter").none() = 100,
          nb::sig("def eigh(A: Tensor, max_iter: int = 100) -> tuple[Tensor, Tensor]"),
          "Eigendecomposition for Hermitian (symmetric) matrices.\n\n"
          "Exactly eig(A, max_iter); symmetry is not checked.");
    m.def("svd", &op_svd, nb::arg("A").none(), nb::arg("max_iter").none() = 100,
          nb::sig("def svd(A: Tensor, max_iter: int = 100) -> tuple[Tensor, Tensor, Tensor]"),
          "Singular Value Decomposition.\n\n"
          "Returns (U, S, Vt) with A = U diag(S) Vt, computed from the\n"
          "eigendecomposition of A^T A (eigh with max_iter): S (length n) holds the\n"
          "square roots of the eigenvalues in descending order (0.0 for eigenvalues\n"
          "that are not positive), U (m x n) is A V / S column by column (zero where\n"
          "S <= 1e-14), Vt (n x n) the transposed eigenvectors.");
    m.def("expm", &op_expm, nb::arg("A").none(), nb::arg("order").none() = 6,
          nb::sig("def expm(A: Tensor, order: int = 6) -> Tensor"),
          "Matrix exponential using Pad\u00e9 approximation with scaling.\n\n"
          "Args:\n    order: Pad\u00e9 approximation order (default 6)\n\n"
          "A is scaled by 2**s with s = max(0, ceil(log2(|A|_inf + 1))), the diagonal\n"
          "Pad\u00e9 approximant N/D is formed in doubles, D E = N is solved through the\n"
          "exact inverse of D (as solve does), and E is squared s times in doubles.");
}

}  // namespace zel
