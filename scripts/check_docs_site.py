#!/usr/bin/env python3
"""Checks a built documentation site (scripts/docs.sh runs it after Sphinx).

- No page loads a script, style sheet, font or image from the network, so the
  site reads offline exactly as it was built.
- Every tutorial page shows at least one figure its notebook drew, and no cell
  output holds a traceback.

Usage: python3 scripts/check_docs_site.py docs/_build/html
"""

from __future__ import annotations

import re
import sys
from pathlib import Path
from typing import List

REMOTE = re.compile(r"""<(?:script|link|img|iframe)\b[^>]*\b(?:src|href)=["'](?:https?:)?//""",
                    re.IGNORECASE)
STYLESHEET_OR_SCRIPT = re.compile(r"""<(script|link)\b([^>]*)>""", re.IGNORECASE)
FIGURE = re.compile(r"""<img\b[^>]*src=["'][^"']*\.(?:png|svg)["']""", re.IGNORECASE)


def remote_loads(html: str) -> List[str]:
    """Tags of the page that would fetch something from another host."""
    found = []
    for match in REMOTE.finditer(html):
        tag = match.group(0)
        # a plain <link rel="..."> to another site (not a stylesheet, icon or preload)
        # is a hyperlink, loaded by nobody
        if tag.lower().startswith("<link") and not re.search(
                r"rel=[\"'](?:stylesheet|preload|icon|modulepreload)", tag, re.IGNORECASE):
            continue
        found.append(tag)
    return found


def problems(site: Path) -> List[str]:
    issues = []
    pages = sorted(site.rglob("*.html"))
    if not pages:
        return [f"{site}: no HTML pages (was the site built?)"]
    for page in pages:
        html = page.read_text(encoding="utf-8")
        name = page.relative_to(site)
        for tag in remote_loads(html):
            issues.append(f"{name}: loads from the network: {tag[:120]}")
        if name.parts[0] == "tutorials" and name.name != "index.html":
            if not FIGURE.search(html):
                issues.append(f"{name}: the tutorial shows no figure")
            if "Traceback (most recent call last)" in html:
                issues.append(f"{name}: a cell's output holds a traceback")
    return issues


def main(argv: List[str]) -> int:
    site = Path(argv[1] if len(argv) > 1 else "docs/_build/html")
    found = problems(site)
    for line in found:
        print(f"check_docs_site: {line}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
