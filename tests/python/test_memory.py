"""Results are freed exactly once: many calls, failing ones included, leave
resident memory and the count of live Python allocations flat."""

import gc
import resource
import tracemalloc

import numpy as np
import pytest

import zorvane_linalg as zl
from zorvane_linalg import batched as zb

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
SPD_STACK = np.stack([SPD, 2.0 * SPD, 3.0 * SPD, SPD])
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
    "batched_eig_sym": lambda: zb.eig_sym(SPD_STACK),
    "batched_lu": lambda: zb.lu(SPD_STACK),
    "batched_solve": lambda: zb.solve(SPD_STACK, B),
    "batched_trace_scalar": lambda: zb.trace(SPD),
    "batched_failing_cholesky": lambda: zb.cholesky(-SPD_STACK),
    "det": lambda: zl.det(SPD),
    "inv": lambda: zl.inv(SPD),
    "pinv": lambda: zl.pinv(SPD),
    "lstsq": lambda: zl.lstsq(SPD, B),
    "norm": lambda: zl.norm(SPD, 2),
    "levenberg_marquardt": lambda: zl.levenberg_marquardt(
        lambda x: SPD @ x - B, lambda x: SPD, 3, np.zeros(3)),
    "batched_norm": lambda: zb.norm(SPD_STACK, 1),
}


def raising_callback(x):
    raise RuntimeError("the callback failed")


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


# The same calls counted by Python's own allocator: every result array and
# its capsule is a traced block, so a leak of one result per call adds at
# least two blocks and a few hundred bytes per call. Interpreter caches may
# settle by a few blocks; the bounds are far below a leak's growth.
TRACED_CALLS = 3_000
TRACED_BLOCK_BOUND = 200
TRACED_BYTE_BOUND = 64 * 1024

EMPTY = np.zeros((0, 0))
NAN_MATRIX = np.full((3, 3), np.nan)
NAN_STACK = np.stack([SPD, NAN_MATRIX])
READ_ONLY_STACK = SPD_STACK.copy()
READ_ONLY_STACK.flags.writeable = False
TRACED_CALLS_BY_NAME = {
    **CALLS_BY_NAME,
    "empty_eig_sym": lambda: zl.eig_sym(EMPTY),
    "empty_svd": lambda: zl.svd(np.zeros((0, 3))),
    "wide_qr": lambda: zl.qr(np.ones((2, 5))),
    "matrix_solve": lambda: zl.solve(SPD, np.ones((3, 4))),
    "converted_lu": lambda: zl.lu(np.asfortranarray(SPD.astype(np.float32))),
    "failing_svd": lambda: zl.svd(NAN_MATRIX),
    "failing_matrix_log": lambda: zl.matrix_log(-SPD),
    "failing_symmetry": lambda: zl.eig_sym(np.triu(SPD)),
    "failing_square": lambda: zl.eig(np.ones((2, 3))),
    "failing_solve_rank": lambda: zl.solve(SPD, np.ones((3, 1, 1))),
    "failing_singular": lambda: zl.solve(np.zeros((3, 3)), B),
    "failing_import": lambda: zl.trace(np.ones(3, dtype=np.complex128)),
    "batched_svd_read_only": lambda: zb.svd(READ_ONLY_STACK),
    "batched_empty_qr": lambda: zb.qr(np.zeros((0, 3, 2))),
    "batched_failing_index": lambda: zb.svd(NAN_STACK),
    "batched_failing_broadcast": lambda: zb.solve(SPD_STACK, np.ones((3, 3, 1))),
    "failing_inv": lambda: zl.inv(np.zeros((3, 3))),
    "failing_norm_ord": lambda: zl.norm(SPD, "nuc"),
    "failing_callback": lambda: zl.levenberg_marquardt(
        lambda x: SPD @ x - B, raising_callback, 3, np.zeros(3)),
    "failing_callback_shape": lambda: zl.levenberg_marquardt(
        lambda x: SPD @ x - B, lambda x: SPD[:2], 3, np.zeros(3)),
    "failing_callback_value": lambda: zl.levenberg_marquardt(
        lambda x: [[1.0], 2.0, 3.0], lambda x: SPD, 3, np.zeros(3)),
    "batched_failing_inv": lambda: zb.inv(np.stack([SPD, np.zeros((3, 3))])),
}


def traced_blocks_and_bytes():
    gc.collect()
    stats = tracemalloc.take_snapshot().statistics("filename")
    return sum(s.count for s in stats), sum(s.size for s in stats)


def run_counting_errors(call, times):
    for _ in range(times):
        try:
            call()
        except (TypeError, ValueError, RuntimeError):
            pass


@pytest.fixture(scope="module")
def tracing():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.parametrize("name", list(TRACED_CALLS_BY_NAME))
def test_repeated_calls_keep_python_allocations_flat(name, tracing):
    call = TRACED_CALLS_BY_NAME[name]
    run_counting_errors(call, 200)  # let caches and free lists fill
    blocks_before, bytes_before = traced_blocks_and_bytes()
    run_counting_errors(call, TRACED_CALLS)
    blocks_after, bytes_after = traced_blocks_and_bytes()
    assert blocks_after - blocks_before < TRACED_BLOCK_BOUND, f"{name}: live blocks grew"
    assert bytes_after - bytes_before < TRACED_BYTE_BOUND, f"{name}: live bytes grew"


def test_a_kept_result_per_call_would_break_the_bounds(tracing):
    # The bounds must catch the leak they are meant for: holding on to every
    # result is what a reference leak looks like from outside.
    kept = []
    blocks_before, bytes_before = traced_blocks_and_bytes()
    for _ in range(TRACED_CALLS):
        kept.append(zl.matrix_sign(SPD))
    blocks_after, bytes_after = traced_blocks_and_bytes()
    assert blocks_after - blocks_before > 10 * TRACED_BLOCK_BOUND
    assert bytes_after - bytes_before > 4 * TRACED_BYTE_BOUND
