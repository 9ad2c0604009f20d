"""The Python face, pinned once: the stubs the build generates (every
function's signature and docstring) and the signature line of each function's
__doc__, compared with the reviewed references in tests/python/stubs/.
After an intended change, ZORVANE_UPDATE_STUBS=1 rewrites the references from
the installed package."""

import difflib
import os
from pathlib import Path

import pytest

import zorvane_linalg
from zorvane_linalg import _extended, batched
from zorvane_linalg import zorvane_linalg as module

REFERENCES = Path(__file__).parent / "stubs"
PACKAGE = Path(zorvane_linalg.__file__).parent
MODULES = {"zorvane_linalg": module, "_extended": _extended, "batched": batched}


def check(reference: Path, built: str) -> None:
    if os.environ.get("ZORVANE_UPDATE_STUBS") == "1":
        reference.write_text(built)
    expected = reference.read_text()
    diff = difflib.unified_diff(expected.splitlines(), built.splitlines(),
                                str(reference.relative_to(REFERENCES.parent)), "built", lineterm="")
    assert built == expected, "\n".join(diff)


@pytest.mark.parametrize("name", MODULES)
def test_generated_stub_is_the_reference(name):
    check(REFERENCES / f"{name}.pyi.ref", (PACKAGE / f"{name}.pyi").read_text())


def test_signature_lines_of_the_docstrings_are_the_reference():
    lines = [f"{name}.{function.__doc__.split(chr(10), 1)[0]}"
             for name, extension in MODULES.items() for function in vars(extension).values()
             if type(function).__name__ == "nb_func"]
    check(REFERENCES / "signatures.txt.ref", "\n".join(lines) + "\n")
