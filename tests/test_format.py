"""The C++ sources are in the style of .clang-format."""
from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = sorted(p for d in ("src", "tests/native") for ext in ("*.cpp", "*.hpp") for p in (ROOT / d).rglob(ext))


def test_cpp_sources_are_formatted():
    tool = Path(sys.executable).parent / "clang-format"
    tool = str(tool) if tool.exists() else shutil.which("clang-format")
    if tool is None:
        pytest.skip("clang-format is not installed (it is pinned in requirements/lock.txt)")
    run = subprocess.run([tool, "--dry-run", "--Werror", *map(str, SOURCES)], capture_output=True, text=True,
                         cwd=ROOT)
    assert run.returncode == 0, "run clang-format -i on:\n" + "\n".join(
        sorted({line.split(":")[0] for line in run.stderr.splitlines() if ": error:" in line}))
