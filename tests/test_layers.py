"""The include graph of the C++ tree runs one way (docs/ARCHITECTURE.md draws it):
bindings and subsystems -> ops -> cuda -> core.  core/ includes nothing from
another folder, kernel bodies only the arithmetic headers, and no two folders
include each other, directly or around a cycle."""
import os
import re

import pytest

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "korvid", "zel")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
# What a kernel body may include: its sibling kernel headers and these.
ARITHMETIC = {"core/fixed_point.hpp", "core/accum.hpp"}


def sources():
    for root, _, files in os.walk(SRC):
        for f in files:
            if f.endswith((".hpp", ".cpp", ".cu")):
                path = os.path.join(root, f)
                yield os.path.relpath(path, SRC).replace(os.sep, "/"), open(path, encoding="utf-8").read()


def includes():
    """(file, included file), both relative to korvid/zel."""
    out = []
    for rel, text in sources():
        for inc in INCLUDE.findall(text):
            target = os.path.normpath(os.path.join(os.path.dirname(rel), inc)).replace(os.sep, "/")
            out.append((rel, target))
    return out


def folder(path):
    return path.split("/")[0] if "/" in path else ""


def test_the_tree_is_read():
    pairs = includes()
    files = {f for f, _ in pairs}
    assert {"core/device.cpp", "cuda/kernel_list.hpp", "ops/ops.hpp"} <= files
    assert ("cuda/kernels/reduce.hpp", "core/accum.hpp") in pairs


def test_core_includes_no_other_folder():
    bad = [(f, t) for f, t in includes() if folder(f) == "core" and folder(t) not in ("core", "")]
    assert not bad, f"core/ must not include from other folders: {bad}"


def test_kernel_bodies_include_only_arithmetic_headers():
    bad = [(f, t) for f, t in includes()
           if f.startswith("cuda/kernels/") and not t.startswith("cuda/kernels/") and t not in ARITHMETIC]
    assert not bad, f"kernel bodies may include only {sorted(ARITHMETIC)}: {bad}"


def folder_graph(pairs):
    g = {}
    for f, t in pairs:
        a, b = folder(f), folder(t)
        if a and b and a != b:
            g.setdefault(a, set()).add(b)
    return g


def find_cycle(g):
    state, stack = {}, []

    def visit(n):
        state[n] = 1
        stack.append(n)
        for m in sorted(g.get(n, ())):
            if state.get(m) == 1:
                return stack[stack.index(m):] + [m]
            if m not in state:
                c = visit(m)
                if c:
                    return c
        state[n] = 2
        stack.pop()
        return None

    for n in sorted(g):
        if n not in state:
            c = visit(n)
            if c:
                return c
    return None


def test_folders_include_one_way():
    cycle = find_cycle(folder_graph(includes()))
    assert cycle is None, "folders include each other: " + " -> ".join(cycle)


# Subsystem folders compose the operations through their one API header.
SUBSYSTEMS = ("complex", "sparse", "repro", "decomp", "exact", "numpy_bridge")


def test_subsystems_include_only_the_operations_api():
    bad = [(f, t) for f, t in includes()
           if folder(f) in SUBSYSTEMS and folder(t) == "ops" and t != "ops/ops.hpp"]
    assert not bad, f"subsystems include from ops/ only ops/ops.hpp: {bad}"


@pytest.mark.parametrize("pairs, cycle", [
    ([("a/x.cpp", "b/y.hpp"), ("b/y.hpp", "c/z.hpp")], False),
    ([("a/x.cpp", "b/y.hpp"), ("b/y.hpp", "c/z.hpp"), ("c/z.hpp", "a/w.hpp")], True),
    ([("core/x.cpp", "registry.hpp"), ("ops/y.cpp", "core/x.hpp")], False),
])
def test_cycle_finder(pairs, cycle):
    assert (find_cycle(folder_graph(pairs)) is not None) == cycle


def test_no_binding_converts_a_python_container_in_place():
    # nanobind's STL casters read a list in place while item conversions may
    # run code that resizes it: bindings take handles and read a held copy.
    stl = re.compile(r'^\s*#\s*include\s+<nanobind/stl/(\w+)\.h>', re.M)
    bad = [(rel, h) for rel, text in sources() for h in stl.findall(text) if h != "string"]
    assert not bad, f"container casters in bindings: {bad}"
