"""Builds and runs the plain C++ unit tests of the pure computation."""
from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = sorted((ROOT / "tests" / "native").glob("*.cpp"))
INCLUDE = ROOT / "src" / "kelvo_orra_backtest" / "modules" / "positions"


@pytest.mark.parametrize("source", SOURCES, ids=lambda p: p.stem)
def test_native_unit_tests(source, tmp_path):
    compiler = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    exe = tmp_path / source.stem
    # plain builds: a sanitizer runtime preloaded for the suite stays out of them
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    build = subprocess.run([compiler, "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", f"-I{INCLUDE}",
                            str(source), "-o", str(exe)], capture_output=True, text=True, env=env)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=60, env=env)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "FAIL" not in run.stdout
