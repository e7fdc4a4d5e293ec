"""
Korvid ZEL - GPU Fixed-Point Operations
========================================

GPU-accelerated exact arithmetic. All operations on CUDA.
"""

import fractions
from typing import Any

import numpy
import numpy.dtypes


SCALE_BITS: int = 256

NUM_LIMBS: int = 8

SCALE: int = ...

BLOCK_SIZE: int = 256

FIXEDPOINT_DTYPE: numpy.dtypes.VoidDType = ...

HAS_CUPY: bool

cp: Any

RawModule: Any

BACKEND: str

def to_gpu(values: list) -> Any:
    """Convert list to GPU array - uses GPU kernel for fast exact conversion."""

def from_gpu(gpu_arr: Any, as_float: bool = True) -> list[float] | list[fractions.Fraction]:
    """Convert GPU array to list - uses GPU kernel for fast conversion."""

class Tensor:
    """GPU Fixed-Point Tensor."""

    def __init__(self, data: object = None, shape: tuple[int, ...] | None = None, _raw: Any = None) -> None: ...

    @property
    def shape(self) -> tuple[int, ...]: ...

    @property
    def numel(self) -> int: ...

    def clone(self) -> Tensor:
        """Copy with its own device array."""

    def to_list(self) -> list | float:
        """Convert to Python list."""

    def item(self) -> float:
        """Get scalar value."""

    def __repr__(self) -> str: ...

    __slots__: tuple = ('_data', '_shape')

    @property
    def T(self) -> Tensor:
        """Transpose (swap last two dimensions)."""

    def __array__(self, dtype: object = None, copy: bool | None = None) -> numpy.ndarray:
        """
        numpy.asarray(t): float64 values correctly rounded, in the tensor's shape; dtype=object gives the exact
        Fractions.
        """

    def __reduce__(self) -> tuple:
        """Pickle support: the raw records and the shape, in a versioned format."""

    def __setstate__(self, state: tuple) -> None:
        """Pickle support: rebuild from (version, shape, records)."""

    def __copy__(self) -> Tensor:
        """A copy with its own device array."""

    def __deepcopy__(self, memo: dict) -> Tensor:
        """A copy with its own device array."""

    __array_ufunc__: None = None

    def __add__(self, other: object) -> Tensor: ...

    def __radd__(self, other: object) -> Tensor: ...

    def __sub__(self, other: object) -> Tensor: ...

    def __rsub__(self, other: object) -> Tensor: ...

    def __mul__(self, other: object) -> Tensor: ...

    def __rmul__(self, other: object) -> Tensor: ...

    def __truediv__(self, other: object) -> Tensor: ...

    def __rtruediv__(self, other: object) -> Tensor: ...

    def __neg__(self) -> Tensor: ...

    def __matmul__(self, other: Tensor) -> Tensor: ...

    def __pow__(self, other: int) -> Tensor: ...

    def sum(self) -> Tensor: ...

    def mean(self) -> Tensor: ...

    def max(self) -> Tensor: ...

    def min(self) -> Tensor: ...

def to_fractions(t: Tensor) -> list | fractions.Fraction:
    """
    The exact values as Fractions, nested like to_list() (a zero-dimensional tensor gives one Fraction).
    """

def to_strings(t: Tensor, digits: int | None = None) -> list | str:
    """
    Decimal strings nested like to_list(): with digits=None the exact, finite expansion of each value
    (at most 256 digits after the point), otherwise correctly rounded (half to even) to `digits` places.
    """

class SparseTensor:
    """GPU Fixed-Point Sparse Tensor in CSR format."""

    def __init__(self, values: Any = None, col_indices: Any = None, row_ptrs: Any = None, shape: tuple[int, int] | None = None) -> None:
        """Create sparse tensor from CSR components."""

    @property
    def shape(self) -> tuple[int, int]: ...

    @property
    def nnz(self) -> int:
        """Number of non-zeros."""

    @staticmethod
    def from_dense(dense: Tensor) -> SparseTensor:
        """Convert dense tensor to sparse CSR."""

    @staticmethod
    def from_scipy(scipy_csr: Any) -> SparseTensor:
        """Create from scipy.sparse.csr_matrix."""

    def __repr__(self) -> str: ...

