"""The fuzz harness itself: it reaches every callable, replays exactly, and
reports each kind of failure (the fuzz pass proper runs in make sanitize)."""
import os
import re
import subprocess
import sys

import pytest

import fuzz

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def ns():
    return fuzz.Namespace()


def test_every_function_member_and_kernel_is_drawn(ns):
    text = "\n".join(fuzz.make_case(ns, "cover", i)[0] for i in range(20000))
    called = set(re.findall(r"zel\.(\w+)\(", text))
    assert set(ns.functions) - called == set()
    for cls, members in ns.members.items():
        missing = [m for m, _prop, _sig in members if f".{m}" not in text]
        assert missing == [], cls
    assert [k for k in ns.kernels if repr(k) not in text] == []
    # the probe learnt every raw kernel's argument kinds
    assert [k for k, kinds in ns.kernels.items() if kinds is None] == []


def test_a_case_is_a_function_of_seed_and_index(ns):
    a = [fuzz.make_case(ns, 11, i) for i in range(50)]
    assert a == [fuzz.make_case(ns, 11, i) for i in range(50)]
    assert a != [fuzz.make_case(ns, 12, i) for i in range(50)]


@pytest.mark.parametrize("source, verdict", [
    ("raise ValueError('refused')", None),
    ("r = zel.tensor([1.5, 2]) + 1", None),
    ("import ctypes; ctypes.string_at(0)", "SIGSEGV|AddressSanitizer"),
    ("import os, signal; os.kill(os.getpid(), signal.SIGABRT)", "SIGABRT"),
    ("raise SystemError('bad call')", "SystemError"),
    ("import os; os._exit(3)", "exit status 3"),
    ("import time; time.sleep(60)", "hang"),
])
def test_failures_are_reported(source, verdict):
    r = subprocess.run([sys.executable, "-P", os.path.join(HERE, "fuzz.py"), "--exec", source, "--timeout", "3"],
                       capture_output=True, text=True, timeout=120)
    if verdict is None:
        assert r.returncode == 0, r.stdout + r.stderr
    else:
        assert r.returncode == 1 and re.search(verdict, r.stdout), r.stdout + r.stderr
