"""Results are freed exactly once: many calls leave resident memory flat."""

import gc
import resource

import numpy as np
import pytest

import zorvane_linalg as zl

CALLS = 100_000
# A leak of one result per call costs at least one tensor object, its storage
# and a capsule, about 250 bytes: 25 MB over the loop. Allocator noise stays
# well below the bound.
BOUND_BYTES = 4 * 1024 * 1024


def resident_bytes():
    with open("/proc/self/statm", encoding="ascii") as statm:
        pages = int(statm.read().split()[1])
    return pages * resource.getpagesize()


SPD = np.array([[4.0, 1.0, 0.5], [1.0, 3.0, 0.2], [0.5, 0.2, 2.0]])
B = np.array([1.0, 2.0, 3.0])
CALLS_BY_NAME = {
    "eig_sym": lambda: zl.eig_sym(SPD),
    "matrix_sqrt": lambda: zl.matrix_sqrt(SPD),
    "matrix_exp": lambda: zl.matrix_exp(SPD),
    "cholesky": lambda: zl.cholesky(SPD),
    "svd": lambda: zl.svd(SPD),
    "solve": lambda: zl.solve(SPD, B),
    "qr": lambda: zl.qr(SPD),
    "lu": lambda: zl.lu(SPD),
    "matrix_log": lambda: zl.matrix_log(SPD),
    "matrix_sign": lambda: zl.matrix_sign(SPD),
    "eig": lambda: zl.eig(SPD),
    "trace": lambda: zl.trace(SPD),
    "failing_cholesky": lambda: zl.cholesky(-SPD),
    "failing_solve_shape": lambda: zl.solve(SPD, np.ones(2)),
}


def run(call, times):
    for _ in range(times):
        try:
            call()
        except (ValueError, RuntimeError):
            pass


@pytest.mark.parametrize("name", list(CALLS_BY_NAME))
def test_repeated_calls_keep_resident_memory_flat(name):
    call = CALLS_BY_NAME[name]
    run(call, 5_000)  # let the allocators reach their steady state
    gc.collect()
    before = resident_bytes()
    run(call, CALLS)
    gc.collect()
    growth = resident_bytes() - before
    assert growth < BOUND_BYTES, f"{name}: resident memory grew by {growth} bytes"