def sparse_mv(A: SparseTensor, x: Tensor) -> Tensor:
    """Sparse matrix-vector multiply: y = A @ x."""

def tensor(data: object) -> Tensor:
    """Create tensor."""

def zeros(*args: int | tuple[int, ...] | list[int]) -> Tensor:
    """Create zeros tensor."""

def ones(*args: int | tuple[int, ...] | list[int]) -> Tensor:
    """Create ones tensor."""

def eye(n: int) -> Tensor:
    """Create identity matrix."""

def arange(start: int, end: int | None = None, step: int = 1) -> Tensor:
    """Create range tensor."""

def linspace(start: object, end: object, steps: int) -> Tensor:
    """Create linearly spaced tensor."""

def reshape(a: Tensor, shape: int | tuple[int, ...] | list[int]) -> Tensor:
    """Reshape tensor."""

def squeeze(a: Tensor, dim: int | None = None) -> Tensor:
    """Remove size-1 dimensions."""

def unsqueeze(a: Tensor, dim: int) -> Tensor:
    """Add size-1 dimension."""

def transpose(a: Tensor, dim0: int, dim1: int) -> Tensor:
    """Transpose dimensions."""

def cat(tensors: list[Tensor], dim: int = 0) -> Tensor:
    """Concatenate tensors."""

def stack(tensors: list[Tensor], dim: int = 0) -> Tensor:
    """Stack tensors along new dimension."""

def broadcast_tensors(a: Tensor, b: Tensor) -> tuple[Tensor, Tensor]:
    """Broadcast two tensors to compatible shapes."""

def add(a: Tensor, b: Tensor) -> Tensor:
    """Element-wise add with NumPy-style broadcasting."""

def sub(a: Tensor, b: Tensor) -> Tensor:
    """Element-wise subtract with NumPy-style broadcasting."""

def mul(a: Tensor, b: Tensor) -> Tensor:
    """Element-wise multiply with NumPy-style broadcasting."""

def div(a: Tensor, b: Tensor) -> Tensor:
    """Element-wise divide with NumPy-style broadcasting."""

def pow(a: Tensor, exp: int) -> Tensor:
    """Integer power."""

def mod(a: Tensor, b: object) -> Tensor:
    """Modulo using exact 512-bit arithmetic."""

def eq(a: Tensor, b: Tensor) -> Any:
    """Element-wise equality."""

def lt(a: Tensor, b: Tensor) -> Any: ...

def gt(a: Tensor, b: Tensor) -> Any: ...

def le(a: Tensor, b: Tensor) -> Any: ...

def ge(a: Tensor, b: Tensor) -> Any: ...

def ne(a: Tensor, b: Tensor) -> Any: ...

def clamp(a: Tensor, min_val: object, max_val: object) -> Tensor:
    """Clamp values."""

def where(cond: Any, a: Tensor, b: Tensor) -> Tensor:
    """Conditional select."""

def lerp(a: Tensor, b: Tensor, weight: float) -> Tensor:
    """Linear interpolation."""

def logical_and(a: Any, b: Any) -> Any:
    """Element-wise logical AND."""

def logical_or(a: Any, b: Any) -> Any:
    """Element-wise logical OR."""

def logical_not(a: Any) -> Any:
    """Element-wise logical NOT."""

def logical_xor(a: Any, b: Any) -> Any:
    """Element-wise logical XOR."""

def neg(a: Tensor) -> Tensor:
    """Negate."""

def abs(a: Tensor) -> Tensor:
    """Absolute value."""

def relu(a: Tensor) -> Tensor:
    """ReLU activation."""

def leaky_relu(a: Tensor, negative_slope: float = 0.01) -> Tensor:
    """Leaky ReLU."""

