"""Sphinx configuration of rasterloom's documentation.

The API reference is read from the installed package (the compiled module
`rasterloom` and `rasterloom_layers`), so build it after installing the
wheel: `python -m sphinx -W --keep-going -b html docs build/docs/html`.
"""
import importlib.metadata

project = "rasterloom"
author = "the rasterloom developers"
copyright = "rasterloom developers, MIT licence"
release = importlib.metadata.version("rasterloom")
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",   # the module's docstring has Args: and Returns: sections
]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]
myst_heading_anchors = 3
# `name` in docstrings is code, as in the Markdown pages.
default_role = "code"

autodoc_typehints = "description"
# Array types by the names the code gives them, not spelled out.
autodoc_type_aliases = {
    "ArrayLike": "numpy.typing.ArrayLike",
    "NDArray": "numpy.typing.NDArray",
    "Labels": "rasterloom_layers._lines.Labels",
}
autodoc_member_order = "bysource"

html_theme = "furo"
html_title = f"rasterloom {release}"
