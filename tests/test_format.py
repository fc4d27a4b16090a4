"""The house rules of the C++ sources (the style of .clang-format, at most
MAX_LINES lines a file) and of the architecture page."""
from __future__ import annotations

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = sorted(p for d in ("src", "tests/native") for ext in ("*.cpp", "*.hpp") for p in (ROOT / d).rglob(ext))
MAX_LINES = 500


def test_cpp_sources_are_formatted():
    tool = Path(sys.executable).parent / "clang-format"
    tool = str(tool) if tool.exists() else shutil.which("clang-format")
    if tool is None:
        pytest.skip("clang-format is not installed (it is pinned in requirements/lock.txt)")
    run = subprocess.run([tool, "--dry-run", "--Werror", *map(str, SOURCES)], capture_output=True, text=True,
                         cwd=ROOT)
    assert run.returncode == 0, "run clang-format -i on:\n" + "\n".join(
        sorted({line.split(":")[0] for line in run.stderr.splitlines() if ": error:" in line}))


def test_no_cpp_source_is_over_the_line_limit():
    assert len(SOURCES) > 40
    lengths = {p.relative_to(ROOT).as_posix(): len(p.read_bytes().splitlines()) for p in SOURCES}
    over = sorted(f"{name} ({n} lines)" for name, n in lengths.items() if n > MAX_LINES)
    assert not over, f"split by idea, at most {MAX_LINES} lines a file: {over}"


def test_architecture_page_names_only_files_that_exist():
    # every path the page names, looked up from the places a reader would start
    text = (ROOT / "ARCHITECTURE.md").read_text(encoding="utf-8")
    package = ROOT / "src" / "kelvo_orra_backtest"
    roots = (ROOT, package, package / "modules" / "positions")
    named = {t for t in re.findall(r"`([^`\s]+)`", text) if "/" in t or re.search(r"\.(py|cpp|hpp|md)$", t)}
    assert len(named) > 20
    missing = sorted(t for t in named if not any((r / t.rstrip("/")).exists() for r in roots))
    assert not missing, f"ARCHITECTURE.md names what does not exist: {missing}"
