"""Sphinx configuration of the documentation site, built by `make docs`.

The pages are MyST Markdown; the reference pages of the btreemap types render
the docstrings of the installed module with autodoc.
"""

import os
import re
from pathlib import Path

import btreemap

project = "btree"
author = "the btree developers"
copyright = "the btree developers"

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]
root_doc = "index"

# Headings get anchors, so that a page's own "#section" links resolve.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence", "fieldlist"]

autodoc_default_options = {"members": True, "undoc-members": True}
autodoc_typehints = "none"

html_theme = "furo"
html_title = "btree"

# The view types are not attributes of the module (keys(), values() and
# items() make them); autodoc imports them by the names they carry.
_views = btreemap.BTreeMap()
for _view in (_views.keys(), _views.values(), _views.items()):
    setattr(btreemap, type(_view).__name__, type(_view))

# Links between repository files: a page's relative link to a file outside the
# site becomes a download of that file; the text of an included file (the
# README's sections) is resolved against the page that includes it, so its
# links are rewritten relative to that page. A directory has no page on the
# site: a link to one keeps its text, unlinked.
_LINK = re.compile(r"(!?)\[([^\]]*)\]\(([^):#\s]+)\)")


def _rebase_links(text, from_dir, to_dir):
    def rebase(match):
        bang, label, target = match.groups()
        path = (from_dir / target).resolve()
        if path.is_dir():
            return label
        return f"{bang}[{label}]({os.path.relpath(path, to_dir)})"
    return _LINK.sub(rebase, text)


def _source_read(app, docname, source):
    here = Path(app.env.doc2path(docname)).parent
    source[0] = _rebase_links(source[0], here, here)


def _include_read(app, relative_path, parent_docname, content):
    included = (Path(app.srcdir) / relative_path).parent
    content[0] = _rebase_links(content[0], included, Path(app.env.doc2path(parent_docname)).parent)


# Docstrings are plain text with ``literals``: a bare "|" (the set operators)
# or "*args" and "**kwargs" are text there, where reStructuredText would
# start a substitution or an emphasis.
_LITERAL = re.compile(r"(``.*?``|`[^`]*`)")
_STARS = re.compile(r"(?<![\w*])(\*\*?)(?=\w+(?![\w*]))")


def _escape_text(text):
    return _STARS.sub(lambda stars: "\\*" * len(stars.group(1)), text.replace("|", r"\|"))


def _escape_markup(app, what, name, obj, options, lines):
    for i, line in enumerate(lines):
        if not line.lstrip().startswith(("|", "+")):
            parts = _LITERAL.split(line)
            lines[i] = "".join(part if j % 2 else _escape_text(part) for j, part in enumerate(parts))


def setup(app):
    app.connect("source-read", _source_read)
    app.connect("include-read", _include_read)
    app.connect("autodoc-process-docstring", _escape_markup)