def sigmoid(a: Tensor) -> Tensor:
    """Sigmoid activation."""

def tanh(a: Tensor) -> Tensor:
    """Tanh activation."""

def gelu(a: Tensor) -> Tensor:
    """GELU activation."""

def silu(a: Tensor) -> Tensor:
    """SiLU activation."""

def exp(a: Tensor) -> Tensor:
    """Exponential."""

def log(a: Tensor) -> Tensor:
    """Natural logarithm."""

def sin(a: Tensor) -> Tensor:
    """Sine."""

def cos(a: Tensor) -> Tensor:
    """Cosine."""

def sqrt(a: Tensor) -> Tensor:
    """Square root."""

def sign(a: Tensor) -> Tensor:
    """Sign function."""

def asin(a: Tensor) -> Tensor:
    """Arcsine using exact 512-bit Taylor series."""

def acos(a: Tensor) -> Tensor:
    """Arccosine using exact 512-bit Taylor series."""

def ceil(a: Tensor) -> Tensor:
    """Ceiling using exact 512-bit integer extraction."""

def floor(a: Tensor) -> Tensor:
    """Floor using exact 512-bit integer extraction."""

def round(a: Tensor) -> Tensor:
    """Round to nearest integer using exact 512-bit arithmetic."""

def trunc(a: Tensor) -> Tensor:
    """Truncate toward zero using exact 512-bit arithmetic."""

def frac(a: Tensor) -> Tensor:
    """Fractional part using exact 512-bit arithmetic."""

def sum(a: Tensor) -> Tensor:
    """Sum all elements."""

def prod(a: Tensor) -> Tensor:
    """Product of all elements."""

def max(a: Tensor) -> Tensor:
    """Maximum element."""

def min(a: Tensor) -> Tensor:
    """Minimum element."""

def mean(a: Tensor) -> Tensor:
    """Mean of all elements."""

def softmax(a: Tensor, dim: int = -1) -> Tensor:
    """Softmax."""

def cumsum(a: Tensor, dim: int = -1) -> Tensor:
    """Cumulative sum."""

def cumprod(a: Tensor, dim: int = -1) -> Tensor:
    """Cumulative product."""

def argmax(a: Tensor, dim: int = -1) -> Any:
    """Argmax."""

def argmin(a: Tensor, dim: int = -1) -> Any:
    """Argmin."""

def norm(a: Tensor, p: int = 2) -> Tensor:
    """Vector norm."""

def var(a: Tensor, dim: int | None = None, unbiased: bool = True) -> Tensor:
    """Variance."""

def std(a: Tensor, dim: int | None = None, unbiased: bool = True) -> Tensor:
    """Standard deviation."""

def diff(a: Tensor, n: int = 1) -> Tensor:
    """Difference along last dim."""

def dot(a: Tensor, b: Tensor) -> Tensor:
    """Dot product."""

def mm(a: Tensor, b: Tensor) -> Tensor:
    """Matrix multiply."""

def mv(a: Tensor, x: Tensor) -> Tensor:
    """Matrix-vector multiply."""

def matmul(a: Tensor, b: Tensor) -> Tensor:
    """General matrix multiply."""

def bmm(a: Tensor, b: Tensor) -> Tensor:
    """Batched matrix multiply."""

def outer(a: Tensor, b: Tensor) -> Tensor:
    """Outer product."""

def kron(a: Tensor, b: Tensor) -> Tensor:
    """Kronecker product: C = A ⊗ B."""

def trace(a: Tensor) -> Tensor:
    """Matrix trace."""

def diag(a: Tensor) -> Tensor:
    """Extract diagonal."""

def conv2d(input: Tensor, weight: Tensor, stride: int = 1, padding: int = 0) -> Tensor:
    """2D Convolution."""

def tan(a: Tensor) -> Tensor:
    """Tangent."""

def sinh(a: Tensor) -> Tensor:
    """Hyperbolic sine."""

