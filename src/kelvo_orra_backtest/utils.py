"""Utilities of the host package used by the positions module."""
from __future__ import annotations

import os

from rich.console import Console

# Prints the module's messages; the square-bracket tags are rich markup.
console = Console()


def make_dir(dir_path: str) -> None:
    """Create `dir_path` with its parents; an existing directory is fine."""
    os.makedirs(dir_path, exist_ok=True)


class quiet_console:  # noqa: N801 - used like a function
    """Silences the lines the positions module prints through `console`: the
    entry line of each opened position, the lines of each cover, and the
    notices of the exports and reports.

        quiet_console()            # silent from here on
        quiet_console(False)       # the lines again
        with quiet_console():      # silent inside the block only
            ...

    The module reads its `console` at every line, so this works whenever it is
    called.  Only the package's own console is silenced: a console put into
    the module's globals by hand (`positions.console = ...`) prints as before."""

    def __init__(self, quiet: bool = True) -> None:
        if not isinstance(quiet, bool):
            raise TypeError(f"quiet_console: expected True or False, got {quiet!r}")
        self._before = console.quiet
        console.quiet = quiet

    def __enter__(self) -> quiet_console:
        return self

    def __exit__(self, *exc_info) -> None:
        console.quiet = self._before


# The font family the tear-sheet library asks for by name in every chart.
TEAR_SHEET_FONT = "Arial"
# Installed families that stand in for it, the first one found: Liberation Sans
# has Arial's metrics; DejaVu Sans ships with the plotting library.
STAND_IN_FONTS = ("Liberation Sans", "Arimo", "DejaVu Sans")

# Warnings of the tear-sheet library and the plotting libraries it drives that
# say nothing about the user's figures: its tick labels on short series, its
# flat charts, and the deprecations of its own calls.
_TEAR_SHEET_WARNINGS = (
    ("set_ticklabels\\(\\) should only be used", UserWarning, "quantstats_lumi"),
    ("Attempting to set identical low and high ylims", UserWarning, "quantstats_lumi"),
    ("The set_bad function will be deprecated", PendingDeprecationWarning, "seaborn"),
    ("vert. bool was deprecated", DeprecationWarning, "seaborn"),
)


def configure_plotting() -> str:
    """Makes the tear sheets draw without console noise: the font family the
    tear-sheet library names (`TEAR_SHEET_FONT`) is served by the first
    installed family of `STAND_IN_FONTS`, so the plotting library's font search
    finds it instead of printing a "findfont" line per text, and the library's
    known warnings are dropped.  Returns the family the charts are drawn in
    (`TEAR_SHEET_FONT` itself where it is installed).  Called when the
    positions module loads; calling it again changes nothing."""
    global _stand_in
    import dataclasses
    import warnings

    from matplotlib import font_manager

    for message, category, module in _TEAR_SHEET_WARNINGS:
        warnings.filterwarnings("ignore", message=message, category=category, module=module)
    if _stand_in is None:
        manager = font_manager.fontManager
        have = {entry.name for entry in manager.ttflist}
        if TEAR_SHEET_FONT in have:
            _stand_in = TEAR_SHEET_FONT
        else:
            _stand_in = next((name for name in STAND_IN_FONTS if name in have), "DejaVu Sans")
            manager.ttflist.extend(dataclasses.replace(entry, name=TEAR_SHEET_FONT)
                                   for entry in list(manager.ttflist) if entry.name == _stand_in)
            manager._findfont_cached.cache_clear()  # a search made before must not stay cached
    return _stand_in


_stand_in: str | None = None
