"""The Dask example: map_blocks over the batched functions gives, on the
threaded scheduler and on a local cluster of two worker processes, exactly
the in-process batched results, and the cluster leaves no process behind."""

import pathlib
import types

import dask.array as da
import numpy as np
import psutil
from dask.distributed import Client, LocalCluster

from zorvane_linalg import batched

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "many_matrices.py"
COUNT, N, CHUNK = 2_000, 4, 500


def load_example():
    module = types.ModuleType("many_matrices")
    module.__file__ = str(EXAMPLE)
    exec(compile(EXAMPLE.read_text(), str(EXAMPLE), "exec"), module.__dict__)
    return module


example = load_example()


def expect_batched_results(roots, smallest, matrices):
    assert matrices.shape == (COUNT, N, N)
    assert np.array_equal(roots, batched.matrix_sqrt(matrices))
    assert np.array_equal(smallest, batched.eig_sym(matrices)[0][:, 0])


def test_threaded_scheduler_gives_the_batched_results():
    stack = example.random_spd_stack(COUNT, N, CHUNK)
    matrices = stack.compute(scheduler="threads")
    kept = da.from_array(matrices, chunks=(CHUNK, N, N))
    roots, smallest = da.compute(example.square_roots(kept), example.smallest_eigenvalues(kept),
                                 scheduler="threads", num_workers=2)
    expect_batched_results(roots, smallest, matrices)


def test_two_worker_processes_give_the_batched_results_and_exit():
    before = {p.pid for p in psutil.Process().children(recursive=True)}
    stack = example.random_spd_stack(COUNT, N, CHUNK)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        roots, smallest, matrices = client.compute(
            [example.square_roots(stack), example.smallest_eigenvalues(stack), stack], sync=True)
        assert len(client.scheduler_info()["workers"]) == 2
    expect_batched_results(roots, smallest, matrices)
    # multiprocessing's resource tracker serves the whole interpreter and
    # exits with it; every process of the cluster must be gone.
    left = [p.cmdline() for p in psutil.Process().children(recursive=True)
            if p.pid not in before and p.status() != psutil.STATUS_ZOMBIE]
    assert [c for c in left if "multiprocessing.resource_tracker" not in " ".join(c)] == []