def cosh(a: Tensor) -> Tensor:
    """Hyperbolic cosine."""

def atan(a: Tensor) -> Tensor:
    """
    Arctangent with argument reduction for full range accuracy.

    atan(x) = pi/4 + atan((x-1)/(x+1)) for 0.5 <= x <= 1
    atan(x) = pi/2 - atan(1/x) for x > 1
    atan(-x) = -atan(x)
    """

def atan2(y: Tensor, x: Tensor) -> Tensor:
    """Two-argument arctangent with quadrant handling."""

def asinh(a: Tensor) -> Tensor:
    """Inverse hyperbolic sine: asinh(x) = ln(x + sqrt(x^2 + 1))."""

def acosh(a: Tensor) -> Tensor:
    """Inverse hyperbolic cosine: acosh(x) = ln(x + sqrt(x^2 - 1))."""

def atanh(a: Tensor) -> Tensor:
    """Inverse hyperbolic tangent: atanh(x) = 0.5 * ln((1+x)/(1-x))."""

def log2(a: Tensor) -> Tensor:
    """Log base 2."""

def log10(a: Tensor) -> Tensor:
    """Log base 10."""

def reciprocal(a: Tensor) -> Tensor:
    """Reciprocal (1/x)."""

def cross(a: Tensor, b: Tensor) -> Tensor:
    """
    EXACT cross product of two 3D vectors.

    Each component of a and b is read as the exact value of its shortest decimal
    text (Decimal(str(x))); the products are exact and each result is stored
    rounded toward minus infinity at 2^-256. Sets the decimal context's
    precision to 50.
    """

def cross_exact(a: Tensor, b: Tensor) -> list[fractions.Fraction]:
    """
    Cross product returning exact Fractions (not floats).

    Returns:
        List of 3 Fractions representing the exact cross product.
    """

def rref(A: Tensor) -> tuple[Tensor, list[int]]:
    """
    Reduced Row Echelon Form with EXACT arithmetic.

    Returns: (rref_matrix, pivot_columns)
    """

def rank(A: Tensor) -> int:
    """Exact matrix rank via RREF."""

def null_space(A: Tensor) -> list[Tensor]:
    """
    Exact null space basis.

    Returns one 1-D Tensor per free column (an empty list for full column rank).
    """

def det(A: Tensor) -> Tensor:
    """
    Exact determinant via Gaussian elimination.

    The exact determinant is stored rounded toward minus infinity at 2^-256; a
    nonzero determinant of magnitude below 2^-256 returns tensor(1e-60) or
    tensor(-1e-60) by its sign.
    """

def inv(A: Tensor) -> Tensor:
    """
    Exact matrix inverse via Gauss-Jordan elimination.

    Each entry is stored rounded toward minus infinity at 2^-256. Raises
    ValueError('Matrix is singular') for a singular matrix.
    """

def solve(A: Tensor, b: Tensor) -> Tensor:
    """
    Solve Ax = b using the EXACT inverse.

    x = mv(inv(A), b), the product taken on the device from the stored inverse.
    """

def lu(a: Tensor) -> tuple[Tensor, Tensor, numpy.ndarray]:
    """
    LU decomposition with partial pivoting and EXACT arithmetic.

    Returns (L, U, perm): row k of L @ U equals row perm[k] of a.
    """

def verify_identity(A: Tensor, tol: float = 0.0) -> bool:
    """
    Check whether A is the identity matrix.

    With tol=0.0, checks EXACT equality (no tolerance).
    """

def hilbert_matrix(n: int) -> Tensor:
    """
    Create n×n Hilbert matrix.

    H[i,j] = 1/(i+j+1), stored rounded toward minus infinity at 2^-256.
    """

def hilbert_det_exact(n: int) -> float:
    """
    Compute Hilbert matrix determinant with EXACT rational arithmetic.

    Returns: float (but computed via exact Fraction arithmetic)
    """

