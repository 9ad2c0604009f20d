"""The release artifacts that `make dist` writes, and fresh environments to
install them into."""

import importlib.metadata
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DIST = ROOT / "dist"
# The wheel as pip built it from the sdist, before auditwheel repaired it.
UNREPAIRED = ROOT / "build" / "dist"
VENV_BIN = pathlib.Path(sys.executable).parent


def run(*command, **options):
    return subprocess.run([str(c) for c in command], check=True, capture_output=True,
                          text=True, **options)


def only(directory, pattern):
    found = sorted(directory.glob(pattern))
    if len(found) != 1:
        pytest.fail(f"make dist writes exactly one {pattern} into {directory}, found {found}")
    return found[0]


def clean_environment():
    """The environment without anything that would point the loader or
    Python at this checkout."""
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_LIBRARY_PATH", "PYTHONPATH", "VIRTUAL_ENV")}


@pytest.fixture(scope="session")
def version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(zorvane_linalg\s+VERSION\s+([0-9.]+)", text).group(1)


@pytest.fixture(scope="session")
def repaired_wheel():
    # make wheels adds the wheels of other interpreters beside this one's.
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    return only(DIST, f"zorvane_linalg-*-{tag}-{tag}-manylinux_*.whl")


@pytest.fixture(scope="session")
def sdist_wheel():
    return only(UNREPAIRED, "zorvane_linalg-*-linux_x86_64.whl")


@pytest.fixture(scope="session")
def cpp_package():
    return only(DIST, "zorvane_linalg_cpu-*-linux-x86_64.tar.gz")


@pytest.fixture(scope="session")
def wheelhouse(tmp_path_factory):
    """NumPy, the wheels' one dependency, as a local file, so that the
    installs below never reach an index."""
    directory = tmp_path_factory.mktemp("wheelhouse")
    run(sys.executable, "-m", "pip", "download", "--quiet", "--disable-pip-version-check",
        "--no-deps", "--only-binary=:all:", "-d", directory,
        f"numpy=={importlib.metadata.version('numpy')}")
    return directory


@pytest.fixture(scope="session")
def install_fresh(tmp_path_factory, wheelhouse):
    """Installs a wheel into a new virtual environment, without an index;
    returns the environment's Python."""
    def install(wheel):
        venv = tmp_path_factory.mktemp("fresh") / "venv"
        run(sys.executable, "-m", "venv", "--without-pip", venv)
        python = venv / "bin" / "python"
        run(sys.executable, "-m", "pip", "--python", python, "install", "--quiet",
            "--disable-pip-version-check", "--no-index", "--find-links", wheelhouse, wheel)
        return python
    return install
