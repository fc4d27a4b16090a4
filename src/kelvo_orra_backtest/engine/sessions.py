"""Session ends of the calendar, as instants.

A market's sessions end where one of its non-trading windows of the quote
store opens right after trading time: 13:30 for stocks, 13:45 (day session)
and 05:00 (night session) for futures.  A tick stamped at the end itself
(the closing auction) belongs to the session.  Every calendar day of the run
has those instants; a session end *happened* when the market had at least
one eligible tick since the previous one.
"""
from __future__ import annotations

from dataclasses import dataclass
from datetime import date, datetime, time, timedelta

import numpy as np

__all__ = ["Session", "session_ends"]


@dataclass(frozen=True)
class Session:
    market_type: str
    end: float  # epoch seconds
    had_ticks: bool
    trading: bool = True  # the calendar trades it (a weekday that is no holiday; a night session by its evening)

    @property
    def end_dt(self) -> datetime:
        return datetime.fromtimestamp(self.end)


def _in_windows(t: time, windows) -> bool:
    return any(start <= t <= end for start, end in windows)


def closing_times(windows) -> list[time]:
    """Times of day at which a session ends: window starts not preceded by a window."""
    out = []
    for start, _ in windows:
        before = (datetime.combine(date(2000, 1, 3), start) - timedelta(seconds=1)).time()
        if not _in_windows(before, windows):
            out.append(start)
    return sorted(out)


def session_ends(market_type: str, windows, first_ts: float, last_ts: float,
                 market_ts: np.ndarray, holidays=frozenset()) -> list[Session]:
    """Every session end of `market_type` from the first tick of the run to the
    first end after its last tick; `market_ts` are the times of the market's ticks,
    `holidays` the calendar's days off (ISO dates)."""
    times = closing_times(windows)
    if not times:
        return []
    day = datetime.fromtimestamp(first_ts).date() - timedelta(days=1)
    last_day = datetime.fromtimestamp(last_ts).date() + timedelta(days=1)
    instants = []
    while day <= last_day:
        instants.extend(datetime.combine(day, t).timestamp() for t in times)
        day += timedelta(days=1)
    instants = sorted(instants)
    lo = int(np.searchsorted(instants, first_ts, "right"))
    hi = int(np.searchsorted(instants, last_ts, "right")) + 1
    chosen = instants[max(lo - 1, 0):hi]
    counts = np.searchsorted(market_ts, chosen, "right")  # ticks at or before each end
    out = []
    for k, end in enumerate(chosen):
        if end <= first_ts:
            continue
        before = counts[k - 1] if k else 0
        end_dt = datetime.fromtimestamp(end)
        # a session ending in the small hours is the night session of the evening before
        day = end_dt.date() - timedelta(days=1) if end_dt.time() <= time(5, 0) else end_dt.date()
        trading = day.weekday() < 5 and day.isoformat() not in holidays
        out.append(Session(market_type, end, bool(counts[k] > before), trading))
    return out