def bernoulli(n: int) -> fractions.Fraction:
    """
    Compute the n-th Bernoulli number B_n EXACTLY as a Fraction.

    B_1 = 1/2 (or -1/2 depending on convention, we use 1/2)
    All odd B_n = 0 for n >= 3.
    """

def zeta_exact(n: int) -> fractions.Fraction:
    """
    Compute zeta(-n) for non-negative integer n EXACTLY as a Fraction.

    Uses the formula: ζ(-n) = -B_{n+1}/(n+1) for n >= 0
    """

def zeta_at_even(n: int) -> tuple[fractions.Fraction, int]:
    """
    Compute ζ(2n) for positive integer n.

    Returns (coefficient, pi_power) such that:
        ζ(2n) = coefficient * π^(2n)
    """

def qr(A: Tensor) -> tuple[Tensor, Tensor]:
    """
    QR decomposition using Householder reflections.

    Returns (Q, R): Q (m x m) orthogonal and R (m x n) upper triangular with
    A = QR, up to the rounding described here. The reflections run in exact
    rationals from the entries read as doubles (each cleaned to a denominator
    of at most 10**12); the norms are double square roots turned back into
    fractions with denominators of at most 10**15, so entries below the
    diagonal are small but not forced to zero. Every result entry is the
    double nearest its exact rational value. The exact numbers roughly triple
    in length at each reflection, so the cost grows steeply with the size:
    inputs whose numbers would pass 2 GiB, or whose estimated work passes a
    few minutes, raise MemoryError; dense matrices of about 10 x 10 are the
    practical limit.
    """

def eig(A: Tensor, max_iter: int = 100) -> tuple[Tensor, Tensor]:
    """
    Eigendecomposition using QR iteration.

    Unshifted QR steps A <- RQ (qr, then mm), V <- VQ, at most max_iter
    times, stopping once the absolute sum of the strictly lower triangle is
    below 1e-12. Returns (eigenvalues, eigenvectors): the diagonal of the last
    iterate in index order (no sorting) and the n x n matrix whose columns are
    the eigenvectors. Non-convergence is silent; max_iter <= 0 returns the
    input's diagonal and the identity.
    """

def eigh(A: Tensor, max_iter: int = 100) -> tuple[Tensor, Tensor]:
    """
    Eigendecomposition for Hermitian (symmetric) matrices.

    Exactly eig(A, max_iter); symmetry is not checked.
    """

def svd(A: Tensor, max_iter: int = 100) -> tuple[Tensor, Tensor, Tensor]:
    """
    Singular Value Decomposition.

    Returns (U, S, Vt) with A = U diag(S) Vt, computed from the
    eigendecomposition of A^T A (eigh with max_iter): S (length n) holds the
    square roots of the eigenvalues in descending order (0.0 for eigenvalues
    that are not positive), U (m x n) is A V / S column by column (zero where
    S <= 1e-14), Vt (n x n) the transposed eigenvectors.
    """

def expm(A: Tensor, order: int = 6) -> Tensor:
    """
    Matrix exponential using Padé approximation with scaling.

    Args:
        order: Padé approximation order (default 6)

    A is scaled by 2**s with s = max(0, ceil(log2(|A|_inf + 1))), the diagonal
    Padé approximant N/D is formed in doubles, D E = N is solved through the
    exact inverse of D (as solve does), and E is squared s times in doubles.
    """

def manual_seed(seed: int) -> None:
    """
    Set random seed for reproducible results across ALL GPUs.

    Uses pure integer LCG - identical results on ANY platform.
    """

def rand(*args: int | tuple[int, ...] | list[int]) -> Tensor:
    """Random uniform [0,1) - deterministic across GPUs."""

def randn(*args: int | tuple[int, ...] | list[int]) -> Tensor:
    """Random normal - deterministic across GPUs."""

def checksum(a: Tensor) -> str:
    """SHA256 checksum for reproducibility."""

def checksums_match(a: Tensor, b: Tensor) -> bool:
    """Check if two tensors have identical checksums."""

