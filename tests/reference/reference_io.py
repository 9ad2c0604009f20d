"""Writes arrays in the line format that the C++ tests read (ReferenceFile).

Each line: ``name ndim extents... values...``, values in row-major order and
written with ``repr`` so that they round-trip exactly.
"""

import numpy as np


def format_entry(name, array):
    a = np.asarray(array, dtype=np.float64)
    fields = [name, str(a.ndim), *map(str, a.shape), *map(repr, map(float, a.ravel()))]
    return " ".join(fields)


def write_reference(path, entries, header):
    """Writes ``entries`` (an iterable of (name, array)) to ``path``."""
    with open(path, "w", encoding="ascii") as out:
        out.write(f"# {header}\n")
        for name, array in entries:
            if " " in name:
                raise ValueError(f"reference names hold no spaces: {name!r}")
            out.write(format_entry(name, array) + "\n")
