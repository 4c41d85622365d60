#!/usr/bin/env python3
"""Checks a built documentation site (scripts/docs.sh runs it after Sphinx).

- No page loads a script, style sheet, font or image from the network, so the
  site reads offline exactly as it was built.
- Every tutorial page shows at least one figure its notebook drew, and no cell
  output holds a traceback.
- No page shows an empty "Section Navigation" sidebar, and no constant of the API
  reference shows its type's docstring (float's, dict's) instead of its own text.
- In Debian's Chromium (or $LIBKERNELS_CHROMIUM) driven by Playwright, as the tests
  drive it: at 1280 x 800 every tutorial's text is at least MIN_ARTICLE_PX wide and
  no line of its code is cut off.  Without a browser this part is skipped with a
  note, or fails where LIBKERNELS_REQUIRE_BROWSER=1 (CI).

Usage: python3 scripts/check_docs_site.py docs/_build/html
"""

from __future__ import annotations

import os
import re
import sys
from html import escape, unescape
from pathlib import Path
from typing import List

REMOTE = re.compile(r"""<(?:script|link|img|iframe)\b[^>]*\b(?:src|href)=["'](?:https?:)?//""",
                    re.IGNORECASE)
STYLESHEET_OR_SCRIPT = re.compile(r"""<(script|link)\b([^>]*)>""", re.IGNORECASE)
FIGURE = re.compile(r"""<img\b[^>]*src=["'][^"']*\.(?:png|svg)["']""", re.IGNORECASE)
# the theme's left sidebar: its heading, then the section's pages (none: empty)
SECTION_NAVIGATION = re.compile(r"Section Navigation\s*</p>(.*?)</nav>", re.DOTALL)
# the first line of the docstrings a constant would show without text of its own
TYPE_DOCSTRINGS = [escape(t.__doc__.strip().splitlines()[0], quote=False)
                   for t in (float, int, dict, str, tuple, list, set, frozenset)]
MIN_ARTICLE_PX = 880  # at 1280 px: the tutorials' four-panel figures stay readable


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
        for navigation in SECTION_NAVIGATION.finditer(html):
            if "<a " not in navigation.group(1):
                issues.append(f"{name}: an empty Section Navigation sidebar narrows the text "
                              "(list the page in html_sidebars with no sidebar)")
        if name.parts[:2] == ("api", "generated") and '<dl class="py data">' in html:
            shown = [line for line in TYPE_DOCSTRINGS if line in html]
            if shown:
                issues.append(f"{name}: the constant shows its type's docstring "
                              f"({unescape(shown[0])[:40]}...), not its own text")
    return issues


def layout_problems(site: Path) -> List[str]:
    """What Chromium shows of the tutorials at 1280 x 800 (see the module notes)."""
    required = os.environ.get("LIBKERNELS_REQUIRE_BROWSER") == "1"
    chromium = os.environ.get("LIBKERNELS_CHROMIUM", "/usr/bin/chromium")
    os.environ.setdefault("PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD", "1")
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        sync_playwright = None
    if sync_playwright is None or not os.path.exists(chromium):
        reason = "Playwright is not installed" if sync_playwright is None else \
            f"no Chromium at {chromium}"
        if required:
            return [f"the layout cannot be checked: {reason}"]
        print(f"check_docs_site: layout not checked ({reason})", file=sys.stderr)
        return []
    issues = []
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=chromium,
                                             args=["--no-sandbox", "--disable-dev-shm-usage"])
        try:
            tab = browser.new_context(viewport={"width": 1280, "height": 800}).new_page()
            for page in sorted((site / "tutorials").glob("*.html")):
                tab.goto(page.resolve().as_uri())
                width, cut = tab.evaluate("""() => [
                    document.querySelector('.bd-article').getBoundingClientRect().width,
                    Array.from(document.querySelectorAll('article div.cell pre'))
                        .filter(e => e.scrollWidth > e.clientWidth + 1).length]""")
                name = page.relative_to(site)
                if width < MIN_ARTICLE_PX:
                    issues.append(f"{name}: the text is {width:.0f} px wide at 1280 px, below "
                                  f"{MIN_ARTICLE_PX}")
                if cut:
                    issues.append(f"{name}: {cut} code block(s) cut off at 1280 px")
        finally:
            browser.close()
    return issues


def main(argv: List[str]) -> int:
    site = Path(argv[1] if len(argv) > 1 else "docs/_build/html")
    found = problems(site)
    found += layout_problems(site) if (site / "tutorials").is_dir() else []
    for line in found:
        print(f"check_docs_site: {line}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