def verify(a: Tensor, expected: str) -> bool:
    """Verify tensor matches expected checksum."""

class ComplexTensor:
    """
    Complex tensor using exact ZEL arithmetic.

    Stores real and imaginary parts as separate ZEL Tensors.
    All operations use exact arithmetic - no floating-point error.
    """

    def __init__(self, real: object, imag: object = None) -> None:
        """Create complex tensor."""

    @property
    def real(self) -> Tensor:
        """Get real part."""

    @property
    def imag(self) -> Tensor:
        """Get imaginary part."""

    @property
    def shape(self) -> tuple[int, ...]:
        """Get shape."""

    def conj(self) -> ComplexTensor:
        """Complex conjugate: a + bi -> a - bi."""

    def __neg__(self) -> ComplexTensor:
        """Negate: -(a + bi) = -a - bi."""

    def __add__(self, other: object) -> ComplexTensor:
        """Add: (a+bi) + (c+di) = (a+c) + (b+d)i."""

    def __radd__(self, other: object) -> ComplexTensor: ...

    def __sub__(self, other: object) -> ComplexTensor:
        """Subtract: (a+bi) - (c+di) = (a-c) + (b-d)i."""

    def __rsub__(self, other: object) -> ComplexTensor: ...

    def __mul__(self, other: object) -> ComplexTensor:
        """Multiply: (a+bi)(c+di) = (ac-bd) + (ad+bc)i."""

    def __rmul__(self, other: object) -> ComplexTensor: ...

    def __truediv__(self, other: object) -> ComplexTensor:
        """Divide: (a+bi)/(c+di) = (ac+bd)/(c²+d²) + (bc-ad)/(c²+d²)i."""

    def __abs__(self) -> Tensor:
        """Magnitude: |a+bi| = sqrt(a² + b²)."""

    def abs2(self) -> Tensor:
        """Squared magnitude: |a+bi|² = a² + b² (exact, no sqrt)."""

    def __repr__(self) -> str: ...

    def __str__(self) -> str: ...

    def to_list(self) -> list | complex:
        """Convert to list of Python complex numbers."""

    def T(self) -> ComplexTensor:
        """Transpose (for 2D matrices)."""

    def H(self) -> ComplexTensor:
        """Hermitian transpose (conjugate transpose): A† = conj(A.T)."""

def complex_tensor(real: object, imag: object = None) -> ComplexTensor:
    """Create a complex tensor."""

def cmm(a: ComplexTensor | Tensor, b: ComplexTensor | Tensor) -> ComplexTensor:
    """
    Complex matrix multiplication with exact arithmetic.

    (A + Bi)(C + Di) = (AC - BD) + (AD + BC)i
    """

def cmv(A: ComplexTensor | Tensor, x: ComplexTensor | Tensor) -> ComplexTensor:
    """Complex matrix-vector multiplication."""

def csum(c: ComplexTensor) -> ComplexTensor:
    """Sum of complex tensor elements."""

def cabs(c: ComplexTensor | Tensor) -> Tensor:
    """Complex absolute value (magnitude)."""

def conj(c: ComplexTensor) -> ComplexTensor:
    """Complex conjugate."""

def complex_eye(n: int) -> ComplexTensor:
    """Complex identity matrix."""

def complex_zeros(*args: int | tuple[int, ...] | list[int]) -> ComplexTensor:
    """Complex zero tensor."""

def complex_ones(*args: int | tuple[int, ...] | list[int]) -> ComplexTensor:
    """Complex tensor of ones (real part only)."""

PI_STR: str = ...

def pi() -> Tensor:
    """
    Return pi as exact ZEL tensor (50 decimal digits).

    Uses Fraction for exact representation, not FP64.
    """

def pi_over(n: int) -> Tensor:
    """Return pi/n as exact ZEL tensor."""

def pi_half() -> Tensor:
    """Return pi/2."""

def pi_quarter() -> Tensor:
    """Return pi/4."""

