"""Sphinx configuration: the user guide and the API reference built from the docstrings."""

import os
import sys

# The package documents itself from the source tree; alignopt is imported only when a function runs.
sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "..")))

from orvik import __version__  # noqa: E402

project = "orvik"
author = "the orvik developers"
version = release = __version__

extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon"]
source_suffix = ".rst"
exclude_patterns = ["_build"]
# `name` in a docstring links to the object when it is documented here, code font otherwise.
default_role = "py:obj"
autodoc_member_order = "bysource"
autodoc_typehints = "none"
napoleon_google_docstring = True
napoleon_numpy_docstring = False
napoleon_use_rtype = False

html_theme = "alabaster"
html_static_path = []
html_extra_path = []
