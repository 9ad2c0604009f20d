"""Sphinx configuration of the documentation site (make docs).

The Python reference is read from the installed package: docstrings from the
functions themselves, signatures from the stubs installed beside them
(_ext/stub_signatures.py). The C++ reference is Doxygen's reading of the
public headers, through Breathe; the Makefile runs Doxygen first and names
its XML in ZORVANE_DOXYGEN_XML.
"""

import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

import zorvane_linalg  # noqa: E402  (the installed package, never the source tree)

project = "zorvane linear algebra"
author = "the zorvane developers"
copyright = "the zorvane developers"
version = release = zorvane_linalg.__version__

extensions = [
    "sphinx.ext.autodoc",
    "numpydoc",
    "myst_parser",
    "breathe",
    "stub_signatures",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
exclude_patterns = ["requirements.txt", "Doxyfile", "_ext"]

# Markdown: ``#section`` links resolve to headings up to the third level.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

# The numpydoc docstrings are rendered as written; the signature comes from
# the stub, so no second list of members or types is made from them.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_validation_checks = set()
autodoc_member_order = "bysource"
autodoc_typehints = "signature"

breathe_projects = {"zorvane": os.environ.get("ZORVANE_DOXYGEN_XML", "../build/docs/doxygen/xml")}
breathe_default_project = "zorvane"
breathe_domain_by_extension = {"h": "cpp"}
cpp_index_common_prefix = ["zorvane::linalg::batched::", "zorvane::linalg::", "zorvane::"]

html_theme = "pydata_sphinx_theme"
html_title = f"zorvane linear algebra {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
html_sidebars = {"changelog": []}
html_static_path = []
html_last_updated_fmt = None
