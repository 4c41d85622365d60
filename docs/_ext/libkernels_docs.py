"""Sphinx helpers of the libkernels documentation.

- ``command-help``: the ``--help`` text of a ``libkernels`` command, taken from the
  command line's own parser when the site is built, so a how-to page never shows
  an option that is gone.
- A constant (``libkernels.FORMATS``) is documented by the ``#:`` comment at its
  definition, not by its type's docstring.
- The package's docstrings are plain text (``|FT psi|^2``, ``2*pi``, ``k_min + i*k_step``):
  the characters reStructuredText would read as markup are escaped before autodoc
  parses them; an indented run of lines after a blank line or a colon becomes a
  literal block, as it reads in the source, and one that continues a sentence
  joins its paragraph.
"""

from __future__ import annotations

import contextlib
import io
import os
import re
from typing import Any, List

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.util.docutils import SphinxDirective

__all__ = ["setup", "command_help", "plain_docstring", "constant_doc"]


def command_help(command: str, width: int = 88) -> str:
    """What ``libkernels COMMAND --help`` prints (``command`` "" for the top level)."""
    from libkernels.cli import build_parser

    previous = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = str(width)
    try:
        parser = build_parser()
        if command:
            sub = parser._subparsers._group_actions[0].choices[command]  # type: ignore[union-attr]
            text = sub.format_help()
        else:
            text = parser.format_help()
    finally:
        if previous is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = previous
    return text.rstrip()


class CommandHelp(SphinxDirective):
    """``.. command-help:: map`` inserts ``libkernels map --help``."""

    optional_arguments = 1
    option_spec = {"width": directives.positive_int}

    def run(self) -> List[nodes.Node]:
        command = self.arguments[0] if self.arguments else ""
        text = command_help(command, self.options.get("width", 88))
        block = nodes.literal_block(text, text)
        block["language"] = "text"
        return [block]


_CODE = re.compile(r"(``.*?``|`[^`]*`)")


def _escape(text: str) -> str:
    """Escapes markup characters outside `quoted` spans."""
    parts = _CODE.split(text)
    for index in range(0, len(parts), 2):  # even parts lie outside the quotes
        part = parts[index].replace("\\", "\\\\")
        part = re.sub(r"([|*])", r"\\\1", part)
        part = re.sub(r"(\w)_(?=\W|$)", r"\1\\_", part)  # a trailing _ would be a link
        parts[index] = part
    return "".join(parts)


def _indent(line: str) -> int:
    return len(line) - len(line.lstrip())


def plain_docstring(lines: List[str]) -> List[str]:
    """The docstring's lines as reStructuredText: text escaped, and each indented run
    (code examples, continued tables, formulas) a literal block."""
    out: List[str] = []
    base = min((_indent(line) for line in lines if line.strip()), default=0)
    literal = False
    for line in lines:
        if not line.strip():
            out.append("")
            continue
        indented = _indent(line) > base
        if indented and not literal:
            previous = out[-1].rstrip() if out else ""
            if previous and not previous.endswith(":"):
                # a hanging continuation of the sentence above: part of its paragraph
                out[-1] = previous + " " + _escape(line.strip())
                continue
            # A literal block needs "::" and blank lines around it.
            if previous:
                out.append("")
            out.append("::")
            out.append("")
            literal = True
        elif not indented and literal:
            out.append("")
            literal = False
        out.append(line if literal else _escape(line))
    return out


def constant_doc(name: str, obj: Any) -> List[str]:
    """The text of the package's constant `name` (``libkernels.FORMATS``): the ``#:``
    comment above its definition in the module that defines it, found among the
    package's modules as the one whose attribute of that name is this object.  A
    constant without one is an error: the page would show its type's docstring."""
    import sys

    from sphinx.pycode import ModuleAnalyzer

    attribute = name.rsplit(".", 1)[-1]
    for module_name, module in sorted(sys.modules.items()):
        if not module_name.startswith("libkernels.") or \
                getattr(module, attribute, None) is not obj:
            continue
        try:
            found = ModuleAnalyzer.for_module(module_name).find_attr_docs()
        except Exception:  # a module without source (compiled, generated)
            continue
        if ("", attribute) in found:
            return [line for line in found[("", attribute)] if line is not None]
    raise ValueError(f"{name} has no text of its own: write a #: comment above its "
                     "definition")


def _process_docstring(app: Any, what: str, name: str, obj: Any, options: Any,
                       lines: List[str]) -> None:
    if not name.startswith("libkernels"):
        return
    if what == "data":
        # a constant's docstring is its type's (float's, dict's): the text is the
        # comment at its definition instead
        lines[:] = constant_doc(name, obj)
    lines[:] = plain_docstring(lines)


def setup(app: Any) -> dict:
    app.add_directive("command-help", CommandHelp)
    app.connect("autodoc-process-docstring", _process_docstring)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
