"""The Taiwan market's time zone for every program this package runs.

The positions module turns epoch seconds into wall-clock times with the
process's local zone, so trading windows, gap filling and K-bar boundaries
are the Taiwan market's only when the process runs in Asia/Taipei.  The demo,
the readers, the benchmarks and the sweep call `use_market_zone()` before
anything converts a time; library users do the same (or start Python with
``TZ=Asia/Taipei``).
"""
from __future__ import annotations

import os
import time

MARKET_ZONE = "Asia/Taipei"
MARKET_OFFSET = 8 * 3600  # Taiwan has kept UTC+8 without daylight saving since 1980

# Instants at which the process zone must read UTC+8 to count as the market's.
_PROBES = (0.0, 946_684_800.0, 1_700_000_000.0)


def _is_market_zone() -> bool:
    return all(time.localtime(t).tm_gmtoff == MARKET_OFFSET for t in _PROBES)


def use_market_zone() -> str | None:
    """Sets the process zone to Asia/Taipei.

    Returns None when the process already converted times as the market does,
    otherwise the name of the zone it had (for a console line saying so).
    """
    before = os.environ.get("TZ")
    already = _is_market_zone()
    name = before or (time.tzname[0] if time.tzname else "local")
    if before != MARKET_ZONE:
        os.environ["TZ"] = MARKET_ZONE
        time.tzset()
    if not _is_market_zone():
        raise RuntimeError(f"the time zone {MARKET_ZONE} is not installed on this machine (tzdata)")
    return None if already else name
