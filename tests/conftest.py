"""Shared fixtures: the module, fresh objects and a console that records."""
from __future__ import annotations

import importlib
import os
import time

import pytest

# Local times in the tests are the exchange's (UTC+8); scripts/test sets TZ too.
os.environ.setdefault("TZ", "Asia/Taipei")
time.tzset()

M = importlib.import_module("kelvo_orra_backtest.modules.positions.positions")


class RecordingConsole:
    """Stands in for the module's `console`: keeps every printed text."""

    def __init__(self) -> None:
        self.lines: list[str] = []

    def print(self, text, *args, **kwargs) -> None:  # noqa: A003 - mirrors rich
        self.lines.append(text)


@pytest.fixture
def m():
    return M


@pytest.fixture
def console(monkeypatch):
    rec = RecordingConsole()
    monkeypatch.setattr(M, "console", rec)
    return rec


@pytest.fixture
def pos(console):
    return M.Positions()


@pytest.fixture
def qm():
    return M.QuoteManager()


@pytest.fixture
def data_dir(tmp_path, monkeypatch):
    """Points BASIC_INFO.data_dir at a fresh temporary directory."""
    monkeypatch.setattr(M.BASIC_INFO, "data_dir", str(tmp_path / "data"))
    return tmp_path / "data"
