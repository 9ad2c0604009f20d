"""The sdist builds a wheel with build isolation (`make dist`); that wheel and
its auditwheel-repaired copy install into fresh environments without an index
and work from the root directory. The repaired one takes glog and the
libraries glog needs from inside its installation, as the loader records it."""

import hashlib
import json
import pathlib
import zipfile

import pytest

from conftest import DIST, UNREPAIRED, VENV_BIN, clean_environment, run

# Each of the twelve functions on a small case, checked against NumPy; then
# what the loader mapped into the process.
SMOKE = r"""
import json
import numpy as np
import zorvane_linalg as zl

A = np.array([[4.0, 1.0], [1.0, 3.0]])
w, V = np.linalg.eigh(A)
def spectral(f):
    return (V * f(w)) @ V.T

values, vectors = zl.eig_sym(A)
assert np.allclose(values, w) and np.allclose((vectors * values) @ vectors.T, A)
for name, f in [("matrix_sqrt", np.sqrt), ("matrix_exp", np.exp),
                ("matrix_log", np.log), ("matrix_sign", np.sign)]:
    assert np.allclose(getattr(zl, name)(A), spectral(f)), name
L = zl.cholesky(A)
assert np.allclose(L @ L.T, A)
U, S, Vt = zl.svd(A)
assert np.allclose((U * S) @ Vt, A)
assert np.allclose(zl.solve(A, np.array([1.0, 2.0])), np.linalg.solve(A, [1.0, 2.0]))
Q, R = zl.qr(A)
assert np.allclose(Q @ R, A)
L, U, P, Q, rank, det, singular = zl.lu(A)
assert np.allclose(P @ A @ Q, L @ U) and rank == 2 and np.isclose(det, 11.0) and not singular
re, im, _, _ = zl.eig(np.array([[0.0, 1.0], [-1.0, 0.0]]))
assert np.allclose(re, 0.0) and np.allclose(sorted(im), [-1.0, 1.0])
assert zl.trace(A) == 7.0

with open("/proc/self/maps") as maps:
    mapped = sorted({line.split()[-1] for line in maps if ".so" in line.split()[-1]})
print(json.dumps({"version": zl.__version__, "file": zl.__file__, "mapped": mapped}))
"""

OURS = ("libzorvane_core", "libzorvane_linalg_cpu")
BUNDLED = ("libglog", "libgflags", "libunwind", "liblzma")


def smoke(python):
    out = run(python, "-c", SMOKE, cwd="/", env=clean_environment())
    return json.loads(out.stdout)


def mapped_from(result, prefix):
    return [pathlib.Path(p) for p in result["mapped"] if pathlib.Path(p).name.startswith(prefix)]


def test_artifacts_carry_one_version_and_their_checksums(version, repaired_wheel,
                                                         sdist_wheel, cpp_package):
    assert (DIST / f"zorvane_linalg-{version}.tar.gz").is_file()
    assert cpp_package.name == f"zorvane_linalg_cpu-{version}-linux-x86_64.tar.gz"
    assert repaired_wheel.name.startswith(f"zorvane_linalg-{version}-")
    assert sdist_wheel.name.startswith(f"zorvane_linalg-{version}-")
    sums = dict(reversed(line.split("  ")) for line in
                (DIST / "SHA256SUMS").read_text().splitlines())
    assert sorted(sums) == sorted(p.name for p in DIST.iterdir() if p.name != "SHA256SUMS")
    for name, digest in sums.items():
        assert hashlib.sha256((DIST / name).read_bytes()).hexdigest() == digest, name


def test_sdist_builds_with_cmakes_default_generator(sdist_wheel):
    # pip built the wheel with Unix Makefiles, as for a user without Ninja:
    # every target's order must hold without Ninja's file tracking.
    cache = (UNREPAIRED / "cmake" / "CMakeCache.txt").read_text()
    assert "CMAKE_GENERATOR:INTERNAL=Unix Makefiles" in cache.splitlines()


def test_auditwheel_finds_nothing_outside_the_policy(repaired_wheel):
    report = json.loads(run(VENV_BIN / "auditwheel", "show", "--json", repaired_wheel).stdout)
    platform = repaired_wheel.name.removesuffix(".whl").rsplit("-", 1)[1]
    assert platform.startswith("manylinux_")
    assert report["overall_tag"] == platform
    assert report["external_libs"] == {}


def test_repaired_wheel_keeps_our_libraries_and_bundles_the_rest(repaired_wheel):
    names = [n for n in zipfile.ZipFile(repaired_wheel).namelist() if not n.endswith("/")]
    assert sorted(n for n in names if n.startswith("zorvane_cpp.libs/")) == [
        "zorvane_cpp.libs/libzorvane_core.so", "zorvane_cpp.libs/libzorvane_linalg_cpu.so.0"]
    bundled = [n for n in names if n.startswith("zorvane_linalg.libs/")]
    for prefix in BUNDLED:
        assert sum(pathlib.Path(n).name.startswith(prefix + "-") for n in bundled) == 1, prefix


@pytest.mark.parametrize("which", ["sdist_wheel", "repaired_wheel"])
def test_installs_without_index_and_answers_from_the_root_directory(which, request, version,
                                                                    install_fresh):
    python = install_fresh(request.getfixturevalue(which))
    result = smoke(python)
    assert result["version"] == version
    site = pathlib.Path(result["file"]).parents[1]
    for prefix in OURS:
        assert [p.parent for p in mapped_from(result, prefix)] == [site / "zorvane_cpp.libs"]
    if which == "repaired_wheel":
        for prefix in BUNDLED:
            assert [p.parent for p in mapped_from(result, prefix)] == \
                [site / "zorvane_linalg.libs"], prefix
