"""The code blocks of the READMEs and the documentation pages, and how each is run.

Every fenced block names its language, and the language says what the block is:

  python        run, in order, in one namespace per page (later blocks use earlier names)
  pycon         a doctest: run, and its printed output compared
  sh            shell commands, run one by one; each must succeed
  console       ``$ command`` lines with the output they print, compared line by line
                (a line ``...`` stands for any number of lines)
  toml, text, c, json
                data, formulas or output shown, not run (unless a marker writes it to a file)

A block on a notebook page written as ``{code-cell}`` is run by the documentation
build instead (myst-nb executes every notebook, and a cell that raises fails it).

An HTML comment right before a block changes how it runs; its first line says
how and why:

  <!-- example: file atlas.toml -->          the block is written to that file
                                               before any block of the page runs
  <!-- example: setup                          these commands run before the block
  libkernels map pentacene -O HOMO -o out
  -->
  <!-- example: reduced (why)                  these commands run instead; a line
  libkernels scan atlas.toml --workers 1       starting "parse: " is only parsed by
  parse: libkernels scan ... --scheduler X     the command line's parser
  -->
  <!-- example: not run (why) -->              the block is not run at all

Other MyST directives written as fences (``{toctree}``, ``{command-help}``) are not code.

Shell commands starting ``libkernels explore`` serve a page until Ctrl-C: they are
started, the page at the address they print is fetched, and they are stopped with
Ctrl-C, which must end them cleanly.
"""

from __future__ import annotations

import re
import shlex
from dataclasses import dataclass, field
from pathlib import Path
from typing import List, Optional

from markdown_it import MarkdownIt

ROOT = Path(__file__).resolve().parents[2]
RUN = {"python", "pycon", "sh", "console"}
SHOWN = {"toml", "text", "c", "json"}
MARKER = re.compile(r"<!--\s*example:\s*(?P<body>.*?)-->", re.DOTALL)
KINDS = re.compile(r"(?P<kind>file|setup|reduced|not run)\b\s*(?:\((?P<why>[^)]*)\))?\s*"
                   r"(?P<rest>.*)", re.DOTALL)


@dataclass
class Block:
    path: Path
    line: int               # 1-based line of the opening fence
    language: str
    text: str
    kind: str = "run"       # run, file, setup, reduced, not run, notebook
    why: str = ""
    file: str = ""          # for kind "file"
    commands: List[str] = field(default_factory=list)  # setup or reduced commands

    @property
    def where(self) -> str:
        try:
            name = str(self.path.relative_to(ROOT))
        except ValueError:
            name = str(self.path)
        return f"{name}:{self.line}"


def pages() -> List[Path]:
    """The READMEs and every Markdown page of the documentation."""
    docs = [p for p in sorted((ROOT / "docs").rglob("*.md"))
            if not {"_build", "jupyter_execute"} & set(p.relative_to(ROOT / "docs").parts)]
    return [ROOT / "README.md", ROOT / "python" / "README.md", *docs]


def _marker(html: str) -> Optional[re.Match]:
    found = MARKER.search(html)
    return KINDS.match(found.group("body").strip()) if found else None


def blocks(path: Path) -> List[Block]:
    """The code blocks of one Markdown file, with their markers applied."""
    tokens = MarkdownIt("commonmark").parse(path.read_text(encoding="utf-8"))
    found: List[Block] = []
    previous = None
    for token in tokens:
        if token.type in ("fence", "code_block"):
            info = token.info.strip() if token.type == "fence" else ""
            language = info.split()[0] if info else ""
            block = Block(path, token.map[0] + 1 if token.map else 0, language, token.content)
            if language.startswith("{code-cell}"):
                block.kind = "notebook"
            elif language.startswith("{"):
                block.kind = "directive"  # a MyST directive (toctree, command-help), not code
            marker = _marker(previous.content) if previous is not None and \
                previous.type == "html_block" else None
            if marker:
                block.kind = marker.group("kind")
                block.why = (marker.group("why") or "").strip()
                rest = marker.group("rest").strip()
                if block.kind == "file":
                    block.file = rest.split()[0] if rest else ""
                else:
                    block.commands = [line.strip() for line in rest.splitlines() if line.strip()]
            found.append(block)
        previous = token if token.type != "text" else previous
    return found


def shell_commands(text: str) -> List[str]:
    """The commands of a shell block: continuation lines joined, comments and blank
    lines left out (bash drops a trailing comment itself)."""
    commands, current = [], ""
    for line in text.splitlines():
        if line.rstrip().endswith("\\"):
            current += line.rstrip()[:-1] + " "
            continue
        current += line
        if current.strip() and not current.strip().startswith("#"):
            commands.append(current.strip())
        current = ""
    return commands


def console_session(text: str) -> List[tuple]:
    """(command, expected output lines) pairs of a console block."""
    session: List[tuple] = []
    for line in text.splitlines():
        if line.startswith("$ "):
            session.append((line[2:].strip(), []))
        elif session:
            session[-1][1].append(line.rstrip())
    return session


def output_matches(expected: List[str], actual: List[str]) -> bool:
    """Line-by-line comparison, trailing blanks ignored; "..." matches any run of lines."""
    while expected and not expected[-1]:
        expected = expected[:-1]
    actual = [line.rstrip() for line in actual]
    while actual and not actual[-1]:
        actual = actual[:-1]
    if not expected:
        return not actual
    if expected[0] == "...":
        return any(output_matches(expected[1:], actual[i:]) for i in range(len(actual) + 1))
    return bool(actual) and actual[0] == expected[0] and output_matches(expected[1:], actual[1:])


def is_libkernels_command(command: str, name: str) -> bool:
    words = shlex.split(command, comments=True)
    return len(words) >= 2 and words[0] == "libkernels" and words[1] == name
