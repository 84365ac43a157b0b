"""The package's version is the project's, read from the project() line of
the top-level CMakeLists.txt beside this folder: the one place it is written.
Everything else is in pyproject.toml."""

import re
from pathlib import Path

from setuptools import setup

TOP = Path(__file__).resolve().parent.parent / "CMakeLists.txt"
VERSION = re.search(r"^project\(zentrel VERSION ([0-9.]+)", TOP.read_text(encoding="utf-8"),
                    re.MULTILINE)
if VERSION is None:
    raise SystemExit(f"no 'project(zentrel VERSION ...)' line in {TOP}")

setup(version=VERSION.group(1))
