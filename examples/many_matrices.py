"""Many small matrices: one call, many cores, many machines.

A Dask array of N symmetric positive-definite n x n matrices, chunked along N,
is processed with map_blocks over the batched functions, first on Dask's
threaded scheduler (the batched functions release the interpreter lock, so
threads run blocks in parallel) and then on a dask.distributed cluster of two
local worker processes (the same code serves a cluster of many machines).
Throughput is printed beside NumPy's stacked call.

    python examples/many_matrices.py [N] [n]
"""

import sys
import time

import dask.array as da
import numpy as np

from zorvane_linalg import batched


def random_spd_stack(count, n, chunk, seed=0):
    """A Dask array of `count` symmetric positive-definite n x n matrices,
    chunked along the first axis; each worker draws its own blocks."""
    a = da.random.default_rng(seed).standard_normal((count, n, n), chunks=(chunk, n, n))
    return a @ da.swapaxes(a, -1, -2) / n + np.eye(n)


def square_roots(stack):
    """The principal square root of every matrix of a Dask array (N, n, n).

    The blocks are handed to the batched function by a closure: Dask pickles
    it by value for worker processes, which import zorvane_linalg themselves.
    """
    return stack.map_blocks(lambda block: batched.matrix_sqrt(block), dtype=np.float64)


def smallest_eigenvalues(stack):
    """The smallest eigenvalue of every matrix, shape (N,)."""
    return stack.map_blocks(lambda block: batched.eig_sym(block)[0][:, 0], drop_axis=(1, 2),
                            dtype=np.float64)


def numpy_square_roots(stack):
    """NumPy's stacked counterpart: V @ diag(sqrt(w)) @ V.T through eigh."""
    w, v = np.linalg.eigh(stack)
    return (v * np.sqrt(np.maximum(w, 0.0))[..., None, :]) @ np.swapaxes(v, -1, -2)


def throughput(label, count, compute):
    start = time.perf_counter()
    result = compute()
    seconds = time.perf_counter() - start
    print(f"{label:<44} {count / seconds / 1e6:8.3f} M matrices/s")
    return result


def main(count=400_000, n=4, chunk=25_000):
    from dask.distributed import Client, LocalCluster, wait

    print(f"{count} matrices of {n} x {n}, chunks of {chunk}")
    matrices = random_spd_stack(count, n, chunk).compute()
    stack = da.from_array(matrices, chunks=(chunk, n, n))
    throughput("NumPy stacked eigh-based square root", count, lambda: numpy_square_roots(matrices))
    expected = throughput("batched.matrix_sqrt, one call", count,
                          lambda: batched.matrix_sqrt(matrices))
    for workers in (1, 2):
        result = throughput(f"Dask threads ({workers}), map_blocks", count,
                            lambda: square_roots(stack).compute(scheduler="threads",
                                                                num_workers=workers))
        assert np.array_equal(result, expected)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        # The workers draw the same matrices and keep them, so only the
        # results travel.
        on_workers = client.persist(random_spd_stack(count, n, chunk))
        wait(on_workers)
        result = throughput("dask.distributed, 2 worker processes", count,
                            lambda: client.compute(square_roots(on_workers)).result())
        assert np.array_equal(result, expected)


if __name__ == "__main__":
    main(*(int(arg) for arg in sys.argv[1:]))
