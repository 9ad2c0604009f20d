"""The C++ package, unpacked into a directory that did not exist when it was
built, serves tests/consumer through find_package, and its libraries find
each other through their own run paths."""

import os
import sys
import tarfile

import pytest

from conftest import ROOT, VENV_BIN, clean_environment, run


@pytest.fixture(scope="module")
def prefix(cpp_package, tmp_path_factory):
    where = tmp_path_factory.mktemp("unpacked")
    with tarfile.open(cpp_package) as archive:
        archive.extractall(where, filter="tar")
    (top,) = where.iterdir()
    assert top.name == cpp_package.name.removesuffix(".tar.gz")
    return top


def test_holds_headers_libraries_with_soname_links_and_package_files(prefix, version):
    lib = prefix / "lib"
    assert os.readlink(lib / "libzorvane_linalg_cpu.so") == "libzorvane_linalg_cpu.so.0"
    assert os.readlink(lib / "libzorvane_linalg_cpu.so.0") == f"libzorvane_linalg_cpu.so.{version}"
    assert (lib / "libzorvane_core.so").is_file()
    assert (prefix / "include" / "zorvane" / "linalg" / "linalg.h").is_file()
    assert (prefix / "include" / "zorvane" / "core" / "tensor.h").is_file()
    assert (lib / "cmake" / "zorvane_linalg_cpu" / "zorvane_linalg_cpuConfig.cmake").is_file()


def test_names_no_path_of_the_build_machine(prefix):
    needle = str(ROOT).encode()
    offenders = [p for p in prefix.rglob("*") if p.is_file() and not p.is_symlink()
                 and needle in p.read_bytes()]
    assert offenders == []


def test_library_finds_core_through_its_own_run_path(prefix):
    # dlopen by path: libzorvane_core.so can only come from the library's $ORIGIN.
    library = prefix / "lib" / "libzorvane_linalg_cpu.so.0"
    script = f"import ctypes; ctypes.CDLL({str(library)!r}); print(open('/proc/self/maps').read())"
    maps = run(sys.executable, "-c", script, cwd="/", env=clean_environment()).stdout
    assert str(prefix / "lib" / "libzorvane_core.so") in maps


def test_serves_the_consumer_project_without_library_path(prefix, tmp_path):
    eigen_prefix = run(sys.executable, "-m", "cmeel", "cmake").stdout.strip()
    build = tmp_path / "consumer"
    cmake = VENV_BIN / "cmake"
    run(cmake, "-S", ROOT / "tests" / "consumer", "-B", build, "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={VENV_BIN / 'ninja'}", f"-DCMAKE_PREFIX_PATH={prefix};{eigen_prefix}")
    run(cmake, "--build", build)
    out = run(build / "consumer", cwd="/", env=clean_environment())
    assert out.stdout == "trace 5.0, m(0,1) 2.0, det -2.0, inv(0,0) -2.0\n"
