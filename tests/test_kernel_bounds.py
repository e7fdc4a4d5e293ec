"""Raw kernels launched from Python, on either backend: every kernel of the list
has a bounds rule that accepts arrays of the sizes its ints imply and refuses,
before the body runs, any array one of them is too short for."""
import re

import numpy as np
import pytest

import korvid.zel as zel

from korvid.zel.cuda import cubin_loader
from zelmodel import device_array

KERNELS = sorted(cubin_loader.get_module().kernel_names)

# Ints under which every array of the kernel is read or written (1 for the
# others): sum_partial's mode 2 reads b per element, cumsum_chunk reads part
# once a row has two chunks, cat_part needs offset + chunk <= out_row.
INTS = {
    "fp_sum_partial_kernel": (1, 1, 2),
    "fp_cumsum_chunk_kernel": (1, 2, 1),
    "fp_cat_part_kernel": (1, 1, 2, 1),
}


def array(kind, n):
    if kind == "r":
        return device_array(np.zeros(n, zel.FIXEDPOINT_DTYPE))
    if kind == "d":
        return device_array(np.zeros(n))
    # int32 arrays: row pointers [0, 1, ...] put one stored value (column 0)
    # in the first row; indices 0 and 1 stay inside any row of two.
    return device_array(np.minimum(np.arange(n, dtype=np.int32), 1))


def i32(values):
    return device_array(np.array(values, np.int32))


def arg_kinds(kernel):
    """'r' record, 'd' float64, 'i' int32 array, 'n' int, for each argument,
    learnt from the launcher's conversion messages (arguments convert left to
    right, so the first refused one is named)."""
    with pytest.raises(TypeError, match=r"kernel takes \d+ arguments") as e:
        kernel((0,), (1,), ())
    count = int(re.search(r"takes (\d+)", str(e.value)).group(1))
    kinds = []
    for i in range(count):
        for kind in "rdin":
            trial = kinds + [kind]
            args = tuple(np.int32(1) if c == "n" else array(c, 4) for c in trial) + (None,) * (count - i - 1)
            try:
                kernel((0,), (1,), args)
            except TypeError as err:
                if f"kernel argument {i} " in str(err):
                    continue
            except ValueError:
                pass
            kinds.append(kind)
            break
        else:
            raise AssertionError(f"argument {i} takes no known kind")
    return kinds


def test_the_kernel_list_is_served_whole():
    assert len(KERNELS) == len(set(KERNELS)) > 90
    assert {"fp_add_kernel", "fp_spmv_kernel", "fp_conv2d_kernel", "fp_cat_part_kernel"} <= set(KERNELS)


@pytest.mark.parametrize("name", KERNELS)
def test_every_kernel_checks_every_array_against_its_ints(name):
    k = zel._get_kernel(name)
    kinds = arg_kinds(k)
    ints = INTS.get(name, (1,) * kinds.count("n"))
    assert len(ints) == kinds.count("n")

    def launch(short=None):
        it = iter(ints)
        args = tuple(np.int32(next(it)) if c == "n" else array(c, 0 if i == short else 16)
                     for i, c in enumerate(kinds))
        k((1,), (1,), args)

    launch()  # sizes that suffice: accepted, and the body runs
    refused = rf"^{name}: (argument (\d+) holds 0 elements but the launch reads or writes [1-9]\d*" \
              rf"|row pointer 1 outside \[0, 0\]|column index 0 outside x of 0 elements)$"
    for i, c in enumerate(kinds):
        if c == "n":
            continue
        with pytest.raises(ValueError, match=refused) as e:
            launch(short=i)
        pos = re.match(refused, str(e.value)).group(2)
        assert pos is None or int(pos) == i


@pytest.mark.parametrize("name, ints, message", [
    ("fp_add_kernel", (-1,), "sizes must not be negative"),
    ("fp_add_bcast_kernel", (2, 2, 0), "steps must be 0 or 1"),
    ("fp_where_bcast_kernel", (2, -1), "steps must be 0 or 1"),
    ("fp_sum_partial_kernel", (2, 1, 4), "mode must be 0 to 3"),
    ("fp_wide_finish_kernel", (1, 5), "width must be 1 to 4"),
    ("fp_cumsum_partial_kernel", (1, 2, 0), "chunk must be at least 1"),
    ("fp_arg_extreme_partial_kernel", (1, 2, 1, 0), "want must be 1 or -1"),
    ("fp_arg_extreme_combine_kernel", (1, 2, 2, 2, 1, 2), "want must be 1 or -1"),
    ("fp_cat_part_kernel", (1, 2, 2, 1), "offset + chunk exceeds out_row"),
    ("fp_diag_kernel", (3, 2), "cols must be at least n"),
    ("fp_conv2d_kernel", (1,) * 7 + (0,) + (1,) * 3, "stride must be at least 1"),
])
def test_rules_refuse_ints_no_size_makes_safe(name, ints, message):
    k = zel._get_kernel(name)
    kinds = arg_kinds(k)
    it = iter(ints)
    args = tuple(np.int32(next(it)) if c == "n" else array(c, 64) for c in kinds)
    with pytest.raises(ValueError, match=f"^{name}: {re.escape(message)}$"):
        k((1,), (1,), args)


def test_csr_rules_read_the_pointers_and_indices_they_launch_with():
    spmv = zel._get_kernel("fp_spmv_kernel")
    vals, x, out = (array("r", n) for n in (3, 2, 2))
    ptrs = i32([0, 2, 3])
    spmv((1,), (2,), (vals, i32([0, 1, 1]), ptrs, x, out, np.int32(2)))
    with pytest.raises(ValueError, match=r"^fp_spmv_kernel: column index 2 outside x of 2 elements$"):
        spmv((1,), (2,), (vals, i32([0, 1, 2]), ptrs, x, out, np.int32(2)))
    with pytest.raises(ValueError, match=r"^fp_spmv_kernel: row pointer -1 outside \[0, 3\]$"):
        spmv((1,), (2,), (vals, i32([0] * 3), i32([0, -1, 3]), x, out, np.int32(2)))
    # the cap is the shorter of values and column indices
    with pytest.raises(ValueError, match=r"^fp_spmv_kernel: row pointer 3 outside \[0, 2\]$"):
        spmv((1,), (2,), (vals, i32([0] * 2), ptrs, x, out, np.int32(2)))
    # indices past the last pointer are never read, so they are not checked
    cols, ptrs = i32([0, 1, 99]), i32([0, 1, 2])
    spmv((1,), (2,), (vals, cols, ptrs, x, out, np.int32(2)))


def test_needs_past_two_to_the_63_are_stated_in_full():
    # N * C_in * H * W = (2^31 - 1)^4 elements: the message states the count, not its 64-bit wrap.
    k = zel._get_kernel("fp_conv2d_kernel")
    big = 2**31 - 1
    args = (array("r", 1), array("r", 1), array("r", 1)) + tuple(np.int32(v) for v in (big, big, big, big) + (1,) * 7)
    with pytest.raises(ValueError, match=f"^fp_conv2d_kernel: argument 0 holds 1 elements but the launch reads "
                                         f"or writes {big**4}$"):
        k((1,), (1,), args)
