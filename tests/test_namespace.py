"""The complete public namespace: 132 names in order, and every module name."""
import subprocess
import sys

import pytest

import korvid.zel as zel
from test_core import PUBLIC_ORDER

# Every module attribute of the documented name table, by owning subsystem.
TABLE = {
    "format": "SCALE_BITS NUM_LIMBS SCALE FIXEDPOINT_DTYPE _int_to_limbs _limbs_to_int _value_to_fp _fp_to_value",
    "device": "BLOCK_SIZE HAS_CUPY _get_kernel _grid _copy_arr to_gpu from_gpu Tensor",
    "broadcast": "_broadcast_shapes _broadcast_to broadcast_tensors",
    "binary": "add sub mul div eq lt gt le ge ne clamp where pow mod logical_and logical_or logical_not logical_xor "
              "lerp",
    "unary": "neg abs sign relu leaky_relu sigmoid tanh gelu silu exp log sin cos sqrt asin acos _atan_taylor ceil "
             "floor round trunc frac",
    "composite": "tan sinh cosh atan atan2 asinh acosh atanh log2 log10 reciprocal",
    "reductions": "sum prod max min mean softmax cumsum cumprod argmax argmin norm var std diff",
    "products": "dot mm mv matmul bmm outer kron trace diag conv2d",
    "creation": "tensor zeros ones eye arange linspace reshape squeeze unsqueeze transpose cat stack",
    "sparse": "SparseTensor sparse_mv",
    "rational": "_MAX_DENOMINATOR _clean_fraction _tensor_to_fraction_matrix _tensor_to_fraction_vector "
                "_fraction_matrix_to_tensor _fraction_vector_to_tensor cross cross_exact",
    "elimination": "rref rank null_space det inv solve lu verify_identity",
    "special": "hilbert_matrix hilbert_det_exact bernoulli zeta_exact zeta_at_even",
    "decomp": "qr eig eigh svd expm",
    "complex": "ComplexTensor complex_tensor cmm cmv csum cabs conj complex_eye complex_zeros complex_ones",
    "gates": "PI_STR pi pi_over pi_half pi_quarter rotation_x rotation_y rotation_z phase_gate pauli_x pauli_y "
             "pauli_z hadamard_gate t_gate s_gate cnot",
    "repro": "_LCG_A _LCG_M _lcg_state manual_seed _lcg_next _lcg_uniform _lcg_normal rand randn checksum "
             "checksums_match verify",
    "numpy_bridge": "_numpy_originals _numpy_patched _NUMPY_TO_ZEL _make_numpy_wrapper patch_numpy unpatch_numpy",
}
ALL_TABLE = [n for names in TABLE.values() for n in names.split()]
MISSING = [n for n in dict.fromkeys(ALL_TABLE + PUBLIC_ORDER) if not hasattr(zel.zel, n)]


def test_this_branch_names_exist():
    for part in ("sparse", "repro", "numpy_bridge"):
        for n in TABLE[part].split():
            assert hasattr(zel.zel, n) and hasattr(zel, n), n
    present = [n for n in PUBLIC_ORDER if hasattr(zel.zel, n)]
    assert list(zel.__all__) == present  # the names present keep the documented order


@pytest.mark.skipif(bool(MISSING), reason=f"namespace incomplete until every subsystem has landed; missing: {MISSING}")
def test_namespace_is_complete():
    assert len(zel.zel.__all__) == 132 and list(zel.zel.__all__) == PUBLIC_ORDER
    assert zel.__all__ == zel.zel.__all__
    r = subprocess.run([sys.executable, "-P", "-c",
                        "ns = {}\nexec('from korvid.zel.zel import *', ns)\n"
                        "print(' '.join(sorted(k for k in ns if k != '__builtins__')))"],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == sorted(PUBLIC_ORDER)


def test_demo_tours_every_subsystem():
    r = subprocess.run([sys.executable, "-P", "-m", "korvid.zel"], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr[-2000:]
    out = r.stdout
    assert "identical: True" in out and "SparseTensor(shape=(3, 3), nnz=3) @ [1, 1, 1] = [3.0, 0.0, 3.0]" in out
    assert "ZEL: Patched 24 numpy functions with exact arithmetic\n" in out
    assert "after patch_numpy(): 1e-16" in out and out.rstrip().endswith("ZEL: Restored original numpy functions")
