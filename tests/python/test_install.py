"""The wheel installs into a fresh environment and imports from anywhere,
finding its shared libraries through run paths alone."""

import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
WHEELS = sorted((ROOT / "build" / "wheel").glob("zorvane_linalg-*.whl"))


@pytest.fixture(scope="module")
def wheel():
    # make wheel-suite names the wheel under test; otherwise it is the one
    # make python-package built.
    if "ZORVANE_WHEEL" in os.environ:
        return pathlib.Path(os.environ["ZORVANE_WHEEL"])
    if len(WHEELS) != 1:
        pytest.fail("make python-package builds exactly one wheel into build/wheel")
    return WHEELS[0]


@pytest.fixture(scope="module")
def fresh_environment(wheel, tmp_path_factory):
    venv = tmp_path_factory.mktemp("fresh") / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    python = venv / "bin" / "python"
    subprocess.run(
        [sys.executable, "-m", "pip", "--python", str(python), "install", "--quiet",
         "--disable-pip-version-check", "--no-deps", str(wheel)],
        check=True,
    )
    return python


def site_packages(python):
    out = subprocess.run(
        [str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
        check=True, capture_output=True, text=True,
    )
    return pathlib.Path(out.stdout.strip())


def dynamic_section(path):
    return subprocess.run(["readelf", "-d", str(path)], check=True, capture_output=True,
                          text=True).stdout


def run_path(path):
    """The directories of the run path (auditwheel's repair writes it as an
    RPATH and adds the directory of the libraries it bundles)."""
    found = re.search(r"Library (?:runpath|rpath): \[(.*)\]", dynamic_section(path))
    return found.group(1).split(":") if found else []


def test_wheel_holds_each_library_once_with_stubs(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    libraries = sorted(n for n in names
                       if n.startswith("zorvane_cpp.libs/") and not n.endswith("/"))
    assert libraries == ["zorvane_cpp.libs/libzorvane_core.so",
                         "zorvane_cpp.libs/libzorvane_linalg_cpu.so.0"]
    assert "zorvane_linalg/py.typed" in names
    assert "zorvane_linalg/zorvane_linalg.pyi" in names
    assert "zorvane_linalg/batched.pyi" in names
    assert "zorvane_linalg/_extended.pyi" in names
    assert "zorvane_linalg/__init__.py" in names


def test_imports_from_the_root_directory_without_library_path(fresh_environment):
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH")}
    out = subprocess.run(
        [str(fresh_environment), "-c",
         "import zorvane_linalg as z; print(z.__doc__); print(z.__file__)"],
        cwd="/", env=env, check=True, capture_output=True, text=True,
    )
    doc, location = out.stdout.splitlines()
    assert doc == "Python bindings for Zorvane linear algebra (CPU backend, float64)"
    assert location.startswith(str(site_packages(fresh_environment)))


def test_run_paths_lead_from_module_to_libraries(fresh_environment):
    packages = site_packages(fresh_environment)
    for name in ("zorvane_linalg", "batched", "_extended"):
        (module,) = (packages / "zorvane_linalg").glob(f"{name}.*.so")
        assert run_path(module)[0] == "$ORIGIN/../zorvane_cpp.libs"
    library = packages / "zorvane_cpp.libs" / "libzorvane_linalg_cpu.so.0"
    assert run_path(library)[0] == "$ORIGIN"
    assert "Library soname: [libzorvane_linalg_cpu.so.0]" in dynamic_section(library)
