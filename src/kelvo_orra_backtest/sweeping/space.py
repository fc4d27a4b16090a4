"""The parameter sets of a sweep: grid items read with each parameter's type.

An item is "name=values": a list ("5,10,20"), a range of an int or float
parameter ("30..120:30", both ends included when the step lands on them; an
int range without a step counts by 1), or texts for a str, bool or choice
parameter ("long,both"; a str parameter whose texts hold commas separates
them with ";" instead: "codes=2330,TXF;TXF").  Parameters left out keep their
default.  The class's `constraint` decides which sets run; the others are
skipped and counted.  A float range without a step is a continuous interval,
usable only by random sampling.
"""
from __future__ import annotations

import itertools
import math
import random
from dataclasses import dataclass
from typing import Any, Iterable

from kelvo_orra_backtest.engine.strategy import ParamError

__all__ = ["GridError", "Space", "parse_grid"]

ENUMERATE_LIMIT = 2_000_000  # spaces up to this size are listed whole before sampling


class GridError(ValueError):
    """A grid that cannot run: the message names the item."""


@dataclass(frozen=True)
class Interval:
    """A float range without a step: sampled uniformly, never listed."""

    low: float
    high: float


def _range(param, item: str, text: str) -> list:
    lo_text, _, rest = text.partition("..")
    hi_text, has_step, step_text = rest.partition(":")
    owner = item
    lo, hi = param.parse(lo_text.strip(), owner), param.parse(hi_text.strip(), owner)
    if param.type is int:
        step = param.parse(step_text.strip(), owner) if has_step else 1
        if step <= 0:
            raise GridError(f"grid item '{item}': the step must be above 0")
        values = list(range(lo, hi + 1, step))
    else:
        if not has_step:
            if hi < lo:
                raise GridError(f"grid item '{item}': empty range ({lo} is above {hi})")
            return Interval(lo, hi)
        step = param.parse(step_text.strip(), owner)
        if not step > 0:
            raise GridError(f"grid item '{item}': the step must be above 0")
        count = math.floor((hi - lo) / step + 1e-9) + 1
        values = [round(lo + k * step, 12) for k in range(max(count, 0))]
    if not values:
        raise GridError(f"grid item '{item}': empty range ({lo} is above {hi})")
    return values


def _values(param, item: str, text: str):
    if ".." in text and param.type in (int, float):
        return _range(param, item, text)
    sep = ";" if param.type is str and param.choices is None and ";" in text else ","
    out: list = []
    for piece in text.split(sep):
        piece = piece.strip()
        if not piece:
            raise GridError(f"grid item '{item}': an empty value")
        value = param.parse(piece, item) if param.type is not str or param.choices else piece
        if value not in out:  # a value given twice would run the same set twice
            out.append(value)
    return out


def parse_grid(strategy: type, items: Iterable[str]) -> dict[str, Any]:
    """Reads grid items against the parameters `strategy` declares: name ->
    list of values (or an Interval).  GridError names the item at fault."""
    declared = strategy.parameters()
    grid: dict[str, Any] = {}
    for item in items:
        name, sep, text = item.partition("=")
        name = name.strip()
        if not sep or not name:
            raise GridError(f"grid item '{item}' is not of the form name=v1,v2,... or name=a..b:step")
        if name not in declared:
            known = ", ".join(declared) or "none"
            raise GridError(f"grid item '{item}': unknown parameter '{name}' of {strategy.__name__} "
                            f"(declared: {known})")
        if name in grid:
            raise GridError(f"grid item '{item}': parameter '{name}' is given twice")
        try:
            grid[name] = _values(declared[name], item, text.strip())
        except ParamError as exc:
            # the parameter's own message, with the item it came from
            raise GridError(f"grid item '{item}': {str(exc).split(': ', 1)[-1]}") from None
    return grid


class Space:
    """Every combination of a grid over a strategy's parameters (the defaults
    where the grid is silent), filtered by the class's constraint."""

    def __init__(self, strategy: type, grid: dict[str, Any] | None = None, fixed: dict[str, Any] | None = None):
        self.strategy = strategy
        declared = strategy.parameters()
        grid = dict(grid or {})
        for name, value in (fixed or {}).items():
            if name in declared and name not in grid:
                grid[name] = [declared[name].check(value, strategy.__name__)]
        unknown = [n for n in grid if n not in declared]
        if unknown:
            raise GridError(f"unknown parameter '{unknown[0]}' of {strategy.__name__} "
                            f"(declared: {', '.join(declared) or 'none'})")
        self.names = list(declared)
        self.axes: list[Any] = []
        for name in self.names:
            axis = grid.get(name, [declared[name].default])
            if not isinstance(axis, Interval):
                axis = [declared[name].check(v, strategy.__name__) for v in axis]
                if not axis:
                    raise GridError(f"grid parameter '{name}' has no values")
            self.axes.append(axis)
        self.varied = [n for n, a in zip(self.names, self.axes) if isinstance(a, Interval) or len(a) > 1]

    @property
    def finite(self) -> bool:
        return not any(isinstance(a, Interval) for a in self.axes)

    @property
    def size(self) -> int:
        return math.prod(len(a) for a in self.axes) if self.finite else 0

    def _allowed(self, params: dict) -> bool:
        try:
            return bool(self.strategy.constraint(params))
        except Exception as exc:
            raise GridError(f"{self.strategy.__name__}.constraint raised {type(exc).__name__} on {params}: "
                            f"{exc}") from None

    def grid_sets(self) -> tuple[list[dict], int]:
        """Every allowed combination in grid order, and how many the constraint skipped."""
        if not self.finite:
            name = next(n for n, a in zip(self.names, self.axes) if isinstance(a, Interval))
            raise GridError(f"grid parameter '{name}' is a range without a step: give a step, or --random N")
        sets, skipped = [], 0
        for combo in itertools.product(*self.axes):
            params = dict(zip(self.names, combo))
            if self._allowed(params):
                sets.append(params)
            else:
                skipped += 1
        self._none_left(sets, skipped)
        return sets, skipped

    def _none_left(self, sets: list, skipped: int) -> None:
        if not sets:
            raise GridError(f"nothing to run: the constraint of {self.strategy.__name__} excludes all "
                            f"{skipped} set(s) of the grid")

    def sample(self, n: int, seed: int | None) -> tuple[list[dict], int]:
        """`n` allowed sets drawn from the space with `seed`: without
        replacement when the space is finite (all of them when it holds
        fewer), and how many drawn sets the constraint skipped."""
        if n < 1:
            raise GridError(f"--random must be 1 or more, not {n}")
        rng = random.Random(seed)
        if self.finite and self.size <= ENUMERATE_LIMIT:
            sets, skipped = self.grid_sets()
            return (sets if n >= len(sets) else rng.sample(sets, n)), skipped
        sets, seen, skipped = [], set(), 0
        tries = 0
        while len(sets) < n and tries < 100 * n + 1000:
            tries += 1
            combo = tuple(rng.uniform(a.low, a.high) if isinstance(a, Interval) else a[rng.randrange(len(a))]
                          for a in self.axes)
            if combo in seen:
                continue
            seen.add(combo)
            params = dict(zip(self.names, combo))
            if self._allowed(params):
                sets.append(params)
            else:
                skipped += 1
        self._none_left(sets, skipped)
        return sets, skipped
