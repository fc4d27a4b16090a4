"""Utilities of the host package used by the positions module."""
from __future__ import annotations

import os

from rich.console import Console

# Prints the module's messages; the square-bracket tags are rich markup.
console = Console()


def make_dir(dir_path: str) -> None:
    """Create `dir_path` with its parents; an existing directory is fine."""
    os.makedirs(dir_path, exist_ok=True)