def rotation_x(theta: Tensor | float) -> ComplexTensor:
    """
    Rotation gate Rx(theta) using EXACT ZEL trig.

    Args:
        theta: Rotation angle as ZEL Tensor (use pi_over() for exact angles)
    """

def rotation_y(theta: Tensor | float) -> ComplexTensor:
    """Rotation gate Ry(theta) using EXACT ZEL trig."""

def rotation_z(theta: Tensor | float) -> ComplexTensor:
    """Rotation gate Rz(theta) using EXACT ZEL trig."""

def phase_gate(phi: Tensor | float) -> ComplexTensor:
    """Phase gate P(φ) = [[1, 0], [0, e^(iφ)]]."""

def pauli_x() -> ComplexTensor:
    """Pauli-X gate (NOT gate): [[0,1],[1,0]]. EXACT integer matrix."""

def pauli_y() -> ComplexTensor:
    """Pauli-Y gate: [[0,-i],[i,0]]. EXACT integer matrix."""

def pauli_z() -> ComplexTensor:
    """Pauli-Z gate: [[1,0],[0,-1]]. EXACT integer matrix."""

def hadamard_gate() -> ComplexTensor:
    """Hadamard gate using EXACT ZEL sqrt."""

def t_gate() -> ComplexTensor:
    """T gate (pi/8 gate): [[1, 0], [0, e^(i*pi/4)]]. Uses exact trig."""

def s_gate() -> ComplexTensor:
    """S gate (phase gate): [[1, 0], [0, i]]. EXACT."""

def cnot() -> ComplexTensor:
    """CNOT (controlled-X) gate. 4x4 EXACT integer matrix."""

def patch_numpy() -> None:
    """
    Replace numpy functions with ZEL exact arithmetic.

    After calling this, np.sum(), np.matmul(), etc. use ZEL's exact
    arithmetic instead of floating point.
    """

def unpatch_numpy() -> None:
    """Restore original numpy functions."""

__all__: tuple = ('Tensor', 'tensor', 'zeros', 'ones', 'eye', 'arange', 'linspace', 'rand', 'randn', 'add', 'sub', 'mul', 'div', 'neg', 'abs', 'sign', 'pow', 'mod', 'reciprocal', 'eq', 'lt', 'gt', 'le', 'ge', 'ne', 'sum', 'prod', 'max', 'min', 'mean', 'std', 'var', 'norm', 'dot', 'mm', 'mv', 'bmm', 'matmul', 'outer', 'trace', 'diag', 'det', 'inv', 'lu', 'solve', 'rref', 'rank', 'null_space', 'kron', 'cross', 'hilbert_matrix', 'relu', 'leaky_relu', 'sigmoid', 'tanh', 'gelu', 'silu', 'softmax', 'exp', 'log', 'log2', 'log10', 'sqrt', 'sin', 'cos', 'tan', 'sinh', 'cosh', 'asin', 'acos', 'atan', 'atan2', 'asinh', 'acosh', 'atanh', 'ceil', 'floor', 'round', 'trunc', 'frac', 'conv2d', 'cumsum', 'cumprod', 'diff', 'argmax', 'argmin', 'reshape', 'squeeze', 'unsqueeze', 'transpose', 'cat', 'stack', 'clamp', 'where', 'lerp', 'logical_and', 'logical_or', 'logical_not', 'logical_xor', 'checksum', 'checksums_match', 'verify', 'ComplexTensor', 'complex_tensor', 'cmm', 'cmv', 'csum', 'cabs', 'conj', 'complex_eye', 'complex_zeros', 'complex_ones', 'pi', 'pi_over', 'pi_half', 'pi_quarter', 'rotation_x', 'rotation_y', 'rotation_z', 'phase_gate', 'pauli_x', 'pauli_y', 'pauli_z', 'hadamard_gate', 't_gate', 's_gate', 'cnot', 'SCALE_BITS', 'NUM_LIMBS', 'SCALE', 'patch_numpy', 'unpatch_numpy')
