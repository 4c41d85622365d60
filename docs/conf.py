"""Sphinx configuration of the libkernels documentation (built by scripts/docs.sh).

The site is built from the installed package: the API reference is read from its
docstrings and type hints, and every tutorial is a MyST notebook executed at build
time.  Nothing is fetched from the network: no intersphinx inventories, no
MathJax from a CDN (formulas are written in plain text), no notebook that reaches
out.  A notebook cell that raises fails the build.
"""

import os
import sys

import libkernels

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "_ext"))

project = "libkernels"
author = "the libkernels developers"
copyright = "the libkernels developers"
release = libkernels.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "myst_nb",
    "libkernels_docs",
]

# Markdown pages and MyST notebooks; the PNGs the READMEs show live here too.
source_suffix = {".rst": "restructuredtext", ".md": "myst-nb"}
exclude_patterns = ["_build", "**.ipynb_checkpoints", "jupyter_execute"]
root_doc = "index"

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

# Notebooks: always executed, in the tutorial's own folder, and any error fails.
nb_execution_mode = "force"
nb_execution_raise_on_error = True
nb_execution_show_tb = True
nb_execution_timeout = 180
nb_execution_in_temp = False  # a notebook runs in its folder and finds ../../examples
nb_merge_streams = True
# The notebook widget's live view needs a kernel beside the browser: the pages show the
# picture the widget carries for places without one, and load no widget manager (it
# would come from the network).
nb_ipywidgets_js = {}
nb_mime_priority_overrides = [("*", "application/vnd.jupyter.widget-view+json", None)]

# API reference from the docstrings and the type hints.
autosummary_generate = True
autosummary_imported_members = True
autodoc_typehints = "signature"
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "show-inheritance": True}
autodoc_preserve_defaults = True
add_module_names = False
default_role = "code"  # the docstrings quote names as `name`

html_theme = "pydata_sphinx_theme"
html_title = f"libkernels {release}"
html_static_path = ["_static"]
html_css_files = ["libkernels.css"]
html_theme_options = {
    "navbar_end": ["navbar-icon-links"],
    "icon_links": [],
    "show_prev_next": True,
    "navigation_with_keys": False,
}
# The left sidebar lists a section's pages: the tutorials, the background pages and
# the front page sit at the top of the tree and have none, and an empty sidebar would
# take a quarter of the width from their code and figures.
html_sidebars = {"index": [], "tutorials/*": [], "accuracy": [], "design": [], "catalogue": [],
                 "final_states": [], "instruments": []}
html_show_sourcelink = False
html_last_updated_fmt = None
