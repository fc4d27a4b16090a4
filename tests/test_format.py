"""The house rules of the C++ sources (the style of .clang-format, at most
MAX_LINES lines a file), of the architecture page, and the README's commands
and snippets, which run as written."""
from __future__ import annotations

import ast
import os
import re
import shutil
import subprocess
import sys
import textwrap
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


def _readme_blocks(lang: str) -> list[str]:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return [textwrap.dedent(body) for kind, body in re.findall(r"^ *```(\w+)\n(.*?)^ *```", text, re.S | re.M)
            if kind == lang]


def test_readme_commands_run_with_the_projects_interpreter():
    # every command goes through a wrapper of scripts/ (or the environment's own tools): a bare
    # python is another interpreter, without the package
    lines = [line.strip() for block in _readme_blocks("sh") for line in block.splitlines() if line.strip()]
    assert len(lines) > 10
    bare = [line for line in lines if re.search(r"(^|[\s;&|=])(python3?|pip3?|dask|kelvo-orra)\s", line)]
    assert not bare, f"README commands that do not use the project's interpreter: {bare}"
    wrappers = set(re.findall(r"(?<![\w/.-])scripts/([\w-]+)", "\n".join(lines)))
    assert {"demo", "kelvo-orra", "python", "setup", "test"} <= wrappers
    for name in wrappers:
        path = ROOT / "scripts" / name
        assert path.is_file() and os.access(path, os.X_OK), f"README runs scripts/{name}, which is not there"
    for path in re.findall(r"\b((?:examples|bench)/[\w/]+\.py)\b", "\n".join(lines)):
        assert (ROOT / path).is_file(), path


def test_readme_python_snippets_are_whole_programs():
    # each compiles, and the names it uses are imported or made in it (save it, scripts/python FILE.py)
    import builtins

    snippets = _readme_blocks("python")
    assert len(snippets) > 5
    for snippet in snippets:
        tree = compile(snippet, "README.md", "exec", flags=ast.PyCF_ONLY_AST)
        made = set(dir(builtins)) | {"__name__"}
        for node in ast.walk(tree):
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                made |= {(a.asname or a.name).split(".")[0] for a in node.names}
            elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                made.add(node.name)
            elif isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store):
                made.add(node.id)
            elif isinstance(node, ast.arg):
                made.add(node.arg)
        used = {n.id for n in ast.walk(tree) if isinstance(n, ast.Name) and isinstance(n.ctx, ast.Load)}
        assert not used - made, f"a README snippet uses {sorted(used - made)} without making it:\n{snippet}"
