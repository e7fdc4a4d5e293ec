"""The stub file: what nanobind's stub generator writes for this build, typed."""
import difflib
import os
import subprocess
import sys

import pytest

import korvid.zel as zel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMMITTED = os.path.join(ROOT, "korvid", "zel", "zel.pyi")


def test_committed_stubs_match_a_fresh_generation(tmp_path):
    pytest.importorskip("nanobind.stubgen")
    out = tmp_path / "zel.pyi"
    r = subprocess.run([sys.executable, "-P", os.path.join(ROOT, "tools", "gen_stubs.py"), str(out)],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    fresh, committed = out.read_text(), open(COMMITTED).read()
    if fresh != committed:
        diff = "".join(difflib.unified_diff(committed.splitlines(True), fresh.splitlines(True),
                                            "korvid/zel/zel.pyi (committed)", "fresh generation", n=1))
        pytest.fail("korvid/zel/zel.pyi is stale: run `make stubs` and commit the result.\n" + diff[:8000])


def _nb_callables():
    """(qualified name, nanobind callable) for the module's functions and its classes' members."""
    mod = zel.zel
    for name, obj in vars(mod).items():
        if getattr(obj, "__module__", None) != mod.__name__:
            continue  # the kernel loader's functions, NumPy, ...
        if hasattr(obj, "__nb_signature__"):
            yield name, obj
        elif isinstance(obj, type):
            for member, m in vars(obj).items():
                if isinstance(m, property):
                    m = m.fget
                if isinstance(m, staticmethod):
                    m = m.__func__
                if hasattr(m, "__nb_signature__"):
                    yield f"{name}.{member}", m


def test_every_binding_has_a_typed_signature():
    # A binding without nb::sig renders its nb::handle parameters as
    # "object | None" and its result as "object".
    untyped = []
    for qual, f in _nb_callables():
        for sig, _, _ in f.__nb_signature__:
            if "object | None" in sig or sig.rstrip().endswith("-> object"):
                untyped.append(qual)
            # The signature names the function: it must be the name it is bound under.
            assert sig.splitlines()[-1].startswith(f"def {qual.rsplit('.', 1)[-1]}("), (qual, sig)
    assert not untyped, f"bindings without a typed signature (nb::sig): {untyped}"


def test_stub_reads_typed_signatures_with_docstrings():
    text = open(COMMITTED).read()
    assert 'def det(A: Tensor) -> Tensor:\n    """\n    Exact determinant via Gaussian elimination.' in text
    assert "def lu(a: Tensor) -> tuple[Tensor, Tensor, numpy.ndarray]:" in text
    assert "def to_strings(t: Tensor, digits: int | None = None) -> list | str:" in text
    assert '    def clone(self) -> Tensor:\n        """Copy with its own device array."""' in text
    assert "    @property\n    def shape(self) -> tuple[int, ...]: ..." in text
