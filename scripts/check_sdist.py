"""Checks the file list of a source distribution against the tree it was made from.

    python3 scripts/check_sdist.py dist/libkernels-VERSION.tar.gz [SOURCE_DIR]

The sdist must hold everything that building and installing the package reads
(REQUIRED: every file of the tree under those paths) and nothing that a build,
an environment, a test or the documentation makes, nor the data of GPL-licensed
packages that the tests fetch (FORBIDDEN).  When SOURCE_DIR is a git checkout,
every member must also be a tracked file.  Exit status 1, with the offending
members listed, when the sdist fails a check.
"""

from __future__ import annotations

import re
import subprocess
import sys
import tarfile
from pathlib import Path
from typing import List, Optional, Set

# What the build reads: CMake's sources and scripts, the public header, the
# library's sources, the package, the molecules it installs, and the metadata.
REQUIRED = ["pyproject.toml", "CMakeLists.txt", "python/README.md", "cmake/", "include/",
            "src/", "python/libkernels/", "examples/molecules/benzene.molden",
            "examples/molecules/pentacene.molden"]

# What is made or fetched, never a source (paths relative to the sdist's root).
FORBIDDEN = {
    "a build directory": r"^build[^/]*/",
    "a virtual environment": r"(^|/)\.venv/",
    "a cache (fetched test data)": r"(^|/)\.cache/",
    "the documentation site": r"^docs/(_build|jupyter_execute|api/generated)/",
    "a distribution": r"^dist/|\.whl$",
    "an output directory": r"^(demo|test)-output/",
    "a compiled library or object": r"\.(so(\.[0-9]+)*|o|a)$",
    "Python's byte code or caches": r"(^|/)(__pycache__/|\.pytest_cache/|\.mypy_cache/)|\.pyc$",
    "packaging metadata of an install": r"\.egg-info(/|$)",
    "data of a GPL-licensed package": r"(^|/)igor2-[^/]*$|\.(ibw|pxp)$",
    "the Python tests": r"^python/tests/",
}


def members(sdist: Path) -> List[str]:
    """The files of the sdist, relative to its one top folder, libkernels-VERSION."""
    with tarfile.open(sdist) as archive:
        names = [m.name for m in archive.getmembers() if not m.isdir()]
    top = sdist.name[:-len(".tar.gz")]
    outside = [name for name in names if not name.startswith(top + "/")]
    if outside:
        sys.exit(f"{sdist}: members outside {top}/: {', '.join(outside[:5])}")
    return [name[len(top) + 1:] for name in names]


def tracked(source: Path) -> Optional[Set[str]]:
    """The files git tracks in `source`, or None when it is not a git checkout."""
    try:
        listed = subprocess.run(["git", "-C", str(source), "ls-files", "-z"], capture_output=True,
                                check=True).stdout.decode()
    except (OSError, subprocess.CalledProcessError):
        return None
    return {name for name in listed.split("\0") if name}


def source_files(source: Path, in_git: Optional[Set[str]]) -> Set[str]:
    """The tree's files (tracked ones in a checkout), as paths relative to it."""
    if in_git is not None:
        return {name for name in in_git if (source / name).is_file()}
    return {str(p.relative_to(source)) for p in source.rglob("*") if p.is_file()}


def forbidden_reason(name: str) -> Optional[str]:
    for reason, pattern in FORBIDDEN.items():
        if re.search(pattern, name):
            return reason
    return None


def check(sdist: Path, source: Path) -> List[str]:
    """Every problem of the sdist's file list, one line each (none: it is fine)."""
    names = set(members(sdist))
    in_git = tracked(source)
    problems = []
    for name in sorted(names):
        reason = forbidden_reason(name)
        if reason:
            problems.append(f"{name}: {reason}")
        elif in_git is not None and name != "PKG-INFO" and name not in in_git:
            problems.append(f"{name}: not a tracked file")
    needed = {name for name in source_files(source, in_git)
              if any(name == r or (r.endswith("/") and name.startswith(r)) for r in REQUIRED)
              and not forbidden_reason(name)}
    for name in sorted(needed - names):
        problems.append(f"{name}: missing (the build reads it)")
    for name in ("PKG-INFO", *[r for r in REQUIRED if not r.endswith("/")]):
        if name not in names and f"{name}: missing (the build reads it)" not in problems:
            problems.append(f"{name}: missing")
    return problems


def main(argv: List[str]) -> int:
    if len(argv) not in (2, 3):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    sdist = Path(argv[1])
    source = Path(argv[2]) if len(argv) == 3 else Path(__file__).resolve().parents[1]
    problems = check(sdist, source)
    for line in problems:
        print(f"{sdist.name}: {line}", file=sys.stderr)
    if not problems:
        print(f"{sdist.name}: {len(members(sdist))} files, everything the build reads "
              f"and nothing made or fetched")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
